// Exception frame in the thread-safe build: per-thread stacks, contexts
// left open at thread exit, xxl_lock/xxl_unlock, and many threads throwing
// while logging to one file.
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

struct exit_record {
    int code_seen;
    int cleanups;
};

void record_exit(void *asset, void *arg) {
    (void)arg;
    static_cast<exit_record *>(asset)->cleanups++;
}

// Leaves a handler block and an asset block open when the thread ends.
void *leave_open(void *arg) {
    auto *rec = static_cast<exit_record *>(arg);
    static jmp_buf jb; // never jumped to: the thread ends inside the body
    xxl_push_context(&jb);
    xxl_push_asset(rec, record_exit, nullptr, XXL_ASSET_ON_ERROR);
    xxl_push_context(nullptr);
    xxl_push_asset(rec, record_exit, nullptr, XXL_ASSET_ALWAYS);
    xxl_push_asset(rec, record_exit, nullptr, XXL_ASSET_ON_SUCCESS); // normal flags: runs
    return nullptr;
}

int code_at_cleanup;
void capture_code(void *, void *) { code_at_cleanup = xxl_current_error_code(); }

void *try_from_other_thread(void *arg) {
    auto *m = static_cast<pthread_mutex_t *>(arg);
    int r = pthread_mutex_trylock(m);
    if (r == 0)
        pthread_mutex_unlock(m);
    return reinterpret_cast<void *>(static_cast<intptr_t>(r));
}

int other_thread_trylock(pthread_mutex_t *m) {
    pthread_t t;
    void *r = nullptr;
    pthread_create(&t, nullptr, try_from_other_thread, m);
    pthread_join(t, &r);
    return static_cast<int>(reinterpret_cast<intptr_t>(r));
}

void *leave_open_code(void *) {
    static jmp_buf jb2;
    xxl_push_context(&jb2);
    xxl_push_asset(nullptr, capture_code, nullptr, XXL_ASSET_ALWAYS);
    return nullptr;
}

} // namespace

TEST(FrameThreads, ContextsOpenAtThreadExitAreCleaned) {
    exit_record rec = {0, 0};
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, leave_open, &rec), 0);
    pthread_join(t, nullptr);
    // ALWAYS and ON_SUCCESS of the asset block, not the handler's ON_ERROR:
    // the flags are left as they were, only the code is set
    EXPECT_EQ(rec.cleanups, 2);

    code_at_cleanup = 0;
    ASSERT_EQ(pthread_create(&t, nullptr, leave_open_code, nullptr), 0);
    pthread_join(t, nullptr);
    EXPECT_EQ(code_at_cleanup, -1);
}

TEST(FrameThreads, StacksArePerThread) {
    volatile int mine = 0;
    XXL_BLOCK {
        pthread_t t;
        // another thread sees no handler even while ours is open
        auto probe = [](void *) -> void * {
            return reinterpret_cast<void *>(static_cast<intptr_t>(xxl_current_error_code() + 100));
        };
        void *r = nullptr;
        pthread_create(&t, nullptr, probe, nullptr);
        pthread_join(t, &r);
        EXPECT_EQ(reinterpret_cast<intptr_t>(r), 100);
        xxl_throw_error(EBUSY, nullptr, __FILE__, __LINE__);
    } XXL_ON(EBUSY) {
        mine = 1;
    } XXL_BLOCK_END;
    EXPECT_EQ(mine, 1);
}

TEST(FrameThreads, LockTwiceUnlockOnceLeavesOneRegistration) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t m;
    pthread_mutex_init(&m, &attr);
    XXL_BLOCK {
        EXPECT_EQ(xxl_lock(&m, XXL_ASSET_ALWAYS), 0);
        EXPECT_EQ(xxl_lock(&m, XXL_ASSET_ALWAYS), 0);
        EXPECT_EQ(xxl_unlock(&m), 0);
        EXPECT_EQ(other_thread_trylock(&m), EBUSY); // one level still held
        // the block end unlocks exactly once
    } XXL_BLOCK_END;
    // fully released: another thread can take it now
    EXPECT_EQ(other_thread_trylock(&m), 0);
    pthread_mutex_destroy(&m);
    pthread_mutexattr_destroy(&attr);
}
