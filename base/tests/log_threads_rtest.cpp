// Eight threads open, throw through and close nested blocks while logging
// to one file slot: every line arrives whole.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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
