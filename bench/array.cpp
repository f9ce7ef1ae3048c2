// Dynamic array: one million 8-byte elements appended one at a time,
// against std::vector<long>::push_back and GLib's GArray.
#include <glib.h>
#include <vector>
#include <benchmark/benchmark.h>
#include <kivo/array.h>

namespace {

constexpr long kCount = 1000000;

void append_kivo(benchmark::State &st) {
    for (auto _ : st) {
        fr_array_t *a = fr_array_init_sized_api(sizeof(long), 0, nullptr, 0, nullptr, nullptr);
        for (long i = 0; i < kCount; i++) fr_array_append_many(a, &i, 1);
        benchmark::DoNotOptimize(fr_array_data(a));
        fr_array_unref(a);
    }
    st.SetItemsProcessed(st.iterations() * kCount);
}
// The unlocked form, for a caller that owns the array alone.
void append_kivo_unlocked(benchmark::State &st) {
    for (auto _ : st) {
        fr_array_t *a = fr_array_init_sized_api(sizeof(long), 0, nullptr, 0, nullptr, nullptr);
        for (long i = 0; i < kCount; i++) arr_append_many(a, &i, 1);
        benchmark::DoNotOptimize(a->data);
        fr_array_unref(a);
    }
    st.SetItemsProcessed(st.iterations() * kCount);
}
void append_std(benchmark::State &st) {
    for (auto _ : st) {
        std::vector<long> v;
        for (long i = 0; i < kCount; i++) v.push_back(i);
        benchmark::DoNotOptimize(v.data());
    }
    st.SetItemsProcessed(st.iterations() * kCount);
}
void append_glib(benchmark::State &st) {
    for (auto _ : st) {
        GArray *g = g_array_new(FALSE, FALSE, sizeof(long));
        for (long i = 0; i < kCount; i++) g_array_append_val(g, i);
        benchmark::DoNotOptimize(g->data);
        g_array_free(g, TRUE);
    }
    st.SetItemsProcessed(st.iterations() * kCount);
}

BENCHMARK(append_kivo)->Unit(benchmark::kMillisecond);
BENCHMARK(append_kivo_unlocked)->Unit(benchmark::kMillisecond);
BENCHMARK(append_std)->Unit(benchmark::kMillisecond);
BENCHMARK(append_glib)->Unit(benchmark::kMillisecond);

}  // namespace
