// Cost of the allocation checker against the plain libc allocator on a
// malloc/free-heavy load: 10 million calls of small random sizes over a
// table of live blocks. The checker is loaded with dlopen, so both
// allocators run in the same process and the same run; its malloc and free
// are called through pointers exactly as libc's are.
//
// Counters: ns_per_call, and x_libc = ns_per_call / libc's ns_per_call.
// libc+backtrace adds one backtrace() of 15 frames per call, the one the
// checker takes. For the checker with backtrace, x_budget =
// ns_per_call / (backtrace cost + 2 x libc): at most 1 meets the goal.
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
constexpr unsigned kSlots = 4096;

struct allocator {
    malloc_fn m;
    free_fn f;
    volatile int *backtrace_switch; // null for libc
};

allocator libc_allocator() { return {&malloc, &free, nullptr}; }

allocator checker() {
    static void *lib = dlopen(KIVO_MEMDEBUG_LIB, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "cannot load %s: %s\n", KIVO_MEMDEBUG_LIB, dlerror());
        exit(1);
    }
    return {reinterpret_cast<malloc_fn>(dlsym(lib, "malloc")), reinterpret_cast<free_fn>(dlsym(lib, "free")),
            static_cast<volatile int *>(dlsym(lib, "fr_memdbg_backtrace"))};
}

// libc's allocator plus one backtrace() of 15 frames per call, taken at the
// same depth as the checker takes its own (interposed function, recorder).
__attribute__((noinline)) void take_backtrace() {
    void *frames[15];
    benchmark::DoNotOptimize(backtrace(frames, 15));
}

__attribute__((noinline)) void *traced_malloc(size_t n) {
    void *p = malloc(n);
    take_backtrace();
    return p;
}

__attribute__((noinline)) void traced_free(void *p) {
    free(p);
    take_backtrace();
}

// One pass: kCalls calls, each either a free of an occupied slot or a
// malloc of 1..256 bytes into an empty one.
__attribute__((noinline)) void run(const allocator &a) {
    static void *slot[kSlots];
    uint32_t seed = 2463534242u;
    for (long i = 0; i < kCalls; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        unsigned k = seed % kSlots;
        if (slot[k]) {
            a.f(slot[k]);
            slot[k] = nullptr;
        } else {
            auto *p = static_cast<char *>(a.m(1 + (seed >> 12) % 256));
            p[0] = static_cast<char>(i);
            slot[k] = p;
        }
    }
    for (void *&p : slot) {
        a.f(p);
        p = nullptr;
    }
}

double libc_ns, libc_bt_ns;

void report(benchmark::State &state, double seconds, double *store) {
    double ns = seconds * 1e9 / (static_cast<double>(state.iterations()) * kCalls);
    state.counters["ns_per_call"] = ns;
    if (store)
        *store = ns;
    if (libc_ns > 0)
        state.counters["x_libc"] = ns / libc_ns;
}

// CPU time of this thread: the machine may be shared, and wall time would
// count the time others run.
double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <class Body> double timed(benchmark::State &state, Body body) {
    double total = 0;
    for (auto _ : state) {
        double t0 = thread_seconds();
        body();
        total += thread_seconds() - t0;
    }
    return total;
}

void BM_libc(benchmark::State &state) {
    allocator a = libc_allocator();
    report(state, timed(state, [&] { run(a); }), &libc_ns);
}

void BM_libc_with_backtrace(benchmark::State &state) {
    allocator a = {&traced_malloc, &traced_free, nullptr};
    report(state, timed(state, [&] { run(a); }), &libc_bt_ns);
}

void BM_checker_no_backtrace(benchmark::State &state) {
    allocator a = checker();
    *a.backtrace_switch = 0;
    report(state, timed(state, [&] { run(a); }), nullptr);
}

void BM_checker_with_backtrace(benchmark::State &state) {
    allocator a = checker();
    *a.backtrace_switch = 1;
    double ns = 0;
    report(state, timed(state, [&] { run(a); }), &ns);
    double budget = (libc_bt_ns - libc_ns) + 2 * libc_ns;
    if (libc_ns > 0 && libc_bt_ns > 0)
        state.counters["x_budget"] = ns / budget;
}

} // namespace

BENCHMARK(BM_libc)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_libc_with_backtrace)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_checker_no_backtrace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_checker_with_backtrace)->Unit(benchmark::kMillisecond)->Iterations(1);
