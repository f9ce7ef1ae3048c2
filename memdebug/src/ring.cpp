// The ring of call records read by a debugger, and the backtrace switch.
// No frame exceptions exist in this library.
#include <execinfo.h>
#include <pthread.h>

#include <kivo/memdebug.h>

#include "checker.h"

extern "C" {
KIVO_API fr_memdbg_record fr_memdbg_ring[FR_MEMDBG_RING_SIZE];
KIVO_API unsigned long fr_memdbg_calls;
KIVO_API volatile int fr_memdbg_backtrace = 1;
}

// Bounds of this library's own code, so that a backtrace starts at the
// caller of malloc rather than inside the checker.
extern "C" const char __ehdr_start[] __attribute__((visibility("hidden")));
extern "C" const char __etext[] __attribute__((visibility("hidden")));

namespace memdbg {

static_assert((FR_MEMDBG_RING_SIZE & (FR_MEMDBG_RING_SIZE - 1)) == 0, "ring size is a power of two");

namespace {

bool ours(const void *addr) {
    auto a = reinterpret_cast<uintptr_t>(addr);
    return a >= reinterpret_cast<uintptr_t>(__ehdr_start) && a < reinterpret_cast<uintptr_t>(__etext);
}

// Our own frames (record, the interposed function) come first; keep the
// caller's. A few spare slots make up for the ones dropped.
int take_backtrace(void **out) {
    void *raw[FR_MEMDBG_FRAMES + 4];
    int got = backtrace(raw, FR_MEMDBG_FRAMES + 4);
    int first = 0;
    while (first < got && ours(raw[first]))
        ++first;
    int n = got - first;
    if (n > FR_MEMDBG_FRAMES)
        n = FR_MEMDBG_FRAMES;
    for (int i = 0; i < n; ++i)
        out[i] = raw[first + i];
    return n;
}

} // namespace

__attribute__((noinline)) void record(char op, size_t size, void *old_ptr, void *new_ptr) {
    unsigned long n = std::atomic_ref<unsigned long>(fr_memdbg_calls).fetch_add(1, std::memory_order_relaxed);
    fr_memdbg_record *r = &fr_memdbg_ring[n & (FR_MEMDBG_RING_SIZE - 1)];
    r->op = op;
    r->size = size;
    r->old_ptr = old_ptr;
    r->new_ptr = new_ptr;
    r->thread = pthread_self();
    int frames = 0;
    // backtrace loads the unwinder on first use, which allocates: those
    // calls are recorded without a backtrace of their own.
    if (fr_memdbg_backtrace && !reentry) {
        reentry = 1;
        frames = take_backtrace(r->backtrace);
        reentry = 0;
    }
    r->frames = static_cast<unsigned char>(frames);
    std::atomic_ref<unsigned long>(r->seq).store(n + 1, std::memory_order_release);
}

} // namespace memdbg
