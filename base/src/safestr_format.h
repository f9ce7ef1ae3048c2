/*
 * The safe-string format engine, internal: the parsed conversion, the
 * argument table and the engine loop. The loop is a template over the
 * output sink so that each destination gets its own straight-line copy.
 * Frame exceptions cross every function here: no local has a non-trivial
 * destructor, and nothing here holds memory that is not registered as an
 * asset of the operation's context.
 */
#ifndef KIVO_SAFESTR_FORMAT_H
#define KIVO_SAFESTR_FORMAT_H

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <climits>
#include <cstring>

#include <kivo/safestr.h>

namespace kivo_fmt {

constexpr int kMaxArgs = 256;

// Flag bits.
enum : uint8_t { F_MINUS = 1, F_PLUS = 2, F_SPACE = 4, F_HASH = 8, F_ZERO = 16 };
// Length modifiers.
enum : uint8_t { M_NONE, M_HH, M_H, M_L, M_LL, M_J, M_Z, M_T, M_BIGL };
// Where a width or precision comes from.
enum : uint8_t { K_NONE, K_DIGITS, K_NEXT, K_NUMBERED };

// Argument types. Two uses of one argument must name the same type.
enum : uint8_t {
    T_NONE, // read as one 32-bit word, accepts any use
    T_INT, T_SCHAR, T_SHORT, T_LONG, T_LLONG, T_INTMAX, T_SSIZE, T_PTRDIFF,
    T_UINT, T_UCHAR, T_USHORT, T_ULONG, T_ULLONG, T_UINTMAX, T_SIZE, T_UPTRDIFF,
    T_DOUBLE, T_LDOUBLE, T_STR, T_PTR,
};

// One parsed conversion.
struct Conv {
    const char *next; // first character after the conversion character
    int argno;        // argument number of the value, 0 = next in order
    int width;        // the digits, or the argument number for K_NUMBERED
    int prec;
    uint8_t width_kind;
    uint8_t prec_kind;
    uint8_t flags;
    uint8_t mod;
    uint8_t type; // type of the value
    char conv;
};

union ArgValue {
    long long i;
    unsigned long long u;
    double d;
    long double ld;
    void *p;
};

// Argument table of one call. Only the first nread slots are valid, so the
// table is never cleared.
struct Args {
    va_list ap;
    int nread;    // slots filled from ap
    int counter;  // last slot taken in order
    bool scanned; // the whole format has been typed (numbered arguments seen)
    char *scratch;
    size_t scratch_size;
    void *ctx; // the operation's context, where %s arguments are taken
    uint8_t types[kMaxArgs + 1];
    ArgValue vals[kMaxArgs + 1];
};

// Throws one of the engine's codes; data is null.
[[noreturn]] void fail(int code, int line);

// Parses one conversion; p is the character after '%'. Throws on any
// malformed, forbidden or out-of-range part.
namespace detail {

inline bool is_digit(char ch)
{
    return ch >= '0' && ch <= '9';
}

// Reads a run of digits; values past cap stay at cap + 1.
inline const char *number(const char *p, const char *end, long long cap, long long *out)
{
    long long n = 0;
    while (p < end && is_digit(*p)) {
        if (n <= cap)
            n = n * 10 + (*p - '0');
        p++;
    }
    *out = n > cap ? cap + 1 : n;
    return p;
}

// "*" or "*m$" of a width or precision; p is just after the '*'.
inline const char *star_source(const char *p, const char *end, uint8_t *kind, int *num)
{
    long long n;
    const char *q = number(p, end, kMaxArgs, &n);
    if (q > p && q < end && *q == '$') {
        if (n < 1 || n > kMaxArgs)
            fail(SAFESTR_E_BAD_ARGUMENT, __LINE__);
        *kind = K_NUMBERED;
        *num = (int)n;
        return q + 1;
    }
    *kind = K_NEXT;
    *num = 0;
    return p;
}

constexpr uint8_t signed_types[] = {T_INT, T_SCHAR, T_SHORT, T_LONG, T_LLONG, T_INTMAX, T_SSIZE, T_PTRDIFF};
constexpr uint8_t unsigned_types[] = {T_UINT, T_UCHAR, T_USHORT, T_ULONG, T_ULLONG, T_UINTMAX, T_SIZE, T_UPTRDIFF};

} // namespace detail

__attribute__((always_inline)) inline void parse(const char *p, const char *end, Conv *c)
{
    using namespace detail;
    long long n;
    c->argno = 0;
    c->flags = 0;
    c->width_kind = K_NONE;
    c->prec_kind = K_NONE;
    c->width = 0;
    c->prec = 0;
    c->mod = M_NONE;

    // Argument number: digits directly followed by '$'.
    if (p < end && is_digit(*p)) {
        const char *q = number(p, end, kMaxArgs, &n);
        if (q < end && *q == '$') {
            if (n < 1 || n > kMaxArgs)
                fail(SAFESTR_E_BAD_ARGUMENT, __LINE__);
            c->argno = (int)n;
            p = q + 1;
        }
    }
    for (; p < end; p++) {
        switch (*p) {
        case '-': c->flags |= F_MINUS; continue;
        case '+': c->flags |= F_PLUS; continue;
        case ' ': c->flags |= F_SPACE; continue;
        case '#': c->flags |= F_HASH; continue;
        case '0': c->flags |= F_ZERO; continue;
        default: break;
        }
        break;
    }
    if (p < end && *p == '*') {
        p = star_source(p + 1, end, &c->width_kind, &c->width);
    } else if (p < end && is_digit(*p)) {
        p = number(p, end, INT_MAX, &n);
        if (n > INT_MAX)
            fail(E2BIG, __LINE__);
        c->width_kind = K_DIGITS;
        c->width = (int)n;
    }
    if (p < end && *p == '.') {
        p++;
        if (p < end && *p == '*') {
            p = star_source(p + 1, end, &c->prec_kind, &c->prec);
        } else {
            p = number(p, end, INT_MAX, &n);
            if (n > INT_MAX)
                fail(E2BIG, __LINE__);
            c->prec_kind = K_DIGITS;
            c->prec = (int)n;
        }
    }
    if (p < end) {
        switch (*p) {
        case 'h':
            if (p + 1 < end && p[1] == 'h') {
                c->mod = M_HH;
                p++;
            } else {
                c->mod = M_H;
            }
            p++;
            break;
        case 'l':
            if (p + 1 < end && p[1] == 'l') {
                c->mod = M_LL;
                p++;
            } else {
                c->mod = M_L;
            }
            p++;
            break;
        case 'j': c->mod = M_J; p++; break;
        case 'z': c->mod = M_Z; p++; break;
        case 't': c->mod = M_T; p++; break;
        case 'L': c->mod = M_BIGL; p++; break;
        default: break;
        }
    }
    if (p >= end)
        fail(E2BIG, __LINE__);
    char conv = *p++;
    c->conv = conv;
    c->next = p;
    switch (conv) {
    case 'n':
        fail(SAFESTR_E_FORBIDDEN_CONVERSION, __LINE__);
    case 'd':
    case 'i':
        if ((c->flags & F_HASH) || c->mod == M_BIGL)
            fail(E2BIG, __LINE__);
        c->type = signed_types[c->mod];
        return;
    case 'u':
        if (c->flags & F_HASH)
            fail(E2BIG, __LINE__);
        [[fallthrough]];
    case 'o':
    case 'x':
    case 'X':
        if ((c->flags & (F_PLUS | F_SPACE)) || c->mod == M_BIGL)
            fail(E2BIG, __LINE__);
        c->type = unsigned_types[c->mod];
        return;
    case 'e':
    case 'f':
    case 'g':
    case 'E':
    case 'F':
    case 'G':
        if (c->mod != M_NONE && c->mod != M_BIGL)
            fail(E2BIG, __LINE__);
        c->type = c->mod == M_BIGL ? T_LDOUBLE : T_DOUBLE;
        return;
    case 'c':
        if ((c->flags & ~F_MINUS) || c->prec_kind != K_NONE || c->mod != M_NONE)
            fail(E2BIG, __LINE__);
        c->type = T_INT;
        return;
    case 's':
        if (c->mod != M_NONE)
            fail(E2BIG, __LINE__);
        c->type = T_STR;
        return;
    case 'p':
        if ((c->flags & ~F_MINUS) || c->mod != M_NONE)
            fail(E2BIG, __LINE__);
        c->type = T_PTR;
        return;
    default:
        fail(E2BIG, __LINE__);
    }
}


// Types every argument of the whole format and reads all of them up to the
// highest one (first use of an argument number).
void scan(Args *a, const char *fmt, const char *end);

// The value of one use: argno 0 takes the next argument in order.
ArgValue *take_slow(Args *a, int argno, uint8_t type);

__attribute__((always_inline)) inline void read_arg(Args *a, int slot, uint8_t type)
{
    ArgValue *v = &a->vals[slot];
    switch (type) {
    case T_INT: v->i = va_arg(a->ap, int); break;
    case T_SCHAR: v->i = (signed char)va_arg(a->ap, int); break;
    case T_SHORT: v->i = (short)va_arg(a->ap, int); break;
    case T_LONG: v->i = va_arg(a->ap, long); break;
    case T_LLONG: v->i = va_arg(a->ap, long long); break;
    case T_INTMAX: v->i = va_arg(a->ap, intmax_t); break;
    case T_SSIZE: v->i = va_arg(a->ap, ssize_t); break;
    case T_PTRDIFF: v->i = va_arg(a->ap, ptrdiff_t); break;
    case T_UINT: v->u = va_arg(a->ap, unsigned int); break;
    case T_UCHAR: v->u = (unsigned char)va_arg(a->ap, int); break;
    case T_USHORT: v->u = (unsigned short)va_arg(a->ap, int); break;
    case T_ULONG: v->u = va_arg(a->ap, unsigned long); break;
    case T_ULLONG: v->u = va_arg(a->ap, unsigned long long); break;
    case T_UINTMAX: v->u = va_arg(a->ap, uintmax_t); break;
    case T_SIZE: v->u = va_arg(a->ap, size_t); break;
    case T_UPTRDIFF: v->u = (size_t)va_arg(a->ap, ptrdiff_t); break;
    case T_DOUBLE: v->d = va_arg(a->ap, double); break;
    case T_LDOUBLE: v->ld = va_arg(a->ap, long double); break;
    case T_STR:
    case T_PTR: v->p = va_arg(a->ap, void *); break;
    default: v->u = va_arg(a->ap, unsigned int); break;
    }
    a->types[slot] = type;
}

// Fast path: in-order arguments before any argument number was seen.
__attribute__((always_inline)) inline ArgValue *take(Args *a, int argno, uint8_t type)
{
    if (argno == 0 && !a->scanned && a->counter < kMaxArgs) {
        int slot = ++a->counter;
        read_arg(a, slot, type);
        a->nread = slot;
        return &a->vals[slot];
    }
    return take_slow(a, argno, type);
}

// Text of a %s argument, taken for reading in the operation's context.
struct Text {
    const char *p;
    size_t n;
};
Text take_string(Args *a, void *handle);

// The call's reusable scratch buffer, grown to at least n bytes; it is an
// asset of the operation's context.
char *scratch(Args *a, size_t n);

// Digits of v, written backwards ending at end; returns their start.
inline char *digits(char *end, unsigned long long v, unsigned base, bool upper)
{
    static constexpr char lower_digits[] = "0123456789abcdef";
    static constexpr char upper_digits[] = "0123456789ABCDEF";
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char *p = end;
    if (base == 10) {
        if (v <= UINT32_MAX) { // 32-bit division is much cheaper
            uint32_t w = (uint32_t)v;
            while (w >= 100) {
                unsigned r = w % 100;
                w /= 100;
                p -= 2;
                p[0] = pairs[2 * r];
                p[1] = pairs[2 * r + 1];
            }
            v = w;
        }
        while (v >= 100) {
            unsigned r = (unsigned)(v % 100);
            v /= 100;
            p -= 2;
            p[0] = pairs[2 * r];
            p[1] = pairs[2 * r + 1];
        }
        if (v >= 10) {
            p -= 2;
            p[0] = pairs[2 * v];
            p[1] = pairs[2 * v + 1];
        } else {
            *--p = (char)('0' + v);
        }
        return p;
    }
    if (base == 16) {
        const char *set = upper ? upper_digits : lower_digits;
        do {
            *--p = set[v & 15];
            v >>= 4;
        } while (v);
        return p;
    }
    do {
        *--p = (char)('0' + (v & 7));
        v >>= 3;
    } while (v);
    return p;
}

// Pieces up to this size are assembled in one block and handed on at once.
constexpr size_t kDirect = 4096;

// An integer or pointer field: lead spaces, prefix (sign or 0x), zeros,
// digits, trailing spaces.
template <class Sink>
inline void emit_field(Sink &out, size_t width, bool left, const char *prefix, size_t nprefix,
                       size_t nzeros, const char *dig, size_t ndig)
{
    size_t field = nprefix + nzeros + ndig;
    size_t pad = width > field ? width - field : 0;
    size_t total = field + pad;
    if (total <= kDirect) {
        char *w = out.space(total);
        char *q = w;
        if (!left && pad) {
            memset(q, ' ', pad);
            q += pad;
        }
        for (size_t i = 0; i < nprefix; i++)
            *q++ = prefix[i];
        if (nzeros) {
            memset(q, '0', nzeros);
            q += nzeros;
        }
        for (size_t i = 0; i < ndig; i++)
            *q++ = dig[i];
        if (left && pad)
            memset(q, ' ', pad);
        out.commit(total);
        return;
    }
    if (!left)
        out.fill(' ', pad);
    out.put(prefix, nprefix);
    out.fill('0', nzeros);
    out.put(dig, ndig);
    if (left)
        out.fill(' ', pad);
}

template <class Sink>
void emit_int(Sink &out, const Conv &c, ArgValue *v, size_t width, bool left, long prec)
{
    char buf[32];
    char *end = buf + sizeof buf;
    uint8_t flags = c.flags;
    if (prec >= 0 || left)
        flags &= (uint8_t)~F_ZERO;
    if (flags & F_PLUS)
        flags &= (uint8_t)~F_SPACE;
    size_t p = prec < 0 ? 1 : (size_t)prec;
    char prefix[2];
    size_t nprefix = 0;
    const char *dig;
    size_t ndig;

    if (c.conv == 'd' || c.conv == 'i') {
        bool neg = v->i < 0;
        unsigned long long mag = neg ? 0ULL - (unsigned long long)v->i : (unsigned long long)v->i;
        dig = digits(end, mag, 10, false);
        ndig = (size_t)(end - dig);
        if (neg)
            prefix[nprefix++] = '-';
        else if (flags & F_PLUS)
            prefix[nprefix++] = '+';
        else if (flags & F_SPACE)
            prefix[nprefix++] = ' ';
    } else if (c.conv == 'p') {
        dig = digits(end, (unsigned long long)(uintptr_t)v->p, 16, false);
        ndig = (size_t)(end - dig);
        if (p < 8)
            p = 8;
        prefix[0] = '0';
        prefix[1] = 'x';
        nprefix = 2;
    } else {
        unsigned base = c.conv == 'o' ? 8 : c.conv == 'u' ? 10 : 16;
        dig = digits(end, v->u, base, c.conv == 'X');
        ndig = (size_t)(end - dig);
        if (c.conv == 'o' && (flags & F_HASH) && v->u != 0 && ndig >= p)
            p = ndig + 1;
        if ((flags & F_HASH) && (c.conv == 'x' || c.conv == 'X')) {
            prefix[0] = '0';
            prefix[1] = c.conv;
            nprefix = 2;
        }
    }
    size_t body = p > ndig ? p : ndig;
    size_t nzeros = body - ndig;
    if ((flags & F_ZERO) && width > body + nprefix)
        nzeros = width - nprefix - ndig;
    emit_field(out, width, left, prefix, nprefix, nzeros, dig, ndig);
}

// Precisions above this are handed to the platform formatter capped: every
// finite double or long double has fewer exact fractional or significant
// digits, so the digits past the cap are zeros, which are appended here
// instead of having the formatter build a buffer as large as the precision.
constexpr long kFloatCap = 16500;

template <class Sink>
void emit_float(Sink &out, const Conv &c, ArgValue *v, size_t width, bool left, long prec, Args *a)
{
    bool ld = c.mod == M_BIGL;
    bool finite = ld ? __builtin_isfinite(v->ld) : __builtin_isfinite(v->d);
    bool g = c.conv == 'g' || c.conv == 'G';
    size_t extra = 0;
    if (prec > kFloatCap) {
        // %g without '#' drops trailing zeros, so the cap changes nothing.
        if (finite && !(g && !(c.flags & F_HASH)))
            extra = (size_t)(prec - kFloatCap);
        prec = kFloatCap;
    }
    // Width, '-' and '0' are applied here, so the formatter's text is
    // bounded whatever the width.
    char f[12];
    size_t k = 0;
    f[k++] = '%';
    if (c.flags & F_PLUS)
        f[k++] = '+';
    if (c.flags & F_SPACE)
        f[k++] = ' ';
    if (c.flags & F_HASH)
        f[k++] = '#';
    f[k++] = '.';
    f[k++] = '*';
    if (ld)
        f[k++] = 'L';
    f[k++] = c.conv;
    f[k] = '\0';

    char small[512];
    char *body = small;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = ld ? snprintf(small, sizeof small, f, (int)prec, v->ld) : snprintf(small, sizeof small, f, (int)prec, v->d);
    if (n < 0)
        fail(errno ? errno : EOVERFLOW, __LINE__);
    if ((size_t)n >= sizeof small) {
        body = scratch(a, (size_t)n + 1);
        int m = ld ? snprintf(body, (size_t)n + 1, f, (int)prec, v->ld) : snprintf(body, (size_t)n + 1, f, (int)prec, v->d);
        if (m != n)
            fail(errno ? errno : EOVERFLOW, __LINE__);
    }
#pragma GCC diagnostic pop

    size_t len = (size_t)n;
    size_t nsign = finite && len && (body[0] == '-' || body[0] == '+' || body[0] == ' ') ? 1 : 0;
    size_t split = len; // where the zeros past the cap go: before the exponent
    if (extra) {
        // Finite %f text holds no letter, so only e/E/g/G find a marker.
        char mark = c.conv == 'g' ? 'e' : c.conv == 'G' ? 'E' : c.conv;
        const char *e = (const char *)memchr(body, mark, len);
        if (e)
            split = (size_t)(e - body);
    }
    size_t total = len + extra;
    size_t pad = width > total ? width - total : 0;
    bool zero = (c.flags & F_ZERO) && !left && finite;
    if (total + pad <= kDirect) {
        char *w = out.space(total + pad);
        char *q = w;
        if (!left && !zero) {
            memset(q, ' ', pad);
            q += pad;
        }
        memcpy(q, body, nsign);
        q += nsign;
        if (zero) {
            memset(q, '0', pad);
            q += pad;
        }
        memcpy(q, body + nsign, split - nsign);
        q += split - nsign;
        memset(q, '0', extra);
        q += extra;
        memcpy(q, body + split, len - split);
        q += len - split;
        if (left)
            memset(q, ' ', pad);
        out.commit(total + pad);
        return;
    }
    if (!left && !zero)
        out.fill(' ', pad);
    out.put(body, nsign);
    if (zero)
        out.fill('0', pad);
    out.put(body + nsign, split - nsign);
    out.fill('0', extra);
    out.put(body + split, len - split);
    if (left)
        out.fill(' ', pad);
}

template <class Sink>
void emit_string(Sink &out, Args *a, ArgValue *v, size_t width, bool left, long prec)
{
    Text t = take_string(a, v->p);
    size_t n = t.n;
    if (prec >= 0 && (size_t)prec < n)
        n = (size_t)prec;
    size_t pad = width > n ? width - n : 0;
    if (!left)
        out.fill(' ', pad);
    out.put(t.p, n);
    if (left)
        out.fill(' ', pad);
}

// Resolves a width or precision taken from the argument list.
inline long star(Args *a, uint8_t kind, int num)
{
    return take(a, kind == K_NUMBERED ? num : 0, T_INT)->i;
}

// Runs the format [fmt, fmt + len) into out.
template <class Sink>
void run(Sink &out, const char *fmt, size_t len, Args *a)
{
    const char *p = fmt;
    const char *end = fmt + len;
    while (p < end) {
        // Literal runs are mostly short: look at a few bytes before
        // paying for a memchr call.
        const char *q = p;
        const char *near = end - p > 16 ? p + 16 : end;
        while (q < near && *q != '%')
            q++;
        if (q == near && q < end)
            q = (const char *)memchr(q, '%', (size_t)(end - q));
        if (!q || q == end) {
            out.put(p, (size_t)(end - p));
            return;
        }
        if (q > p)
            out.put(p, (size_t)(q - p));
        p = q + 1;
        if (p == end)
            fail(E2BIG, __LINE__);
        if (*p == '%') {
            out.put(p, 1);
            p++;
            continue;
        }
        Conv c;
        parse(p, end, &c);
        p = c.next;
        if (!a->scanned && (c.argno || c.width_kind == K_NUMBERED || c.prec_kind == K_NUMBERED))
            scan(a, fmt, end);

        bool left = (c.flags & F_MINUS) != 0;
        long width = 0;
        if (c.width_kind == K_DIGITS) {
            width = c.width;
        } else if (c.width_kind != K_NONE) {
            width = star(a, c.width_kind, c.width);
            if (width < 0) {
                if (width == -2147483647L - 1)
                    fail(E2BIG, __LINE__);
                width = -width;
                left = true;
            }
        }
        long prec = -1;
        if (c.prec_kind == K_DIGITS) {
            prec = c.prec;
        } else if (c.prec_kind != K_NONE) {
            prec = star(a, c.prec_kind, c.prec);
            if (prec < 0)
                prec = -1;
        }
        ArgValue *v = take(a, c.argno, c.type);
        switch (c.conv) {
        case 's':
            emit_string(out, a, v, (size_t)width, left, prec);
            break;
        case 'c': {
            char ch = (char)(unsigned char)v->i;
            emit_field(out, (size_t)width, left, "", 0, 0, &ch, 1);
            break;
        }
        case 'e': case 'f': case 'g': case 'E': case 'F': case 'G':
            emit_float(out, c, v, (size_t)width, left, prec, a);
            break;
        default:
            emit_int(out, c, v, (size_t)width, left, prec);
            break;
        }
    }
}

} // namespace kivo_fmt

#endif
