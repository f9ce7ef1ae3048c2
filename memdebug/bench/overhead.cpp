// Cost of the allocation checker against the plain libc allocator on a
// malloc/free-heavy load: 10 million calls of small random sizes over a
// table of live blocks, for each allocator compared. The checker is loaded
// with dlopen, so all of them run in the same process and the same run; its
// malloc and free are called through pointers exactly as libc's are.
//
// The allocators of one benchmark take turns: each pass of 10 million calls
// is cut into slices of 100,000, run in rotation, each allocator on its own
// table. The machine is shared and its speed drifts by several percent over
// the minute this takes; in turns, the drift weighs on each allocator alike
// instead of on whichever runs last. A slice is long enough for the
// allocator's blocks to be back in the caches for nearly all of it.
//
// BM_no_backtrace: libc against the checker with its backtrace switched
// off; x_libc = checker / libc (goal: at most 2). A pass takes half a
// second, short enough for one disturbance to move it: it is repeated
// nine times and the median is the figure.
// BM_with_backtrace: libc, libc followed by one backtrace() of 15 frames
// per call taken at the depth the checker takes its own (in the function
// called by the load), and the checker with its backtrace;
// backtrace_ns = that reference - libc, and
// x_budget = checker / (backtrace_ns + 2 x libc) (goal: at most 1).
#include <dlfcn.h>
#include <execinfo.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <benchmark/benchmark.h>

namespace {

using malloc_fn = void *(*)(size_t);
using free_fn = void (*)(void *);

constexpr long kCalls = 10'000'000;
constexpr long kSlice = 100'000;
constexpr unsigned kSlots = 4096;

struct allocator {
    malloc_fn m;
    free_fn f;
};

struct checker_lib {
    allocator a;
    volatile int *backtrace_switch;
};

checker_lib checker() {
    static void *lib = dlopen(KIVO_MEMDEBUG_LIB, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "cannot load %s: %s\n", KIVO_MEMDEBUG_LIB, dlerror());
        exit(1);
    }
    return {{reinterpret_cast<malloc_fn>(dlsym(lib, "malloc")), reinterpret_cast<free_fn>(dlsym(lib, "free"))},
            static_cast<volatile int *>(dlsym(lib, "fr_memdbg_backtrace"))};
}

// libc's allocator plus one backtrace() of 15 frames per call, taken from
// the function the load calls, as the checker takes its own from its
// interposed malloc and free.
__attribute__((noinline)) void *traced_malloc(size_t n) {
    void *p = malloc(n);
    void *frames[15];
    benchmark::DoNotOptimize(backtrace(frames, 15));
    return p;
}

__attribute__((noinline)) void traced_free(void *p) {
    free(p);
    void *frames[15];
    benchmark::DoNotOptimize(backtrace(frames, 15));
}

// One allocator's share of a benchmark: its table of live blocks, where its
// random sequence stands, and the CPU time it has used.
struct load {
    allocator a;
    void *slot[kSlots] = {};
    uint32_t seed = 2463534242u;
    double seconds = 0;
};

// `calls` calls, each either a free of an occupied slot or a malloc of
// 1..256 bytes into an empty one.
__attribute__((noinline)) void run(load &l, long calls) {
    uint32_t seed = l.seed;
    for (long i = 0; i < calls; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        unsigned k = seed % kSlots;
        if (l.slot[k]) {
            l.a.f(l.slot[k]);
            l.slot[k] = nullptr;
        } else {
            auto *p = static_cast<char *>(l.a.m(1 + (seed >> 12) % 256));
            p[0] = static_cast<char>(i);
            l.slot[k] = p;
        }
    }
    l.seed = seed;
}

void empty(load &l) {
    for (void *&p : l.slot) {
        l.a.f(p);
        p = nullptr;
    }
}

// CPU time of this thread: the machine may be shared, and wall time would
// count the time others run.
double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// kCalls calls of each load, a slice at a time in turn; returns ns per call
// of each. The tables are emptied afterwards, outside the timing.
template <size_t N> void in_turns(load *(&loads)[N], double (&ns)[N]) {
    for (load *l : loads)
        l->seconds = 0;
    for (long done = 0; done < kCalls; done += kSlice)
        for (load *l : loads) {
            double t0 = thread_seconds();
            run(*l, kSlice);
            l->seconds += thread_seconds() - t0;
        }
    for (size_t i = 0; i < N; ++i) {
        ns[i] = loads[i]->seconds * 1e9 / kCalls;
        empty(*loads[i]);
    }
}

void BM_no_backtrace(benchmark::State &state) {
    checker_lib c = checker();
    *c.backtrace_switch = 0;
    static load libc, checked;
    libc.a = {&malloc, &free};
    checked.a = c.a;
    for (auto _ : state) {
        load *loads[] = {&libc, &checked};
        double ns[2];
        in_turns(loads, ns);
        state.counters["libc_ns"] = ns[0];
        state.counters["checker_ns"] = ns[1];
        state.counters["x_libc"] = ns[1] / ns[0];
    }
}

void BM_with_backtrace(benchmark::State &state) {
    checker_lib c = checker();
    *c.backtrace_switch = 1;
    static load libc, traced, checked;
    libc.a = {&malloc, &free};
    traced.a = {&traced_malloc, &traced_free};
    checked.a = c.a;
    for (auto _ : state) {
        load *loads[] = {&libc, &traced, &checked};
        double ns[3];
        in_turns(loads, ns);
        double backtrace_ns = ns[1] - ns[0];
        state.counters["libc_ns"] = ns[0];
        state.counters["backtrace_ns"] = backtrace_ns;
        state.counters["checker_ns"] = ns[2];
        state.counters["x_budget"] = ns[2] / (backtrace_ns + 2 * ns[0]);
    }
}

} // namespace

BENCHMARK(BM_no_backtrace)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_with_backtrace)->Unit(benchmark::kMillisecond)->Iterations(1);
