// safestr_asprintf against snprintf into a stack buffer + strdup (and GLib's
// g_strdup_printf for reference), with the format "%s=%d (%08x)".
#include <benchmark/benchmark.h>
#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

namespace {

void BM_safestr_asprintf(benchmark::State &state)
{
    safestr_t format = safestr_create("%s=%d (%08x)", 0);
    safestr_t key = safestr_create("key", 0);
    unsigned i = 0;
    for (auto _ : state) {
        safestr_t out;
        safestr_asprintf(&out, format, key, (int)i, i * 2654435761u);
        benchmark::DoNotOptimize(out);
        safestr_free(out);
        i++;
    }
    safestr_free(key);
    safestr_free(format);
}
BENCHMARK(BM_safestr_asprintf);

void BM_snprintf_strdup(benchmark::State &state)
{
    const char *key = "key";
    unsigned i = 0;
    for (auto _ : state) {
        char buf[64];
        snprintf(buf, sizeof buf, "%s=%d (%08x)", key, (int)i, i * 2654435761u);
        char *out = strdup(buf);
        benchmark::DoNotOptimize(out);
        free(out);
        i++;
    }
}
BENCHMARK(BM_snprintf_strdup);

void BM_g_strdup_printf(benchmark::State &state)
{
    const char *key = "key";
    unsigned i = 0;
    for (auto _ : state) {
        char *out = g_strdup_printf("%s=%d (%08x)", key, (int)i, i * 2654435761u);
        benchmark::DoNotOptimize(out);
        g_free(out);
        i++;
    }
}
BENCHMARK(BM_g_strdup_printf);

// Replacing the content of an existing string (no new string per call).
void BM_safestr_sprintf(benchmark::State &state)
{
    safestr_t format = safestr_create("%s=%d (%08x)", 0);
    safestr_t key = safestr_create("key", 0);
    safestr_t out = safestr_create("", 0);
    unsigned i = 0;
    for (auto _ : state) {
        safestr_sprintf(&out, format, key, (int)i, i * 2654435761u);
        benchmark::DoNotOptimize(out);
        i++;
    }
    safestr_free(out);
    safestr_free(key);
    safestr_free(format);
}
BENCHMARK(BM_safestr_sprintf);

void BM_snprintf_stack(benchmark::State &state)
{
    const char *key = "key";
    unsigned i = 0;
    for (auto _ : state) {
        char buf[64];
        int n = snprintf(buf, sizeof buf, "%s=%d (%08x)", key, (int)i, i * 2654435761u);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
        i++;
    }
}
BENCHMARK(BM_snprintf_stack);

} // namespace
