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

void *realloc_impl(void *p, size_t n) {
    if (!p) {
        void *u = alloc_plain(n, false);
        record('r', n, nullptr, u);
        return u;
    }
    block b = check("realloc", p);
    if (n == 0) {
        record('r', 0, p, nullptr);
        if (b.k == kind::plain) {
            if (realloc_fn r = next_realloc())
                r(b.raw, 0);
        } else {
            release(b);
        }
        return nullptr;
    }
    size_t total;
    if (__builtin_add_overflow(n, kOverhead, &total)) {
        errno = ENOMEM;
        record('r', n, p, nullptr);
        return nullptr;
    }
    void *u;
    if (b.k == kind::plain) {
        realloc_fn r = next_realloc();
        char *raw = static_cast<char *>(r ? r(b.raw, total) : nullptr);
        u = raw ? seal(raw + kHeader, n, head_guard()) : nullptr;
    } else {
        // Arena and over-aligned blocks cannot be resized by the next
        // allocator: move them into an ordinary block.
        u = alloc_plain(n, false);
        if (u) {
            std::memcpy(u, p, n < b.size ? n : b.size);
            release(b);
        }
    }
    record('r', n, p, u);
    return u;
}

bool power_of_two(size_t a) { return a != 0 && (a & (a - 1)) == 0; }

void *memalign_impl(size_t a, size_t n) {
    if (a > SIZE_MAX / 2 + 1) {
        errno = EINVAL;
        return nullptr;
    }
    while (!power_of_two(a))
        a = a ? (a | (a - 1)) + 1 : 1;
    void *u = alloc_aligned(a, n);
    record('a', n, nullptr, u);
    return u;
}

} // namespace

extern "C" {

KIVO_API void *malloc(size_t n) noexcept {
    void *u = alloc_plain(n, false);
    record('m', n, nullptr, u);
    return u;
}

KIVO_API void *calloc(size_t count, size_t size) noexcept {
    size_t n;
    if (__builtin_mul_overflow(count, size, &n)) {
        errno = ENOMEM;
        record('c', SIZE_MAX, nullptr, nullptr);
        return nullptr;
    }
    void *u = alloc_plain(n, true);
    record('c', n, nullptr, u);
    return u;
}

KIVO_API void *realloc(void *p, size_t n) noexcept { return realloc_impl(p, n); }

KIVO_API void *reallocarray(void *p, size_t count, size_t size) noexcept {
    size_t n;
    if (__builtin_mul_overflow(count, size, &n)) {
        errno = ENOMEM;
        record('r', SIZE_MAX, p, nullptr);
        return nullptr;
    }
    return realloc_impl(p, n);
}

KIVO_API void free(void *p) noexcept {
    if (!p) {
        record('f', 0, nullptr, nullptr);
        if (free_fn f = next_free())
            f(nullptr);
        return;
    }
    block b = check("free", p);
    record('f', 0, p, nullptr);
    release(b);
}

KIVO_API int posix_memalign(void **out, size_t a, size_t n) noexcept {
    if (!power_of_two(a) || a % sizeof(void *) != 0)
        return EINVAL;
    int saved = errno;
    void *u = alloc_aligned(a, n);
    record('a', n, nullptr, u);
    errno = saved;
    if (!u)
        return ENOMEM;
    *out = u;
    return 0;
}

KIVO_API void *aligned_alloc(size_t a, size_t n) noexcept {
    if (!power_of_two(a)) {
        errno = EINVAL;
        return nullptr;
    }
    return memalign_impl(a, n);
}

KIVO_API void *memalign(size_t a, size_t n) noexcept { return memalign_impl(a, n); }

KIVO_API void *valloc(size_t n) noexcept { return memalign_impl(static_cast<size_t>(getpagesize()), n); }

KIVO_API void *pvalloc(size_t n) noexcept {
    size_t page = static_cast<size_t>(getpagesize());
    size_t rounded;
    if (__builtin_add_overflow(n, page - 1, &rounded)) {
        errno = ENOMEM;
        record('a', n, nullptr, nullptr);
        return nullptr;
    }
    rounded &= ~(page - 1);
    return memalign_impl(page, rounded ? rounded : page);
}

// The usable size is the requested size: using more would overwrite the
// trailer guard.
KIVO_API size_t malloc_usable_size(void *p) noexcept {
    if (!p)
        return 0;
    return check("malloc_usable_size", p).size;
}

} // extern "C"
