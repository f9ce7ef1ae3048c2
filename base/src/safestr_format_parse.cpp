/*
 * Format parsing and the argument table of the safe-string format engine:
 * one conversion at a time, the look-ahead scan that types every argument
 * once an argument number appears, and the checked access to the table.
 * Frame exceptions leave every function here (all refusals are throws);
 * nothing here owns memory.
 */
#define KIVO_FILE "safestr"

#include <climits>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "safestr_format.h"
#include "safestr_internal.h"

namespace kivo_fmt {

void fail(int code, int line)
{
    xxl_throw_error(code, nullptr, SAFESTR_SOURCE, line);
}

namespace {

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

} // namespace

void parse(const char *p, const char *end, Conv *c)
{
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

namespace {

struct ScanState {
    uint8_t types[kMaxArgs + 1];
    int counter;
    int highest;
};

void record(ScanState *s, int argno, uint8_t type)
{
    int slot = argno;
    if (slot == 0) {
        if (s->counter >= kMaxArgs)
            fail(SAFESTR_E_TOO_MANY_ARGUMENTS, __LINE__);
        slot = ++s->counter;
    }
    if (s->types[slot] == T_NONE)
        s->types[slot] = type;
    else if (s->types[slot] != type)
        fail(SAFESTR_E_BAD_ARGUMENT, __LINE__);
    if (slot > s->highest)
        s->highest = slot;
}

} // namespace

void scan(Args *a, const char *fmt, const char *end)
{
    ScanState s;
    memset(s.types, T_NONE, sizeof s.types);
    s.counter = 0;
    s.highest = 0;
    const char *p = fmt;
    while (p < end) {
        const char *q = (const char *)memchr(p, '%', (size_t)(end - p));
        if (!q)
            break;
        p = q + 1;
        if (p == end)
            fail(E2BIG, __LINE__);
        if (*p == '%') {
            p++;
            continue;
        }
        Conv c;
        parse(p, end, &c);
        p = c.next;
        if (c.width_kind == K_NEXT || c.width_kind == K_NUMBERED)
            record(&s, c.width_kind == K_NUMBERED ? c.width : 0, T_INT);
        if (c.prec_kind == K_NEXT || c.prec_kind == K_NUMBERED)
            record(&s, c.prec_kind == K_NUMBERED ? c.prec : 0, T_INT);
        record(&s, c.argno, c.type);
    }
    // Slots read in order before the scan were typed by the same uses that
    // the scan has just replayed, so their types agree; read the rest.
    for (int slot = a->nread + 1; slot <= s.highest; slot++)
        read_arg(a, slot, s.types[slot]);
    if (s.highest > a->nread)
        a->nread = s.highest;
    a->scanned = true;
}

ArgValue *take_slow(Args *a, int argno, uint8_t type)
{
    int slot = argno;
    if (slot == 0) {
        if (a->counter >= kMaxArgs)
            fail(SAFESTR_E_TOO_MANY_ARGUMENTS, __LINE__);
        slot = ++a->counter;
    }
    if (slot > a->nread)
        fail(SAFESTR_E_BAD_ARGUMENT, __LINE__);
    if (a->types[slot] != T_NONE && a->types[slot] != type)
        fail(SAFESTR_E_BAD_ARGUMENT, __LINE__);
    return &a->vals[slot];
}

} // namespace kivo_fmt
