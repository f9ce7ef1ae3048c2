// Cost of the exception frame against a bare setjmp/longjmp and C++
// try/throw/catch doing the same work.
#include <errno.h>
#include <setjmp.h>

#include <stdexcept>

#include <benchmark/benchmark.h>
#include <kivo/exceptions.h>

namespace {

void nothing(void *, void *) {}

void bm_empty_block(benchmark::State &st) {
    for (auto _ : st) {
        XXL_BLOCK {
            benchmark::ClobberMemory();
        } XXL_BLOCK_END;
    }
}
BENCHMARK(bm_empty_block);

void bm_bare_setjmp(benchmark::State &st) {
    for (auto _ : st) {
        jmp_buf jb;
        if (setjmp(jb) == 0)
            benchmark::ClobberMemory();
        benchmark::DoNotOptimize(&jb);
    }
}
BENCHMARK(bm_bare_setjmp);

// depth nested blocks, two assets each, the innermost throws, the
// outermost catches.
__attribute__((noinline)) void nest(int depth) {
    XXL_BLOCK {
        xxl_push_asset(nullptr, nothing, nullptr, XXL_ASSET_ON_ERROR);
        xxl_push_asset(nullptr, nothing, nullptr, XXL_ASSET_ALWAYS);
        if (depth > 1)
            nest(depth - 1);
        else
            xxl_throw_error(EIO, nullptr, __FILE__, __LINE__);
    } XXL_BLOCK_END;
}

void bm_xxl_throw(benchmark::State &st) {
    int depth = static_cast<int>(st.range(0));
    for (auto _ : st) {
        volatile int caught = 0;
        XXL_BLOCK {
            nest(depth);
        } XXL_ON(EIO) {
            caught = 1;
        } XXL_BLOCK_END;
        benchmark::DoNotOptimize(caught);
    }
}
BENCHMARK(bm_xxl_throw)->Arg(1)->Arg(5);

// The same shape with bare setjmp/longjmp: one buffer per level, no assets.
__attribute__((noinline)) void nest_sj(int depth, jmp_buf *outer) {
    jmp_buf jb;
    if (setjmp(jb) == 0) {
        if (depth > 1)
            nest_sj(depth - 1, &jb);
        else
            longjmp(jb, 1);
    } else {
        longjmp(*outer, 1); // rethrow outward, as an unhandled code would
    }
}

void bm_setjmp_throw(benchmark::State &st) {
    int depth = static_cast<int>(st.range(0));
    for (auto _ : st) {
        jmp_buf jb;
        volatile int caught = 0;
        if (setjmp(jb) == 0)
            nest_sj(depth, &jb);
        else
            caught = 1;
        benchmark::DoNotOptimize(caught);
    }
}
BENCHMARK(bm_setjmp_throw)->Arg(1)->Arg(5);

// C++: two RAII cleanups per level, the innermost throws.
struct cleanup {
    bool on_error_only;
    ~cleanup() { benchmark::ClobberMemory(); }
};

__attribute__((noinline)) void nest_cxx(int depth) {
    cleanup a{true}, b{false};
    benchmark::DoNotOptimize(&a);
    benchmark::DoNotOptimize(&b);
    if (depth > 1)
        nest_cxx(depth - 1);
    else
        throw std::runtime_error("io");
}

void bm_cxx_throw(benchmark::State &st) {
    int depth = static_cast<int>(st.range(0));
    for (auto _ : st) {
        int caught = 0;
        try {
            nest_cxx(depth);
        } catch (const std::runtime_error &) {
            caught = 1;
        }
        benchmark::DoNotOptimize(caught);
    }
}
BENCHMARK(bm_cxx_throw)->Arg(1)->Arg(5);

} // namespace
