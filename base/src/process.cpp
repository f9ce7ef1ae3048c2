/*
 * Starting child programs, with optional pipes to their standard streams,
 * asynchronously or waiting for them. Only libc and the logger are called;
 * no frame exception can cross this file.
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

const char *const pipe_failures[3] = {"Creating pipe for stdin failed", "Creating pipe for stdout failed",
                                      "Creating pipe for stderr failed"};

void close_pipes(int p[3][2])
{
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 2; j++)
            if (p[i][j] != -1) {
                int r;
                SPAWN_WRAP(r, "close", close(p[i][j]));
                (void)r;
                p[i][j] = -1;
            }
}

[[noreturn]] void child_failed(const char *file)
{
    fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 3, "Spawning of %s failed", file);
    _exit(255);
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
    pid_t pid = fork();
    if (pid == -1) {
        int e = errno;
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 4, "Forking:%s", strerror(e));
        close_pipes(p);
        errno = e;
        return 0;
    }
    if (pid == 0) {
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
            SPAWN_WRAP(r, "dup2", dup2(tmp[i], i));
            if (r == -1)
                _exit(255);
            SPAWN_WRAP(r, "close", close(tmp[i]));
        }
        /* Pipe ends numbered 0-2 were just replaced by dup2 and must stay. */
        for (int i = 0; i < 3; i++)
            for (int j = 0; j < 2; j++)
                if (p[i][j] > 2) {
                    int r;
                    SPAWN_WRAP(r, "close", close(p[i][j]));
                    (void)r;
                }
        if (new_session) {
            int r;
            SPAWN_WRAP(r, "setsid", setsid());
            (void)r;
        }
        int r;
        SPAWN_WRAP(r, "execvp", execvp(file, argv));
        (void)r;
        child_failed(file);
    }
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
    pid_t pid = fork();
    if (pid == -1) {
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 4, "Forking:%s", strerror(errno));
        return 0;
    }
    if (pid == 0) {
        int r;
        SPAWN_WRAP(r, "execvp", execvp(file, argv));
        (void)r;
        child_failed(file);
    }
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
