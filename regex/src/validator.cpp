// Ready-made checks of user input: one pattern each through the pattern
// cache, a few with numeric rules on top.
//
// Frame exceptions: the safe-string calls (lower-casing, taking the input)
// run inside a protected block of each check, which turns any exception
// into "not valid"; nothing else here raises. No local has a destructor.
//
// Every pattern is matched with `$` meaning the very end of the input
// (PCRE2_DOLLAR_ENDONLY), so a trailing newline is not quietly accepted, and
// an input holding a zero byte is rejected before matching: the match would
// stop at it and judge only the part in front.
#define PCRE2_CODE_UNIT_WIDTH 8
#define KIVO_FILE "validator"

#include <ctype.h>
#include <errno.h>
#include <pcre2.h>
#include <stdlib.h>
#include <string.h>

#include <kivo/memory.h>
#include <kivo/safestr.h>
#include <kivo/valid.h>

#include "regex_internal.h"

namespace {

#define LIT(p) p, sizeof(p) - 1

constexpr char numeric[] = R"re(^[+-]?[0-9]+$)re";
constexpr char float_number[] = R"re(^[+-]?[0-9]+(\.[0-9]+){0,1}$)re";
constexpr char zip[] = R"re(^[0-9]+$)re";
constexpr char phone[] = R"re(^([\+\.0-9])+$)re";
constexpr char username[] = R"re(^([a-z0-9_.-])+$)re";
constexpr char password[] = R"re(^[a-z0-9\!@#$%\^&\*\(\)_\+={}~`\[;:\'\"\|,<.>\?/-]|\]$)re";
constexpr char mac[] = R"re(^([0-9a-fA-F]{1,2}(:[0-9a-fA-F]{1,2}){5})$)re";
// Prefix lengths 0 to 32 exactly.
constexpr char ipv4_cidr[] =
    R"re(^((([1-9]([0-9]){0,2}\.)(([0-9]){1,3}\.){2}([0-9]){1,3})\/([0-9]|[12][0-9]|3[0-2]))$)re";
constexpr char host[] = R"re(^([a-z0-9]([-]?[a-z0-9])*(\.)?)+[a-z0-9]([-]?[a-z0-9])*$)re";
constexpr char domain[] = R"re(^([a-z0-9]([-]?[a-z0-9])*\.)+[a-z]{2,32}$)re";
constexpr char url[] =
    R"re(^(ht|f)tp(s?)\:\/\/[0-9a-z]([-.\w]*[0-9a-z])*(:(0-9)*)*(\/?)([a-z0-9\-\.\?\,\'\/\\\+&amp;%\$#_]*)?$)re";
constexpr char dotted_quad[] = R"re(^([1-9]([0-9]){0,2}\.)(([0-9]){1,3}\.){2}([0-9]){1,3}$)re";

// The e-mail address pattern, put together from its pieces (email_pattern.h).
#include "email_pattern.h"
#define EMAIL_D "(" EMAIL_H ")|(" EMAIL_A ")"
#define EMAIL_M "(" EMAIL_P1 ")|(" EMAIL_P2 ")"
#define EMAIL_L "(" EMAIL_M "|" EMAIL_Q ")"
constexpr char email[] = "^(" EMAIL_L ")@(" EMAIL_D ")$";

constexpr uint32_t max_email = 256;

enum { keep_case = 0, lower_case = 1 };

// Holds s for the call (a temporary string is used up at the end, as by any
// operation) and returns judge(text, length), or 0 for a null or dead
// handle, for any frame exception, and for inputs of limit bytes or more
// (0: no limit). lower: the caller's string is lower-cased in place first
// (refused, so 0, when it is read-only or shared).
template <typename Judge> int judged(safestr_t s, int lower, uint32_t limit, Judge judge) {
    if (!s)
        return 0;
    // A plain live string needs no block: nothing below raises.
    if (safestr_header_t *h = kivo::re::usable(s)) {
        if (limit && h->length >= limit)
            return 0;
        if (lower) {
            if ((h->flags & SAFESTR_F_READONLY) || h->refs > 1)
                return 0;
            auto *t = reinterpret_cast<unsigned char *>(h + 1);
            for (uint32_t i = 0; i < h->length; i++)
                t[i] = safestr_casemap_lower[t[i]];
        }
        return judge(reinterpret_cast<const char *>(h + 1), h->length);
    }
    volatile int ok = 0;
    XXL_BLOCK {
        safestr_header_t *h = safestr_get(s, lower ? SAFESTR_GET_WRITABLE : SAFESTR_GET_READONLY);
        if (!limit || h->length < limit) {
            if (lower) {
                auto *t = reinterpret_cast<unsigned char *>(h + 1);
                for (uint32_t i = 0; i < h->length; i++)
                    t[i] = safestr_casemap_lower[t[i]];
            }
            ok = judge(reinterpret_cast<const char *>(h + 1), h->length);
        }
    }
    XXL_ON_ANY {
        ok = 0;
    }
    XXL_BLOCK_END;
    return ok;
}

// One input through one pattern. An input holding a zero byte is refused.
int check(safestr_t s, const char *pattern, size_t plen, int lower, uint32_t limit) {
    return judged(s, lower, limit, [=](const char *t, uint32_t n) {
        return memchr(t, 0, n) ? 0 : kivo::re::exists(pattern, plen, PCRE2_DOLLAR_ENDONLY, t, n);
    });
}

// Reads the four parts of a dotted quad that matched the pattern.
// leading_zero: accept a part such as "010" (else only "0" may start with 0).
int quad_parts(safestr_t s, long parts[4], int leading_zero) {
    return judged(s, 0, 0, [=](const char *t, uint32_t n) {
        if (memchr(t, 0, n) || !kivo::re::exists(LIT(dotted_quad), PCRE2_DOLLAR_ENDONLY, t, n))
            return 0;
        const char *p = t;
        for (int i = 0; i < 4; i++) {
            if (!leading_zero && p[0] == '0' && p[1] != '.' && p[1] != 0)
                return 0;
            char *end = nullptr;
            parts[i] = strtol(p, &end, 10);
            p = end + (*end == '.');
        }
        return 1;
    });
}

// n characters of s from at, all decimal digits, as a number; -1 otherwise.
long digits(const char *s, int at, int n) {
    long v = 0;
    for (int i = at; i < at + n; i++) {
        if (s[i] < '0' || s[i] > '9')
            return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

} // namespace

extern "C" {

KIVO_API int fr_valid_numeric(safestr_t s) { return check(s, LIT(numeric), keep_case, 0); }
KIVO_API int fr_valid_float(safestr_t s) { return check(s, LIT(float_number), keep_case, 0); }
KIVO_API int fr_valid_zip(safestr_t s) { return check(s, LIT(zip), keep_case, 0); }
KIVO_API int fr_valid_phone(safestr_t s) { return check(s, LIT(phone), keep_case, 0); }
KIVO_API int fr_valid_fax(safestr_t s) { return check(s, LIT(phone), keep_case, 0); }
KIVO_API int fr_valid_username(safestr_t s) { return check(s, LIT(username), keep_case, 0); }
KIVO_API int fr_valid_password(safestr_t s) { return check(s, LIT(password), keep_case, 0); }
KIVO_API int fr_valid_mac(safestr_t s) { return check(s, LIT(mac), keep_case, 0); }
KIVO_API int fr_valid_ipv4_cidr(safestr_t s) { return check(s, LIT(ipv4_cidr), keep_case, 0); }
KIVO_API int fr_valid_host(safestr_t s) { return check(s, LIT(host), lower_case, 0); }
KIVO_API int fr_valid_domain(safestr_t s) { return check(s, LIT(domain), lower_case, 0); }
KIVO_API int fr_valid_url(safestr_t s) { return check(s, LIT(url), lower_case, 0); }
KIVO_API int fr_valid_email(safestr_t s) { return check(s, LIT(email), lower_case, max_email); }

KIVO_API int fr_valid_ipv4(safestr_t s) {
    long p[4];
    if (!quad_parts(s, p, 0))
        return 0;
    for (long v : p)
        if (v > 255)
            return 0;
    return 1;
}

KIVO_API int fr_valid_bcast_addr(safestr_t s) {
    long p[4];
    if (!quad_parts(s, p, 1))
        return 0;
    int seen_255 = 0;
    for (long v : p) {
        if (v == 0 || v > 255)
            return 0;
        if (seen_255 && v != 255)
            return 0;
        if (v == 255)
            seen_255 = 1;
    }
    return 1;
}

KIVO_API int valid_ipv4_cidr_netmask(safestr_t s) {
    long p[4];
    if (!quad_parts(s, p, 1))
        return 0;
    int seen_0 = 0;
    for (long v : p) {
        if (v > 254)
            return 0;
        if (seen_0 && v != 0)
            return 0;
        if (v == 0)
            seen_0 = 1;
    }
    return 1;
}

KIVO_API int is_valid_date(safestr_t s) {
    return judged(s, 0, 0, [](const char *t, uint32_t n) {
        if (n != 8)
            return 0;
        long month = digits(t, 0, 2), day = digits(t, 2, 2), year = digits(t, 4, 4);
        return int(month >= 1 && month <= 12 && day >= 1 && day <= 31 && year > 0);
    });
}

KIVO_API int is_valid_time(safestr_t s) {
    return judged(s, 0, 0, [](const char *t, uint32_t n) {
        if (n != 4)
            return 0;
        long hours = digits(t, 0, 2), minutes = digits(t, 2, 2);
        return int(hours >= 0 && hours <= 23 && minutes >= 0 && minutes <= 59);
    });
}

KIVO_API int fr_valid_string(safestr_t s) {
    return judged(s, 0, 0, [](const char *t, uint32_t n) {
        for (uint32_t i = 0; i < n; i++) {
            int c = static_cast<unsigned char>(t[i]);
            if (!isgraph(c) && !isspace(c))
                return 0;
        }
        return 1;
    });
}

} // extern "C"
