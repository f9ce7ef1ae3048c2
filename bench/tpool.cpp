// Thread pool against GLib's GThreadPool: one million trivial items through
// a pool of two threads, from the first push until the last item has run.
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <benchmark/benchmark.h>
#include <glib.h>
#include <kivo/aqueue.h>

namespace {

constexpr int64_t kItems = 1000000;

struct Done {
    std::atomic<int64_t> count{0};
    std::mutex m;
    std::condition_variable cv;
    bool all = false;

    void one()
    {
        if (count.fetch_add(1, std::memory_order_relaxed) + 1 == kItems) {
            std::lock_guard<std::mutex> g(m);
            all = true;
            cv.notify_one();
        }
    }
    void wait()
    {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [this] { return all; });
    }
};

void kivo_item(void *done, void *) { static_cast<Done *>(done)->one(); }
void glib_item(gpointer, gpointer done) { static_cast<Done *>(done)->one(); }

void BM_kivo_tpool(benchmark::State &state)
{
    for (auto _ : state) {
        Done done;
        fr_tpool *pool = fr_tpool_new(kivo_item, 2, &done);
        for (int64_t i = 1; i <= kItems; i++)
            fr_tpool_push(pool, reinterpret_cast<void *>(static_cast<uintptr_t>(i)));
        done.wait();
        fr_tpool_free(pool, 1);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

void BM_glib_thread_pool(benchmark::State &state)
{
    for (auto _ : state) {
        Done done;
        GThreadPool *pool = g_thread_pool_new(glib_item, &done, 2, TRUE, nullptr);
        for (int64_t i = 1; i <= kItems; i++)
            g_thread_pool_push(pool, reinterpret_cast<gpointer>(static_cast<uintptr_t>(i)), nullptr);
        done.wait();
        g_thread_pool_free(pool, FALSE, TRUE);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

} // namespace

BENCHMARK(BM_kivo_tpool)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_glib_thread_pool)->UseRealTime()->Unit(benchmark::kMillisecond);
