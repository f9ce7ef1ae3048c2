// Round trip of n bytes through a pipe: the timed calls fr_write_nb and
// fr_read_nb (two fcntl calls each around the I/O) against plain write and
// read of libc.
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <kivo/net.h>

namespace {

struct Pipe {
    int r, w;
    Pipe()
    {
        int p[2];
        if (pipe(p) != 0)
            abort();
        r = p[0];
        w = p[1];
    }
    ~Pipe()
    {
        close(r);
        close(w);
    }
};

void bm_fr_nb_roundtrip(benchmark::State &st)
{
    Pipe p;
    int n = (int)st.range(0);
    char out[4096] = {'x'}, in[4096];
    for (auto _ : st) {
        if (fr_write_nb(p.w, out, n, 1.0f) != n || fr_read_nb(p.r, in, n, 1.0f) != n)
            st.SkipWithError("short transfer");
        benchmark::DoNotOptimize(in);
    }
    st.SetBytesProcessed(st.iterations() * n);
}
BENCHMARK(bm_fr_nb_roundtrip)->Arg(64)->Arg(4096);

void bm_libc_roundtrip(benchmark::State &st)
{
    Pipe p;
    int n = (int)st.range(0);
    char out[4096] = {'x'}, in[4096];
    for (auto _ : st) {
        if (write(p.w, out, n) != n || read(p.r, in, n) != n)
            st.SkipWithError("short transfer");
        benchmark::DoNotOptimize(in);
    }
    st.SetBytesProcessed(st.iterations() * n);
}
BENCHMARK(bm_libc_roundtrip)->Arg(64)->Arg(4096);

} // namespace
