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

// Appends one call to the ring. Inlined into each interposed function, so
// that the backtrace holds a single frame of ours, which is dropped: the
// record starts at the caller. backtrace() loads the unwinder on first use,
// which allocates: those calls are recorded without a backtrace.
__attribute__((always_inline)) inline void record(char op, size_t size, void *old_ptr, void *new_ptr) {
    unsigned long n = std::atomic_ref<unsigned long>(fr_memdbg_calls).fetch_add(1, std::memory_order_relaxed);
    fr_memdbg_record *r = &fr_memdbg_ring[n & (FR_MEMDBG_RING_SIZE - 1)];
    // The ring is far larger than the caches: fetch the lines of a record a
    // few calls ahead, so that the locked add does not wait for this
    // record's stores to miss.
    const char *ahead = reinterpret_cast<const char *>(&fr_memdbg_ring[(n + 16) & (FR_MEMDBG_RING_SIZE - 1)]);
    __builtin_prefetch(ahead, 1);
    __builtin_prefetch(ahead + offsetof(fr_memdbg_record, backtrace), 1);
    r->op = op;
    r->size = size;
    r->old_ptr = old_ptr;
    r->new_ptr = new_ptr;
    r->thread = current_thread();
    int frames = 0;
    if (fr_memdbg_backtrace && !reentry) {
        reentry = 1;
        void *raw[FR_MEMDBG_FRAMES];
        int got = backtrace(raw, FR_MEMDBG_FRAMES);
        int first = 0;
        while (first < got && ours(raw[first]))
            ++first;
        for (int i = first; i < got; ++i)
            r->backtrace[i - first] = raw[i];
        frames = got - first;
        reentry = 0;
    }
    r->frames = static_cast<unsigned char>(frames);
    std::atomic_ref<unsigned int>(r->seq).store(static_cast<unsigned int>(n + 1), std::memory_order_release);
}

} // namespace memdbg

#endif
