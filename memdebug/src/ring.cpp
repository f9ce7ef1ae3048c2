// The ring of call records read by a debugger, the backtrace switch, and the
// stack walk that fills a record. No frame exceptions exist in this library.
#include <kivo/memdebug.h>

#include <dlfcn.h>

#include "checker.h"

extern "C" {
KIVO_API fr_memdbg_record fr_memdbg_ring[FR_MEMDBG_RING_SIZE];
KIVO_API unsigned long fr_memdbg_calls;
KIVO_API volatile int fr_memdbg_backtrace = 1;
}

namespace memdbg {
static_assert((FR_MEMDBG_RING_SIZE & (FR_MEMDBG_RING_SIZE - 1)) == 0, "ring size is a power of two");

unwinder unwind;

unwind_backtrace_fn load_unwinder() {
    if (unwind.state.load(std::memory_order_acquire) != 0)
        return unwind.walk.load(std::memory_order_acquire);
    void *lib = dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_LOCAL);
    void *walk = lib ? dlsym(lib, "_Unwind_Backtrace") : nullptr;
    void *ip = lib ? dlsym(lib, "_Unwind_GetIP") : nullptr;
    void *cfa = lib ? dlsym(lib, "_Unwind_GetCFA") : nullptr;
    if (!walk || !ip || !cfa) {
        unwind.state.store(-1, std::memory_order_release);
        return nullptr;
    }
    // Threads racing here store the same values.
    unwind.ip.store(reinterpret_cast<unwind_get_fn>(ip), std::memory_order_relaxed);
    unwind.cfa.store(reinterpret_cast<unwind_cfa_fn>(cfa), std::memory_order_relaxed);
    unwind.walk.store(reinterpret_cast<unwind_backtrace_fn>(walk), std::memory_order_release);
    unwind.state.store(1, std::memory_order_release);
    return reinterpret_cast<unwind_backtrace_fn>(walk);
}

_Unwind_Reason_Code walk_frame(_Unwind_Context *ctx, void *arg) {
    auto *w = static_cast<walk_state *>(arg);
    void *pc = reinterpret_cast<void *>(unwind.ip.load(std::memory_order_relaxed)(ctx));
    _Unwind_Word cfa = unwind.cfa.load(std::memory_order_relaxed)(ctx);
    if (w->n > 0 && w->out[w->n - 1] == pc && w->cfa == cfa)
        return _URC_END_OF_STACK;
    w->cfa = cfa;
    w->out[w->n] = pc;
    return ++w->n == FR_MEMDBG_FRAMES ? _URC_END_OF_STACK : _URC_NO_REASON;
}

void commit(const call &c) {
    int first = 0, got = 0;
    if (c.got >= 0) {
        reentry = 0;
        got = c.got;
        while (first < got && ours(c.raw[first]))
            ++first;
    }
    put(c.op, c.size, c.old_ptr, c.new_ptr, c.raw + first, got - first);
}

} // namespace memdbg
