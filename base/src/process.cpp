/*
 * Starting child programs, with optional pipes to their standard streams,
 * asynchronously or waiting for them. Only libc and the logger are called;
 * no frame exception can cross this file.
 *
 * Between fork and exec the child calls only async-signal-safe functions:
 * another thread may have held the logger's or the allocator's lock at the
 * fork, and the child would wait for it for ever. A failed exec is reported
 * to the parent over a close-on-exec pipe, and the parent logs it.
 */
#define KIVO_FILE "spawn"
#include <kivo/files.h>
#include <kivo/log.h>
#include <kivo/memory.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

/* A system call retried while handle_wrap_result() asks for it; the result
 * lands in a local as well, since __fr_wrap_ret is shared by all threads. */
#define SPAWN_WRAP(res, name, call)                                                        \
    do {                                                                                   \
        (res) = (int)(call);                                                               \
        __fr_wrap_ret = (res);                                                             \
    } while (handle_wrap_result(0, "", name, (res)))

namespace {

/* close is never retried: on Linux the descriptor is gone even when close
 * reports EINTR, and a second close could hit another thread's new one. */
void close_once(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

/* The child's side of a call that may be interrupted: retried on EINTR,
 * never logged. */
#define CHILD_RETRY(res, call)                                                             \
    do {                                                                                   \
        (res) = (int)(call);                                                               \
    } while ((res) == -1 && errno == EINTR)

const char *const pipe_failures[3] = {"Creating pipe for stdin failed", "Creating pipe for stdout failed",
                                      "Creating pipe for stderr failed"};

void close_pipes(int p[3][2])
{
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 2; j++)
            if (p[i][j] != -1) {
                close_once(p[i][j]);
                p[i][j] = -1;
            }
}

/* Child: the exec failed; its errno goes to the parent, then the child ends. */
[[noreturn]] void exec_failed(int status_fd)
{
    int e = errno;
    ssize_t w;
    do {
        w = write(status_fd, &e, sizeof e);
    } while (w == -1 && errno == EINTR);
    _exit(255);
}

/* Parent: waits until the child has run its program (the status pipe closes
 * at exec) or reported that it could not. A failure is logged here as the
 * child would have: the retry rule's line for execvp, then the program. */
void child_failed(int status_fd, const char *file)
{
    int e = 0;
    ssize_t n;
    do {
        n = read(status_fd, &e, sizeof e);
    } while (n == -1 && errno == EINTR);
    close_once(status_fd);
    if (n != (ssize_t)sizeof e)
        return; /* the program runs */
    errno = e;
    handle_wrap_result(0, "", "execvp", -1);
    fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 3, "Spawning of %s failed", file);
}

/* The pipe the child reports a failed exec on; -1 and logged as a failed
 * fork when it cannot be made. */
int status_pipe(int sp[2], const char *caller)
{
    int r;
    SPAWN_WRAP(r, "pipe", pipe2(sp, O_CLOEXEC));
    if (r == -1) {
        int e = errno;
        fr_log_impl(KIVO_FILE, __LINE__, caller, FR_LOG_SYSLOG, 4, "Forking:%s", strerror(e));
        errno = e;
    }
    return r;
}

pid_t start(const char *file, char *const argv[], int *fds[3], bool new_session)
{
    if (!file) {
        errno = EINVAL;
        return 0;
    }
    char *const default_argv[2] = {(char *)file, nullptr};
    if (!argv)
        argv = default_argv;
    int p[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    for (int i = 0; i < 3; i++) {
        if (!fds[i])
            continue;
        int r;
        /* Close-on-exec, so one child's pipes never leak into another. */
        SPAWN_WRAP(r, "pipe", pipe2(p[i], O_CLOEXEC));
        if (r == -1) {
            int e = errno;
            fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 3, "%s", pipe_failures[i]);
            close_pipes(p);
            errno = e;
            return 0;
        }
    }
    int sp[2];
    if (status_pipe(sp, __func__) == -1) {
        int e = errno;
        close_pipes(p);
        errno = e;
        return 0;
    }
    pid_t pid = fork();
    if (pid == -1) {
        int e = errno;
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 4, "Forking:%s", strerror(e));
        close_pipes(p);
        close_once(sp[0]);
        close_once(sp[1]);
        errno = e;
        return 0;
    }
    if (pid == 0) {
        close(sp[0]);
        /* The status pipe must survive the stream set-up below. */
        if (sp[1] <= 2 && (sp[1] = fcntl(sp[1], F_DUPFD_CLOEXEC, 3)) == -1)
            _exit(255);
        /* The child's end of pipe i is read end for stdin, write end for
         * the others. Copy all of them above 2 first, so that connecting
         * one stream cannot overwrite another pipe end that happened to
         * get a low number. */
        int tmp[3] = {-1, -1, -1};
        for (int i = 0; i < 3; i++)
            if (fds[i] && (tmp[i] = fcntl(p[i][i == 0 ? 0 : 1], F_DUPFD_CLOEXEC, 3)) == -1)
                _exit(255);
        for (int i = 0; i < 3; i++) {
            if (!fds[i])
                continue;
            int r;
            CHILD_RETRY(r, dup2(tmp[i], i));
            if (r == -1)
                _exit(255);
            close(tmp[i]);
        }
        /* Pipe ends numbered 0-2 were just replaced by dup2 and must stay. */
        for (int i = 0; i < 3; i++)
            for (int j = 0; j < 2; j++)
                if (p[i][j] > 2)
                    close(p[i][j]);
        if (new_session)
            setsid();
        int r;
        CHILD_RETRY(r, execvp(file, argv));
        (void)r;
        exec_failed(sp[1]);
    }
    close_once(sp[1]);
    child_failed(sp[0], file);
    for (int i = 0; i < 3; i++) {
        if (!fds[i])
            continue;
        int keep = i == 0 ? 1 : 0;
        *fds[i] = p[i][keep];
        p[i][keep] = -1;
    }
    close_pipes(p);
    return pid;
}

} // namespace

extern "C" {

KIVO_API pid_t fr_exec(const char *file, char *const argv[], int *stdin_fd, int *stdout_fd, int *stderr_fd)
{
    int *fds[3] = {stdin_fd, stdout_fd, stderr_fd};
    return start(file, argv, fds, false);
}

KIVO_API int fr_spawn_async_piped(const char *file, char *const argv[], int *stdin_fd, int *stdout_fd,
                                  int *stderr_fd)
{
    int *fds[3] = {stdin_fd, stdout_fd, stderr_fd};
    return start(file, argv, fds, true) > 0 ? 1 : 0;
}

KIVO_API int fr_spawn_sync(const char *file, char *const argv[], int *exit_code)
{
    if (!file) {
        errno = EINVAL;
        return 0;
    }
    char *const default_argv[2] = {(char *)file, nullptr};
    if (!argv)
        argv = default_argv;
    int sp[2];
    if (status_pipe(sp, __func__) == -1)
        return 0;
    pid_t pid = fork();
    if (pid == -1) {
        int e = errno;
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 4, "Forking:%s", strerror(e));
        close_once(sp[0]);
        close_once(sp[1]);
        errno = e;
        return 0;
    }
    if (pid == 0) {
        close(sp[0]);
        int r;
        CHILD_RETRY(r, execvp(file, argv));
        (void)r;
        exec_failed(sp[1]);
    }
    close_once(sp[1]);
    child_failed(sp[0], file);
    int status = 0, r;
    SPAWN_WRAP(r, "waitpid", waitpid(pid, &status, 0));
    if (r == -1) {
        int e = errno;
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 3, "Waiting of child process failed");
        errno = e;
        return 0;
    }
    if (exit_code) {
        if (WIFEXITED(status))
            *exit_code = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            *exit_code = 128 + WTERMSIG(status); /* a crash is not a clean exit 0 */
        else
            *exit_code = (status >> 8) & 0xFF;
    }
    return 1;
}

} // extern "C"
