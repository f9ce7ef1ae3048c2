// Chunked buffer throughput: 1 KiB pieces appended and popped, in a steady
// FIFO and in batches of 1 MiB; GLib's GByteArray doing the same for scale.
#include <stdlib.h>
#include <string.h>

#include <benchmark/benchmark.h>
#include <glib.h>
#include <kivo/buffer.h>

namespace {

constexpr int kPiece = 1024;

void BM_kivo_buffer_fifo(benchmark::State &state)
{
    char piece[kPiece];
    memset(piece, 'x', sizeof piece);
    fr_buffer *b = fr_buffer_new();
    for (int i = 0; i < 64; i++)
        fr_buffer_append(b, piece, kPiece);
    for (auto _ : state) {
        fr_buffer_append(b, piece, kPiece);
        void *p = fr_buffer_pop(b, kPiece);
        benchmark::DoNotOptimize(p);
        free(p);
    }
    fr_buffer_destroy(b);
    state.SetBytesProcessed(state.iterations() * kPiece * 2);
}

void BM_kivo_buffer_batch(benchmark::State &state)
{
    const int pieces = static_cast<int>(state.range(0)) / kPiece;
    char piece[kPiece];
    memset(piece, 'x', sizeof piece);
    for (auto _ : state) {
        fr_buffer *b = fr_buffer_new();
        for (int i = 0; i < pieces; i++)
            fr_buffer_append(b, piece, kPiece);
        for (int i = 0; i < pieces; i++) {
            void *p = fr_buffer_pop(b, kPiece);
            benchmark::DoNotOptimize(p);
            free(p);
        }
        fr_buffer_destroy(b);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}

void BM_glib_byte_array_batch(benchmark::State &state)
{
    const int pieces = static_cast<int>(state.range(0)) / kPiece;
    char piece[kPiece];
    memset(piece, 'x', sizeof piece);
    for (auto _ : state) {
        GByteArray *a = g_byte_array_new();
        for (int i = 0; i < pieces; i++)
            g_byte_array_append(a, reinterpret_cast<guint8 *>(piece), kPiece);
        for (int i = 0; i < pieces; i++) {
            void *p = g_memdup2(a->data, kPiece);
            g_byte_array_remove_range(a, 0, kPiece);
            benchmark::DoNotOptimize(p);
            g_free(p);
        }
        g_byte_array_free(a, TRUE);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}

} // namespace

BENCHMARK(BM_kivo_buffer_fifo)->UseRealTime();
BENCHMARK(BM_kivo_buffer_batch)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_glib_byte_array_batch)->Arg(1 << 20)->UseRealTime();
