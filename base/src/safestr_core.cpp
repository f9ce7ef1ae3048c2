// Safe strings: taking a string for an operation and giving it back (the
// release steps), wiping and freeing, access to the header fields,
// reference counting, and the resize-and-complete protocol of edits.
// Frame exceptions start and pass here.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "safestr_internal.h"

namespace kivo::ss {
namespace {

// Header and text are one block. The usual wipe covers the header and the
// text up to its zero: nothing past it was ever written (see
// safestr_internal.h). A block given up on failure is wiped whole.
void wipe_and_free(safestr_header_t *h) {
    safestr_memzero(h, sizeof *h + size_t(h->length) + 1);
    safestr_free_fn(h, SAFESTR_SOURCE, __LINE__);
}
void wipe_whole_and_free(safestr_header_t *h) {
    safestr_memzero(h, sizeof *h + size_t(h->capacity) + 1);
    safestr_free_fn(h, SAFESTR_SOURCE, __LINE__);
}


inline bool thrown(void *ctx) {
    return ctx && ((static_cast<xxl_context_t *>(ctx)->state >> 8) & XXL_FLAG_THROWN);
}

// Release of a string taken by an operation: the caller's string only loses
// the reference the operation added, whether the operation succeeded or
// failed. Deciding by the registration rather than by the HELD bit keeps a
// string taken twice by one failing operation (replace(&s, p, p)) alive.
void release_taken(void *asset, void *) { drop(static_cast<safestr_header_t *>(asset)); }

// Release of a block the operation built. The asset argument is the context
// the block was registered in: the decision follows that context's THROWN
// flag, so operations run inside a handler section behave as on a normal
// path.
void release_built(void *asset, void *ctx) {
    auto *h = static_cast<safestr_header_t *>(asset);
    if (thrown(ctx)) {
        if (h->flags & flag_registered)
            xxl_release_asset(const_cast<char *>(handle(h)), XXL_RELEASE_ALL);
        wipe_whole_and_free(h);
        return;
    }
    if (h->flags & SAFESTR_F_SUPERSEDED) {
        destroy(h);
        return;
    }
    drop(h);
}

// Growth beyond the capacity at least doubles it, so that a
// string built piece by piece is copied a bounded number of times per byte.
// Large strings grow fourfold: the blocks a doubling string leaves behind
// add up to its new block, and when it is freed the allocator sees twice
// its largest block free at the end of the heap and hands the memory back
// to the kernel, to fault every page in again for the next string. A
// quarter as many bytes left behind keeps that memory for reuse.
constexpr uint32_t large_capacity = 64 * 1024;
uint64_t grown_capacity(uint32_t capacity, uint64_t length) {
    uint64_t want = uint64_t(capacity) * (capacity >= large_capacity ? 4 : 2);
    if (want < length)
        want = length;
    uint64_t limit = safestr_maxlength;
    if ((limit >> 32) == 0 && want + 1 > limit)
        want = limit - 1;
    if (want > max_length)
        want = max_length;
    return want < length ? length : want;
}

} // namespace

void fail(uses &u, int code, const void *data) {
    done(u);
    xxl_throw_error(code, const_cast<void *>(data), SAFESTR_SOURCE, __LINE__);
}

const char *find_bytes(const char *t, size_t len, const char *p, size_t plen) {
    if (plen > len)
        return nullptr;
    if (plen >= 32)
        return static_cast<const char *>(memmem(t, len, p, plen));
    // Short patterns: memchr for the first byte is cheaper per call than
    // memmem's set-up, and matches are usually near each other.
    const char *end = t + (len - plen) + 1;
    while (t < end) {
        const char *hit = static_cast<const char *>(memchr(t, p[0], size_t(end - t)));
        if (!hit)
            return nullptr;
        if (memcmp(hit + 1, p + 1, plen - 1) == 0)
            return hit;
        t = hit + 1;
    }
    return nullptr;
}

xxl_context_t *innermost() {
    // The frame keeps its stack to itself; a context pushed and popped at
    // once shows the one below it.
    xxl_context_t *probe = xxl_push_context(nullptr);
    xxl_context_t *top = probe->next;
    xxl_pop_context();
    return top;
}

safestr_header_t *take(xxl_context_t *ctx, safestr_t s, unsigned access) {
    safestr_header_t *h = check(s);
    if (int code = access_fault(h, access, 0))
        SAFESTR_THROW(code, s);
    h->flags |= SAFESTR_F_HELD;
    h->refs++;
    xxl_push_asset(h, release_taken, ctx, XXL_ASSET_ALWAYS);
    return h;
}

void register_built(xxl_context_t *ctx, safestr_header_t *h, unsigned disposition) {
    xxl_push_asset(h, release_built, ctx, disposition);
}

void destroy(safestr_header_t *h) {
    if (h->flags & flag_registered)
        xxl_release_asset(const_cast<char *>(handle(h)), XXL_RELEASE_ALL);
    wipe_and_free(h);
}

void drop(safestr_header_t *h) {
    h->flags &= ~uint32_t(SAFESTR_F_HELD | SAFESTR_F_SUPERSEDED);
    h->refs--;
    if (h->refs == 0 || (h->refs == 1 && (h->flags & SAFESTR_F_TEMPORARY))) {
        if (h->cookie != cookie())
            SAFESTR_THROW(EFAULT, nullptr);
        destroy(h);
    }
}

// A new block with room for at least `room` characters (grown
// geometrically) holding h's text and length; h is marked superseded.
static safestr_header_t *move_to_new_block(xxl_context_t *ctx, safestr_header_t *h, uint64_t room) {
    safestr_header_t *n = make(grown_capacity(h->capacity, room), 0, SAFESTR_SOURCE, __LINE__);
    n->flags = h->flags & ~uint32_t(SAFESTR_F_HELD | SAFESTR_F_SUPERSEDED);
    n->refs = h->refs;
    memcpy(text(n), text(h), size_t(h->length) + 1);
    n->length = h->length;
    h->flags |= SAFESTR_F_SUPERSEDED;
    register_built(ctx, n, XXL_ASSET_ALWAYS);
    return n;
}

safestr_header_t *resize(xxl_context_t *ctx, safestr_header_t *h, uint64_t length) {
    uint32_t old = h->length;
    if (length > old)
        check_length(length);
    if (length > h->capacity)
        h = move_to_new_block(ctx, h, length);
    else if (length < old)
        safestr_memzero(text(h) + length, old - length);
    set_length(h, length);
    return h;
}

safestr_header_t *reserve(xxl_context_t *ctx, safestr_header_t *h, uint64_t room) {
    if (room <= h->capacity)
        return h;
    check_length(room);
    return move_to_new_block(ctx, h, room);
}

safestr_t complete(safestr_header_t *old_header, safestr_header_t *new_header) {
    if (old_header == new_header)
        return handle(old_header);
    // The new block takes the old one's place: its own registration goes,
    // every registration of the old block (the operation's hold, assets of
    // the caller) moves to it, and the old block is wiped and freed now.
    xxl_release_asset(new_header, XXL_RELEASE_FIRST);
    xxl_update_asset(old_header, new_header);
    xxl_update_asset(const_cast<char *>(handle(old_header)), const_cast<char *>(handle(new_header)));
    new_header->flags = (new_header->flags | (old_header->flags & SAFESTR_F_HELD)) & ~uint32_t(SAFESTR_F_SUPERSEDED);
    wipe_and_free(old_header);
    return handle(new_header);
}

} // namespace kivo::ss

using namespace kivo::ss;

extern "C" {

KIVO_API safestr_header_t *safestr_get(safestr_t s, unsigned int flags) { return take(innermost(), s, flags); }

KIVO_API safestr_header_t *safestr_resize(safestr_header_t *h, uint32_t length) {
    if (!h)
        SAFESTR_THROW(EINVAL, nullptr);
    check(handle(h));
    uint32_t old = h->length;
    safestr_header_t *w = resize(innermost(), h, length);
    // Callers outside the library find the characters they are to fill
    // zeroed, as every byte past the length used to be.
    if (length > old)
        memset(text(w) + old, 0, length - old);
    return w;
}

KIVO_API safestr_t safestr_complete(safestr_header_t *old_header, safestr_header_t *new_header) {
    if (!old_header || !new_header)
        SAFESTR_THROW(EINVAL, nullptr);
    // Both must be live safe strings before one is freed and copied over.
    check(handle(old_header));
    check(handle(new_header));
    return complete(old_header, new_header);
}

KIVO_API uint32_t safestr_length(safestr_t s) {
    uses u;
    uint32_t n = use(u, s, SAFESTR_GET_READONLY)->length;
    done(u);
    return n;
}

KIVO_API unsigned char safestr_charat(safestr_t s, uint32_t index) {
    uses u;
    safestr_header_t *h = use(u, s, SAFESTR_GET_READONLY);
    if (index >= h->length)
        fail(u, SAFESTR_E_OUT_OF_RANGE, nullptr);
    unsigned char c = static_cast<unsigned char>(text(h)[index]);
    done(u);
    return c;
}

KIVO_API void safestr_setcharat(safestr_t s, uint32_t index, int c, int trusted) {
    uses u;
    safestr_header_t *h = use(u, s, SAFESTR_GET_WRITABLE);
    if (index >= h->length)
        fail(u, SAFESTR_E_OUT_OF_RANGE, nullptr);
    text(h)[index] = static_cast<char>(c);
    if (!trusted)
        h->flags &= ~uint32_t(SAFESTR_F_TRUSTED);
    done(u);
}

static int has_flag(safestr_t s, uint32_t flag) {
    uses u;
    int r = (use(u, s, SAFESTR_GET_READONLY)->flags & flag) != 0;
    done(u);
    return r;
}

KIVO_API int safestr_isreadonly(safestr_t s) { return has_flag(s, SAFESTR_F_READONLY); }
KIVO_API int safestr_istrusted(safestr_t s) { return has_flag(s, SAFESTR_F_TRUSTED); }

// Taken for reading only, so that a read-only or shared string can be
// made writable again.
static void set_flag(safestr_t s, uint32_t flag, bool on) {
    uses u;
    safestr_header_t *h = use(u, s, SAFESTR_GET_READONLY);
    if (on)
        h->flags |= flag;
    else
        h->flags &= ~flag;
    done(u);
}

KIVO_API void safestr_makereadonly(safestr_t s) { set_flag(s, SAFESTR_F_READONLY, true); }
KIVO_API void safestr_makewritable(safestr_t s) { set_flag(s, SAFESTR_F_READONLY, false); }
KIVO_API void safestr_trust(safestr_t s) { set_flag(s, SAFESTR_F_TRUSTED, true); }
KIVO_API void safestr_untrust(safestr_t s) { set_flag(s, SAFESTR_F_TRUSTED, false); }

KIVO_API safestr_t safestr_reference(safestr_t s) {
    uses u;
    safestr_header_t *h = use(u, s, SAFESTR_GET_READONLY);
    // The operation's own hold would be the 0xFFFFFFFF-th; one more cannot fit.
    if (h->refs >= 0xFFFFFFFEu)
        fail(u, SAFESTR_E_TOO_MANY_REFERENCES, s);
    h->refs++;
    return s; // one more holder: nothing is used up
}

KIVO_API void safestr_free(safestr_t s) {
    uses u;
    // The release of the use is the drop itself.
    drop(use(u, s, SAFESTR_GET_READONLY));
}

KIVO_API void safestr_freelist(safestr_t *array) {
    if (!array)
        SAFESTR_THROW(EINVAL, nullptr);
    for (safestr_t *p = array; *p; p++) {
        uses u;
        use(u, *p, SAFESTR_GET_READONLY);
    }
    for (safestr_t *p = array; *p; p++)
        safestr_free(*p);
    safestr_free_fn(array, SAFESTR_SOURCE, __LINE__);
}

KIVO_API void safestr_cleanup_asset(void *s, void *) {
    if (!s)
        return;
    safestr_header_t *h = header(static_cast<const char *>(s));
    if (h->cookie != cookie() || cookie() == 0)
        SAFESTR_THROW(EFAULT, nullptr);
    if (h->refs == 0xFFFFFFFFu)
        SAFESTR_THROW(SAFESTR_E_TOO_MANY_REFERENCES, h);
    // This registration is used up; a later free must not look for it.
    h->flags = (h->flags | SAFESTR_F_HELD) & ~flag_registered;
    if (h->flags & SAFESTR_F_SUPERSEDED) {
        destroy(h);
        return;
    }
    drop(h);
}

} // extern "C"
