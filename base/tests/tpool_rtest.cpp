// Thread pool: shutdown with and without finishing, pushes after shutdown,
// the thread maximum, idle workers ending, and a pool without workers.
// Workers are detached, so tests watch the process's thread count to know
// that they have ended (and, under LeakSanitizer, that the pool was freed).
#include <dirent.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/aqueue.h>

namespace {

void *P(uintptr_t v) { return reinterpret_cast<void *>(v); }

int thread_count()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return -1;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// Threads before a test. One thread is started and joined first, so that
// helper threads the runtime starts along with the first thread (such as
// ThreadSanitizer's) are counted here.
int baseline()
{
    std::thread([] {}).join();
    return thread_count();
}

// Waits (generously) for the thread count to drop to n.
bool threads_back_to(int n, double limit_s = 30.0)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
    while (std::chrono::steady_clock::now() < end) {
        if (thread_count() <= n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return thread_count() <= n;
}

template <class F> bool eventually(F pred, double limit_s = 30.0)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Counts runs per item; items >= gate_from block until the gate opens.
struct Recorder {
    explicit Recorder(size_t n) : runs(n + 1) {}
    std::vector<std::atomic<int>> runs;
    std::atomic<int> started{0};
    std::atomic<int> in_callback{0};
    std::atomic<int> max_in_callback{0};
    std::atomic<int> finished{0}; // the callback's last access
    uintptr_t gate_from = UINTPTR_MAX;
    std::mutex m;
    std::condition_variable cv;
    bool open = false;

    void release()
    {
        std::lock_guard<std::mutex> g(m);
        open = true;
        cv.notify_all();
    }

    static void callback(void *self, void *item)
    {
        auto *r = static_cast<Recorder *>(self);
        auto v = reinterpret_cast<uintptr_t>(item);
        r->started++;
        int now = ++r->in_callback;
        int prev = r->max_in_callback.load();
        while (now > prev && !r->max_in_callback.compare_exchange_weak(prev, now)) {
        }
        if (v >= r->gate_from) {
            std::unique_lock<std::mutex> g(r->m);
            r->cv.wait(g, [r] { return r->open; });
        }
        if (v < r->runs.size())
            r->runs[v]++;
        --r->in_callback;
        r->finished++;
    }

    // Every started callback is past its last access: the recorder may go.
    // (The thread count says the workers ended, but gives no ordering.)
    bool settled() const { return finished.load() == started.load(); }
    ~Recorder() { EXPECT_TRUE(eventually([this] { return settled(); })); }
};

int pool_threads(fr_tpool *pool)
{
    fr_aqueue_lock(pool->queue);
    int n = pool->num_threads;
    fr_aqueue_unlock(pool->queue);
    return n;
}

TEST(Tpool, RefusedArguments)
{
    EXPECT_EQ(fr_tpool_new(nullptr, 2, nullptr), nullptr);
    EXPECT_EQ(fr_tpool_new(Recorder::callback, 0, nullptr), nullptr);
    EXPECT_EQ(fr_tpool_new(Recorder::callback, -3, nullptr), nullptr);
    fr_tpool_push(nullptr, P(1));
    fr_tpool_free(nullptr, 1);
    EXPECT_EQ(_fr_tpool_start_thread(nullptr), -1);
    int base = baseline();
    Recorder r(4);
    fr_tpool *pool = fr_tpool_new(Recorder::callback, 2, &r);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool_threads(pool), 0); // no thread until the first push
    EXPECT_EQ(thread_count(), base);
    fr_tpool_push(pool, nullptr); // null items are refused, no thread started
    EXPECT_EQ(pool_threads(pool), 0);
    fr_tpool_free(pool, 1);
    EXPECT_EQ(thread_count(), base);
    EXPECT_EQ(r.started.load(), 0);
}

TEST(Tpool, FinishRunsEveryQueuedItemOnceThenReleasesThePool)
{
    constexpr int kPushers = 4;
    constexpr uintptr_t kPerPusher = 25000;
    constexpr uintptr_t kItems = kPushers * kPerPusher;
    int base = baseline();
    Recorder r(kItems);
    fr_tpool *pool = fr_tpool_new(Recorder::callback, 4, &r);
    std::vector<std::thread> pushers;
    for (int p = 0; p < kPushers; p++)
        pushers.emplace_back([&, p] {
            for (uintptr_t v = 1 + static_cast<uintptr_t>(p); v <= kItems; v += kPushers)
                fr_tpool_push(pool, P(v));
        });
    for (auto &t : pushers)
        t.join();
    fr_tpool_free(pool, 1);
    ASSERT_TRUE(threads_back_to(base)) << "workers still running: " << thread_count() << " vs " << base;
    int wrong = 0;
    for (uintptr_t v = 1; v <= kItems; v++)
        wrong += r.runs[v].load() != 1;
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(r.started.load(), static_cast<int>(kItems));
    EXPECT_LE(r.max_in_callback.load(), 4);
}

TEST(Tpool, WithoutFinishQueuedItemsNeverRun)
{
    int base = baseline();
    Recorder r(100);
    r.gate_from = 1;
    fr_tpool *pool = fr_tpool_new(Recorder::callback, 1, &r);
    fr_tpool_push(pool, P(1));
    ASSERT_TRUE(eventually([&] { return r.started.load() == 1; }));
    for (uintptr_t v = 2; v <= 50; v++)
        fr_tpool_push(pool, P(v));
    fr_tpool_free(pool, 0);
    // The worker is held in the callback, so the pool is still alive: a push
    // now is dropped.
    fr_tpool_push(pool, P(60));
    EXPECT_EQ(fr_aqueue_length(pool->queue), 50); // 49 items + 1 wake-up token
    r.release();
    ASSERT_TRUE(threads_back_to(base));
    EXPECT_EQ(r.runs[1].load(), 1);
    EXPECT_EQ(r.started.load(), 1);
    for (uintptr_t v = 2; v <= 60; v++)
        ASSERT_EQ(r.runs[v].load(), 0) << v;
}

TEST(Tpool, PushesAfterAFinishingFreeRunNothing)
{
    int base = baseline();
    Recorder r(100);
    r.gate_from = 1;
    fr_tpool *pool = fr_tpool_new(Recorder::callback, 2, &r);
    fr_tpool_push(pool, P(1));
    fr_tpool_push(pool, P(2));
    ASSERT_TRUE(eventually([&] { return r.started.load() == 2; }));
    for (uintptr_t v = 3; v <= 10; v++)
        fr_tpool_push(pool, P(v));
    fr_tpool_free(pool, 1);
    for (uintptr_t v = 20; v <= 30; v++)
        fr_tpool_push(pool, P(v));
    r.release();
    ASSERT_TRUE(threads_back_to(base));
    for (uintptr_t v = 1; v <= 10; v++)
        EXPECT_EQ(r.runs[v].load(), 1) << v;
    for (uintptr_t v = 20; v <= 30; v++)
        EXPECT_EQ(r.runs[v].load(), 0) << v;
    EXPECT_EQ(r.started.load(), 10);
}

TEST(Tpool, NeverMoreThreadsThanTheMaximum)
{
    int base = baseline();
    Recorder r(10);
    r.gate_from = 1;
    fr_tpool *pool = fr_tpool_new(Recorder::callback, 2, &r);
    fr_tpool_push(pool, P(1));
    fr_tpool_push(pool, P(2));
    ASSERT_TRUE(eventually([&] { return r.started.load() == 2; }));
    fr_tpool_push(pool, P(3));
    fr_tpool_push(pool, P(4));
    EXPECT_EQ(pool_threads(pool), 2);
    EXPECT_EQ(thread_count(), base + 2);
    EXPECT_EQ(fr_aqueue_length(pool->queue), 2);
    EXPECT_EQ(r.started.load(), 2);
    fr_aqueue_lock(pool->queue);
    EXPECT_EQ(_fr_tpool_start_thread(pool), 0); // at the maximum: nothing started
    EXPECT_EQ(pool->num_threads, 2);
    fr_aqueue_unlock(pool->queue);
    r.release();
    ASSERT_TRUE(eventually([&] { return r.runs[3].load() + r.runs[4].load() == 2; }));
    EXPECT_EQ(r.max_in_callback.load(), 2);
    EXPECT_EQ(thread_count(), base + 2);
    fr_tpool_free(pool, 1);
    ASSERT_TRUE(threads_back_to(base));
    for (uintptr_t v = 1; v <= 4; v++)
        EXPECT_EQ(r.runs[v].load(), 1);
}

TEST(Tpool, IdleWorkersEndAfterASecondAndComeBackOnDemand)
{
    int base = baseline();
    Recorder r(10);
    fr_tpool *pool = fr_tpool_new(Recorder::callback, 3, &r);
    fr_tpool_push(pool, P(1));
    ASSERT_TRUE(eventually([&] { return r.runs[1].load() == 1; }));
    auto idle_since = std::chrono::steady_clock::now();
    EXPECT_EQ(thread_count(), base + 1);
    // Idle, the worker waits one second before it ends.
    ASSERT_TRUE(threads_back_to(base));
    EXPECT_GE(std::chrono::steady_clock::now() - idle_since, std::chrono::milliseconds(900));
    EXPECT_EQ(pool_threads(pool), 0);
    fr_tpool_push(pool, P(2));
    ASSERT_TRUE(eventually([&] { return r.runs[2].load() == 1; }));
    fr_tpool_free(pool, 0);
    ASSERT_TRUE(threads_back_to(base));
}

TEST(Tpool, FreeWithoutWorkersReleasesAtOnce)
{
    int base = baseline();
    // Items queued while no worker exists (as after a failed thread start)
    // run in the caller when finishing, and are dropped otherwise.
    Recorder r(10);
    fr_tpool *pool = fr_tpool_new(Recorder::callback, 2, &r);
    fr_aqueue_push(pool->queue, P(1));
    fr_aqueue_push(pool->queue, P(2));
    fr_tpool_free(pool, 1);
    EXPECT_EQ(r.runs[1].load(), 1);
    EXPECT_EQ(r.runs[2].load(), 1);

    Recorder r2(10);
    pool = fr_tpool_new(Recorder::callback, 2, &r2);
    fr_aqueue_push(pool->queue, P(1));
    fr_tpool_free(pool, 0);
    EXPECT_EQ(r2.started.load(), 0);
    EXPECT_EQ(thread_count(), base);
}

} // namespace
