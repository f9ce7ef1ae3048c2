// Internals of the safe strings shared by the core, the edits, the format
// engine and the conversions: the block layout, the one rule by which an
// operation takes and gives back its strings, the release steps, and the
// resize-and-complete protocol. Frame exceptions pass through everything
// declared here.
//
// Taking a string. Every operation checks the strings it uses by one rule
// (access_fault below: the cookie, write access, the reference ceiling)
// and gives them back by one rule (a temporary string used up). It does so
// in one of two ways:
//
// - with a context, when something may fail after the checks or blocks are
//   built: take() adds a reference and registers its release in the
//   operation's context, and closing the context gives everything back:
//
//     xxl_context_t *ctx = kivo::ss::open();
//     safestr_header_t *src = kivo::ss::take(ctx, source, SAFESTR_GET_READONLY);
//     safestr_header_t *h = kivo::ss::take(ctx, *target, SAFESTR_GET_WRITABLE);
//     safestr_header_t *w = kivo::ss::resize(ctx, h, new_length);  // may be a new block
//     ... write into kivo::ss::text(w) ...
//     *target = kivo::ss::complete(h, w);   // nothing may throw after this
//     kivo::ss::close();
//
// - without one, when nothing can fail once the strings are checked: a
//   `uses` record lists the strings, use() checks each as take() would
//   (counting the uses already listed, since they add no reference), done()
//   gives them back, and fail() gives them back and throws.
//
// Closing the context gives back the references taken; an exception on the
// way frees the blocks the operation built and leaves the caller's strings
// as they were.
//
// Block contents. Only the terminating zero is written when a block is
// made; a shrink zeroes what it cuts off. So every byte past a string's
// length is zero or was never written, and wiping a string's length, its
// zero and its header wipes everything it ever held. A block an operation
// built and gives up on failure is wiped whole (it may hold output past its
// recorded length).
#ifndef KIVO_SAFESTR_INTERNAL_H
#define KIVO_SAFESTR_INTERNAL_H

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

// Location recorded with every throw and with internal allocations.
#define SAFESTR_SOURCE "safestr"
#define SAFESTR_THROW(code, data) xxl_throw_error((code), (void *)(data), SAFESTR_SOURCE, __LINE__)

namespace kivo::ss {

constexpr uint32_t header_size = sizeof(safestr_header_t); // 20
constexpr uint32_t stored_flags = SAFESTR_F_TEMPORARY | SAFESTR_F_READONLY | SAFESTR_F_TRUSTED;
// The handle was registered as an asset when it was made (creation mode);
// freeing the string early drops that registration so that it never runs
// on freed memory.
constexpr uint32_t flag_registered = 0x400;
constexpr uint32_t max_length = 0xFFFFFFFFu;

inline safestr_header_t *header(safestr_t s) {
    return reinterpret_cast<safestr_header_t *>(const_cast<char *>(s)) - 1;
}
inline char *text(safestr_header_t *h) { return reinterpret_cast<char *>(h + 1); }
inline safestr_t handle(safestr_header_t *h) { return reinterpret_cast<const char *>(h + 1); }

inline uint32_t cookie() { return __atomic_load_n(&safestr_cookie, __ATOMIC_RELAXED); }

// A live safe string: non-null with the current cookie. Throws EINVAL/EFAULT.
inline safestr_header_t *check(safestr_t s) {
    if (__builtin_expect(!s, 0))
        SAFESTR_THROW(EINVAL, nullptr);
    safestr_header_t *h = header(s);
    uint32_t c = cookie();
    if (__builtin_expect(c == 0 || h->cookie != c, 0))
        SAFESTR_THROW(EFAULT, nullptr);
    return h;
}

// Opens / closes the operation's own context (an asset block).
inline xxl_context_t *open() { return xxl_push_context(nullptr); }
inline void close() { xxl_pop_context(); }
// The innermost context (null when there is none).
xxl_context_t *innermost();

// The rule for taking h for an operation that already holds it `extra`
// more times than its reference count shows: 0, or the code to throw.
// Writable access needs a string that is not read-only and has no other
// holder; read access must leave room for one more reference.
inline int access_fault(const safestr_header_t *h, unsigned access, uint32_t extra) {
    uint64_t refs = uint64_t(h->refs) + extra;
    if (access & SAFESTR_GET_WRITABLE) {
        if ((h->flags & SAFESTR_F_READONLY) || refs > 1)
            return int(SAFESTR_E_NOT_WRITABLE);
    } else if (refs >= 0xFFFFFFFFu) {
        return int(SAFESTR_E_TOO_MANY_REFERENCES);
    }
    return 0;
}

// Takes s in ctx, which must be the innermost context: checks it (EINVAL,
// EFAULT, then access_fault), adds a reference and registers its release.
// access: SAFESTR_GET_WRITABLE or 0.
safestr_header_t *take(xxl_context_t *ctx, safestr_t s, unsigned access);

// Frees a temporary string that its last use left at one reference.
void destroy(safestr_header_t *h);
inline void used_up(safestr_header_t *h) {
    if ((h->flags & SAFESTR_F_TEMPORARY) && h->refs == 1)
        destroy(h);
}

// The strings of an operation that needs no context (at most three).
struct uses {
    safestr_header_t *h[3];
    uint32_t n = 0;
};
// Gives back every string listed, newest first; a string listed twice is
// given back once.
inline void done(uses &u) {
    for (uint32_t i = u.n; i-- > 0;) {
        bool again = false;
        for (uint32_t j = 0; j < i; j++)
            again = again || u.h[j] == u.h[i];
        if (!again)
            used_up(u.h[i]);
    }
    u.n = 0;
}
[[noreturn]] void fail(uses &u, int code, const void *data);
// Checks s as take() would and lists it in u.
inline safestr_header_t *use(uses &u, safestr_t s, unsigned access) {
    if (__builtin_expect(!s, 0))
        fail(u, EINVAL, nullptr);
    safestr_header_t *h = header(s);
    uint32_t c = cookie();
    if (__builtin_expect(c == 0 || h->cookie != c, 0))
        fail(u, EFAULT, nullptr);
    uint32_t extra = 0;
    for (uint32_t i = 0; i < u.n; i++)
        extra += u.h[i] == h;
    if (int code = access_fault(h, access, extra); __builtin_expect(code != 0, 0))
        fail(u, code, s);
    u.h[u.n++] = h;
    return h;
}

// Throws SAFESTR_E_TOO_LONG when a string of length characters is not
// allowed (safestr_maxlength, or more than 32 bits).
void check_length(uint64_t length);

// A new block by the size rule with room for at least length characters:
// length 0 (text[0] is the zero), one reference, the given header flags,
// the cookie. Not registered anywhere. ENOMEM, SAFESTR_E_TOO_LONG,
// SAFESTR_E_NO_RANDOM.
safestr_header_t *make(uint64_t length, uint32_t flags, const char *file, int line);
// A new block holding a copy of n bytes (n is the length), zero-terminated.
safestr_header_t *make_copy(const char *bytes, uint64_t n, uint32_t flags, const char *file, int line);
// Sets h's length to n and writes the zero after it.
inline void set_length(safestr_header_t *h, uint64_t n) {
    h->length = static_cast<uint32_t>(n);
    text(h)[n] = 0;
}

// Registers a block the running operation built, in ctx (the innermost
// context), with the given disposition: if the operation fails, it is wiped
// and freed; on success XXL_ASSET_ALWAYS drops one reference.
void register_built(xxl_context_t *ctx, safestr_header_t *h, unsigned disposition);
// Registers the handle in the innermost context by the creation mode of
// flags (SAFESTR_F_ASSET_*); nothing when no mode is set.
void register_mode(safestr_header_t *h, uint32_t flags);

// Resize-and-complete. resize() grows or shrinks h to length characters
// (SAFESTR_E_TOO_LONG when a growth is not allowed) and writes the zero
// after them; the characters between the old and the new length are for
// the caller to fill, a shrink zeroes what it cuts off. reserve() makes
// room for at least `room` characters and keeps the length. Either returns
// h or a new block that holds h's text; complete() returns the handle to
// store, and the old block is gone when it differs from the new one.
safestr_header_t *resize(xxl_context_t *ctx, safestr_header_t *h, uint64_t length);
safestr_header_t *reserve(xxl_context_t *ctx, safestr_header_t *h, uint64_t room);
safestr_t complete(safestr_header_t *old_header, safestr_header_t *new_header);

// One reference less; frees at zero, or at one for a temporary string.
void drop(safestr_header_t *h);

// The first occurrence of p (plen >= 1) in t[0, len), or null.
const char *find_bytes(const char *t, size_t len, const char *p, size_t plen);
// Whether growing to length would throw SAFESTR_E_TOO_LONG.
inline bool too_long(uint64_t length) {
    uint64_t limit = safestr_maxlength;
    return length > max_length || ((limit >> 32) == 0 && length + 1 > limit);
}

} // namespace kivo::ss

#endif
