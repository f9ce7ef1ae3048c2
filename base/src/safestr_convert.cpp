// Safe-string conversions: the strict integer parser and strtod check, the
// exception-free str_to* wrappers, case conversion and trimming. Frame
// exceptions start and pass here: no local has a destructor, and locals
// written inside a protected block are volatile.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "safestr_internal.h"

#define SAFEUTIL_THROW(code, data) xxl_throw_error((code), (void *)(data), "safeutil", __LINE__)

namespace {

using namespace kivo::ss;

inline bool blank(unsigned char c) { return c <= 0x20 || c == 0x7F; }
inline bool letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Digit value after mapping to upper case, or -1.
inline int digit_value(unsigned char u)
{
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'Z')
        return u - 'A' + 10;
    return -1;
}

// The shared integer parser on a taken string. bits is 32 or 64; the
// result is the value in that width (wrapped, negated for a minus sign).
uint64_t parse_integer(safestr_header_t *h, int base, int bits, bool is_signed)
{
    if (base != 0 && (base < 2 || base > 36))
        SAFEUTIL_THROW(EINVAL, nullptr);
    const unsigned char *t = reinterpret_cast<const unsigned char *>(text(h));
    uint32_t len = h->length, i = 0;
    while (i < len && blank(t[i]))
        i++;
    bool negative = false;
    if (i < len && t[i] == '+') {
        i++;
    } else if (i < len && t[i] == '-' && is_signed) {
        negative = true;
        i++;
    }
    if (i + 1 < len && t[i] == '0' && (t[i + 1] == 'b' || t[i + 1] == 'B')) {
        if (base != 0 && base != 2)
            SAFEUTIL_THROW(SAFESTR_E_BAD_NUMBER, nullptr);
        base = 2;
        i += 2;
    } else if (i + 1 < len && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
        if (base != 0 && base != 16)
            SAFEUTIL_THROW(SAFESTR_E_BAD_NUMBER, nullptr);
        base = 16;
        i += 2;
    } else if (base == 0) {
        base = 10;
    }
    const uint64_t mask = bits == 64 ? ~uint64_t(0) : 0xFFFFFFFFu;
    uint64_t value = 0;
    for (; i < len; i++) {
        unsigned char u = safestr_casemap_upper[t[i]];
        if (u < 0x20 || u > 0x5F)
            SAFEUTIL_THROW(SAFESTR_E_BAD_NUMBER, nullptr);
        if (u == ' ')
            break;
        int d = digit_value(u);
        if (d < 0 || d >= base)
            SAFEUTIL_THROW(SAFESTR_E_BAD_NUMBER, nullptr);
        value = (value * uint64_t(base) + uint64_t(d)) & mask;
    }
    if (negative)
        value = (~value + 1) & mask;
    return value;
}

uint64_t convert_integer(safestr_t s, int base, int bits, bool is_signed)
{
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, s, SAFESTR_GET_READONLY);
    uint64_t v = parse_integer(h, base, bits, is_signed);
    close();
    return v;
}

// Empty strings are refused before the handler; a temporary one is still
// used up, as by any operation.
bool empty_string(safestr_t s)
{
    if (check(s)->length != 0)
        return false;
    uses u;
    use(u, s, SAFESTR_GET_READONLY);
    done(u);
    return true;
}

// The faults the exception-free wrappers turn into a return value.
#define SAFEUTIL_CATCH(rc)                                                                 \
    XXL_ON(EFAULT) { rc = -1; }                                                            \
    XXL_ON(SAFESTR_E_BAD_NUMBER) { rc = -1; }                                              \
    XXL_ON(EINVAL) { rc = -1; }                                                            \
    XXL_ON(SAFESTR_E_TOO_MANY_REFERENCES) { rc = -1; }

template <typename T>
int to_integer_err(safestr_t s, T *out, int bits, bool is_signed)
{
    if (empty_string(s))
        return -1;
    volatile int rc = 0;
    volatile uint64_t v = 0;
    XXL_BLOCK {
        v = convert_integer(s, 10, bits, is_signed);
    }
    SAFEUTIL_CATCH(rc)
    XXL_BLOCK_END;
    if (rc == 0 && out)
        *out = (T)v;
    return rc;
}

template <typename T>
T to_integer(safestr_t s, int base, int bits, bool is_signed)
{
    volatile int rc = 0;
    volatile uint64_t v = 0;
    XXL_BLOCK {
        v = convert_integer(s, base, bits, is_signed);
    }
    SAFEUTIL_CATCH(rc)
    XXL_BLOCK_END;
    return rc == 0 ? (T)v : (T)0;
}

} // namespace

extern "C" {

KIVO_API uint32_t safestr_touint32(safestr_t s, int base) { return (uint32_t)convert_integer(s, base, 32, false); }
KIVO_API int32_t safestr_toint32(safestr_t s, int base) { return (int32_t)(uint32_t)convert_integer(s, base, 32, true); }
KIVO_API uint64_t safestr_touint64(safestr_t s, int base) { return convert_integer(s, base, 64, false); }
KIVO_API int64_t safestr_toint64(safestr_t s, int base) { return (int64_t)convert_integer(s, base, 64, true); }

KIVO_API double safestr_todouble(safestr_t s)
{
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, s, SAFESTR_GET_READONLY);
    const char *t = text(h);
    char *end = const_cast<char *>(t);
    double v = strtod(t, &end);
    // A zero byte inside the text stops strtod early: not the whole text.
    if (h->length == 0 || end != t + h->length)
        SAFEUTIL_THROW(SAFESTR_E_BAD_NUMBER, end);
    close();
    return v;
}

KIVO_API int str_touint32_err(safestr_t s, uint32_t *out) { return to_integer_err(s, out, 32, false); }
KIVO_API int str_toint32_err(safestr_t s, int32_t *out) { return to_integer_err(s, out, 32, true); }
KIVO_API int str_touint64_err(safestr_t s, uint64_t *out) { return to_integer_err(s, out, 64, false); }
KIVO_API int str_toint64_err(safestr_t s, int64_t *out) { return to_integer_err(s, out, 64, true); }

KIVO_API int str_todouble_err(safestr_t s, double *out)
{
    if (empty_string(s))
        return -1;
    volatile int rc = 0;
    volatile double v = 0;
    XXL_BLOCK {
        v = safestr_todouble(s);
    }
    SAFEUTIL_CATCH(rc)
    XXL_BLOCK_END;
    if (rc == 0 && out)
        *out = v;
    return rc;
}

KIVO_API uint32_t str_touint32(safestr_t s, int base) { return to_integer<uint32_t>(s, base, 32, false); }
KIVO_API int32_t str_toint32(safestr_t s, int base) { return to_integer<int32_t>(s, base, 32, true); }
KIVO_API uint64_t str_touint64(safestr_t s, int base) { return to_integer<uint64_t>(s, base, 64, false); }
KIVO_API int64_t str_toint64(safestr_t s, int base) { return to_integer<int64_t>(s, base, 64, true); }

KIVO_API double str_todouble(safestr_t s)
{
    volatile int rc = 0;
    volatile double v = 0;
    XXL_BLOCK {
        v = safestr_todouble(s);
    }
    SAFEUTIL_CATCH(rc)
    XXL_BLOCK_END;
    return rc == 0 ? (double)v : 0.0;
}

KIVO_API void safestr_convert(safestr_t s, uint32_t flags)
{
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, s, SAFESTR_GET_WRITABLE);
    unsigned char *t = reinterpret_cast<unsigned char *>(text(h));
    uint32_t len = h->length;
    if (flags & SAFESTR_CONVERT_UPPERCASE) {
        for (uint32_t i = 0; i < len; i++)
            t[i] = safestr_casemap_upper[t[i]];
    } else if (flags & SAFESTR_CONVERT_LOWERCASE) {
        for (uint32_t i = 0; i < len; i++)
            t[i] = safestr_casemap_lower[t[i]];
    } else if (flags & SAFESTR_CONVERT_TITLECASE) {
        for (uint32_t i = 0; i < len;) {
            if (i + 2 < len && safestr_casemap_lower[t[i]] == 'm' && safestr_casemap_lower[t[i + 1]] == 'c') {
                t[i] = 'M';
                t[i + 1] = 'c';
                t[i + 2] = safestr_casemap_upper[t[i + 2]];
                i += 3;
            } else if (i == 0) {
                t[0] = safestr_casemap_upper[t[0]];
                i = 1;
            } else if (letter(t[i]) || i == len - 1) {
                t[i] = safestr_casemap_lower[t[i]];
                i++;
            } else {
                t[i + 1] = safestr_casemap_upper[t[i + 1]];
                i += 2;
            }
        }
    }
    close();
}

KIVO_API void safestr_trim(safestr_t s, uint32_t flags)
{
    xxl_context_t *ctx = open();
    safestr_header_t *h = take(ctx, s, SAFESTR_GET_WRITABLE);
    if ((flags & SAFESTR_TRIM_BOTH) == 0)
        flags = SAFESTR_TRIM_BOTH;
    unsigned char *t = reinterpret_cast<unsigned char *>(text(h));
    uint32_t start = 0, end = h->length;
    if (flags & SAFESTR_TRIM_LEADING)
        while (start < end && blank(t[start]))
            start++;
    if (flags & SAFESTR_TRIM_TRAILING)
        while (end > start && blank(t[end - 1]))
            end--;
    if (start > 0)
        memmove(t, t + start, end - start);
    // Shrinking stays in the same block and wipes the old tail.
    safestr_header_t *w = resize(ctx, h, end - start);
    complete(h, w);
    close();
}

} // extern "C"
