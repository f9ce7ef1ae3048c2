// Internal interface of the allocation checker: the next allocator in the
// lookup chain, the bootstrap arena, the block layout and the call ring.
// No frame exceptions exist in this library.
#ifndef KIVO_MEMDEBUG_CHECKER_H
#define KIVO_MEMDEBUG_CHECKER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <execinfo.h>
#include <unwind.h>
#include <pthread.h>

#include <kivo/memdebug.h>

namespace memdbg {

using malloc_fn = void *(*)(size_t);
using calloc_fn = void *(*)(size_t, size_t);
using realloc_fn = void *(*)(void *, size_t);
using free_fn = void (*)(void *);
using usable_fn = size_t (*)(void *);

// The allocator our functions stand in front of, found with dlsym(RTLD_NEXT).
// Null until resolved; usable_size may stay null (not every allocator has it).
struct next_allocator {
    std::atomic<malloc_fn> malloc;
    std::atomic<calloc_fn> calloc;
    std::atomic<realloc_fn> realloc;
    std::atomic<free_fn> free;
    std::atomic<usable_fn> usable_size;
};
extern next_allocator next;

// Looks the next allocator up unless this thread is already inside the
// checker (dlsym may allocate). Returns false when it could not be done now;
// ends the process when the next allocator does not exist.
bool resolve();

// Set while this thread runs code that may allocate on our behalf (dlsym,
// backtrace); allocations made then are served without recursion.
extern __thread int reentry __attribute__((tls_model("initial-exec")));

// pthread_self() of this thread, kept after the first call (a thread keeps
// its value for life, and a forked child keeps its parent thread's).
extern __thread pthread_t self_id __attribute__((tls_model("initial-exec")));
inline pthread_t current_thread() {
    pthread_t t = self_id;
    if (__builtin_expect(t == pthread_t{}, 0))
        t = self_id = pthread_self();
    return t;
}

// Small static arena for requests made before the next allocator is known.
// Zero-filled and never reused, so it also serves calloc.
void *arena_alloc(size_t bytes);
bool in_arena(const void *p);
const char *arena_end();

// Guard values: unique to this loaded copy of the library.
extern const unsigned char marker[32];
inline uintptr_t head_guard() { return reinterpret_cast<uintptr_t>(marker); }
inline uintptr_t tail_guard() { return head_guard() + sizeof(uintptr_t); }
// Header guard of a block placed at a stronger alignment inside a larger
// underlying block; the word before its header holds the underlying block.
inline uintptr_t aligned_guard() { return head_guard() + 2 * sizeof(uintptr_t); }

// Layout: [size][guard] user data [tail guard], header kept at 16 bytes so
// that user data has the malloc alignment.
constexpr size_t kHeader = 16;
constexpr size_t kTrailer = sizeof(uintptr_t);
constexpr size_t kOverhead = kHeader + kTrailer;
static_assert(kHeader >= 2 * sizeof(size_t) && kHeader % alignof(max_align_t) == 0,
              "header must keep the malloc alignment");

inline void store_word(void *at, uintptr_t v) { std::memcpy(at, &v, sizeof v); }
inline uintptr_t load_word(const void *at) {
    uintptr_t v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

// Writes header and trailer into an underlying block whose user part starts
// at `user`, and returns the user pointer.
inline void *seal(char *user, size_t n, uintptr_t guard) {
    store_word(user - kHeader, n);
    store_word(user - kHeader + sizeof(size_t), guard);
    store_word(user + n, tail_guard());
    return user;
}


// Writes "memdbg: <what>(<p>): <why>[<n> bytes]\n" to standard error and
// aborts.
[[noreturn]] void die(const char *what, const void *p, const char *why, size_t n, bool with_n);

} // namespace memdbg

// Bounds of this library's own code, so that a backtrace starts at the
// caller of malloc rather than inside the checker.
extern "C" const char __ehdr_start[] __attribute__((visibility("hidden")));
extern "C" const char __etext[] __attribute__((visibility("hidden")));

namespace memdbg {

inline bool ours(const void *addr) {
    auto a = reinterpret_cast<uintptr_t>(addr);
    return a >= reinterpret_cast<uintptr_t>(__ehdr_start) && a < reinterpret_cast<uintptr_t>(__etext);
}

// Whether calls take a backtrace (unless made from inside the unwinder or
// dlsym() on our behalf: see trace()).
inline bool backtraces_on() { return fr_memdbg_backtrace != 0; }

// Appends one call to the ring with `frames` return addresses from `pcs`.
__attribute__((always_inline)) inline void put(char op, size_t size, void *old_ptr, void *new_ptr, void *const *pcs,
                                               int frames) {
    unsigned long n = std::atomic_ref<unsigned long>(fr_memdbg_calls).fetch_add(1, std::memory_order_relaxed);
    fr_memdbg_record *r = &fr_memdbg_ring[n & (FR_MEMDBG_RING_SIZE - 1)];
    // The ring is far larger than the caches: fetch the lines of a record a
    // few calls ahead, so that the locked add does not wait for this
    // record's stores to miss. They are fetched as not to be kept: the
    // program never reads them, and they would push its own data out of
    // the outer caches.
    const char *ahead = reinterpret_cast<const char *>(&fr_memdbg_ring[(n + 16) & (FR_MEMDBG_RING_SIZE - 1)]);
    __builtin_prefetch(ahead, 1, 0);
    __builtin_prefetch(ahead + offsetof(fr_memdbg_record, backtrace), 1, 0);
    r->op = op;
    r->size = size;
    r->old_ptr = old_ptr;
    r->new_ptr = new_ptr;
    r->thread = current_thread();
    for (int i = 0; i < frames; ++i)
        r->backtrace[i] = pcs[i];
    r->frames = static_cast<unsigned char>(frames);
    std::atomic_ref<unsigned int>(r->seq).store(static_cast<unsigned int>(n + 1), std::memory_order_release);
}

// A call with a backtrace on its way into the ring. It lives in the frame of
// the interposed function, which starts the unwinder itself, and holds all
// that the record needs after the allocation and after the unwinding, so that
// the frame need not keep values in callee-saved registers. The unwinder
// reads a row of the frame's description per register saved in the
// prologue, for every call: without them the description of our frame is
// a single row, as short as any.
struct call {
    char op;
    int got; // return addresses in raw; -1 when none was taken (re-entry)
    size_t size;
    void *old_ptr;
    void *new_ptr;
    void *raw[FR_MEMDBG_FRAMES];
};

// Puts c into the ring without the leading return addresses that lie in
// this library and, when trace() took a backtrace, lowers the re-entry guard
// it raised.
void commit(const call &c);

// The unwinder backtrace() drives, called from the interposed function's
// own frame: the same return addresses as backtrace() gives, without
// unwinding backtrace()'s own frame first. It is loaded (libgcc_s, as
// backtrace() loads it) at load time, or on the first traced call when
// that comes earlier; when it cannot be, backtrace() is used.
using unwind_backtrace_fn = _Unwind_Reason_Code (*)(_Unwind_Trace_Fn, void *);
using unwind_get_fn = _Unwind_Ptr (*)(_Unwind_Context *);
using unwind_cfa_fn = _Unwind_Word (*)(_Unwind_Context *);
struct unwinder {
    std::atomic<unwind_backtrace_fn> walk;
    std::atomic<unwind_get_fn> ip; // set before walk, read after it
    std::atomic<unwind_cfa_fn> cfa;
    std::atomic<int> state; // 0 not tried, 1 loaded, -1 not available
};
extern unwinder unwind;

// Loads the unwinder; null when it is not available.
unwind_backtrace_fn load_unwinder();

struct walk_state {
    void **out;
    int n;
    _Unwind_Word cfa;
};

// Called for each frame, innermost first: records its return address and
// stops at FR_MEMDBG_FRAMES, or when the unwinder makes no progress (the
// same frame twice), as backtrace() does.
_Unwind_Reason_Code walk_frame(_Unwind_Context *ctx, void *arg);

// Takes the backtrace of the call being made into c, unless this thread is
// inside the unwinder, backtrace() or dlsym() on our behalf: loading the
// unwinder allocates, and those calls are recorded without a backtrace.
// The guard is read and raised here with no call in between, so that
// nothing of it has to be kept across a call.
__attribute__((always_inline)) inline void trace(call &c) {
    if (__builtin_expect(reentry != 0, 0)) {
        c.got = -1;
        return;
    }
    reentry = 1;
    unwind_backtrace_fn walk = unwind.walk.load(std::memory_order_acquire);
    if (__builtin_expect(walk == nullptr, 0))
        walk = load_unwinder();
    if (__builtin_expect(walk != nullptr, 1)) {
        walk_state w{c.raw, 0, 0};
        walk(walk_frame, &w);
        // The outermost frame of a thread reports a null return address.
        if (w.n > 1 && c.raw[w.n - 1] == nullptr)
            --w.n;
        c.got = w.n;
    } else {
        c.got = backtrace(c.raw, FR_MEMDBG_FRAMES);
    }
}

} // namespace memdbg

#endif
