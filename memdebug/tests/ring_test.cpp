// The call ring: every call recorded in order with its fields, the
// backtrace and its switch, wrap-around, and concurrent writers.
#include <dlfcn.h>
#include <execinfo.h>
#include <malloc.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/memdebug.h>

#include "calls.h"

using namespace md_test;

namespace {

const fr_memdbg_record &rec(unsigned long call) { return fr_memdbg_ring[call % FR_MEMDBG_RING_SIZE]; }

// The checker's frames are left out of a backtrace: the first address must
// be the return address in here.
__attribute__((noinline)) void *alloc_here(size_t n) {
    void *p = M(n);
    asm volatile("" ::: "memory"); // keeps the call from becoming a jump
    return p;
}

// One allocation call each, made from a function of its own: the record of
// the call must begin with the return address in that function.
#define SITE(name, ...)                                                                                                \
    __attribute__((noinline)) void *name(void *in) {                                                                   \
        (void)in;                                                                                                      \
        void *out = nullptr;                                                                                           \
        __VA_ARGS__;                                                                                                   \
        asm volatile("" ::: "memory");                                                                                 \
        return out;                                                                                                    \
    }
SITE(site_malloc, out = M(40))
SITE(site_calloc, out = C(4, 10))
SITE(site_realloc_new, out = R(nullptr, 40))
SITE(site_realloc_grow, out = R(in, 400))
SITE(site_realloc_zero, out = R(in, 0))
SITE(site_reallocarray, out = RA(in, 10, 40))
SITE(site_free, F(in))
SITE(site_free_null, F(nullptr))
SITE(site_posix_memalign, if (posix_memalign(&out, 64, 40) != 0) out = nullptr)
SITE(site_aligned_alloc, out = aligned_alloc(64, 128))
SITE(site_memalign, out = MA(256, 40))
SITE(site_valloc, out = valloc(40))
SITE(site_pvalloc, out = pvalloc(40))
#undef SITE

// A malloc and a backtrace() taken right after it, from the same function.
__attribute__((noinline)) int alloc_then_backtrace(void **p, void **frames) {
    *p = M(24);
    int n = backtrace(frames, FR_MEMDBG_FRAMES);
    asm volatile("" ::: "memory");
    return n;
}

// A few frames more below the test, so that the stack is deeper than a
// record holds.
__attribute__((noinline)) int deeper(int levels, void **p, void **frames) {
    int n = levels ? deeper(levels - 1, p, frames) : alloc_then_backtrace(p, frames);
    asm volatile("" ::: "memory");
    return n;
}

struct switch_backtrace {
    int saved = fr_memdbg_backtrace;
    explicit switch_backtrace(int on) { fr_memdbg_backtrace = on; }
    ~switch_backtrace() { fr_memdbg_backtrace = saved; }
};

} // namespace

TEST(MemdebugRing, RecordsEveryCallInOrder) {
    switch_backtrace bt(1);
    unsigned long start = fr_memdbg_calls;
    void *a = M(100);
    void *b = C(3, 7);
    void *c = R(nullptr, 50);
    void *d = R(c, 5000);
    void *e = R(b, 0);
    F(nullptr);
    F(a);
    F(d);
    unsigned long end = fr_memdbg_calls;
    ASSERT_EQ(end - start, 8u);
    EXPECT_EQ(e, nullptr);
    struct {
        char op;
        size_t size;
        void *old_ptr, *new_ptr;
    } want[] = {{'m', 100, nullptr, a}, {'c', 21, nullptr, b}, {'r', 50, nullptr, c}, {'r', 5000, c, d},
                {'r', 0, b, nullptr},   {'f', 0, nullptr, nullptr}, {'f', 0, a, nullptr}, {'f', 0, d, nullptr}};
    for (unsigned i = 0; i < 8; ++i) {
        const fr_memdbg_record &r = rec(start + i);
        SCOPED_TRACE(i);
        EXPECT_EQ(r.op, want[i].op);
        EXPECT_EQ(r.size, want[i].size);
        EXPECT_EQ(r.old_ptr, want[i].old_ptr);
        EXPECT_EQ(r.new_ptr, want[i].new_ptr);
        EXPECT_TRUE(pthread_equal(r.thread, pthread_self()));
        EXPECT_EQ(r.seq, static_cast<unsigned>(start + i + 1));
        EXPECT_GT(r.frames, 2);
        EXPECT_LE(r.frames, FR_MEMDBG_FRAMES);
    }
    EXPECT_NE(a, nullptr);
    EXPECT_NE(d, nullptr);
}

TEST(MemdebugRing, BacktraceStartsAtTheCallerAndCanBeSwitchedOff) {
    unsigned long at = fr_memdbg_calls;
    void *p;
    {
        switch_backtrace bt(1);
        p = alloc_here(24);
    }
    const fr_memdbg_record &r = rec(at);
    ASSERT_EQ(r.new_ptr, p);
    ASSERT_GE(r.frames, 1);
    auto here = reinterpret_cast<uintptr_t>(&alloc_here);
    auto ret = reinterpret_cast<uintptr_t>(r.backtrace[0]);
    EXPECT_GT(ret, here);
    EXPECT_LT(ret, here + 64) << "first frame is not the caller of malloc";
    // Frames are distinct return addresses, not a repeated one.
    ASSERT_GE(r.frames, 2);
    EXPECT_NE(r.backtrace[0], r.backtrace[1]);

    at = fr_memdbg_calls;
    {
        switch_backtrace bt(0);
        F(p);
    }
    EXPECT_EQ(rec(at).op, 'f');
    EXPECT_EQ(rec(at).old_ptr, p);
    EXPECT_EQ(rec(at).frames, 0);
}

// Each interposed function takes its backtrace in its own frame and leaves
// every frame of the checker out of the record, whichever way it goes.
TEST(MemdebugRing, EveryFunctionsRecordStartsAtItsCaller) {
    switch_backtrace bt(1);
    const struct {
        const char *name;
        void *(*site)(void *);
        char op;
        bool takes_block;
    } sites[] = {
        {"malloc", site_malloc, 'm', false},
        {"calloc", site_calloc, 'c', false},
        {"realloc(NULL, n)", site_realloc_new, 'r', false},
        {"realloc(p, larger)", site_realloc_grow, 'r', true},
        {"realloc(p, 0)", site_realloc_zero, 'r', true},
        {"reallocarray", site_reallocarray, 'r', true},
        {"free", site_free, 'f', true},
        {"free(NULL)", site_free_null, 'f', false},
        {"posix_memalign", site_posix_memalign, 'a', false},
        {"aligned_alloc", site_aligned_alloc, 'a', false},
        {"memalign", site_memalign, 'a', false},
        {"valloc", site_valloc, 'a', false},
        {"pvalloc", site_pvalloc, 'a', false},
    };
    Dl_info checker;
    ASSERT_NE(dladdr(dlsym(RTLD_DEFAULT, "malloc"), &checker), 0);
    ASSERT_NE(strstr(checker.dli_fname, "memdebug"), nullptr) << checker.dli_fname;
    for (const auto &s : sites) {
        SCOPED_TRACE(s.name);
        void *in = s.takes_block ? M(24) : nullptr;
        unsigned long at = fr_memdbg_calls;
        void *out = s.site(in);
        ASSERT_EQ(fr_memdbg_calls, at + 1);
        const fr_memdbg_record &r = rec(at);
        EXPECT_EQ(r.op, s.op);
        EXPECT_EQ(r.old_ptr, in);
        EXPECT_EQ(r.new_ptr, out);
        ASSERT_GE(r.frames, 2);
        ASSERT_LE(r.frames, FR_MEMDBG_FRAMES);
        auto ret = reinterpret_cast<uintptr_t>(r.backtrace[0]);
        auto site = reinterpret_cast<uintptr_t>(s.site);
        EXPECT_GT(ret, site);
        EXPECT_LT(ret, site + 256) << "first frame is not the caller";
        for (int i = 0; i < r.frames; ++i) {
            Dl_info d;
            if (dladdr(r.backtrace[i], &d)) {
                EXPECT_NE(d.dli_fbase, checker.dli_fbase) << "frame " << i << " lies in the checker";
            }
        }
        if (out && s.op != 'f')
            F(out);
    }
}

// The checker unwinds from its own frame rather than through backtrace():
// what it records must still be what backtrace() reports for the same
// place, caller after caller, the checker's frame left out.
TEST(MemdebugRing, BacktraceMatchesLibcBacktraceFromTheSamePlace) {
    switch_backtrace bt(1);
    for (int levels : {0, 3, 20}) {
        SCOPED_TRACE(levels);
        void *frames[FR_MEMDBG_FRAMES];
        void *p = nullptr;
        unsigned long at = fr_memdbg_calls;
        int n = deeper(levels, &p, frames);
        const fr_memdbg_record &r = rec(at);
        ASSERT_EQ(r.op, 'm');
        ASSERT_EQ(r.new_ptr, p);
        if (levels == 20) {
            ASSERT_EQ(n, FR_MEMDBG_FRAMES);
        }
        // The same first function (the return addresses differ within it).
        Dl_info a, b;
        ASSERT_NE(dladdr(r.backtrace[0], &a), 0);
        ASSERT_NE(dladdr(frames[0], &b), 0);
        EXPECT_EQ(a.dli_saddr, b.dli_saddr);
        // The checker takes as many frames as backtrace() may, its own
        // among them, and leaves its own out; on a shallow stack both reach
        // the outermost frame.
        ASSERT_EQ(r.frames, n < FR_MEMDBG_FRAMES ? n : FR_MEMDBG_FRAMES - 1);
        for (int i = 1; i < r.frames; ++i)
            EXPECT_EQ(r.backtrace[i], frames[i]) << "frame " << i;
        F(p);
    }
}

TEST(MemdebugRing, WrapsAroundAtItsSize) {
    switch_backtrace bt(0);
    const unsigned long n = FR_MEMDBG_RING_SIZE + 4464; // more than one lap
    unsigned long start = fr_memdbg_calls;
    for (unsigned long i = 0; i < n / 2; ++i)
        F(M(i % 64 + 1));
    ASSERT_EQ(fr_memdbg_calls - start, n);
    // Every slot now holds the newest call that maps to it.
    for (unsigned long call = start + n - FR_MEMDBG_RING_SIZE; call < start + n; ++call) {
        const fr_memdbg_record &r = rec(call);
        ASSERT_EQ(r.seq, static_cast<unsigned>(call + 1)) << call;
        unsigned long i = (call - start) / 2;
        if ((call - start) % 2 == 0) {
            ASSERT_EQ(r.op, 'm');
            ASSERT_EQ(r.size, i % 64 + 1);
        } else {
            ASSERT_EQ(r.op, 'f');
            ASSERT_EQ(r.old_ptr, rec(call - 1).new_ptr);
        }
    }
}

// Both builds: the plain one too must not lose or mix up records when a
// program starts threads.
TEST(MemdebugRing, ConcurrentThreadsLoseNoRecord) {
    switch_backtrace bt(0);
    constexpr int kThreads = 8, kRounds = 3000;
    std::vector<pthread_t> ids(kThreads);
    unsigned long start = fr_memdbg_calls;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &ids] {
            ids[t] = pthread_self();
            std::vector<char *> live;
            for (int i = 0; i < kRounds; ++i) {
                // Size tags the thread: 1000 * (t + 1) + small noise.
                char *p = static_cast<char *>(M(1000 * (t + 1) + i % 7));
                memset(p, t, 16);
                live.push_back(p);
                if (live.size() > 5) {
                    F(live.front());
                    live.erase(live.begin());
                }
            }
            for (char *p : live)
                F(p);
        });
    for (auto &th : threads)
        th.join();
    unsigned long end = fr_memdbg_calls;
    ASSERT_GE(end - start, 2ul * kThreads * kRounds);
    ASSERT_LE(end - start, FR_MEMDBG_RING_SIZE) << "window must fit in the ring";
    std::vector<int> mallocs(kThreads), frees(kThreads);
    for (unsigned long call = start; call < end; ++call) {
        const fr_memdbg_record &r = rec(call);
        ASSERT_EQ(r.seq, static_cast<unsigned>(call + 1));
        if (r.op == 'm' && r.size >= 1000 && r.size < 1000 * (kThreads + 1) && r.size % 1000 < 7) {
            int t = static_cast<int>(r.size / 1000) - 1;
            EXPECT_TRUE(pthread_equal(r.thread, ids[t]));
            ++mallocs[t];
        }
        if (r.op == 'f' && r.old_ptr) {
            for (int t = 0; t < kThreads; ++t)
                if (pthread_equal(r.thread, ids[t]))
                    ++frees[t];
        }
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(mallocs[t], kRounds) << t;
        EXPECT_GE(frees[t], kRounds) << t;
    }
}

TEST(MemdebugRing, ForkedChildRecordsItsOwnThread) {
    F(M(1)); // the parent has recorded from this thread before
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        unsigned long at = fr_memdbg_calls;
        void *p = M(3);
        const fr_memdbg_record &r = rec(at);
        _exit(r.new_ptr == p && pthread_equal(r.thread, pthread_self()) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
