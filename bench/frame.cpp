// Cost of the exception frame against a bare setjmp/longjmp and C++
// try/throw/catch doing the same work.
#include <errno.h>
#include <pthread.h>
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

// The least any frame can do for an empty block given its shape: an
// out-of-line push that links a record onto a per-thread stack and hands it
// back, setjmp, the store of the setjmp value into the record, and an
// out-of-line pop that unlinks the record again. Nothing is zeroed, no
// cancellation type is touched, no call crosses a shared-library boundary.
// The frame cannot be cheaper than this; it shows what 2x setjmp would
// leave for the work the frame has to do.
struct floor_record {
    jmp_buf *jb;
    unsigned state;
    floor_record *next;
};
thread_local floor_record *floor_top;
thread_local floor_record floor_spare;

__attribute__((noinline)) floor_record *floor_push(jmp_buf *jb) {
    floor_record *r = &floor_spare;
    r->jb = jb;
    r->next = floor_top;
    floor_top = r;
    return r;
}

__attribute__((noinline)) void floor_pop() { floor_top = floor_top->next; }

void bm_protocol_floor(benchmark::State &st) {
    for (auto _ : st) {
        jmp_buf jb;
        floor_record *volatile r = floor_push(&jb);
        r->state = static_cast<unsigned>(setjmp(jb));
        if (r->state == 0)
            benchmark::ClobberMemory();
        floor_pop();
    }
}
BENCHMARK(bm_protocol_floor);

// What the thread-safe build adds to every block: the switch to deferred
// cancellation on push and the restore on pop.
void bm_canceltype_pair(benchmark::State &st) {
    for (auto _ : st) {
        int old = PTHREAD_CANCEL_DEFERRED;
        pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &old);
        benchmark::ClobberMemory();
        pthread_setcanceltype(old, nullptr);
    }
}
BENCHMARK(bm_canceltype_pair);

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
