// Fuzz target: the base64 decoder, both forms, against a decoder written
// here from the rules (skip every byte outside the alphabet, 4 values make
// 3 bytes, a final 3 or 2 values make 2 or 1, a single one nothing).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kivo/exceptions.h>
#include <kivo/mime.h>
#include <kivo/safestr.h>

#include "b64_alphabet.h"

namespace {

size_t reference(const uint8_t *p, size_t n, uint8_t *out) {
    uint32_t acc = 0;
    int k = 0;
    size_t o = 0;
    for (size_t i = 0; i < n; i++) {
        int v = fuzz_b64::value(p[i]);
        if (v < 0)
            continue;
        acc = acc << 6 | uint32_t(v);
        if (++k == 4) {
            out[o++] = uint8_t(acc >> 16);
            out[o++] = uint8_t(acc >> 8);
            out[o++] = uint8_t(acc);
            acc = 0;
            k = 0;
        }
    }
    if (k == 3) {
        out[o++] = uint8_t(acc >> 10);
        out[o++] = uint8_t(acc >> 2);
    } else if (k == 2) {
        out[o++] = uint8_t(acc >> 4);
    }
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t *want = static_cast<uint8_t *>(malloc(size + 3));
    size_t want_n = reference(data, size, want);

    // Stream form: binary input, zero bytes included.
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "r");
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    if (size == 0) {
        fclose(in);
        in = fopen("/dev/null", "r");
    }
    if (base64_dec(in, out) != 0)
        abort();
    fclose(in);
    fclose(out);
    if (len != want_n || memcmp(buf, want, len) != 0)
        abort();
    free(buf);

    // String form: the text up to its first zero byte.
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = 0;
    want_n = reference(reinterpret_cast<uint8_t *>(text), strlen(text), want);
    XXL_BLOCK {
        safestr_t s = base64_dec_str(text);
        if (safestr_length(s) != want_n || memcmp(s, want, want_n) != 0 || s[want_n] != 0)
            abort();
        safestr_free(s);
    }
    XXL_ON_ANY {
        abort();
    }
    XXL_BLOCK_END;
    free(text);
    free(want);
    return 0;
}
