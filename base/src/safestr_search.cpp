// Safe strings: comparing (equal, compare, prefix and suffix tests) and
// searching. Frame exceptions pass through here (taking the strings).
#include <stdarg.h>
#include <stdint.h>
#include <string.h>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "safestr_internal.h"

using namespace kivo::ss;

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

int compare_headers(safestr_header_t *a, safestr_header_t *b, uint32_t flags, uint32_t n) {
    bool nocase = flags & SAFESTR_COMPARE_NOCASE;
    bool limited = flags & SAFESTR_COMPARE_LIMIT;
    uint32_t la = a->length, lb = b->length;
    const unsigned char *ta = reinterpret_cast<const unsigned char *>(text(a));
    const unsigned char *tb = reinterpret_cast<const unsigned char *>(text(b));
    uint32_t m = la < lb ? la : lb;
    if (limited && n < m)
        m = n;
    if (!nocase) {
        int r = memcmp(ta, tb, m); // unsigned bytes
        if (r)
            return sign(r);
    } else {
        const unsigned char *map = safestr_casemap_lower;
        for (uint32_t i = 0; i < m; i++) {
            unsigned char ca = map[ta[i]], cb = map[tb[i]];
            if (ca != cb)
                return ca < cb ? -1 : 1;
        }
    }
    if (la == lb)
        return 0;
    if (!limited)
        return la < lb ? -1 : 1;
    if (la < lb)
        return n > la ? -1 : 0;
    return n > lb ? 1 : 0;
}

bool same_at(const char *t, const char *p, uint32_t len, bool nocase) {
    if (!nocase)
        return memcmp(t, p, len) == 0;
    const unsigned char *map = safestr_casemap_lower;
    for (uint32_t i = 0; i < len; i++)
        if (map[static_cast<unsigned char>(t[i])] != map[static_cast<unsigned char>(p[i])])
            return false;
    return true;
}

// The count-th match (count >= 1) among the candidate positions, as an
// index from the start, or -1.
int64_t find(const char *t, uint32_t len, const char *p, uint32_t plen, uint32_t offset, uint64_t count,
             bool reverse, bool nocase) {
    if (!reverse) {
        uint64_t last = uint64_t(len) - plen; // candidates offset .. last
        if (plen == 0) {
            uint64_t at = offset + count - 1;
            return at <= last ? int64_t(at) : -1;
        }
        uint64_t i = offset;
        if (!nocase) {
            // Each match found with memmem/memchr; overlapping ones count.
            while (i <= last) {
                const char *hit = plen == 1 ? static_cast<const char *>(memchr(t + i, p[0], size_t(last - i + 1)))
                                            : static_cast<const char *>(memmem(t + i, size_t(len - i), p, plen));
                if (!hit)
                    return -1;
                i = uint64_t(hit - t);
                if (--count == 0)
                    return int64_t(i);
                i++;
            }
            return -1;
        }
        const unsigned char *map = safestr_casemap_lower;
        unsigned char first = map[static_cast<unsigned char>(p[0])];
        for (; i <= last; i++)
            if (map[static_cast<unsigned char>(t[i])] == first && same_at(t + i + 1, p + 1, plen - 1, true))
                if (--count == 0)
                    return int64_t(i);
        return -1;
    }
    if (uint64_t(offset) + plen > len)
        return -1;
    int64_t start = int64_t(len) - offset - plen; // candidates start .. 0
    if (plen == 0) {
        int64_t at = start - int64_t(count - 1);
        return at >= 0 ? at : -1;
    }
    const unsigned char *map = nocase ? safestr_casemap_lower : safestr_casemap_none;
    unsigned char first = map[static_cast<unsigned char>(p[0])];
    for (int64_t i = start; i >= 0; i--) {
        if (!nocase) {
            const void *hit = memrchr(t, p[0], size_t(i) + 1);
            if (!hit)
                return -1;
            i = static_cast<const char *>(hit) - t;
            if (memcmp(t + i + 1, p + 1, plen - 1) == 0 && --count == 0)
                return i;
            continue;
        }
        if (map[static_cast<unsigned char>(t[i])] == first && same_at(t + i + 1, p + 1, plen - 1, true))
            if (--count == 0)
                return i;
    }
    return -1;
}

} // namespace

extern "C" {

// These cannot fail once both strings are checked: no context needed.
KIVO_API int safestr_compare(safestr_t a, safestr_t b, uint32_t flags, uint32_t n) {
    uses u;
    safestr_header_t *ha = use(u, a, SAFESTR_GET_READONLY);
    safestr_header_t *hb = use(u, b, SAFESTR_GET_READONLY);
    int r = ha == hb ? 0 : compare_headers(ha, hb, flags, n);
    done(u);
    return r;
}

KIVO_API int safestr_equal(safestr_t a, safestr_t b, uint32_t flags, uint32_t n) {
    uses u;
    safestr_header_t *ha = use(u, a, SAFESTR_GET_READONLY);
    safestr_header_t *hb = use(u, b, SAFESTR_GET_READONLY);
    int r = ha == hb ? 1 : compare_headers(ha, hb, flags, n) == 0;
    done(u);
    return r;
}

KIVO_API int safestr_startswith(safestr_t s, safestr_t prefix) {
    uses u;
    safestr_header_t *h = use(u, s, SAFESTR_GET_READONLY);
    safestr_header_t *p = use(u, prefix, SAFESTR_GET_READONLY);
    int r = p->length <= h->length && memcmp(text(h), text(p), p->length) == 0;
    done(u);
    return r;
}

KIVO_API int safestr_endswith(safestr_t s, safestr_t suffix) {
    uses u;
    safestr_header_t *h = use(u, s, SAFESTR_GET_READONLY);
    safestr_header_t *p = use(u, suffix, SAFESTR_GET_READONLY);
    int r = p->length <= h->length && memcmp(text(h) + (h->length - p->length), text(p), p->length) == 0;
    done(u);
    return r;
}

KIVO_API int64_t safestr_search(safestr_t s, safestr_t pattern, uint32_t flags, ...) {
    uint32_t offset = 0, skip = 0, n = 1;
    char ch = 0;
    va_list ap;
    va_start(ap, flags);
    if (flags & SAFESTR_FIND_FROMOFFSET)
        offset = va_arg(ap, unsigned int);
    if (flags & SAFESTR_FIND_SKIP)
        skip = va_arg(ap, unsigned int);
    if (flags & SAFESTR_FIND_NTH)
        n = va_arg(ap, unsigned int);
    if (flags & SAFESTR_FIND_CHARACTER)
        ch = static_cast<char>(va_arg(ap, int));
    va_end(ap);

    uses u;
    safestr_header_t *h = use(u, s, SAFESTR_GET_READONLY);
    const char *p = &ch;
    uint32_t plen = 1;
    if (!(flags & SAFESTR_FIND_CHARACTER)) {
        safestr_header_t *hp = use(u, pattern, SAFESTR_GET_READONLY);
        p = text(hp);
        plen = hp->length;
    } else if (pattern) {
        // Not searched for, but used like any argument: a temporary
        // pattern is used up here.
        use(u, pattern, SAFESTR_GET_READONLY);
    }
    uint64_t count = uint64_t(skip) + n;
    uint32_t len = h->length;
    int64_t r = -1;
    if (count != 0 && offset < len && plen <= len)
        r = find(text(h), len, p, plen, offset, count, flags & SAFESTR_FIND_REVERSE, flags & SAFESTR_FIND_NOCASE);
    done(u);
    return r;
}

} // extern "C"
