// Safe strings: splitting into arrays, joining arrays, converting arrays of
// C strings, and cutting into chunks. Everything built before a failure is
// registered in the operation's context and freed by it. Frame exceptions
// start and pass here.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "safestr_internal.h"

using namespace kivo::ss;

namespace {

// The result array, freed by the operation's context if it fails.
safestr_t *new_array(uint64_t entries, const char *file, int line) {
    uint64_t bytes = entries * sizeof(safestr_t);
    if (entries > (uint64_t(1) << 40))
        SAFESTR_THROW(ENOMEM, nullptr);
    return static_cast<safestr_t *>(safestr_malloc(size_t(bytes), XXL_ASSET_ON_ERROR, file, line));
}

safestr_t piece(xxl_context_t *ctx, const char *bytes, uint64_t n, uint32_t flags, const char *file, int line) {
    safestr_header_t *h = make_copy(bytes, n, flags, file, line);
    register_built(ctx, h, XXL_ASSET_ON_ERROR);
    return handle(h);
}

// Splits text (len bytes) at every occurrence of sep (plen >= 1 bytes),
// scanning left to right; separators are looked for up to the first zero
// byte only.
safestr_t *split_at(xxl_context_t *ctx, safestr_header_t *h, const char *sep, uint32_t plen, const char *file,
                    int line) {
    const char *t = text(h);
    uint32_t len = h->length;
    uint32_t flags = h->flags & SAFESTR_F_TRUSTED;
    const char *zero = static_cast<const char *>(memchr(t, 0, len));
    uint32_t scan = zero ? uint32_t(zero - t) : len;
    if (len < plen) {
        safestr_t *arr = new_array(2, file, line);
        arr[0] = piece(ctx, t, len, flags, file, line);
        arr[1] = nullptr;
        return arr;
    }
    uint64_t count = 0;
    for (uint32_t i = 0; scan >= plen && i <= scan - plen;) {
        const char *hit = find_bytes(t + i, scan - i, sep, plen);
        if (!hit)
            break;
        count++;
        i = uint32_t(hit - t) + plen;
    }
    safestr_t *arr = new_array(count + 2, file, line);
    uint64_t k = 0;
    uint32_t from = 0;
    for (uint32_t i = 0; k < count;) {
        const char *hit = find_bytes(t + i, scan - i, sep, plen);
        uint32_t at = uint32_t(hit - t);
        arr[k++] = piece(ctx, t + from, at - from, flags, file, line);
        i = from = at + plen;
    }
    arr[k++] = piece(ctx, t + from, len - from, flags, file, line);
    arr[k] = nullptr;
    return arr;
}

safestr_t join(safestr_t *array, const char *sep, uint32_t plen, bool sep_trusted, const char *file, int line) {
    if (!array)
        SAFESTR_THROW(EINVAL, nullptr);
    xxl_context_t *ctx = open();
    uint64_t total = 0, n = 0;
    bool trusted = sep_trusted;
    for (safestr_t *p = array; *p; p++, n++) {
        safestr_header_t *h = take(ctx, *p, SAFESTR_GET_READONLY);
        total += h->length;
        trusted = trusted && (h->flags & SAFESTR_F_TRUSTED);
    }
    if (n == 0) {
        safestr_header_t *empty = make(0, SAFESTR_F_TRUSTED, file, line);
        close();
        return handle(empty);
    }
    total += (n - 1) * plen;
    safestr_header_t *r = make(total, trusted ? SAFESTR_F_TRUSTED : 0, file, line);
    char *out = text(r);
    for (safestr_t *p = array; *p; p++) {
        if (p != array) {
            memcpy(out, sep, plen);
            out += plen;
        }
        safestr_header_t *h = header(*p);
        memcpy(out, text(h), h->length);
        out += h->length;
    }
    set_length(r, total);
    close();
    return handle(r);
}

} // namespace

extern "C" {

KIVO_API safestr_t *safestr_do_split(safestr_t s, safestr_t sep, const char *file, int line) {
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, s, SAFESTR_GET_READONLY);
    safestr_header_t *p = take(ctx, sep, SAFESTR_GET_READONLY);
    safestr_t *arr;
    if (p->length == 0) {
        // One string per character.
        uint32_t len = h->length, flags = h->flags & SAFESTR_F_TRUSTED;
        arr = new_array(uint64_t(len) + 1, file, line);
        for (uint32_t i = 0; i < len; i++)
            arr[i] = piece(ctx, text(h) + i, 1, flags, file, line);
        arr[len] = nullptr;
    } else {
        arr = split_at(ctx, h, text(p), p->length, file, line);
    }
    close();
    return arr;
}

KIVO_API safestr_t *safestr_do_split_bychar(safestr_t s, int sep, const char *file, int line) {
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, s, SAFESTR_GET_READONLY);
    char c = static_cast<char>(sep);
    safestr_t *arr = split_at(ctx, h, &c, 1, file, line);
    close();
    return arr;
}

KIVO_API safestr_t safestr_do_join(safestr_t *array, safestr_t sep, const char *file, int line) {
    xxl_context_t *ctx = open();
    safestr_header_t *p = take(ctx, sep, SAFESTR_GET_READONLY);
    safestr_t r = join(array, text(p), p->length, p->flags & SAFESTR_F_TRUSTED, file, line);
    close();
    return r;
}

KIVO_API safestr_t safestr_do_join_bychar(safestr_t *array, int sep, const char *file, int line) {
    char c = static_cast<char>(sep);
    return join(array, &c, 1, true, file, line);
}

KIVO_API safestr_t *safestr_do_convertarray(const char *const *array, uint32_t flags, const char *file, int line) {
    if (!array)
        SAFESTR_THROW(EINVAL, nullptr);
    uint64_t n = 0;
    while (array[n])
        n++;
    xxl_context_t *ctx = open();
    safestr_t *arr = new_array(n + 1, file, line);
    for (uint64_t i = 0; i < n; i++) {
        const char *c = array[i];
        arr[i] = piece(ctx, c, strlen(c), flags & stored_flags, file, line);
    }
    arr[n] = nullptr;
    close();
    // A creation mode registers each string in the caller's context; made
    // inside ours, the registration would end with this call.
    for (uint64_t i = 0; i < n; i++)
        register_mode(header(arr[i]), flags);
    return arr;
}

KIVO_API safestr_t safestr_chunk_split(safestr_t s, uint32_t chunk, safestr_t end) {
    if (!s || !end)
        return nullptr;
    // Taken in the operation's context rather than referenced, so that a
    // refused chunk length or a failed allocation gives the references back.
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, s, SAFESTR_GET_READONLY);
    safestr_header_t *e = take(ctx, end, SAFESTR_GET_READONLY);
    if (chunk == 0)
        SAFESTR_THROW(EINVAL, nullptr);
    uint32_t len = h->length, elen = e->length;
    // Every chunk, the last partial one included, is followed by end.
    uint64_t chunks = (uint64_t(len) + chunk - 1) / chunk;
    uint64_t total = len + chunks * elen;
    safestr_header_t *r = make(total, 0, SAFESTR_SOURCE, __LINE__);
    char *out = text(r);
    const char *in = text(h);
    for (uint32_t pos = 0; pos < len;) {
        uint32_t take_n = len - pos > chunk ? chunk : len - pos;
        memcpy(out, in + pos, take_n);
        out += take_n;
        memcpy(out, text(e), elen);
        out += elen;
        pos += take_n;
    }
    set_length(r, total);
    close();
    return handle(r);
}

} // extern "C"
