/*
 * Descriptor I/O (blocking loops and single timed calls) and connection
 * set-up for TCP and Unix-domain stream sockets. Only libc is called; no
 * frame exception can cross this file.
 *
 * Waiting uses ppoll rather than select so that descriptors above
 * FD_SETSIZE cannot overrun an fd_set.
 */
#include <kivo/net.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

/* A time-out as whole microseconds split into a timespec; null (wait
 * without limit) for negative values and NaN. */
const struct timespec *to_timespec(float timeout, struct timespec *ts)
{
    if (!(timeout >= 0.0f))
        return nullptr;
    double us = std::floor((double)timeout * 1000000.0);
    if (us > 1e15) /* about 31 years: treat as no limit */
        return nullptr;
    long long u = (long long)us;
    ts->tv_sec = (time_t)(u / 1000000);
    ts->tv_nsec = (long)(u % 1000000) * 1000;
    return ts;
}

/* 1 ready, 0 timed out, -1 error. */
int wait_fd(int fd, short events, float timeout)
{
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    struct timespec ts;
    int r = ppoll(&p, 1, to_timespec(timeout, &ts), nullptr);
    return r > 0 ? 1 : r;
}

/* Puts fd in non-blocking mode; stores its previous flags. */
bool enter_nb(int fd, int *saved)
{
    *saved = fcntl(fd, F_GETFL);
    if (*saved == -1)
        return false;
    if (*saved & O_NONBLOCK)
        return true;
    if (fcntl(fd, F_SETFL, *saved | O_NONBLOCK) == -1) {
        int e = errno;
        fcntl(fd, F_SETFL, *saved);
        errno = e;
        return false;
    }
    return true;
}

void leave_nb(int fd, int saved)
{
    if (saved & O_NONBLOCK)
        return;
    int e = errno;
    fcntl(fd, F_SETFL, saved);
    errno = e;
}

template <typename Op>
int timed_io(int fd, short events, float timeout, Op op)
{
    int saved;
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (!enter_nb(fd, &saved))
        return -1;
    errno = 0;
    ssize_t n = op();
    if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        int w = wait_fd(fd, events, timeout);
        if (w == 0) {
            errno = ETIMEDOUT;
            n = -1;
        } else {
            n = op();
        }
    }
    leave_nb(fd, saved);
    return (int)n;
}

void close_keep_errno(int fd)
{
    int e = errno;
    close(fd);
    errno = e;
}

/* Connects the non-blocking socket fd (flags saved in saved) and waits up
 * to timeout. Returns fd, or -1 with the descriptor closed. */
int finish_connect(int fd, int saved, const struct sockaddr *sa, socklen_t len, float timeout)
{
    if (connect(fd, sa, len) == 0) {
        leave_nb(fd, saved);
        return fd;
    }
    if (errno != EINPROGRESS) {
        close_keep_errno(fd);
        return -1;
    }
    int err = 0;
    int w = wait_fd(fd, POLLIN | POLLOUT, timeout);
    if (w == 0) {
        err = ETIMEDOUT;
    } else if (w < 0) {
        err = errno;
    } else {
        socklen_t l = sizeof(err);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l) == -1)
            err = errno;
    }
    leave_nb(fd, saved);
    if (err) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

bool resolve(const char *host, struct in_addr *out)
{
    char name[65];
    if (!host) {
        if (gethostname(name, sizeof(name)) == -1)
            return false;
        name[sizeof(name) - 1] = 0;
        host = name;
    }
    if (inet_aton(host, out))
        return true;
    char stackbuf[8192];
    char *buf = stackbuf;
    size_t buflen = sizeof(stackbuf);
    struct hostent he, *res = nullptr;
    int herr = 0;
    bool ok = false;
    for (;;) {
        int r = gethostbyname_r(host, &he, buf, buflen, &res, &herr);
        if (r == ERANGE && buflen < (1u << 20)) {
            buflen *= 4;
            char *nb = (char *)(buf == stackbuf ? malloc(buflen) : realloc(buf, buflen));
            if (!nb)
                break;
            buf = nb;
            continue;
        }
        if (r == 0 && res && res->h_addrtype == AF_INET && res->h_length == 4 && res->h_addr_list[0]) {
            memcpy(out, res->h_addr_list[0], 4);
            ok = true;
        }
        break;
    }
    if (buf != stackbuf)
        free(buf);
    if (!ok)
        errno = EHOSTUNREACH;
    return ok;
}

} // namespace

extern "C" {

KIVO_API int fr_set_nb(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        flags = 0;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

KIVO_API int eol_pos(const char *buf, int len)
{
    if (!buf || len <= 0)
        return -1;
    const char *p = (const char *)memchr(buf, '\n', (size_t)len);
    return p ? (int)(p - buf) : -1;
}

KIVO_API int fr_read_b(int fd, void *buf, int size)
{
    if (!buf || size <= 0) {
        errno = EINVAL;
        return -1;
    }
    int got = 0;
    while (got < size) {
        ssize_t n = read(fd, (char *)buf + got, (size_t)(size - got));
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            return got ? got : -1;
        if (n == 0)
            break;
        got += (int)n;
    }
    return got;
}

KIVO_API int fr_write_b(int fd, const void *data, int len)
{
    if (!data || len < 0) {
        errno = EINVAL;
        return -1;
    }
    int done = 0;
    while (done < len) {
        ssize_t n = write(fd, (const char *)data + done, (size_t)(len - done));
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            return done ? done : -1;
        if (n == 0)
            break;
        done += (int)n;
    }
    return done;
}

KIVO_API int fr_read_nb(int fd, void *buf, int size, float timeout)
{
    if (!buf || size < 0) {
        errno = EINVAL;
        return -1;
    }
    return timed_io(fd, POLLIN, timeout, [&] { return read(fd, buf, (size_t)size); });
}

KIVO_API int fr_write_nb(int fd, const void *data, int len, float timeout)
{
    if (!data || len < 0) {
        errno = EINVAL;
        return -1;
    }
    return timed_io(fd, POLLOUT, timeout, [&] { return write(fd, data, (size_t)len); });
}

KIVO_API int fr_write_nb_full(int fd, const void *data, int len, float timeout)
{
    if (!data || fd <= 0 || len < 0) {
        errno = fd <= 0 ? EBADF : EINVAL;
        return -1;
    }
    const char *p = (const char *)data;
    while (len > 0) {
        int chunk = len < 4096 ? len : 4096;
        int n = fr_write_nb(fd, p, chunk, timeout);
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return -1;
        }
        p += n;
        len -= n;
    }
    return 0;
}

KIVO_API int fr_readln_nb(int fd, char *buf, int size, float timeout)
{
    if (!buf || size < 2) {
        errno = EINVAL;
        return -1;
    }
    int n = fr_read_nb(fd, buf, size - 1, timeout);
    if (n < 0) {
        buf[0] = 0;
        return -1;
    }
    buf[n] = 0;
    int pos = eol_pos(buf, n);
    if (pos < 0)
        return n;
    int extra = n - pos - 1;
    if (extra > 0) {
        int e = errno;
        lseek(fd, -(off_t)extra, SEEK_CUR); /* fails harmlessly on pipes and sockets */
        errno = e;
    }
    buf[pos] = 0;
    return pos;
}

KIVO_API int build_sockaddr_in(const char *host, unsigned short port, struct sockaddr_in *addr)
{
    if (!addr) {
        errno = EINVAL;
        return -1;
    }
    struct in_addr ia;
    if (!resolve(host, &ia))
        return -1;
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    addr->sin_addr = ia;
    return socket(AF_INET, SOCK_STREAM, 0);
}

KIVO_API int fr_connect_b(const char *host, unsigned short port)
{
    struct sockaddr_in sa;
    int fd = build_sockaddr_in(host, port, &sa);
    if (fd == -1)
        return -1;
    if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) == -1) {
        close_keep_errno(fd);
        return -1;
    }
    return fd;
}

KIVO_API int fr_connect_nb(const char *host, unsigned short port, float timeout)
{
    struct sockaddr_in sa;
    int fd = build_sockaddr_in(host, port, &sa);
    if (fd == -1)
        return -1;
    int one = 1, saved;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == -1 || !enter_nb(fd, &saved)) {
        close_keep_errno(fd);
        return -1;
    }
    return finish_connect(fd, saved, (struct sockaddr *)&sa, sizeof(sa), timeout);
}

KIVO_API int fr_connect_nb_unix(const char *path, float timeout)
{
    struct sockaddr_un sa;
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    if ((size_t)snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", path) >= sizeof(sa.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd == -1)
        return -1;
    int saved;
    if (!enter_nb(fd, &saved)) {
        close_keep_errno(fd);
        return -1;
    }
    return finish_connect(fd, saved, (struct sockaddr *)&sa, sizeof(sa), timeout);
}

} // extern "C"
