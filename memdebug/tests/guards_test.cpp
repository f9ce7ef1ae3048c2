// Guarded blocks: damaged or foreign blocks abort before release; blocks
// keep the malloc alignment and full-width sizes; overflowing requests fail
// cleanly; the aligned family and libc's own allocations share the guards.
#include <dlfcn.h>
#include <errno.h>
#include <immintrin.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <kivo/memdebug.h>

#include "calls.h"

using namespace md_test;

namespace {

bool aligned(const void *p, size_t a) { return reinterpret_cast<uintptr_t>(p) % a == 0; }

void *libc_malloc(size_t n) {
    void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    auto m = reinterpret_cast<void *(*)(size_t)>(dlsym(libc, "malloc"));
    return m ? m(n) : nullptr;
}

} // namespace

TEST(MemdebugDeathTest, DamagedOrForeignBlocksAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            void *p = M(10);
            poke(p, 10, 'x');
            F(p);
        },
        "memdbg: free\\(0x[0-9a-f]+\\): trailer guard damaged after 10 bytes");
    EXPECT_DEATH(
        {
            void *p = M(33);
            poke(p, 33, 0);
            R(p, 64);
        },
        "memdbg: realloc\\(0x[0-9a-f]+\\): trailer guard damaged after 33 bytes");
    EXPECT_DEATH(
        {
            void *p = M(5);
            poke(p, 7, 1); // inside the trailer, not its first byte
            U(p);
        },
        "memdbg: malloc_usable_size\\(0x[0-9a-f]+\\): trailer guard damaged after 5 bytes");
    // Damaged header: the guard word, then the size word.
    EXPECT_DEATH(
        {
            void *p = M(10);
            poke(p, -1, 0x55);
            F(p);
        },
        "memdbg: free\\(0x[0-9a-f]+\\): header guard damaged or pointer not allocated here");
    EXPECT_DEATH(
        {
            void *p = M(10);
            poke(p, -16, 0xff);
            F(p);
        },
        "memdbg: free\\(0x[0-9a-f]+\\): header damaged, size 255 bytes");
    EXPECT_DEATH(
        {
            void *p = M(10);
            poke(p, -10, 1); // size += 2^48: far beyond the block
            F(p);
        },
        "header damaged, size 281474976710666 bytes");
    // Pointers that never came from the checker.
    EXPECT_DEATH(
        {
            static char buf[64];
            F(buf + 32);
        },
        "memdbg: free\\(0x[0-9a-f]+\\): header guard damaged or pointer not allocated here");
    EXPECT_DEATH(F(libc_malloc(64)), "header guard damaged or pointer not allocated here");
    EXPECT_DEATH(
        {
            char *p = static_cast<char *>(C(1, 64));
            F(p + 16);
        },
        "header guard damaged or pointer not allocated here");
    EXPECT_DEATH(
        {
            void *p = nullptr;
            if (posix_memalign(&p, 64, 100) == 0)
                poke(p, 100, 1);
            F(p);
        },
        "memdbg: free\\(0x[0-9a-f]+\\): trailer guard damaged after 100 bytes");
    EXPECT_DEATH(
        {
            void *p = MA(256, 8);
            poke(p, -24, 3); // address of the underlying block
            F(p);
        },
        "header damaged \\(bad block address\\)");
}

TEST(MemdebugDeathTest, DamageIsFoundBeforeAnythingIsReleased) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The block must still be intact when abort runs: the handler reads it.
    static char *volatile victim;
    EXPECT_EXIT(
        {
            victim = static_cast<char *>(M(32));
            memset(victim, 'k', 32);
            poke(victim, 32, 0);
            signal(SIGABRT, [](int) {
                char ok = 1;
                for (int i = 0; i < 32; ++i)
                    ok &= victim[i] == 'k';
                _exit(ok ? 42 : 43);
            });
            F(victim);
        },
        testing::ExitedWithCode(42), "trailer guard damaged");
}

TEST(MemdebugMend, BlocksKeepTheMallocAlignment) {
    std::vector<void *> blocks;
    for (size_t n = 0; n < 200; ++n) {
        void *a = M(n);
        void *b = C(n, 3);
        void *c = R(nullptr, n);
        void *d = R(M(1), n + 1);
        for (void *p : {a, b, c, d}) {
            ASSERT_NE(p, nullptr);
            EXPECT_TRUE(aligned(p, alignof(max_align_t))) << p << " for " << n << " bytes";
            blocks.push_back(p);
        }
    }
    // Aligned SSE stores and long double fault on a misaligned block.
    auto *v = static_cast<__m128 *>(M(4 * sizeof(__m128)));
    for (int i = 0; i < 4; ++i)
        _mm_store_ps(reinterpret_cast<float *>(v + i), _mm_set1_ps(static_cast<float>(i)));
    auto *ld = static_cast<long double *>(M(8 * sizeof(long double)));
    for (int i = 0; i < 8; ++i)
        ld[i] = i * 0.5L;
    EXPECT_EQ(ld[7], 3.5L);
    EXPECT_EQ(_mm_cvtss_f32(v[3]), 3.0f);
    F(v);
    F(ld);
    for (void *p : blocks)
        F(p);
}

TEST(MemdebugMend, OverflowingRequestsFailWithEnomem) {
    const size_t huge[] = {SIZE_MAX, SIZE_MAX - 8, SIZE_MAX - 23};
    for (size_t n : huge) {
        errno = 0;
        EXPECT_EQ(M(n), nullptr) << n;
        EXPECT_EQ(errno, ENOMEM) << n;
    }
    errno = 0;
    EXPECT_EQ(C(SIZE_MAX / 2 + 1, 2), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    errno = 0;
    EXPECT_EQ(C(size_t{1} << 33, size_t{1} << 33), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    unsigned long at = fr_memdbg_calls;
    EXPECT_EQ(C(size_t{1} << 40, size_t{1} << 40), nullptr);
    const fr_memdbg_record &r = fr_memdbg_ring[at % FR_MEMDBG_RING_SIZE];
    EXPECT_EQ(r.op, 'c');
    EXPECT_EQ(r.size, SIZE_MAX);
    EXPECT_EQ(r.new_ptr, nullptr);

    // A failed realloc leaves the old block whole and usable.
    char *p = static_cast<char *>(M(16));
    memcpy(p, "0123456789abcdef", 16);
    for (size_t n : huge) {
        errno = 0;
        EXPECT_EQ(R(p, n), nullptr);
        EXPECT_EQ(errno, ENOMEM);
    }
    errno = 0;
    EXPECT_EQ(RA(p, SIZE_MAX / 4, 8), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(memcmp(p, "0123456789abcdef", 16), 0);
    EXPECT_EQ(U(p), 16u);

    void *q = p;
    EXPECT_EQ(posix_memalign(&q, 64, SIZE_MAX - 10), ENOMEM);
    EXPECT_EQ(q, p); // untouched on failure
    errno = 0;
    EXPECT_EQ(pvalloc(SIZE_MAX - 5), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    F(p);
}

TEST(MemdebugMend, SizesAboveFourGiBAreKeptWhole) {
    const size_t n = (size_t{4} << 30) + 16; // 16 if cut to 32 bits
    char *p = static_cast<char *>(M(n));
    if (!p)
        GTEST_SKIP() << "no room for a 4 GiB block on this machine";
    EXPECT_EQ(U(p), n);
    p[0] = 1;
    p[n - 1] = 2; // last byte: fine, the trailer lies beyond it
    char *q = static_cast<char *>(R(p, n + 100));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(U(q), n + 100);
    EXPECT_EQ(q[n - 1], 2);
    F(q);
}

TEST(MemdebugMend, AlignedFamilySharesTheGuards) {
    const size_t page = static_cast<size_t>(getpagesize());
    for (size_t a : {size_t{8}, size_t{16}, size_t{32}, size_t{64}, size_t{4096}, size_t{1} << 20}) {
        void *p = nullptr;
        ASSERT_EQ(posix_memalign(&p, a, 100), 0) << a;
        EXPECT_TRUE(aligned(p, a)) << a;
        EXPECT_EQ(U(p), 100u);
        memset(p, 0x5a, 100);
        // Growing an aligned block keeps its contents and guards.
        char *g = static_cast<char *>(R(p, 5000));
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(U(g), 5000u);
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(g[i], 0x5a) << a;
        F(g);

        void *q = aligned_alloc(a, 3 * a);
        ASSERT_NE(q, nullptr);
        EXPECT_TRUE(aligned(q, a));
        EXPECT_EQ(R(q, 0), nullptr); // frees it
    }
    void *p = nullptr;
    EXPECT_EQ(posix_memalign(&p, 24, 8), EINVAL);
    EXPECT_EQ(posix_memalign(&p, 4, 8), EINVAL);
    EXPECT_EQ(posix_memalign(&p, 0, 8), EINVAL);
    EXPECT_EQ(p, nullptr);
    errno = 0;
    EXPECT_EQ(aligned_alloc(48, 96), nullptr);
    EXPECT_EQ(errno, EINVAL);

    void *m = memalign(48, 10); // rounded up to 64, as libc does
    EXPECT_TRUE(aligned(m, 64));
    void *v = valloc(10);
    EXPECT_TRUE(aligned(v, page));
    EXPECT_EQ(U(v), 10u);
    void *pv = pvalloc(page + 1);
    EXPECT_TRUE(aligned(pv, page));
    EXPECT_EQ(U(pv), 2 * page);
    unsigned long at = fr_memdbg_calls;
    void *w = memalign(128, 7);
    const fr_memdbg_record &r = fr_memdbg_ring[at % FR_MEMDBG_RING_SIZE];
    EXPECT_EQ(r.op, 'a');
    EXPECT_EQ(r.size, 7u);
    EXPECT_EQ(r.new_ptr, w);
    for (void *b : {m, v, pv, w})
        F(b);
}

TEST(MemdebugMend, BlocksFromLibcItselfAreGuarded) {
    // libc allocates through the interposed functions: these must all be
    // accepted by our free (a bypass would abort here).
    char *s = strdup("hello");
    EXPECT_EQ(U(s), 6u);
    char *line = nullptr;
    size_t cap = 0;
    FILE *f = fmemopen(const_cast<char *>("one line\nsecond\n"), 16, "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(getline(&line, &cap, f), 9);
    fclose(f);
    char *out = nullptr;
    EXPECT_GT(asprintf(&out, "%s-%d", s, 42), 0);
    EXPECT_STREQ(out, "hello-42");
    int *arr = static_cast<int *>(RA(nullptr, 1000, sizeof(int)));
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(U(arr), 1000 * sizeof(int));
    char *mem = nullptr;
    size_t len = 0;
    FILE *ms = open_memstream(&mem, &len);
    for (int i = 0; i < 10000; ++i)
        fprintf(ms, "%d,", i);
    fclose(ms);
    EXPECT_EQ(len, strlen(mem));
    for (void *p : {static_cast<void *>(s), static_cast<void *>(line), static_cast<void *>(out),
                    static_cast<void *>(arr), static_cast<void *>(mem)})
        F(p);
}

TEST(MemdebugEdge, NullAndZeroSizes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // free(NULL) passes and is recorded.
    unsigned long at = fr_memdbg_calls;
    F(nullptr);
    ASSERT_EQ(fr_memdbg_calls, at + 1);
    EXPECT_EQ(fr_memdbg_ring[at % FR_MEMDBG_RING_SIZE].op, 'f');
    EXPECT_EQ(fr_memdbg_ring[at % FR_MEMDBG_RING_SIZE].old_ptr, nullptr);

    // realloc(NULL, n) is a guarded allocation: an overrun is caught.
    char *p = static_cast<char *>(R(nullptr, 12));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(U(p), 12u);
    EXPECT_DEATH(
        {
            poke(p, 12, 9);
            F(p);
        },
        "trailer guard damaged after 12 bytes");

    // realloc(p, 0) gives the memory back and returns null.
    struct mallinfo2 before = mallinfo2();
    char *big = static_cast<char *>(M(100000));
    memset(big, 1, 100000);
    EXPECT_EQ(R(big, 0), nullptr);
    struct mallinfo2 after = mallinfo2();
    EXPECT_EQ(after.uordblks + after.hblkhd, before.uordblks + before.hblkhd);

    // malloc(0) is a unique, guarded block.
    void *z1 = M(0), *z2 = M(0);
    EXPECT_NE(z1, nullptr);
    EXPECT_NE(z1, z2);
    EXPECT_EQ(U(z1), 0u);
    EXPECT_EQ(U(nullptr), 0u);
    F(z1);
    F(z2);
    F(p);
}
