// Opening and closing blocks with assets allocates nothing once a thread
// has warmed up: the test program's own malloc counts every call.
#include <errno.h>
#include <stddef.h>

#include <gtest/gtest.h>
#include <kivo/exceptions.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers own malloc; counting through the C library is not possible.
TEST(FrameAlloc, NoAllocationInSteadyState) { GTEST_SKIP() << "malloc is the sanitizer's"; }
#else

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {
__thread bool counting;
__thread long allocations;
} // namespace

extern "C" void *malloc(size_t n) {
    if (counting)
        allocations++;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t s) {
    if (counting)
        allocations++;
    return __libc_calloc(n, s);
}
extern "C" void *realloc(void *p, size_t n) {
    if (counting)
        allocations++;
    return __libc_realloc(p, n);
}

namespace {
void nothing(void *, void *) {}

int cycle(int i) {
    volatile int caught = 0;
    XXL_BLOCK {
        xxl_push_asset(nullptr, nothing, nullptr, XXL_ASSET_ALWAYS);
        xxl_push_context(nullptr);
        xxl_push_asset(nullptr, nothing, nullptr, XXL_ASSET_ON_ERROR);
        xxl_push_asset(nullptr, nothing, nullptr, XXL_ASSET_ON_SUCCESS);
        if (i & 1)
            xxl_throw_error(EINVAL, nullptr, "c", i);
        xxl_pop_context();
    } XXL_ON(EINVAL) {
        caught = 1;
    } XXL_BLOCK_END;
    return caught;
}
} // namespace

TEST(FrameAlloc, NoAllocationInSteadyState) {
    cycle(0);
    cycle(1); // warm-up: the records now exist
    counting = true;
    allocations = 0;
    int caught = 0;
    for (int i = 0; i < 100000; i++)
        caught += cycle(i);
    counting = false;
    EXPECT_EQ(caught, 50000);
    EXPECT_EQ(allocations, 0);

    // the counter itself works: a block with a fresh deeper nesting allocates
    counting = true;
    allocations = 0;
    xxl_push_context(nullptr);
    xxl_push_context(nullptr);
    xxl_push_context(nullptr);
    counting = false;
    xxl_pop_context();
    xxl_pop_context();
    xxl_pop_context();
    EXPECT_GT(allocations, 0);
}
#endif
