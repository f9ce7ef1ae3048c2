// Child processes: exit codes, real conversations over the three pipes,
// new sessions, descriptors that must not leak into children or stay open
// in the parent, and the log line of a failed pipe.
#include <gtest/gtest.h>
#include <kivo/files.h>
#include <kivo/log.h>

#include "support/fdcount.h"

#include <cerrno>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string read_all(int fd)
{
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        out.append(buf, n);
    return out;
}

int wait_exit(pid_t pid)
{
    int st = 0;
    if (waitpid(pid, &st, 0) != pid)
        return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
}

std::vector<std::string> log_lines;
void collect(const char *file, int, const char *, int level, const char *msg)
{
    log_lines.push_back(std::string(file) + "|" + std::to_string(level) + "|" + msg);
}

} // namespace

TEST(Spawn, SyncExitCodes)
{
    int code = -1;
    char *exit3[] = {(char *)"sh", (char *)"-c", (char *)"exit 3", nullptr};
    EXPECT_EQ(1, fr_spawn_sync("sh", exit3, &code));
    EXPECT_EQ(3, code);

    code = -1;
    char *missing[] = {(char *)"kivo-no-such-program", nullptr};
    EXPECT_EQ(1, fr_spawn_sync("kivo-no-such-program", missing, &code));
    EXPECT_EQ(255, code);

    // A child ended by a signal does not look like a clean exit.
    char *killed[] = {(char *)"sh", (char *)"-c", (char *)"kill -9 $$", nullptr};
    EXPECT_EQ(1, fr_spawn_sync("sh", killed, &code));
    EXPECT_EQ(128 + 9, code);

    EXPECT_EQ(1, fr_spawn_sync("true", nullptr, nullptr));
    EXPECT_EQ(0, fr_spawn_sync(nullptr, exit3, &code));
}

TEST(Spawn, ExecTalksOverAllThreePipes)
{
    int before = count_open_fds();
    int in = -1, out = -1, err = -1;
    char *argv[] = {(char *)"sh", (char *)"-c",
                    (char *)"read line; echo \"got $line\"; echo oops >&2; cat; exit 4", nullptr};
    pid_t pid = fr_exec("sh", argv, &in, &out, &err);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(before + 3, count_open_fds()); // only the three returned ends
    std::string msg = "hello\nmore text\n";
    ASSERT_EQ((ssize_t)msg.size(), write(in, msg.data(), msg.size()));
    close(in);
    EXPECT_EQ("got hello\nmore text\n", read_all(out));
    EXPECT_EQ("oops\n", read_all(err));
    close(out);
    close(err);
    EXPECT_EQ(4, wait_exit(pid));
    EXPECT_EQ(before, count_open_fds());

    // cat with stdin and stdout only; stderr stays the parent's.
    int cin = -1, cout = -1;
    pid = fr_exec("cat", nullptr, &cin, &cout, nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(before + 2, count_open_fds());
    ASSERT_EQ(4, write(cin, "meow", 4));
    close(cin);
    EXPECT_EQ("meow", read_all(cout));
    close(cout);
    EXPECT_EQ(0, wait_exit(pid));
    EXPECT_EQ(before, count_open_fds());
}

TEST(Spawn, NoPipeLeaksIntoOtherChildren)
{
    // A first child whose pipe ends the parent keeps open.
    int in1 = -1, out1 = -1, err1 = -1;
    pid_t first = fr_exec("cat", nullptr, &in1, &out1, &err1);
    ASSERT_GT(first, 0);

    // The second child lists its own descriptors.
    int out2 = -1;
    char *argv[] = {(char *)"sh", (char *)"-c", (char *)"cd /proc/$$/fd && echo *", nullptr};
    pid_t second = fr_exec("sh", argv, nullptr, &out2, nullptr);
    ASSERT_GT(second, 0);
    std::istringstream fds(read_all(out2));
    close(out2);
    EXPECT_EQ(0, wait_exit(second));
    std::set<int> seen;
    for (int fd; fds >> fd;)
        seen.insert(fd);
    EXPECT_EQ(1u, seen.count(1));
    for (int fd : {in1, out1, err1})
        EXPECT_EQ(0u, seen.count(fd)) << "descriptor " << fd << " leaked into the child";

    close(in1);
    EXPECT_EQ("", read_all(out1));
    close(out1);
    close(err1);
    EXPECT_EQ(0, wait_exit(first));
}

TEST(Spawn, AsyncChildStartsANewSession)
{
    int out = -1;
    char *argv[] = {(char *)"sh", (char *)"-c", (char *)"echo $$ $(cut -d' ' -f6 /proc/$$/stat)", nullptr};
    ASSERT_EQ(1, fr_spawn_async_piped("sh", argv, nullptr, &out, nullptr));
    std::istringstream words(read_all(out));
    close(out);
    pid_t pid = 0, sid = -1;
    words >> pid >> sid;
    ASSERT_GT(pid, 0);
    EXPECT_EQ(pid, sid);
    EXPECT_NE(getsid(0), sid);
    EXPECT_EQ(0, wait_exit(pid));
}

TEST(Spawn, FailedPipeIsLoggedAndLeavesNothingOpen)
{
    fr_log_setlogger(collect);
    log_lines.clear();
    EXPECT_EQ(0, fr_exec(nullptr, nullptr, nullptr, nullptr, nullptr));

    // Allow exactly two more descriptors: the stdin pipe fits, stdout fails.
    std::vector<int> free_fds;
    for (int fd = 0; free_fds.size() < 2; fd++)
        if (fcntl(fd, F_GETFD) == -1)
            free_fds.push_back(fd);
    struct rlimit old, lim;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    lim = old;
    lim.rlim_cur = (rlim_t)free_fds[1] + 1;
    int before = count_open_fds();
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));
    int in = -1, out = -1;
    pid_t pid = fr_exec("cat", nullptr, &in, &out, nullptr);
    int e = errno;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &old));
    fr_log_setlogger(nullptr);
    EXPECT_EQ(0, pid);
    EXPECT_EQ(EMFILE, e);
    EXPECT_EQ(before, count_open_fds());
    ASSERT_FALSE(log_lines.empty());
    EXPECT_EQ("spawn|3|Creating pipe for stdout failed", log_lines.back());
}
