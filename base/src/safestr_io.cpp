// Safe strings through descriptors and streams: whole writes and reads,
// byte-wise line and terminator reads, stream lines, and password input
// with echo off. Frame exceptions start and pass here: no local has a
// destructor; terminal settings, the signal mask and an opened /dev/tty are
// assets of the operation's context, so every exit restores them.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>
#if KIVO_THREADS
#include <pthread.h>
#endif

#include <kivo/exceptions.h>
#include <kivo/net.h>
#include <kivo/safestr.h>

#include "safestr_internal.h"

#define SAFEUTIL_SOURCE "safeutil"
#define SAFEUTIL_THROW(code, data) xxl_throw_error((code), (void *)(data), SAFEUTIL_SOURCE, __LINE__)

namespace {

using namespace kivo::ss;

constexpr uint32_t initial_room = 107;

// A new empty string owned by the running operation: freed if an exception
// leaves it, handed to the caller otherwise.
safestr_header_t *start_result(xxl_context_t *ctx, const char *file, int line)
{
    safestr_header_t *h = make(initial_room, 0, file, line);
    register_built(ctx, h, XXL_ASSET_ON_ERROR);
    return h;
}

// Gives up a result string made by start_result (nothing to return).
void discard_result(safestr_header_t *h)
{
    xxl_release_asset(h, XXL_RELEASE_INNERMOST);
    destroy(h);
}

// Room for at least one more character: a full string grows by at least
// initial_room characters, keeping its length.
safestr_header_t *make_room(xxl_context_t *ctx, safestr_header_t *h)
{
    if (h->length < h->capacity)
        return h;
    safestr_header_t *w = reserve(ctx, h, uint64_t(h->capacity) + initial_room);
    return header(complete(h, w));
}

safestr_header_t *append_byte(xxl_context_t *ctx, safestr_header_t *h, char c)
{
    h = make_room(ctx, h);
    text(h)[h->length] = c;
    set_length(h, uint64_t(h->length) + 1);
    return h;
}

// Reads onto h's text up to a newline (read, not kept), the end of the
// stream, or the end of the capacity. Every byte counts, zero bytes too.
// Returns the last character read ('\n', EOF, or one the room ran out
// after) and whether anything was read. Nothing here throws, so the
// stream's lock is held across the whole stretch.
int read_stretch(FILE *stream, safestr_header_t *h, bool *got)
{
    char *t = text(h);
    uint32_t len = h->length, cap = h->capacity;
    int c = EOF;
    flockfile(stream);
    while (len < cap) {
        c = getc_unlocked(stream);
        if (c == EOF || c == '\n')
            break;
        t[len++] = char(c);
    }
    funlockfile(stream);
    if (c != EOF)
        *got = true;
    else if (len != h->length)
        *got = true;
    set_length(h, len);
    return c;
}

#if KIVO_THREADS
void restore_sigmask(void *mask, void *) { pthread_sigmask(SIG_SETMASK, static_cast<sigset_t *>(mask), nullptr); }
#endif

struct saved_terminal {
    int fd;
    struct termios attrs;
};

void restore_terminal(void *saved, void *)
{
    auto *s = static_cast<saved_terminal *>(saved);
    tcsetattr(s->fd, TCSAFLUSH, &s->attrs);
}

// Appends bytes up to a newline (dropped) or end of file to *h, one read
// at a time so that nothing past the line is consumed. With a time-out, a
// read that times out returns false (errno ETIMEDOUT); other errors throw.
bool read_line_onto(xxl_context_t *ctx, safestr_header_t **h, int fd, float timeout)
{
    for (;;) {
        char c;
        ssize_t n = timeout != 0.0f ? fr_read_nb(fd, &c, 1, timeout) : read(fd, &c, 1);
        if (n == 1) {
            if (c == '\n')
                return true;
            *h = append_byte(ctx, *h, c);
            continue;
        }
        if (n == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno == ETIMEDOUT && timeout != 0.0f)
            return false;
        SAFEUTIL_THROW(errno, nullptr);
    }
}

} // namespace

extern "C" {

KIVO_API int safestr_fd_write(int fd, safestr_t s, float timeout)
{
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, s, SAFESTR_GET_READONLY);
    const char *t = text(h);
    size_t len = h->length;
    int rc;
    if (timeout == 0.0f) {
        size_t done = 0;
        while (done < len) {
            ssize_t n = write(fd, t + done, len - done);
            if (n == -1 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
        rc = done > INT_MAX ? INT_MAX : int(done);
    } else if (len == 0) {
        rc = 0;
    } else {
        int n = fr_write_nb(fd, t, len > INT_MAX ? INT_MAX : int(len), timeout);
        rc = n > 0 ? 0 : -1;
    }
    int e = errno;
    close();
    errno = e;
    return rc;
}

KIVO_API int safestr_fd_read(int fd, int size, safestr_t *out, float timeout)
{
    if (!out)
        SAFEUTIL_THROW(EINVAL, nullptr);
    *out = nullptr;
    if (size < 0) {
        errno = EINVAL;
        return -1;
    }
    safestr_header_t *h = make(uint64_t(size), 0, SAFEUTIL_SOURCE, __LINE__);
    char *t = text(h);
    int got;
    if (timeout == 0.0f) {
        got = 0;
        while (got < size) {
            ssize_t n = read(fd, t + got, size_t(size - got));
            if (n == -1 && errno == EINTR)
                continue;
            if (n == -1) {
                if (got == 0)
                    got = -1;
                break;
            }
            if (n == 0)
                break;
            got += int(n);
        }
    } else {
        got = fr_read_nb(fd, t, size, timeout);
    }
    if (got < 0) {
        int e = errno;
        destroy(h);
        errno = e;
        return -1;
    }
    h->length = uint32_t(got);
    t[got] = 0;
    *out = handle(h);
    return got;
}

KIVO_API safestr_t safestr_fd_readline(int fd, float timeout)
{
    xxl_context_t *ctx = open();
    safestr_header_t *h = start_result(ctx, SAFEUTIL_SOURCE, __LINE__);
    if (!read_line_onto(ctx, &h, fd, timeout)) {
        discard_result(h);
        close();
        errno = ETIMEDOUT;
        return nullptr;
    }
    safestr_t r = handle(h);
    close();
    return r;
}

KIVO_API safestr_t safestr_fd_read_until(int fd, safestr_t terminator)
{
    xxl_context_t *ctx = open();
    safestr_header_t *term = take(ctx, terminator, SAFESTR_GET_READONLY);
    uint32_t tlen = term->length;
    if (tlen == 0)
        SAFEUTIL_THROW(EINVAL, nullptr);
    safestr_header_t *h = start_result(ctx, SAFEUTIL_SOURCE, __LINE__);
    for (;;) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n == 1) {
            h = append_byte(ctx, h, c);
            if (h->length >= tlen && c == text(term)[tlen - 1]
                && memcmp(text(h) + h->length - tlen, text(term), tlen) == 0)
                break;
            continue;
        }
        if (n == 0) {
            if (h->length == 0) {
                discard_result(h);
                close();
                return nullptr;
            }
            break;
        }
        if (errno == EINTR)
            continue;
        SAFEUTIL_THROW(errno, nullptr);
    }
    safestr_t r = handle(h);
    close();
    return r;
}

KIVO_API safestr_t safestr_do_readline(FILE *stream, const char *file, int line)
{
    if (!stream)
        SAFEUTIL_THROW(EINVAL, nullptr);
    xxl_context_t *ctx = open();
    safestr_header_t *h = start_result(ctx, file, line);
    bool got = false;
    int c;
    do {
        h = make_room(ctx, h); // outside the stream's lock: it may throw
        c = read_stretch(stream, h, &got);
    } while (c != '\n' && c != EOF);
    if (!got) {
        discard_result(h);
        close();
        return nullptr;
    }
    uint32_t len = h->length;
    if (c == '\n' && len > 0 && text(h)[len - 1] == '\r')
        set_length(h, len - 1);
    safestr_t r = handle(h);
    close();
    return r;
}

KIVO_API safestr_t safestr_do_getpassword(FILE *stream, safestr_t prompt, const char *file, int line)
{
    xxl_context_t *ctx = open();
    if (!stream) {
        stream = xxl_fopen("/dev/tty", "r+", XXL_ASSET_ALWAYS);
        if (!stream)
            SAFEUTIL_THROW(errno, nullptr);
    }
    // A prompt the user cannot see is a failure, not something to read a
    // password after.
    errno = 0;
    if (prompt) {
        safestr_header_t *p = take(ctx, prompt, SAFESTR_GET_READONLY);
        if (fwrite(text(p), 1, p->length, stream) != p->length)
            SAFEUTIL_THROW(errno ? errno : EIO, nullptr);
    }
    if (fflush(stream) != 0)
        SAFEUTIL_THROW(errno ? errno : EIO, nullptr);
#if KIVO_THREADS
    // Blocked while echo is off, so ^C or ^Z cannot leave the terminal mute.
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTSTP);
    if (int rc = pthread_sigmask(SIG_BLOCK, &block, &previous))
        SAFEUTIL_THROW(rc, nullptr);
    xxl_push_asset(&previous, restore_sigmask, nullptr, XXL_ASSET_ALWAYS);
#endif
    int fd = fileno(stream);
    if (fd < 0)
        SAFEUTIL_THROW(errno ? errno : EBADF, nullptr);
    saved_terminal saved;
    saved.fd = fd;
    if (tcgetattr(fd, &saved.attrs) == 0) {
        struct termios quiet = saved.attrs;
        quiet.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL);
        xxl_push_asset(&saved, restore_terminal, nullptr, XXL_ASSET_ALWAYS);
        if (tcsetattr(fd, TCSAFLUSH, &quiet) == -1)
            SAFEUTIL_THROW(errno, nullptr); // never read a password with echo on
    } else if (errno != ENOTTY) {
        // Only input that is not a terminal is read as it comes: a terminal
        // whose echo cannot be switched off is never read from.
        SAFEUTIL_THROW(errno, nullptr);
    }
    safestr_header_t *h = start_result(ctx, file, line);
    read_line_onto(ctx, &h, fd, 0.0f);
    fputc('\n', stream);
    fflush(stream);
    safestr_t r = handle(h);
    close();
    return r;
}

} // extern "C"
