// Internals of the safe strings shared by the core, the edits, the format
// engine and the conversions: the block layout, taking strings inside an
// operation's context, the release steps, and the resize-and-complete
// protocol. Frame exceptions pass through everything declared here.
//
// An operation looks like this (no local with a destructor anywhere):
//
//   xxl_context_t *ctx = kivo::ss::open();
//   safestr_header_t *src = kivo::ss::take(ctx, source, SAFESTR_GET_READONLY);
//   safestr_header_t *h = kivo::ss::take(ctx, *target, SAFESTR_GET_WRITABLE);
//   safestr_header_t *w = kivo::ss::resize(ctx, h, new_length);  // may be a new block
//   ... write into kivo::ss::text(w) ...
//   *target = kivo::ss::complete(h, w);   // nothing may throw after this
//   kivo::ss::close();
//
// Closing the context gives back the references taken; an exception on the
// way frees the blocks the operation built and leaves the caller's strings
// as they were.
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

// Takes s in ctx, which must be the innermost context: checks it (EINVAL,
// EFAULT, SAFESTR_E_NOT_WRITABLE, SAFESTR_E_TOO_MANY_REFERENCES), adds a
// reference and registers its release. access: SAFESTR_GET_WRITABLE or 0.
safestr_header_t *take(xxl_context_t *ctx, safestr_t s, unsigned access);

// Throws SAFESTR_E_TOO_LONG when a string of length characters is not
// allowed (safestr_maxlength, or more than 32 bits).
void check_length(uint64_t length);

// A new block by the size rule with room for at least length characters:
// length 0, one reference, the given header flags, the cookie, the whole
// text area zero. Not registered anywhere. ENOMEM, SAFESTR_E_TOO_LONG,
// SAFESTR_E_NO_RANDOM.
safestr_header_t *make(uint64_t length, uint32_t flags, const char *file, int line);
// A new block holding a copy of n bytes (n is the length), zero-terminated.
safestr_header_t *make_copy(const char *bytes, uint64_t n, uint32_t flags, const char *file, int line);

// Registers a block the running operation built, in ctx (the innermost
// context), with the given disposition: if the operation fails, it is wiped
// and freed; on success XXL_ASSET_ALWAYS drops one reference.
void register_built(xxl_context_t *ctx, safestr_header_t *h, unsigned disposition);
// Registers the handle in the innermost context by the creation mode of
// flags (SAFESTR_F_ASSET_*); nothing when no mode is set.
void register_mode(safestr_header_t *h, uint32_t flags);

// Resize-and-complete. resize() grows or shrinks h to length characters
// (SAFESTR_E_TOO_LONG when a growth is not allowed); bytes past the new
// length are zero. Bytes past a string's length are always kept zero: write
// past the length only what a resize then takes in. complete() returns the
// handle to store; the old block is gone when it differs from the new one.
safestr_header_t *resize(xxl_context_t *ctx, safestr_header_t *h, uint64_t length);
safestr_t complete(safestr_header_t *old_header, safestr_header_t *new_header);

// Wipes the block (text, then header) and hands it to safestr_free_fn.
void destroy(safestr_header_t *h);

// One reference less; frees at zero, or at one for a temporary string.
void drop(safestr_header_t *h);

// Operations that cannot fail once their strings are checked (and edits
// that fit in place) skip the context: peek() checks a string as taking it
// for reading would, peek_second() a second one (giving back the first on
// failure), finish() ends the use of a string as the release would (a
// temporary string is used up). The effect on the strings is the same as
// with take() and close().
inline safestr_header_t *peek(safestr_t s) {
    safestr_header_t *h = check(s);
    if (h->refs == 0xFFFFFFFFu)
        SAFESTR_THROW(SAFESTR_E_TOO_MANY_REFERENCES, s);
    return h;
}
inline void finish(safestr_header_t *h) {
    if ((h->flags & SAFESTR_F_TEMPORARY) && h->refs == 1)
        destroy(h);
}
safestr_header_t *peek_second(safestr_header_t *first, safestr_t s);
// The first occurrence of p (plen >= 1) in t[0, len), or null.
const char *find_bytes(const char *t, size_t len, const char *p, size_t plen);
// Whether growing to length would throw SAFESTR_E_TOO_LONG.
inline bool too_long(uint64_t length) {
    uint64_t limit = safestr_maxlength;
    return length > max_length || ((limit >> 32) == 0 && length + 1 > limit);
}

} // namespace kivo::ss

#endif
