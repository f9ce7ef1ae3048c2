// Exception frame in the thread-safe build: per-thread stacks, contexts
// left open at thread exit, xxl_lock/xxl_unlock, and many threads throwing
// while logging to one file.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <dlfcn.h>
#include <signal.h>
#include <stdint.h>
#include <atomic>
#include <vector>
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
    xxl_push_asset(rec, record_exit, nullptr, XXL_ASSET_ON_SUCCESS); // leaving a thread: does not run
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
    // the handler's ON_ERROR and the asset block's ALWAYS, not its
    // ON_SUCCESS: leaving a thread is not a success
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

namespace {

// Which cleanups ran when a thread left its blocks by pthread_exit or by
// cancellation.
char exit_trail[128];
void exit_tag(void *asset, void *) {
    size_t n = strlen(exit_trail);
    snprintf(exit_trail + n, sizeof exit_trail - n, "%s;", static_cast<const char *>(asset));
}

std::atomic<int> exit_ready{0};

void *exit_in_block(void *arg) {
    const bool cancel = arg != nullptr;
    XXL_BLOCK {
        xxl_push_asset((void *)"err", exit_tag, nullptr, XXL_ASSET_ON_ERROR);
        xxl_push_asset((void *)"always", exit_tag, nullptr, XXL_ASSET_ALWAYS);
        xxl_push_asset((void *)"success", exit_tag, nullptr, XXL_ASSET_ON_SUCCESS);
        xxl_push_context(nullptr);
        xxl_push_asset((void *)"inner-success", exit_tag, nullptr, XXL_ASSET_ON_SUCCESS);
        xxl_push_asset((void *)"inner-err", exit_tag, nullptr, XXL_ASSET_ON_ERROR);
        if (!cancel)
            pthread_exit(nullptr);
        exit_ready.store(1);
        for (;;)
            pause(); // a cancellation point
    } XXL_BLOCK_END;
    return nullptr;
}

void raise_in_cleanup(void *, void *) { xxl_throw_error(EIO, nullptr, "cleanup", 1); }

void *exit_with_raising_cleanup(void *) {
    XXL_BLOCK {
        xxl_push_asset(nullptr, raise_in_cleanup, nullptr, XXL_ASSET_ALWAYS);
        pthread_exit(nullptr);
    } XXL_ON(EIO) {
    } XXL_BLOCK_END;
    return nullptr;
}

// The cancellation type in force when the frame makes a thread's state.
thread_local bool probe_first_state;
thread_local int type_at_first_state = -1;

void *first_push_with_async_cancel(void *) {
    int old = 0;
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &old);
    probe_first_state = true;
    xxl_push_context(nullptr);
    probe_first_state = false;
    xxl_pop_context();
    pthread_setcanceltype(old, nullptr);
    return reinterpret_cast<void *>(static_cast<intptr_t>(type_at_first_state));
}

} // namespace

// The frame's first push in a thread stores the new state with
// pthread_setspecific: this program's definition looks at the cancellation
// type in force at that moment, then hands on to the C library's. Not
// instrumented and no guarded static: ThreadSanitizer calls it while it
// sets a new thread up.
using setspecific_fn = int (*)(pthread_key_t, const void *);
setspecific_fn real_setspecific;
extern "C" __attribute__((no_sanitize("thread"))) int pthread_setspecific(pthread_key_t key,
                                                                        const void *value) noexcept {
    setspecific_fn real = __atomic_load_n(&real_setspecific, __ATOMIC_ACQUIRE);
    if (!real) {
        real = reinterpret_cast<setspecific_fn>(dlsym(RTLD_NEXT, "pthread_setspecific"));
        __atomic_store_n(&real_setspecific, real, __ATOMIC_RELEASE);
    }
    if (probe_first_state) {
        int type = -1;
        pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &type);
        pthread_setcanceltype(type, nullptr);
        type_at_first_state = type;
    }
    return real(key, value);
}

// Leaving a thread is not a success: pthread_exit and cancellation inside a
// block run the error and always cleanups, not the success ones; a cleanup
// that raises then cannot jump into the gone frames and ends the process
// with a message.
TEST(FrameThreads, ThreadExitInsideABlockIsNotASuccess) {
    struct {
        const char *how;
        bool cancel;
    } cases[] = {{"pthread_exit", false}, {"cancellation", true}};
    for (auto &c : cases) {
        exit_trail[0] = '\0';
        exit_ready.store(0);
        pthread_t t;
        ASSERT_EQ(pthread_create(&t, nullptr, exit_in_block, c.cancel ? &exit_ready : nullptr), 0);
        if (c.cancel) {
            while (!exit_ready.load())
                usleep(1000);
            pthread_cancel(t);
        }
        void *res = nullptr;
        pthread_join(t, &res);
        if (c.cancel) {
            EXPECT_EQ(res, PTHREAD_CANCELED);
        }
        EXPECT_STREQ(exit_trail, "inner-err;always;err;") << c.how;
    }
    EXPECT_DEATH(
        {
            pthread_t t;
            pthread_create(&t, nullptr, exit_with_raising_cleanup, nullptr);
            pthread_join(t, nullptr);
        },
        "XXL: Exception thrown while the thread exits!");
}

// An asynchronous cancel must not land in the allocator while the first
// push of a thread makes its state: the push switches to deferred first.
TEST(FrameThreads, FirstPushIsDeferredBeforeItAllocates) {
    pthread_t t;
    void *res = nullptr;
    ASSERT_EQ(pthread_create(&t, nullptr, first_push_with_async_cancel, nullptr), 0);
    pthread_join(t, &res);
    EXPECT_EQ(static_cast<int>(reinterpret_cast<intptr_t>(res)), PTHREAD_CANCEL_DEFERRED);
}

// Inside blocks, nested ones included, a thread is deferred; leaving the
// outermost block gives it back the type it had (asynchronous here).
TEST(FrameThreads, BlocksAreDeferredAndTheOutermostRestoresTheType) {
    static int seen[4];
    auto body = [](void *) -> void * {
        auto type_now = [] {
            int t = -1;
            pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &t);
            pthread_setcanceltype(t, nullptr);
            return t;
        };
        int old = 0;
        pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &old);
        XXL_BLOCK {
            seen[0] = type_now();
            XXL_BLOCK {
                seen[1] = type_now();
            } XXL_BLOCK_END;
            seen[2] = type_now();
        } XXL_BLOCK_END;
        seen[3] = type_now();
        pthread_setcanceltype(old, nullptr);
        return nullptr;
    };
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, body, nullptr), 0);
    pthread_join(t, nullptr);
    EXPECT_EQ((std::vector<int>{PTHREAD_CANCEL_DEFERRED, PTHREAD_CANCEL_DEFERRED, PTHREAD_CANCEL_DEFERRED,
                                PTHREAD_CANCEL_ASYNCHRONOUS}),
              std::vector<int>(seen, seen + 4));
}
