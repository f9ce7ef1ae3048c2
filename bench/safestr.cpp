// Safe string core and edits against their usual alternatives:
//   create + free of 32 bytes        vs malloc + memcpy + free
//   appending 10-byte pieces to 1 MB vs std::string::append (and GString)
//   appending single characters to 1 MB vs push_back (and GString)
//   one 10-byte append into room    vs std::string::append (per-call floor)
//   safestr_search                   vs memmem
//   safestr_replace                  vs a hand loop over std::string
#include <benchmark/benchmark.h>
#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

namespace {

const char text32[] = "0123456789abcdef0123456789abcdef";

void BM_create_free_32(benchmark::State &state) {
    for (auto _ : state) {
        safestr_t s = safestr_create(text32, 0);
        benchmark::DoNotOptimize(s);
        safestr_free(s);
    }
}
BENCHMARK(BM_create_free_32);

void BM_malloc_memcpy_free_32(benchmark::State &state) {
    for (auto _ : state) {
        char *p = static_cast<char *>(malloc(33));
        benchmark::DoNotOptimize(p);
        memcpy(p, text32, 33);
        benchmark::ClobberMemory();
        free(p);
    }
}
BENCHMARK(BM_malloc_memcpy_free_32);

constexpr size_t mb = 1 << 20;

void BM_append_10_to_1MB(benchmark::State &state) {
    safestr_t piece = safestr_create("abcdefghij", 0);
    for (auto _ : state) {
        safestr_t s = safestr_create("", 0);
        for (size_t n = 0; n < mb; n += 10)
            safestr_concatenate(&s, piece, 0, 0);
        benchmark::DoNotOptimize(s);
        safestr_free(s);
    }
    safestr_free(piece);
    state.SetBytesProcessed(int64_t(state.iterations()) * mb);
}
BENCHMARK(BM_append_10_to_1MB)->Unit(benchmark::kMillisecond);

void BM_std_string_append_10_to_1MB(benchmark::State &state) {
    const std::string piece = "abcdefghij";
    for (auto _ : state) {
        std::string s;
        for (size_t n = 0; n < mb; n += 10)
            s.append(piece);
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * mb);
}
BENCHMARK(BM_std_string_append_10_to_1MB)->Unit(benchmark::kMillisecond);

void BM_gstring_append_10_to_1MB(benchmark::State &state) {
    for (auto _ : state) {
        GString *s = g_string_new(nullptr);
        for (size_t n = 0; n < mb; n += 10)
            g_string_append_len(s, "abcdefghij", 10);
        benchmark::DoNotOptimize(s->str);
        g_string_free(s, TRUE);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * mb);
}
BENCHMARK(BM_gstring_append_10_to_1MB)->Unit(benchmark::kMillisecond);

// One character at a time to 1 MiB, the way the MIME encoders build their
// output.
void BM_appendchar_to_1MB(benchmark::State &state) {
    for (auto _ : state) {
        safestr_t s = safestr_create("", 0);
        for (size_t n = 0; n < mb; n++)
            safestr_appendchar(&s, 'a' + int(n & 15));
        benchmark::DoNotOptimize(s);
        safestr_free(s);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * mb);
}
BENCHMARK(BM_appendchar_to_1MB)->Unit(benchmark::kMillisecond);

void BM_std_string_push_back_to_1MB(benchmark::State &state) {
    for (auto _ : state) {
        std::string s;
        for (size_t n = 0; n < mb; n++)
            s.push_back(char('a' + int(n & 15)));
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * mb);
}
BENCHMARK(BM_std_string_push_back_to_1MB)->Unit(benchmark::kMillisecond);

void BM_gstring_append_c_to_1MB(benchmark::State &state) {
    for (auto _ : state) {
        GString *s = g_string_new(nullptr);
        for (size_t n = 0; n < mb; n++)
            g_string_append_c(s, char('a' + int(n & 15)));
        benchmark::DoNotOptimize(s->str);
        g_string_free(s, TRUE);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * mb);
}
BENCHMARK(BM_gstring_append_c_to_1MB)->Unit(benchmark::kMillisecond);

// The floor of the per-call protocol (checks, take, release): a 10-byte
// append into a string that has room, cut back (one truncate per 400
// appends) before it would have to grow.
void BM_append_10_with_room_per_call(benchmark::State &state) {
    safestr_t piece = safestr_create("abcdefghij", 0);
    safestr_t s = safestr_alloc(4096, 0);
    int n = 0;
    for (auto _ : state) {
        if (++n == 400) {
            safestr_truncate(&s, 0);
            n = 0;
        }
        safestr_concatenate(&s, piece, 0, 0);
    }
    benchmark::DoNotOptimize(s);
    safestr_free(s);
    safestr_free(piece);
}
BENCHMARK(BM_append_10_with_room_per_call);

void BM_std_string_append_10_with_room_per_call(benchmark::State &state) {
    const std::string piece = "abcdefghij";
    std::string s;
    s.reserve(4096);
    int n = 0;
    for (auto _ : state) {
        if (++n == 400) {
            s.clear();
            n = 0;
        }
        s.append(piece);
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_std_string_append_10_with_room_per_call);

// Haystack of range(0) bytes of pseudo-random lower-case text with the
// needle only at its end.
std::string haystack(size_t n) {
    std::string h(n, 'a');
    uint32_t x = 12345;
    for (auto &c : h) {
        x = x * 1103515245 + 12345;
        c = char('a' + (x >> 16) % 26);
    }
    memcpy(&h[n - 8], "NEEDLE!!", 8);
    return h;
}

void BM_safestr_search(benchmark::State &state) {
    std::string h = haystack(size_t(state.range(0)));
    safestr_t s = safestr_create(h.c_str(), 0);
    safestr_t needle = safestr_create("NEEDLE!!", 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(safestr_search(s, needle, 0));
    safestr_free(needle);
    safestr_free(s);
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_safestr_search)->Arg(64)->Arg(64 << 10);

void BM_memmem(benchmark::State &state) {
    std::string h = haystack(size_t(state.range(0)));
    const char *needle = "NEEDLE!!";
    for (auto _ : state) {
        benchmark::DoNotOptimize(needle);
        benchmark::DoNotOptimize(memmem(h.data(), h.size(), needle, 8));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_memmem)->Arg(64)->Arg(64 << 10);

// 64 KB of "key=value; " records: every "; " becomes "\r\n\t" (growing) or
// every "=" is dropped (shrinking), on a fresh copy each time.
std::string records() {
    std::string r;
    for (int i = 0; r.size() < (64u << 10); i++)
        r += "key" + std::to_string(i) + "=value" + std::to_string(i * 7) + "; ";
    return r;
}

void BM_safestr_replace(benchmark::State &state) {
    bool grow = state.range(0);
    std::string src = records();
    safestr_t orig = safestr_create(src.c_str(), 0);
    safestr_t pat = safestr_create(grow ? "; " : "=", 0);
    safestr_t rep = safestr_create(grow ? "\r\n\t" : "", 0);
    safestr_t s = safestr_create("", 0);
    for (auto _ : state) {
        safestr_duplicate(&s, orig, 0, 0);
        safestr_replace(&s, pat, rep);
        benchmark::DoNotOptimize(s);
    }
    for (safestr_t x : {orig, pat, rep, s})
        safestr_free(x);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
}
BENCHMARK(BM_safestr_replace)->Arg(1)->Arg(0);

void BM_std_string_replace_loop(benchmark::State &state) {
    bool grow = state.range(0);
    const std::string src = records();
    const std::string pat = grow ? "; " : "=", rep = grow ? "\r\n\t" : "";
    std::string s, out;
    for (auto _ : state) {
        s = src;
        out.clear();
        size_t i = 0;
        for (size_t at; (at = s.find(pat, i)) != std::string::npos; i = at + pat.size()) {
            out.append(s, i, at - i);
            out.append(rep);
        }
        out.append(s, i, std::string::npos);
        s.swap(out);
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
}
BENCHMARK(BM_std_string_replace_loop)->Arg(1)->Arg(0);

} // namespace
