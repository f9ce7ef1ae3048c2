// libFuzzer target: the safe-string integer and float conversions, their
// exception-free wrappers, case and trim edits, and the plain-string number
// parsers, on arbitrary bytes (zero bytes included). The first byte picks
// the base. Checks that the 32-bit wrap-around result is the low half of
// the 64-bit one, and that a wrapper agrees with the throwing form.
#include <kivo/exceptions.h>
#include <kivo/safestr.h>
#include <kivo/strings.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct results {
    volatile int code32, code64, codeu32, codeu64, coded;
    volatile int32_t v32;
    volatile int64_t v64;
    volatile uint32_t vu32;
    volatile uint64_t vu64;
};

void convert(safestr_t s, int base, results *r)
{
    r->code32 = 0;
    r->code64 = 0;
    r->codeu32 = 0;
    r->codeu64 = 0;
    r->coded = 0;
    XXL_BLOCK { r->v32 = safestr_toint32(s, base); }
    XXL_ON_ANY { r->code32 = xxl_current_error_code(); }
    XXL_BLOCK_END;
    XXL_BLOCK { r->v64 = safestr_toint64(s, base); }
    XXL_ON_ANY { r->code64 = xxl_current_error_code(); }
    XXL_BLOCK_END;
    XXL_BLOCK { r->vu32 = safestr_touint32(s, base); }
    XXL_ON_ANY { r->codeu32 = xxl_current_error_code(); }
    XXL_BLOCK_END;
    XXL_BLOCK { r->vu64 = safestr_touint64(s, base); }
    XXL_ON_ANY { r->codeu64 = xxl_current_error_code(); }
    XXL_BLOCK_END;
    XXL_BLOCK { (void)safestr_todouble(s); }
    XXL_ON_ANY { r->coded = xxl_current_error_code(); }
    XXL_BLOCK_END;
}

void edits(safestr_t s, int flags)
{
    XXL_BLOCK {
        safestr_t c = safestr_clone(s, 0);
        safestr_convert(c, (uint32_t)flags);
        safestr_trim(c, (uint32_t)flags >> 3);
        if (safestr_length(c) > safestr_length(s))
            abort();
        safestr_free(c);
    }
    XXL_ON_ANY { abort(); }
    XXL_BLOCK_END;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 4096)
        return 0;
    int base = data[0] % 40; // includes the refused bases 1 and 37..39
    const char *bytes = (const char *)data + 1;
    size_t n = size - 1;

    // The bytes as they are, zero bytes included: filled through the
    // public header, as a string read from a descriptor would be.
    safestr_t s = safestr_alloc((uint32_t)n, 0);
    memcpy(const_cast<char *>(s), bytes, n);
    (reinterpret_cast<safestr_header_t *>(const_cast<char *>(s)) - 1)->length = (uint32_t)n;

    results r;
    convert(s, base, &r);
    if (r.code32 != r.code64)
        abort();
    if (r.code32 == 0 && (uint32_t)r.v32 != (uint32_t)(uint64_t)r.v64)
        abort();
    if (r.codeu32 == 0 && r.codeu64 == 0 && r.vu32 != (uint32_t)r.vu64)
        abort();
    if (base == 10 && n > 0) {
        int64_t w = 0;
        int rc = str_toint64_err(s, &w);
        if ((rc == 0) != (r.code64 == 0) || (rc == 0 && w != r.v64))
            abort();
        double d;
        if ((str_todouble_err(s, &d) == 0) != (r.coded == 0))
            abort();
    }
    edits(s, data[0]);
    safestr_free(s);

    char *plain = (char *)malloc(n + 1);
    memcpy(plain, bytes, n);
    plain[n] = 0;
    double d;
    long l;
    fr_atod(plain, &d);
    fr_atol_base(plain, &l, base);
    free(plain);
    return 0;
}
