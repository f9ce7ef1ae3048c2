// The log lines that only show when a system call fails: a program that
// cannot be run (logged by the child itself), a child that cannot be waited
// for, a fork refused by the kernel, and a timer that cannot be stopped or
// whose previous SIGALRM action cannot be restored. Refused calls are made
// real with a seccomp filter in a forked test process.
#include <kivo/exceptions.h>
#include <stdint.h>
#include <gtest/gtest.h>
#include <kivo/files.h>
#include <kivo/log.h>
#include <kivo/timer.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The child logs too, so every line goes through a pipe: the callback
// writes "file|level|function|message\n" with one write() per line.
int log_pipe[2] = {-1, -1};

void to_pipe(const char *file, int, const char *function, int level, const char *message)
{
    char line[512];
    int n = snprintf(line, sizeof line, "%s|%d|%s|%s\n", file, level, function, message);
    if (n > 0 && write(log_pipe[1], line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1) < 0)
        return;
}

std::string drain()
{
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(log_pipe[0], buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    return out;
}

constexpr int no_seccomp = 77;

// From here on, the listed system calls fail with err in this process.
bool refuse_syscalls(const int *nrs, int count, int err)
{
    struct sock_filter f[64];
    int n = 0;
    f[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch));
    f[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0);
    f[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    f[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr));
    for (int i = 0; i < count; i++) {
        f[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)nrs[i], 0, 1);
        f[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (unsigned)(err & SECCOMP_RET_DATA));
    }
    f[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    struct sock_fprog prog = {(unsigned short)n, f};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Runs body in a child process whose log lines come back through the pipe;
// returns the child's exit status (or -1).
template <typename F> int in_child(F body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st))
        return -1;
    return WEXITSTATUS(st);
}

class SpawnLog : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, pipe2(log_pipe, O_CLOEXEC | O_NONBLOCK));
        fr_log_setlogger(to_pipe);
    }
    void TearDown() override
    {
        fr_log_setlogger(nullptr);
        close(log_pipe[0]);
        close(log_pipe[1]);
    }
};

} // namespace

TEST_F(SpawnLog, ProgramThatCannotRunIsLoggedByTheChild)
{
    char *argv[] = {(char *)"kivo-no-such-program", nullptr};
    int code = -1;
    ASSERT_EQ(1, fr_spawn_sync("kivo-no-such-program", argv, &code));
    EXPECT_EQ(255, code);
    std::string lines = drain();
    // The failed execvp goes through the retry rule first (destination
    // console, debug level), then the child reports the program.
    EXPECT_NE(std::string::npos, lines.find("wrappers|7|handle_wrap_result|:execvp -- No such file or directory\n"))
        << lines;
    EXPECT_NE(std::string::npos, lines.find("spawn|3|child_failed|Spawning of kivo-no-such-program failed\n"))
        << lines;

    // The asynchronous starter's child says the same.
    int out = -1;
    pid_t pid = fr_exec("kivo-no-such-program", argv, nullptr, &out, nullptr);
    ASSERT_GT(pid, 0);
    int st = 0;
    ASSERT_EQ(pid, waitpid(pid, &st, 0));
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(255, WEXITSTATUS(st));
    close(out);
    lines = drain();
    EXPECT_NE(std::string::npos, lines.find("spawn|3|child_failed|Spawning of kivo-no-such-program failed\n"))
        << lines;
}

TEST_F(SpawnLog, ChildThatCannotBeWaitedFor)
{
    // With SIGCHLD ignored the kernel reaps the child itself, and waitpid
    // fails with ECHILD once it has ended.
    struct sigaction ign = {}, old = {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ASSERT_EQ(0, sigaction(SIGCHLD, &ign, &old));
    char *argv[] = {(char *)"true", nullptr};
    int code = -7;
    int r = fr_spawn_sync("true", argv, &code);
    int e = errno;
    sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(0, r);
    EXPECT_EQ(ECHILD, e);
    EXPECT_EQ(-7, code); // nothing stored
    std::string lines = drain();
    EXPECT_NE(std::string::npos, lines.find("wrappers|7|handle_wrap_result|:waitpid -- No child processes\n"))
        << lines;
    EXPECT_NE(std::string::npos, lines.find("spawn|3|fr_spawn_sync|Waiting of child process failed\n")) << lines;
}

#if defined(__x86_64__)
TEST_F(SpawnLog, RefusedForkIsLoggedAndNothingLeaks)
{
    int status = in_child([] {
        static const int forks[] = {SYS_clone, SYS_clone3, SYS_fork, SYS_vfork};
        if (!refuse_syscalls(forks, 4, EAGAIN))
            return no_seccomp;
        char *argv[] = {(char *)"true", nullptr};
        int code = -7;
        if (fr_spawn_sync("true", argv, &code) != 0 || code != -7)
            return 11;
        int in = -1, out = -1;
        int probe = dup(0); // the lowest free descriptor before the attempt
        close(probe);
        if (fr_exec("true", argv, &in, &out, nullptr) != 0 || in != -1 || out != -1)
            return 12;
        int after = dup(0); // the pipes made for the attempt are closed again
        close(after);
        if (after != probe)
            return 13;
        if (fr_spawn_async_piped("true", argv, nullptr, nullptr, nullptr) != 0)
            return 14;
        return 0;
    });
    if (status == no_seccomp)
        GTEST_SKIP() << "seccomp filters are not available here";
    ASSERT_EQ(0, status);
    std::string lines = drain();
    const std::string refused = "Forking:Resource temporarily unavailable\n";
    EXPECT_NE(std::string::npos, lines.find("spawn|4|fr_spawn_sync|" + refused)) << lines;
    size_t first = lines.find("spawn|4|start|" + refused);
    ASSERT_NE(std::string::npos, first) << lines;
    EXPECT_NE(std::string::npos, lines.find("spawn|4|start|" + refused, first + 1)) << lines;
}

TEST_F(SpawnLog, TimerThatCannotBeStoppedOrRestored)
{
    int status = in_child([] {
        if (!fr_timer_init())
            return 10;
        static const int calls[] = {SYS_setitimer, SYS_rt_sigaction};
        if (!refuse_syscalls(calls, 2, EPERM))
            return no_seccomp;
        fr_timer_cleanup();
        return 0;
    });
    if (status == no_seccomp)
        GTEST_SKIP() << "seccomp filters are not available here";
    ASSERT_EQ(0, status);
    std::string lines = drain();
    size_t stop = lines.find("timer|4|_stop_timer|Stopping timer:Operation not permitted\n");
    size_t restore = lines.find("timer|4|fr_timer_cleanup|Restoring previos SIGALRM handler:Operation not permitted\n");
    size_t destroy = lines.find("timer|7|fr_timer_cleanup|Destroying timer list\n");
    ASSERT_NE(std::string::npos, stop) << lines;
    ASSERT_NE(std::string::npos, restore) << lines;
    ASSERT_NE(std::string::npos, destroy) << lines;
    EXPECT_LT(stop, restore);
    EXPECT_LT(restore, destroy);
}
#endif

#if defined(__x86_64__)
namespace {

// From here on, close(fd) fails with err in this process without closing.
bool refuse_close_of(int fd, int err)
{
    struct sock_filter f[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)fd, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (unsigned)(err & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {(unsigned short)(sizeof f / sizeof f[0]), f};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

void *fd_key(int fd) { return reinterpret_cast<void *>(static_cast<intptr_t>(fd)); }

} // namespace

// A close that reports EINTR has closed the descriptor on Linux: it is never
// tried again (a second close could hit another thread's new descriptor)
// and the frame's wrappers drop its registration all the same.
TEST_F(SpawnLog, CloseIsNeverRetried)
{
    int status = in_child([] {
        alarm(20); // a close retried for ever ends here
        int probe[2];
        if (pipe(probe) != 0)
            return 10;
        close(probe[0]);
        close(probe[1]);
        // fr_exec's stdout pipe gets the same two numbers; the parent
        // closes the write end.
        int victim = probe[1];
        if (!refuse_close_of(victim, EINTR))
            return no_seccomp;
        char *argv[] = {(char *)"true", nullptr};
        int out = -1;
        pid_t pid = fr_exec("true", argv, nullptr, &out, nullptr);
        if (pid <= 0)
            return 11;
        if (out != probe[0])
            return 12;
        int st = 0;
        if (waitpid(pid, &st, 0) != pid)
            return 13;
        struct {
            int (*close_fn)(int);
            xxl_assetfreefn_t cleanup;
        } wrappers[] = {{xxl_close, xxl_cleanup_fd}, {xxl_closesocket, xxl_cleanup_socket}};
        xxl_context_t *c = xxl_push_context(nullptr);
        for (auto &w : wrappers) {
            xxl_push_asset(fd_key(victim), w.cleanup, nullptr, XXL_ASSET_ALWAYS);
            errno = 0;
            if (w.close_fn(victim) != -1 || errno != EINTR)
                return 14;
            if (c->assets != nullptr) {
                xxl_release_asset(fd_key(victim), XXL_RELEASE_ALL);
                return 15; // kept: the block's end would close the number again
            }
        }
        xxl_pop_context();
        return 0;
    });
    if (status == no_seccomp)
        GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(0, status);
}
#endif
