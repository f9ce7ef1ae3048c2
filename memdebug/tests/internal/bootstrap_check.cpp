// Bootstrap paths that a running process cannot reach from outside: calls
// made before the next allocator is known, with and without re-entry.
// Built together with the checker's sources so that it can stage them.
#include <string.h>

#include <gtest/gtest.h>

#include "../calls.h"
#include "checker.h"

using namespace md_test;

namespace {

// Makes the checker believe the next allocator has not been looked up yet.
struct unresolved {
    memdbg::malloc_fn m = memdbg::next.malloc.exchange(nullptr);
    memdbg::calloc_fn c = memdbg::next.calloc.exchange(nullptr);
    memdbg::realloc_fn r = memdbg::next.realloc.exchange(nullptr);
    memdbg::free_fn f = memdbg::next.free.exchange(nullptr);
    void restore() {
        memdbg::next.calloc.store(c);
        memdbg::next.realloc.store(r);
        memdbg::next.free.store(f);
        memdbg::next.malloc.store(m);
    }
};

} // namespace

TEST(MemdebugBootstrap, FirstCallLooksTheAllocatorUp) {
    unresolved u;
    void *p = M(40); // no re-entry: resolves on the spot
    EXPECT_EQ(memdbg::next.malloc.load(), u.m);
    EXPECT_EQ(memdbg::next.free.load(), u.f);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(memdbg::in_arena(p));
    F(p);
}

TEST(MemdebugBootstrap, ArenaServesCallsMadeWhileLookingUp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    unresolved u;
    fr_memdbg_backtrace = 1;
    unsigned long first = fr_memdbg_calls;
    memdbg::reentry = 1; // as inside dlsym
    char *a = static_cast<char *>(M(100));
    char *z = static_cast<char *>(C(10, 10));
    void *al = MA(64, 40);
    char *doomed = static_cast<char *>(M(8));
    F(nullptr);
    // Calls made inside the checker's own work take no backtrace and leave
    // its guard up.
    EXPECT_EQ(memdbg::reentry, 1);
    memdbg::reentry = 0;
    u.restore();
    ASSERT_EQ(fr_memdbg_calls - first, 5u);
    for (unsigned long c = first; c < first + 5; ++c)
        EXPECT_EQ(fr_memdbg_ring[c % FR_MEMDBG_RING_SIZE].frames, 0) << c - first;

    for (void *p : {static_cast<void *>(a), static_cast<void *>(z), al}) {
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(memdbg::in_arena(p));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(max_align_t), 0u);
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(al) % 64, 0u);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(z[i], 0);
    memset(a, 'x', 100);
    EXPECT_EQ(U(a), 100u);

    // Growing an arena block moves it into an ordinary one.
    char *b = static_cast<char *>(R(a, 5000));
    ASSERT_NE(b, nullptr);
    EXPECT_FALSE(memdbg::in_arena(b));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(b[i], 'x');
    // Arena blocks are never handed to the next free (which would abort).
    F(z);
    F(al);
    F(b);
    EXPECT_DEATH(
        {
            poke(doomed, 8, 1);
            F(doomed);
        },
        "trailer guard damaged after 8 bytes");
}
