// Asynchronous queue: order, the three pop modes, the locked and unlocked
// forms, reference counting, refused calls, many producers and consumers,
// and the destruction check.
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/aqueue.h>
#include <kivo/log.h>

namespace {

void *P(uintptr_t v) { return reinterpret_cast<void *>(v); }

double seconds_since(const timespec &t0)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec - t0.tv_sec) + (t.tv_nsec - t0.tv_nsec) / 1e9;
}

timespec mono_now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

int waiting(fr_aqueue *q)
{
    fr_aqueue_lock(q);
    int n = q->waiting_threads;
    fr_aqueue_unlock(q);
    return n;
}

TEST(Aqueue, FifoOrderAndNullItems)
{
    fr_aqueue *q = fr_aqueue_new();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(fr_aqueue_length(q), 0);
    EXPECT_EQ(fr_aqueue_empty(q), 1);
    EXPECT_EQ(fr_aqueue_try_pop(q), nullptr);
    EXPECT_EQ(fr_aqueue_push(q, nullptr), -1);
    EXPECT_EQ(fr_aqueue_length(q), 0);
    for (uintptr_t i = 1; i <= 100; i++)
        ASSERT_EQ(fr_aqueue_push(q, P(i)), 0);
    EXPECT_EQ(fr_aqueue_push(q, nullptr), -1);
    EXPECT_EQ(fr_aqueue_length(q), 100);
    EXPECT_EQ(fr_aqueue_empty(q), 0);
    for (uintptr_t i = 1; i <= 50; i++)
        ASSERT_EQ(fr_aqueue_pop(q), P(i));
    for (uintptr_t i = 51; i <= 99; i++)
        ASSERT_EQ(fr_aqueue_try_pop(q), P(i));
    EXPECT_EQ(fr_aqueue_timed_pop(q, fr_aqueue_timeout{0, 1000}), P(100));
    EXPECT_EQ(fr_aqueue_try_pop(q), nullptr);
    EXPECT_EQ(fr_aqueue_empty(q), 1);
    // Emptied and filled again: the list head is reused correctly.
    fr_aqueue_push(q, P(7));
    fr_aqueue_push(q, P(8));
    EXPECT_EQ(fr_aqueue_pop(q), P(7));
    fr_aqueue_push(q, P(9));
    EXPECT_EQ(fr_aqueue_pop(q), P(8));
    EXPECT_EQ(fr_aqueue_pop(q), P(9));
    // Items still queued at the last unref are dropped with their nodes.
    fr_aqueue_push(q, P(10));
    EXPECT_EQ(fr_aqueue_unref(q), 0);
}

TEST(Aqueue, UnlockedFormsUnderTheCallersLock)
{
    fr_aqueue *q = fr_aqueue_new();
    ASSERT_EQ(fr_aqueue_lock(q), 0);
    EXPECT_EQ(fr_aqueue_push_unlocked(q, P(1)), 0);
    EXPECT_EQ(fr_aqueue_push_unlocked(q, P(2)), 0);
    EXPECT_EQ(fr_aqueue_push_unlocked(q, nullptr), -1);
    EXPECT_EQ(fr_aqueue_length_unlocked(q), 2);
    EXPECT_EQ(fr_aqueue_empty_unlocked(q), 0);
    EXPECT_EQ(fr_aqueue_pop_unlocked(q), P(1));
    EXPECT_EQ(fr_aqueue_try_pop_unlocked(q), P(2));
    EXPECT_EQ(fr_aqueue_try_pop_unlocked(q), nullptr);
    EXPECT_EQ(fr_aqueue_empty_unlocked(q), 1);
    // A timed wait releases the lock, so another thread can push meanwhile.
    std::thread pusher([q] {
        while (waiting(q) == 0)
            std::this_thread::yield();
        fr_aqueue_push(q, P(3));
    });
    EXPECT_EQ(fr_aqueue_timed_pop_unlocked(q, fr_aqueue_timeout{30, 0}), P(3));
    EXPECT_EQ(fr_aqueue_timed_pop_unlocked(q, fr_aqueue_timeout{0, 1000000}), nullptr);
    EXPECT_EQ(q->waiting_threads, 0);
    EXPECT_EQ(fr_aqueue_unlock(q), 0);
    pusher.join();
    fr_aqueue_unref(q);
}

TEST(Aqueue, TimedPopWaitsForTheTimeout)
{
    fr_aqueue *q = fr_aqueue_new();
    timespec t0 = mono_now();
    EXPECT_EQ(fr_aqueue_timed_pop(q, fr_aqueue_timeout{0, 500000000}), nullptr);
    double took = seconds_since(t0);
    EXPECT_GE(took, 0.5);
    EXPECT_LT(took, 10.0);
    EXPECT_EQ(q->waiting_threads, 0);
    // Out-of-range nanoseconds carry into seconds; a negative timeout does not wait.
    t0 = mono_now();
    EXPECT_EQ(fr_aqueue_timed_pop(q, fr_aqueue_timeout{0, 1200000000}), nullptr);
    EXPECT_GE(seconds_since(t0), 1.2);
    t0 = mono_now();
    EXPECT_EQ(fr_aqueue_timed_pop(q, fr_aqueue_timeout{-1, 0}), nullptr);
    EXPECT_LT(seconds_since(t0), 10.0);
    // An item arriving during the wait ends it with that item.
    std::thread pusher([q] {
        while (waiting(q) == 0)
            std::this_thread::yield();
        fr_aqueue_push(q, P(42));
    });
    EXPECT_EQ(fr_aqueue_timed_pop(q, fr_aqueue_timeout{60, 0}), P(42));
    pusher.join();
    // A blocking pop wakes for a push from another thread.
    std::thread pusher2([q] {
        while (waiting(q) == 0)
            std::this_thread::yield();
        fr_aqueue_push(q, P(43));
    });
    EXPECT_EQ(fr_aqueue_pop(q), P(43));
    pusher2.join();
    fr_aqueue_unref(q);
}

TEST(Aqueue, ReferenceCountingAndRefusedCalls)
{
    fr_aqueue *q = fr_aqueue_new();
    EXPECT_EQ(q->refcount, 1);
    EXPECT_EQ(fr_aqueue_ref(q), 0);
    EXPECT_EQ(q->refcount, 2);
    EXPECT_EQ(fr_aqueue_unref(q), 0);
    EXPECT_EQ(q->refcount, 1);
    fr_aqueue_push(q, P(5));
    EXPECT_EQ(fr_aqueue_pop(q), P(5));
    EXPECT_EQ(fr_aqueue_unref(q), 0);

    // Null queue
    EXPECT_EQ(fr_aqueue_ref(nullptr), -1);
    EXPECT_EQ(fr_aqueue_unref(nullptr), -1);
    EXPECT_EQ(fr_aqueue_lock(nullptr), -1);
    EXPECT_EQ(fr_aqueue_unlock(nullptr), -1);
    EXPECT_EQ(fr_aqueue_push(nullptr, P(1)), -1);
    EXPECT_EQ(fr_aqueue_push_unlocked(nullptr, P(1)), -1);
    EXPECT_EQ(fr_aqueue_pop(nullptr), nullptr);
    EXPECT_EQ(fr_aqueue_try_pop(nullptr), nullptr);
    EXPECT_EQ(fr_aqueue_timed_pop(nullptr, fr_aqueue_timeout{0, 1}), nullptr);
    EXPECT_EQ(fr_aqueue_pop_unlocked(nullptr), nullptr);
    EXPECT_EQ(fr_aqueue_try_pop_unlocked(nullptr), nullptr);
    EXPECT_EQ(fr_aqueue_timed_pop_unlocked(nullptr, fr_aqueue_timeout{0, 1}), nullptr);
    EXPECT_EQ(fr_aqueue_length(nullptr), -1);
    EXPECT_EQ(fr_aqueue_length_unlocked(nullptr), -1);
    EXPECT_EQ(fr_aqueue_empty(nullptr), -1);
    EXPECT_EQ(fr_aqueue_empty_unlocked(nullptr), -1);
    __fr_destroy_queue(nullptr);

    // A queue whose count is at 0 is refused by every call, and a blocking
    // pop on it returns at once instead of waiting.
    fr_aqueue dead;
    memset(&dead, 0, sizeof dead);
    pthread_mutex_init(&dead.mutex, nullptr);
    pthread_cond_init(&dead.cond, nullptr);
    dead.items.first = dead.items.last = reinterpret_cast<fr_aqueue_node *>(&dead.items);
    EXPECT_EQ(fr_aqueue_ref(&dead), -1);
    EXPECT_EQ(fr_aqueue_unref(&dead), -1);
    EXPECT_EQ(fr_aqueue_lock(&dead), -1);
    EXPECT_EQ(fr_aqueue_unlock(&dead), -1);
    EXPECT_EQ(fr_aqueue_push(&dead, P(1)), -1);
    EXPECT_EQ(fr_aqueue_push_unlocked(&dead, P(1)), -1);
    EXPECT_EQ(fr_aqueue_pop(&dead), nullptr);
    EXPECT_EQ(fr_aqueue_pop_unlocked(&dead), nullptr);
    EXPECT_EQ(fr_aqueue_try_pop(&dead), nullptr);
    EXPECT_EQ(fr_aqueue_timed_pop(&dead, fr_aqueue_timeout{5, 0}), nullptr);
    EXPECT_EQ(fr_aqueue_length(&dead), -1);
    EXPECT_EQ(fr_aqueue_empty(&dead), -1);
    EXPECT_EQ(dead.length, 0);
    EXPECT_EQ(dead.refcount, 0);
    // The mutex is free again after each refusal.
    EXPECT_EQ(pthread_mutex_trylock(&dead.mutex), 0);
    pthread_mutex_unlock(&dead.mutex);
    pthread_mutex_destroy(&dead.mutex);
    pthread_cond_destroy(&dead.cond);
}

TEST(Aqueue, ManyProducersAndConsumersLoseAndDuplicateNothing)
{
    constexpr int kProducers = 4, kConsumers = 4;
    constexpr uintptr_t kItems = 1000000;
    constexpr uintptr_t kStop = kItems + 1;
    fr_aqueue *q = fr_aqueue_new();
    std::vector<std::atomic<uint8_t>> seen(kItems + 1);
    std::atomic<uintptr_t> popped{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kConsumers; c++) {
        threads.emplace_back([&, c] {
            for (;;) {
                // Mix the three pop modes.
                void *p = c == 0   ? fr_aqueue_pop(q)
                          : c == 1 ? fr_aqueue_timed_pop(q, fr_aqueue_timeout{0, 2000000})
                          : c == 2 ? fr_aqueue_try_pop(q)
                                   : fr_aqueue_pop(q);
                if (p == nullptr)
                    continue;
                auto v = reinterpret_cast<uintptr_t>(p);
                if (v == kStop)
                    return;
                seen[v].fetch_add(1, std::memory_order_relaxed);
                popped.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++) {
        producers.emplace_back([&, p] {
            for (uintptr_t v = 1 + static_cast<uintptr_t>(p); v <= kItems; v += kProducers)
                fr_aqueue_push(q, P(v));
        });
    }
    for (auto &t : producers)
        t.join();
    for (int c = 0; c < kConsumers; c++)
        fr_aqueue_push(q, P(kStop));
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(popped.load(), kItems);
    uintptr_t wrong = 0;
    for (uintptr_t v = 1; v <= kItems; v++)
        wrong += seen[v].load() != 1;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(fr_aqueue_length(q), 0);
    EXPECT_EQ(q->waiting_threads, 0);
    fr_aqueue_unref(q);
}

TEST(AqueueDeathTest, DestroyingWhileAThreadWaitsEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            fr_aqueue *q = fr_aqueue_new();
            std::thread([q] { fr_aqueue_pop(q); }).detach();
            while (waiting(q) == 0)
                std::this_thread::yield();
            fr_aqueue_unref(q);
        },
        testing::ExitedWithCode(1), "Fatal:Assertion 'aqueue->waiting_threads == 0' failed");
}

} // namespace
