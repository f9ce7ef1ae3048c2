// Starting programs while another thread holds the logger: the child of a
// fork must not wait for a lock whose owner it does not have.
#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <kivo/files.h>
#include <kivo/log.h>

namespace {

std::atomic<int> holder_state{0}; // 1 holding the logger, 2 release it
std::atomic<bool> release_armed{false};

// Runs in the parent right after each fork.
void release_after_fork() {
    if (release_armed.load())
        holder_state.store(2);
}

void *hold_logger(void *) {
    pthread_mutex_lock(&fr_log_obj.mutex);
    holder_state.store(1);
    for (int i = 0; i < 20000 && holder_state.load() != 2; i++)
        usleep(500);
    pthread_mutex_unlock(&fr_log_obj.mutex);
    return nullptr;
}

// Waits up to ten seconds for pid; kills it when it does not end.
int wait_bounded(pid_t pid, int *status) {
    for (int i = 0; i < 1000; i++) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return 1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    return 0;
}

std::atomic<bool> sync_done{false};
std::atomic<int> sync_code{-1};

void *run_sync(void *argv) {
    int code = -1;
    if (fr_spawn_sync("kivo-no-such-program", static_cast<char **>(argv), &code) != 1)
        code = -2;
    sync_code.store(code);
    sync_done.store(true);
    return nullptr;
}

// Kills every child of this process (each thread's list in /proc).
void kill_children() {
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string path = std::string("/proc/self/task/") + e->d_name + "/children";
        FILE *f = fopen(path.c_str(), "r");
        if (!f)
            continue;
        int child;
        while (fscanf(f, "%d", &child) == 1)
            kill(child, SIGKILL);
        fclose(f);
    }
    closedir(d);
}

} // namespace

// A program that cannot be run, started while another thread holds the
// logger at the fork: the child ends with 255 at once and the failure is
// logged (by the parent) with the usual text.
TEST(SpawnThreads, ExecFailureWhileTheLoggerIsHeld) {
    static bool registered = false;
    if (!registered) {
        ASSERT_EQ(pthread_atfork(nullptr, release_after_fork, nullptr), 0);
        registered = true;
    }
    char path[] = "/tmp/kivo_spawnlog_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    fr_log_setlogger(nullptr);
    ASSERT_EQ(fr_log_init("kivo-test", 8, (char *)nullptr), 1);
    ASSERT_EQ(fr_log_init_altsyslog(path), 0);

    char *argv[] = {(char *)"kivo-no-such-program", nullptr};
    struct {
        const char *how;
        bool sync;
    } cases[] = {{"fr_exec", false}, {"fr_spawn_sync", true}};
    for (auto &c : cases) {
        holder_state.store(0);
        pthread_t holder;
        ASSERT_EQ(pthread_create(&holder, nullptr, hold_logger, nullptr), 0);
        while (holder_state.load() != 1)
            usleep(100);
        release_armed.store(true);
        if (c.sync) {
            sync_done.store(false);
            pthread_t runner;
            ASSERT_EQ(pthread_create(&runner, nullptr, run_sync, argv), 0);
            bool done = false;
            for (int i = 0; i < 1000 && !(done = sync_done.load()); i++)
                usleep(10000);
            if (!done)
                kill_children(); // the hung child, so that the wait ends
            pthread_join(runner, nullptr);
            EXPECT_TRUE(done) << c.how << ": the child hangs";
            EXPECT_EQ(sync_code.load(), 255) << c.how;
        } else {
            pid_t pid = fr_exec("kivo-no-such-program", argv, nullptr, nullptr, nullptr);
            ASSERT_GT(pid, 0);
            int st = 0;
            EXPECT_TRUE(wait_bounded(pid, &st)) << c.how << ": the child hangs";
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 255) << c.how << " status " << st;
        }
        release_armed.store(false);
        holder_state.store(2);
        pthread_join(holder, nullptr);
    }
    fr_log_close();
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(path);
    // both failures logged, by this process
    size_t first = ss.str().find("Spawning of kivo-no-such-program failed\n");
    ASSERT_NE(first, std::string::npos) << ss.str();
    EXPECT_NE(ss.str().find("Spawning of kivo-no-such-program failed\n", first + 1), std::string::npos) << ss.str();
}
