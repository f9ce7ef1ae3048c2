// The interposed allocation functions: guarded blocks, their verification,
// and the aligned family routed through the same guards. No frame
// exceptions exist in this library.
#include <errno.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <kivo/memdebug.h>

#include "checker.h"

namespace {

using namespace memdbg;

enum class kind { plain, aligned, arena };

struct block {
    kind k;
    size_t size;
    char *raw;
};

malloc_fn next_malloc() {
    malloc_fn f = next.malloc.load(std::memory_order_acquire);
    if (__builtin_expect(f == nullptr, 0) && resolve())
        f = next.malloc.load(std::memory_order_acquire);
    return f;
}

calloc_fn next_calloc() {
    calloc_fn f = next.calloc.load(std::memory_order_acquire);
    if (__builtin_expect(f == nullptr, 0) && resolve())
        f = next.calloc.load(std::memory_order_acquire);
    return f;
}

realloc_fn next_realloc() {
    realloc_fn f = next.realloc.load(std::memory_order_acquire);
    if (__builtin_expect(f == nullptr, 0) && resolve())
        f = next.realloc.load(std::memory_order_acquire);
    return f;
}

free_fn next_free() {
    free_fn f = next.free.load(std::memory_order_acquire);
    if (__builtin_expect(f == nullptr, 0) && resolve())
        f = next.free.load(std::memory_order_acquire);
    return f;
}

// A block of n user bytes at the malloc alignment (zeroed when asked);
// served from the arena while the next allocator is unknown.
void *alloc_plain(size_t n, bool zero) {
    size_t total;
    if (__builtin_add_overflow(n, kOverhead, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    void *raw;
    if (zero) {
        calloc_fn c = next_calloc();
        raw = c ? c(1, total) : arena_alloc(total);
    } else {
        malloc_fn m = next_malloc();
        raw = m ? m(total) : arena_alloc(total);
    }
    return raw ? seal(static_cast<char *>(raw) + kHeader, n, head_guard()) : nullptr;
}

// A block of n user bytes aligned to a (a power of two): the user part sits
// at the first a-aligned address that leaves room for the header and, in
// front of it, the address of the underlying block.
void *alloc_aligned(size_t a, size_t n) {
    if (a <= alignof(max_align_t))
        return alloc_plain(n, false);
    size_t total;
    if (__builtin_add_overflow(n, kOverhead + sizeof(uintptr_t), &total) || __builtin_add_overflow(total, a, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    malloc_fn m = next_malloc();
    char *raw = static_cast<char *>(m ? m(total) : arena_alloc(total));
    if (!raw)
        return nullptr;
    uintptr_t user = (reinterpret_cast<uintptr_t>(raw) + kHeader + sizeof(uintptr_t) + a - 1) & ~(a - 1);
    char *u = reinterpret_cast<char *>(user);
    store_word(u - kHeader - sizeof(uintptr_t), reinterpret_cast<uintptr_t>(raw));
    return seal(u, n, aligned_guard());
}

// Checks both guards of a block handed back to us; aborts before anything
// is released when either is wrong or the size in the header cannot be.
block check(const char *what, void *p) {
    char *u = static_cast<char *>(p);
    block b;
    uintptr_t g = load_word(u - sizeof(uintptr_t));
    b.size = load_word(u - kHeader);
    if (g == head_guard()) {
        b.raw = u - kHeader;
        b.k = in_arena(b.raw) ? kind::arena : kind::plain;
    } else if (g == aligned_guard()) {
        uintptr_t raw = load_word(u - kHeader - sizeof(uintptr_t));
        uintptr_t lowest = reinterpret_cast<uintptr_t>(u) - kHeader - sizeof(uintptr_t);
        if (raw > lowest || lowest - raw > (uintptr_t{1} << 40) || raw % alignof(max_align_t))
            die(what, p, "header damaged (bad block address)", 0, false);
        b.raw = reinterpret_cast<char *>(raw);
        b.k = in_arena(b.raw) ? kind::arena : kind::aligned;
    } else {
        die(what, p, "header guard damaged or pointer not allocated here", 0, false);
    }
    // Room between the user pointer and the end of the underlying block.
    size_t room = SIZE_MAX;
    if (b.k == kind::arena) {
        room = static_cast<size_t>(arena_end() - u);
    } else if (usable_fn us = next.usable_size.load(std::memory_order_relaxed)) {
        size_t cap = us(b.raw);
        size_t off = static_cast<size_t>(u - b.raw);
        room = cap > off ? cap - off : 0;
    }
    if (room < kTrailer || b.size > room - kTrailer)
        die(what, p, "header damaged, size ", b.size, true);
    if (load_word(u + b.size) != tail_guard())
        die(what, p, "trailer guard damaged after ", b.size, true);
    return b;
}

// Gives a checked block back; arena blocks are never passed on.
void release(const block &b) {
    if (b.k == kind::arena)
        return;
    if (free_fn f = next_free())
        f(b.raw);
}

// free(NULL) goes on to the next free as well.
__attribute__((noinline)) void pass_null() {
    if (free_fn f = next_free())
        f(nullptr);
}

// How an interposed function records its call. Each is written once, as a
// template on one of these, and built twice: inlined into the exported
// function when backtraces are on, so that the unwinding starts in that
// function's own frame, and out of line (plain below, reached by a jump)
// when they are off. A recorder takes the call's fields with begin() before
// the allocation is made and the new pointer with end(), which writes the
// record; or all at once.
struct untraced {
    block b; // a block given back after the record (free, realloc)
    char op;
    size_t size;
    void *old_ptr;
    __attribute__((always_inline)) void begin(char op_, size_t size_, void *old_ptr_) {
        op = op_;
        size = size_;
        old_ptr = old_ptr_;
    }
    __attribute__((always_inline)) void *end(void *new_ptr) {
        put(op, size, old_ptr, new_ptr, nullptr, 0);
        return new_ptr;
    }
    __attribute__((always_inline)) void *operator()(char op_, size_t size_, void *old_ptr_, void *new_ptr) {
        begin(op_, size_, old_ptr_);
        return end(new_ptr);
    }
    __attribute__((always_inline)) void *early() { return old_ptr; }
    __attribute__((always_inline)) void late(void *new_ptr) { end(new_ptr); }
};

// Everything the traced call needs after an allocation or after
// the unwinding waits in this object, in the frame, rather than in
// callee-saved registers (see memdbg::call).
struct traced : call {
    block b;
    __attribute__((always_inline)) void begin(char op_, size_t size_, void *old_ptr_) {
        op = op_;
        size = size_;
        old_ptr = old_ptr_;
    }
    __attribute__((always_inline)) void *end(void *new_ptr_) {
        new_ptr = new_ptr_;
        trace(*this);
        commit(*this);
        return new_ptr;
    }
    __attribute__((always_inline)) void *operator()(char op_, size_t size_, void *old_ptr_, void *new_ptr_) {
        begin(op_, size_, old_ptr_);
        return end(new_ptr_);
    }
    // For free: takes the backtrace before the block is checked, with the
    // block's first two lines on their way into the cache meanwhile (a
    // block being freed is often cold; they hold the header, and the
    // trailer of a small block). Returns old_ptr, read back.
    __attribute__((always_inline)) void *early() {
        char *raw = static_cast<char *>(old_ptr) - kHeader;
        __builtin_prefetch(raw);
        __builtin_prefetch(raw + 64);
        trace(*this);
        return old_ptr;
    }
    // Writes the record of a call whose backtrace early() took.
    __attribute__((always_inline)) void late(void *new_ptr_) {
        new_ptr = new_ptr_;
        commit(*this);
    }
};

template <auto body, class... Args> __attribute__((noinline)) auto plain(Args... args) { return body(args...); }

// The one way an exported function runs its body: traced and inlined here
// when backtraces are on, else the plain copy. A macro rather than a
// function, so that the traced body stays in the exported function's frame.
#define MEMDBG_RUN(body, ...) \
    (backtraces_on() ? body<traced>(__VA_ARGS__) : plain<body<untraced>>(__VA_ARGS__))

template <class Rec> __attribute__((always_inline)) inline void *malloc_body(size_t n) {
    Rec rec;
    rec.begin('m', n, nullptr);
    return rec.end(alloc_plain(n, false));
}

template <class Rec> __attribute__((always_inline)) inline void *calloc_body(size_t count, size_t size) {
    Rec rec;
    size_t n;
    if (__builtin_mul_overflow(count, size, &n)) {
        errno = ENOMEM;
        return rec('c', SIZE_MAX, nullptr, nullptr);
    }
    rec.begin('c', n, nullptr);
    return rec.end(alloc_plain(n, true));
}

// Arena and over-aligned blocks cannot be resized by the next allocator:
// they move into an ordinary block.
__attribute__((noinline)) void *move_block(const block &b, void *p, size_t n) {
    void *u = alloc_plain(n, false);
    if (u) {
        std::memcpy(u, p, n < b.size ? n : b.size);
        release(b);
    }
    return u;
}

// After begin() the request is read back from rec, so that it need not be
// kept in registers across the calls below.
template <class Rec> __attribute__((always_inline)) inline void *realloc_body(void *p, size_t n) {
    Rec rec;
    rec.begin('r', n, p);
    if (!p)
        return rec.end(alloc_plain(n, false));
    rec.b = check("realloc", p);
    if (rec.size == 0) {
        rec.end(nullptr);
        if (rec.b.k == kind::plain) {
            if (realloc_fn r = next_realloc())
                r(rec.b.raw, 0);
        } else {
            release(rec.b);
        }
        return nullptr;
    }
    if (rec.size > SIZE_MAX - kOverhead) {
        errno = ENOMEM;
        return rec.end(nullptr);
    }
    if (rec.b.k != kind::plain)
        return rec.end(move_block(rec.b, rec.old_ptr, rec.size));
    realloc_fn r = next_realloc();
    char *raw = static_cast<char *>(r ? r(rec.b.raw, rec.size + kOverhead) : nullptr);
    return rec.end(raw ? seal(raw + kHeader, rec.size, head_guard()) : nullptr);
}

template <class Rec> __attribute__((always_inline)) inline void *reallocarray_body(void *p, size_t count, size_t size) {
    size_t n;
    if (__builtin_mul_overflow(count, size, &n)) {
        errno = ENOMEM;
        Rec rec;
        return rec('r', SIZE_MAX, p, nullptr);
    }
    return realloc_body<Rec>(p, n);
}

template <class Rec> __attribute__((always_inline)) inline void free_body(void *p) {
    Rec rec;
    if (!p) {
        rec('f', 0, nullptr, nullptr);
        pass_null();
        return;
    }
    rec.begin('f', 0, p);
    rec.b = check("free", rec.early());
    rec.late(nullptr);
    release(rec.b);
}

bool power_of_two(size_t a) { return a != 0 && (a & (a - 1)) == 0; }

template <class Rec> __attribute__((always_inline)) inline int posix_memalign_body(void **out, size_t a, size_t n) {
    if (!power_of_two(a) || a % sizeof(void *) != 0)
        return EINVAL;
    int saved = errno;
    Rec rec;
    void *u = rec('a', n, nullptr, alloc_aligned(a, n));
    errno = saved;
    if (!u)
        return ENOMEM;
    *out = u;
    return 0;
}

// memalign, aligned_alloc (a a power of two), valloc and pvalloc (a page,
// n rounded up to pages unless that overflows).
template <class Rec> __attribute__((always_inline)) inline void *memalign_body(size_t a, size_t n, bool pages) {
    if (pages) {
        size_t rounded;
        if (__builtin_add_overflow(n, a - 1, &rounded)) {
            errno = ENOMEM;
            Rec rec;
            return rec('a', n, nullptr, nullptr);
        }
        rounded &= ~(a - 1);
        n = rounded ? rounded : a;
    }
    if (a > SIZE_MAX / 2 + 1) {
        errno = EINVAL;
        return nullptr;
    }
    while (!power_of_two(a))
        a = a ? (a | (a - 1)) + 1 : 1;
    Rec rec;
    return rec('a', n, nullptr, alloc_aligned(a, n));
}

} // namespace

extern "C" {

KIVO_API void *malloc(size_t n) noexcept {
    return MEMDBG_RUN(malloc_body, n);
}

KIVO_API void *calloc(size_t count, size_t size) noexcept {
    return MEMDBG_RUN(calloc_body, count, size);
}

KIVO_API void *realloc(void *p, size_t n) noexcept {
    return MEMDBG_RUN(realloc_body, p, n);
}

KIVO_API void *reallocarray(void *p, size_t count, size_t size) noexcept {
    return MEMDBG_RUN(reallocarray_body, p, count, size);
}

KIVO_API void free(void *p) noexcept {
    return MEMDBG_RUN(free_body, p);
}

KIVO_API int posix_memalign(void **out, size_t a, size_t n) noexcept {
    return MEMDBG_RUN(posix_memalign_body, out, a, n);
}

KIVO_API void *aligned_alloc(size_t a, size_t n) noexcept {
    if (!power_of_two(a)) {
        errno = EINVAL;
        return nullptr;
    }
    return MEMDBG_RUN(memalign_body, a, n, false);
}

KIVO_API void *memalign(size_t a, size_t n) noexcept {
    return MEMDBG_RUN(memalign_body, a, n, false);
}

KIVO_API void *valloc(size_t n) noexcept {
    size_t page = static_cast<size_t>(getpagesize());
    return MEMDBG_RUN(memalign_body, page, n, false);
}

KIVO_API void *pvalloc(size_t n) noexcept {
    size_t page = static_cast<size_t>(getpagesize());
    return MEMDBG_RUN(memalign_body, page, n, true);
}

// The usable size is the requested size: using more would overwrite the
// trailer guard.
KIVO_API size_t malloc_usable_size(void *p) noexcept {
    if (!p)
        return 0;
    return check("malloc_usable_size", p).size;
}

} // extern "C"
