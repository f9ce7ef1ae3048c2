// One log line to a file slot against fprintf + fflush of the same text.
#include <stdio.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <kivo/log.h>

namespace {

void bm_log_file_slot(benchmark::State &st) {
    char path[] = "/tmp/kivo_bench_log_XXXXXX";
    close(mkstemp(path));
    fr_log_init("bench", 8, path, (char *)nullptr);
    long i = 0;
    for (auto _ : st)
        fr_log_impl("bench", 1, "bm", FR_LOG_FILE(0), 6, "request %ld served in %d ms", i++, 42);
    fr_log_close();
    unlink(path);
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(bm_log_file_slot);

void bm_fprintf_fflush(benchmark::State &st) {
    char path[] = "/tmp/kivo_bench_log_XXXXXX";
    close(mkstemp(path));
    FILE *f = fopen(path, "a");
    long i = 0;
    for (auto _ : st) {
        fprintf(f, "%s\t%s:\t", "Dec 08 17:23:59", "LOG_INFO");
        fprintf(f, "request %ld served in %d ms", i++, 42);
        fputc('\n', f);
        fflush(f);
    }
    fclose(f);
    unlink(path);
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(bm_fprintf_fflush);

} // namespace
