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
