// Asynchronous queue against GLib's GAsyncQueue: items per second moved from
// producer threads to consumer threads, 1+1 and 4+4 threads. Where the
// scheduler puts the threads decides much of a single run (on two cores a
// consumer that drains the queue sleeps and is woken for every item), so
// each shape runs ten times and the median is the figure; run with
// --benchmark_enable_random_interleaving=true, as ./kivo.sh bench does, so
// that drift in the machine's load hits both queues alike.
#include <stdint.h>

#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <glib.h>
#include <kivo/aqueue.h>

namespace {

constexpr uintptr_t kItems = 400000; // per iteration, over all producers

struct Kivo {
    fr_aqueue *q = fr_aqueue_new();
    ~Kivo() { fr_aqueue_unref(q); }
    void push(void *p) { fr_aqueue_push(q, p); }
    void *pop() { return fr_aqueue_pop(q); }
};

struct Glib {
    GAsyncQueue *q = g_async_queue_new();
    ~Glib() { g_async_queue_unref(q); }
    void push(void *p) { g_async_queue_push(q, p); }
    void *pop() { return g_async_queue_pop(q); }
};

template <class Q> void transfer(benchmark::State &state)
{
    const int producers = static_cast<int>(state.range(0));
    const int consumers = producers;
    Q q;
    for (auto _ : state) {
        std::vector<std::thread> threads;
        const uintptr_t per_consumer = kItems / static_cast<uintptr_t>(consumers);
        for (int c = 0; c < consumers; c++)
            threads.emplace_back([&] {
                uintptr_t sum = 0;
                for (uintptr_t i = 0; i < per_consumer; i++)
                    sum += reinterpret_cast<uintptr_t>(q.pop());
                benchmark::DoNotOptimize(sum);
            });
        const uintptr_t per_producer = kItems / static_cast<uintptr_t>(producers);
        for (int p = 0; p < producers; p++)
            threads.emplace_back([&] {
                for (uintptr_t i = 1; i <= per_producer; i++)
                    q.push(reinterpret_cast<void *>(i));
            });
        for (auto &t : threads)
            t.join();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kItems));
}

void BM_kivo_aqueue(benchmark::State &state) { transfer<Kivo>(state); }
void BM_glib_async_queue(benchmark::State &state) { transfer<Glib>(state); }

} // namespace

BENCHMARK(BM_kivo_aqueue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_glib_async_queue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(10)->ReportAggregatesOnly(true);
