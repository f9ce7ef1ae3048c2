// Eight threads open, throw through and close nested blocks while logging
// to one file slot: every line arrives whole.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <atomic>
#include <string>
#include <gtest/gtest.h>
#include <kivo/exceptions.h>
#include <kivo/log.h>

namespace {
constexpr int kThreads = 8;
constexpr int kRounds = 100000;

void count_cleanup(void *asset, void *) { ++*static_cast<long *>(asset); }

// One nested block pair; 1 when the exception arrived intact.
int one_round(long id, int i, long *cleaned) {
    volatile int caught = 0;
    XXL_BLOCK {
        XXL_BLOCK {
            xxl_push_asset(cleaned, count_cleanup, nullptr, XXL_ASSET_ON_ERROR);
            xxl_throw_error(EAGAIN, reinterpret_cast<void *>(id), "worker", i);
        } XXL_ON(EINVAL) {
        } XXL_BLOCK_END;
    } XXL_ON(EAGAIN) {
        caught = xxl_current_error_data() == reinterpret_cast<void *>(id) && xxl_current_error_line() == i;
    } XXL_BLOCK_END;
    return caught;
}

void *worker(void *arg) {
    long id = reinterpret_cast<long>(arg);
    long cleaned = 0, caught = 0;
    for (int i = 0; i < kRounds; i++) {
        caught += one_round(id, i, &cleaned);
        fr_log_impl("worker", __LINE__, "worker", FR_LOG_FILE(0), 6, "thread %ld round %d payload %s", id, i,
                    "abcdefghijklmnopqrstuvwxyz0123456789");
    }
    return reinterpret_cast<void *>(cleaned == kRounds && caught == kRounds ? 1L : 0L);
}
} // namespace

TEST(LogThreads, NoLostOrInterleavedLines) {
    char path[] = "/tmp/kivo_logthreads_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(fr_log_init("kivo-test", 8, path, (char *)nullptr), 1);
    pthread_t t[kThreads];
    for (long i = 0; i < kThreads; i++)
        pthread_create(&t[i], nullptr, worker, reinterpret_cast<void *>(i));
    for (int i = 0; i < kThreads; i++) {
        void *ok = nullptr;
        pthread_join(t[i], &ok);
        EXPECT_EQ(ok, reinterpret_cast<void *>(1L)) << "thread " << i;
    }
    fr_log_close();

    FILE *f = fopen(path, "r");
    ASSERT_NE(f, nullptr);
    static long next[kThreads];
    char line[512];
    long lines = 0, bad = 0;
    while (fgets(line, sizeof line, f)) {
        lines++;
        // "<time>\tLOG_INFO:\tthread <id> round <i> payload ...\n"
        const char *p = strstr(line, "\tLOG_INFO:\tthread ");
        long id = -1;
        int round = -1;
        char payload[64];
        if (!p || sscanf(p, "\tLOG_INFO:\tthread %ld round %d payload %63s", &id, &round, payload) != 3 ||
            id < 0 || id >= kThreads || strcmp(payload, "abcdefghijklmnopqrstuvwxyz0123456789") != 0 ||
            line[strlen(line) - 1] != '\n') {
            bad++;
            continue;
        }
        if (round != next[id])
            bad++; // each thread's lines stay in its own order
        next[id] = round + 1;
    }
    fclose(f);
    unlink(path);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(lines, static_cast<long>(kThreads) * kRounds);
}

namespace {

std::atomic<bool> stop_logging{false};

void *log_until_stopped(void *arg) {
    long id = reinterpret_cast<long>(arg);
    for (long n = 0; !stop_logging.load(); n++)
        fr_log_impl("swap", __LINE__, "swap", FR_LOG_SYSLOG | FR_LOG_FILE(0) | FR_LOG_FILE(1), 3,
                    "thread %ld line %ld end", id, n);
    return nullptr;
}

// Every line of a file is whole; returns the number of lines, or -1.
long whole_lines(const char *path) {
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char line[512];
    long n = 0, bad = 0;
    while (fgets(line, sizeof line, f)) {
        long id = -1, k = -1;
        const char *p = strstr(line, "thread ");
        n++;
        if (!p || sscanf(p, "thread %ld line %ld end", &id, &k) != 2 || strcmp(line + strlen(line) - 5, " end\n") != 0)
            bad++;
    }
    fclose(f);
    return bad ? -1 : n;
}

void pipe_slot_path(int fd, char *out, size_t size) { snprintf(out, size, "/proc/self/fd/%d", fd); }

void *log_into_full_pipe(void *) {
    for (;;) {
        fr_log_impl("cancel", __LINE__, "cancel", FR_LOG_FILE(0), 3, "%0500d", 7);
        pthread_testcancel();
    }
    return nullptr;
}

} // namespace

// Closing and opening the logger's streams while other threads write to
// them: no crash, and every line that reaches a file is whole (lines sent
// while the logger is closed are dropped).
TEST(LogThreads, ReconfiguringWhileOthersLog) {
    char dir[] = "/tmp/kivo_logswap_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string slot0 = std::string(dir) + "/slot0", slot1 = std::string(dir) + "/slot1",
                alt = std::string(dir) + "/alt";
    ASSERT_EQ(fr_log_init("kivo-test", 8, slot0.c_str(), slot1.c_str(), (char *)nullptr), 1);
    ASSERT_EQ(fr_log_init_altsyslog(alt.c_str()), 0);
    stop_logging.store(false);
    pthread_t t[4];
    for (long i = 0; i < 4; i++)
        ASSERT_EQ(pthread_create(&t[i], nullptr, log_until_stopped, reinterpret_cast<void *>(i)), 0);
    for (int round = 0; round < 1500; round++) {
        EXPECT_EQ(fr_log_init_altsyslog(alt.c_str()), 0); // swapped while open
        fr_log_close();
        EXPECT_EQ(fr_log_init("kivo-test", 8, slot0.c_str(), slot1.c_str(), (char *)nullptr), 1);
        EXPECT_EQ(fr_log_init_altsyslog(alt.c_str()), 0);
    }
    stop_logging.store(true);
    for (auto &th : t)
        pthread_join(th, nullptr);
    fr_log_close();
    for (const std::string &p : {slot0, slot1, alt}) {
        EXPECT_GT(whole_lines(p.c_str()), 0) << p;
        unlink(p.c_str());
    }
    rmdir(dir);
}

// A thread cancelled while its line is stuck in a full pipe leaves neither
// the stream nor the logger locked.
TEST(LogThreads, CancelledWriterLeavesNothingLocked) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    char slot[64];
    pipe_slot_path(p[1], slot, sizeof slot);
    ASSERT_EQ(fr_log_init("kivo-test", 8, slot, (char *)nullptr), 1);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, log_into_full_pipe, nullptr), 0);
    // Wait until the pipe is full and the writer blocked in it.
    int queued = 0, last = -1;
    for (int i = 0; i < 2000; i++) {
        usleep(2000);
        ioctl(p[0], FIONREAD, &queued);
        if (queued > 0 && queued == last)
            break;
        last = queued;
    }
    ASSERT_GT(queued, 0);
    pthread_cancel(t);
    // Drain until the writer is gone (a writer that finishes its line first
    // is cancelled at its next cancellation point).
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    char buf[4096];
    bool joined = false;
    for (int i = 0; i < 5000 && !joined; i++) {
        while (read(p[0], buf, sizeof buf) > 0) {
        }
        timespec limit;
        clock_gettime(CLOCK_REALTIME, &limit);
        limit.tv_nsec += 2000000;
        if (limit.tv_nsec >= 1000000000) {
            limit.tv_sec++;
            limit.tv_nsec -= 1000000000;
        }
        joined = pthread_timedjoin_np(t, nullptr, &limit) == 0;
    }
    ASSERT_TRUE(joined);
    FILE *stream = fr_log_obj.files[0];
    ASSERT_NE(stream, nullptr);
    // The dead thread must not own it (else anything below would hang).
    ASSERT_EQ(ftrylockfile(stream), 0);
    funlockfile(stream);
    // and this thread can still log and close
    fr_log_impl("cancel", __LINE__, "cancel", FR_LOG_FILE(0), 3, "after");
    while (read(p[0], buf, sizeof buf) > 0) {
    }
    EXPECT_EQ(fr_log_close(), 0);
    close(p[0]);
    close(p[1]);
}
