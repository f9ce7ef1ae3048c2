// libFuzzer target: every validator on fuzzed input (byte 0 picks the
// validator, the rest is the input, zero bytes allowed). Checks: the answer
// is 0 or 1; the lower-casing validators leave exactly the lower-cased input
// behind (the e-mail one only below 256 bytes, untouched otherwise); an
// accepted input holds no zero byte and no newline at its end.
#include <kivo/regex.h>
#include <kivo/safestr.h>
#include <kivo/valid.h>

#include <stdint.h>
#include <string.h>

namespace {

struct entry {
    int (*fn)(safestr_t);
    bool lower;
    bool line_end_ok; // newline at the end may be part of a valid input
};

const entry validators[] = {
    {fr_valid_numeric, false, false},  {fr_valid_float, false, false},   {fr_valid_zip, false, false},
    {fr_valid_phone, false, false},    {fr_valid_fax, false, false},     {fr_valid_username, false, false},
    {fr_valid_password, false, true},  {fr_valid_mac, false, false},     {fr_valid_ipv4_cidr, false, false},
    {fr_valid_host, true, false},      {fr_valid_domain, true, false},   {fr_valid_url, true, false},
    {fr_valid_email, true, false},     {fr_valid_ipv4, false, false},    {fr_valid_bcast_addr, false, false},
    {valid_ipv4_cidr_netmask, false, false}, {is_valid_date, false, false}, {is_valid_time, false, false},
    {fr_valid_string, false, true},
};

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

bool started = false;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    if (!started) {
        fr_reginit();
        started = true;
    }
    const entry &e = validators[data[0] % (sizeof validators / sizeof *validators)];
    const uint8_t *in = data + 1;
    size_t n = size - 1;
    XXL_BLOCK {
        safestr_t s = safestr_create("", 0);
        for (size_t i = 0; i < n; i++)
            safestr_appendchar(&s, in[i]);
        int r = e.fn(s);
        check(r == 0 || r == 1);
        check(safestr_length(s) == n);
        bool changed = e.lower && !(e.fn == fr_valid_email && n >= 256);
        for (size_t i = 0; i < n; i++) {
            uint8_t want = in[i];
            if (changed && want >= 'A' && want <= 'Z')
                want = uint8_t(want - 'A' + 'a');
            check(uint8_t(s[i]) == want);
        }
        if (r == 1) {
            check(!memchr(in, 0, n));
            check(e.line_end_ok || n == 0 || in[n - 1] != '\n');
        }
        safestr_free(s);
    }
    XXL_BLOCK_END;
    return 0;
}
