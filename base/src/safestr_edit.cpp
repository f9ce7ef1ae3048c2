// Safe strings: the editing operations (append, insert, delete, duplicate,
// replace, truncate). Each takes its sources, then the target for writing,
// checks everything it can before changing anything, and changes the
// caller's string through resize and complete. Frame exceptions start and
// pass here.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "safestr_internal.h"

using namespace kivo::ss;

namespace {

inline void carry_trust(safestr_header_t *target, const safestr_header_t *source) {
    if (!(source->flags & SAFESTR_F_TRUSTED))
        target->flags &= ~uint32_t(SAFESTR_F_TRUSTED);
}

inline safestr_t *target_pointer(safestr_t *s) {
    if (!s)
        SAFESTR_THROW(EINVAL, nullptr);
    return s;
}

// Appends n bytes; nothing changes (and nothing is allocated) for n == 0.
void append_bytes(xxl_context_t *ctx, safestr_t *s, safestr_header_t *h, const char *bytes, uint32_t n,
                  const safestr_header_t *source) {
    if (n == 0)
        return;
    uint32_t old = h->length;
    safestr_header_t *w = resize(ctx, h, uint64_t(old) + n);
    memcpy(text(w) + old, bytes, n);
    if (source)
        carry_trust(w, source);
    *s = complete(h, w);
}

// Counts the result length of replacing every non-overlapping occurrence.
uint64_t replaced_length(const char *t, uint32_t len, const char *p, uint32_t plen, uint32_t rlen,
                         uint64_t *matches) {
    uint64_t count = 0;
    for (uint32_t i = 0; i + plen <= len;) {
        const char *hit = find_bytes(t + i, len - i, p, plen);
        if (!hit)
            break;
        count++;
        i = uint32_t(hit - t) + plen;
    }
    *matches = count;
    return uint64_t(len) + count * rlen - count * plen;
}

// Writes the replaced text to out from src (len bytes), left to right. out
// may equal src when the result is not longer, or lie before a copy of the
// source that the writing never overtakes when it is.
uint32_t write_replaced(char *out, const char *src, uint32_t len, const char *p, uint32_t plen, const char *r,
                        uint32_t rlen) {
    char *start = out;
    uint32_t i = 0;
    while (i + plen <= len) {
        const char *hit = find_bytes(src + i, len - i, p, plen);
        if (!hit)
            break;
        uint32_t at = uint32_t(hit - src);
        memmove(out, src + i, at - i);
        out += at - i;
        memmove(out, r, rlen);
        out += rlen;
        i = at + plen;
    }
    memmove(out, src + i, len - i);
    return uint32_t(out + (len - i) - start);
}

// Appends n bytes (a copy of the source's, or the one character `ch`
// when source is null) without a context when they fit in the capacity:
// nothing can fail then once the strings are checked. Returns false,
// having changed nothing, when the string must grow.
inline bool append_in_place(safestr_t *s, safestr_t source, uint32_t flags, uint32_t limit, char ch) {
    uses u;
    safestr_header_t *hs = source ? use(u, source, SAFESTR_GET_READONLY) : nullptr;
    safestr_header_t *h = use(u, *s, SAFESTR_GET_WRITABLE);
    uint32_t n = 1;
    const char *bytes = &ch;
    if (hs) {
        n = hs->length;
        if ((flags & SAFESTR_COPY_LIMIT) && limit < n)
            n = limit;
        bytes = text(hs);
    }
    uint32_t old = h->length;
    uint64_t length = uint64_t(old) + n;
    if (length > h->capacity)
        return false; // nothing was used: the full path takes them again
    if (n) {
        if (too_long(length))
            fail(u, SAFESTR_E_TOO_LONG, nullptr);
        memcpy(text(h) + old, bytes, n);
        set_length(h, length);
        if (hs)
            carry_trust(h, hs);
    }
    done(u);
    return true;
}

} // namespace

extern "C" {

KIVO_API void safestr_concatenate(safestr_t *s, safestr_t src, uint32_t flags, uint32_t n) {
    target_pointer(s);
    if (append_in_place(s, src, flags, n, 0))
        return;
    xxl_context_t *ctx = open();
    safestr_header_t *hs = take(ctx, src, SAFESTR_GET_READONLY);
    safestr_header_t *h = take(ctx, *s, SAFESTR_GET_WRITABLE);
    uint32_t count = hs->length;
    if ((flags & SAFESTR_COPY_LIMIT) && n < count)
        count = n;
    append_bytes(ctx, s, h, text(hs), count, hs);
    close();
}

KIVO_API void safestr_appendchar(safestr_t *s, int c) {
    target_pointer(s);
    char ch = static_cast<char>(c);
    if (append_in_place(s, nullptr, 0, 0, ch))
        return;
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, *s, SAFESTR_GET_WRITABLE);
    append_bytes(ctx, s, h, &ch, 1, nullptr);
    close();
}

KIVO_API void safestr_insert(safestr_t *s, uint32_t position, safestr_t src) {
    target_pointer(s);
    xxl_context_t *ctx = open();
    safestr_header_t *hs = take(ctx, src, SAFESTR_GET_READONLY);
    safestr_header_t *h = take(ctx, *s, SAFESTR_GET_WRITABLE);
    uint32_t old = h->length, n = hs->length;
    if (position > old)
        SAFESTR_THROW(SAFESTR_E_OUT_OF_RANGE, nullptr);
    if (n) {
        safestr_header_t *w = resize(ctx, h, uint64_t(old) + n);
        char *t = text(w);
        memmove(t + position + n, t + position, old - position);
        memcpy(t + position, text(hs), n);
        carry_trust(w, hs);
        *s = complete(h, w);
    } else {
        carry_trust(h, hs); // an untrusted source taints even when empty
    }
    close();
}

KIVO_API void safestr_delete(safestr_t *s, uint32_t position, uint32_t count) {
    target_pointer(s);
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, *s, SAFESTR_GET_WRITABLE);
    uint32_t len = h->length;
    if (position < len && count) {
        if (uint64_t(position) + count < len) {
            char *t = text(h);
            memmove(t + position, t + position + count, len - position - count);
            resize(ctx, h, len - count); // in place: wipes the vacated tail
        } else {
            resize(ctx, h, position);
        }
    }
    close();
}

KIVO_API void safestr_duplicate(safestr_t *s, safestr_t src, uint32_t flags, uint32_t n) {
    target_pointer(s);
    xxl_context_t *ctx = open();
    safestr_header_t *hs = take(ctx, src, SAFESTR_GET_READONLY);
    safestr_header_t *h = take(ctx, *s, SAFESTR_GET_WRITABLE);
    uint32_t count = hs->length;
    if ((flags & SAFESTR_COPY_LIMIT) && n < count)
        count = n;
    safestr_header_t *w = resize(ctx, h, count);
    memcpy(text(w), text(hs), count);
    carry_trust(w, hs);
    *s = complete(h, w);
    close();
}

KIVO_API void safestr_replace(safestr_t *s, safestr_t pattern, safestr_t replacement) {
    target_pointer(s);
    xxl_context_t *ctx = open();
    safestr_header_t *hp = take(ctx, pattern, SAFESTR_GET_READONLY);
    safestr_header_t *hr = take(ctx, replacement, SAFESTR_GET_READONLY);
    safestr_header_t *h = take(ctx, *s, SAFESTR_GET_WRITABLE);
    uint32_t plen = hp->length, rlen = hr->length, len = h->length;
    // An empty pattern matches everywhere and has no sensible result.
    if (plen == 0)
        SAFESTR_THROW(EINVAL, nullptr);
    const char *p = text(hp), *r = text(hr);
    if (rlen <= plen) {
        // Never longer: one pass in place, then the vacated tail is wiped.
        char *t = text(h);
        uint32_t total = len < plen ? len : write_replaced(t, t, len, p, plen, r, rlen);
        if (total < len)
            resize(ctx, h, total);
        carry_trust(h, hr);
        close();
        return;
    }
    uint64_t matches = 0;
    uint64_t total = len < plen ? len : replaced_length(text(h), len, p, plen, rlen, &matches);
    if (matches == 0) {
        carry_trust(h, hr);
    } else {
        safestr_header_t *w = resize(ctx, h, total);
        // Move the source to the end of the block and write the result from
        // the front: the writing stays behind the part still to be read.
        char *t = text(w);
        uint64_t shift = total - len;
        memmove(t + shift, t, len);
        write_replaced(t, t + shift, len, p, plen, r, rlen);
        t[total] = 0;
        carry_trust(w, hr);
        *s = complete(h, w);
    }
    close();
}

KIVO_API void safestr_truncate(safestr_t *s, uint32_t length) {
    target_pointer(s);
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, *s, SAFESTR_GET_WRITABLE);
    uint32_t old = h->length;
    safestr_header_t *w = resize(ctx, h, length);
    if (length > old)
        memset(text(w) + old, ' ', length - old);
    *s = complete(h, w);
    close();
}

} // extern "C"
