// FIFO byte buffer throughput: one writer thread and one reader thread
// moving 64 MiB in 64-byte chunks, against a pipe doing the same.
#include <unistd.h>
#include <thread>
#include <benchmark/benchmark.h>
#include <kivo/fifobuf.h>

namespace {

constexpr long kBytes = 64L << 20;
constexpr int kChunk = 64;

void fifo_64(benchmark::State &st) {
    for (auto _ : st) {
        fr_fifobuf_t *b = fr_fifobuf_init(0, (int32_t)st.range(0));
        std::thread w([b] {
            char chunk[kChunk] = {1};
            for (long done = 0; done < kBytes; done += kChunk) fr_fifobuf_write(b, chunk, kChunk, 0);
        });
        char buf[4096];
        long got = 0;
        while (got < kBytes) {
            int32_t n = fr_fifobuf_read(b, buf, kChunk);
            if (n > 0) got += n;
            else std::this_thread::yield();
        }
        w.join();
        fr_fifobuf_unref(b);
    }
    st.SetBytesProcessed(st.iterations() * kBytes);
}
void pipe_64(benchmark::State &st) {
    for (auto _ : st) {
        int fd[2];
        if (pipe(fd) != 0) st.SkipWithError("pipe");
        std::thread w([&] {
            char chunk[kChunk] = {1};
            for (long done = 0; done < kBytes; done += kChunk)
                if (write(fd[1], chunk, kChunk) != kChunk) break;
        });
        char buf[kChunk];
        long got = 0;
        while (got < kBytes) {
            ssize_t n = read(fd[0], buf, kChunk);
            if (n <= 0) break;
            got += n;
        }
        w.join();
        close(fd[0]);
        close(fd[1]);
    }
    st.SetBytesProcessed(st.iterations() * kBytes);
}

// Maximum sizes: 64 KiB (the writer often waits) and the 4 MiB default.
BENCHMARK(fifo_64)->Arg(65536)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(pipe_64)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
