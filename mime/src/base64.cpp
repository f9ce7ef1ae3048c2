// Base64: the encoder (lines of 18 groups, each ended by "\r\n") and the
// forgiving decoder (every character outside the alphabet is skipped), in
// stream and string forms. Both work on whole blocks: the encoder turns 3
// bytes into 4 characters with two lookups in a 4096-entry table of
// character pairs, the decoder turns 4 characters into 3 bytes with four
// lookups of pre-shifted values and drops to one character at a time only
// around characters outside the alphabet (line breaks).
// Frame exceptions pass through the string forms: no locals with destructors.
#include "mime_internal.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the tables below assume little-endian stores");

namespace kivo::mime {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two characters for every 12-bit value, first character in the low byte.
struct pair_table {
    uint16_t t[4096];
    constexpr pair_table() : t{} {
        for (unsigned i = 0; i < 4096; i++)
            t[i] = uint16_t(uint8_t(alphabet[i >> 6]) | (uint8_t(alphabet[i & 63]) << 8));
    }
};
constexpr pair_table pairs{};

// Decoding: value << shift for each of the four positions of a group; any
// character outside the alphabet sets bits 24-31, so one test covers four.
constexpr uint32_t bad = 0xFF000000u;
struct dec_table {
    uint32_t t[4][256];
    uint8_t value[256]; // 6-bit value, 0xFF outside the alphabet
    constexpr dec_table() : t{}, value{} {
        for (unsigned c = 0; c < 256; c++)
            value[c] = 0xFF;
        for (unsigned i = 0; i < 64; i++)
            value[uint8_t(alphabet[i])] = uint8_t(i);
        for (unsigned c = 0; c < 256; c++)
            for (unsigned k = 0; k < 4; k++)
                t[k][c] = value[c] == 0xFF ? bad : uint32_t(value[c]) << (18 - 6 * k);
    }
};
constexpr dec_table dec{};

inline uint64_t load_be64(const unsigned char *p) {
    uint64_t x;
    memcpy(&x, p, 8);
    return __builtin_bswap64(x);
}

inline char *enc_group(const unsigned char *p, char *o) {
    uint32_t v = (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    uint32_t w = pairs.t[v >> 12] | (uint32_t(pairs.t[v & 0xFFF]) << 16);
    memcpy(o, &w, 4);
    return o + 4;
}

// `groups` whole groups from p; `end` is the end of readable input, so two
// groups at a time read 8 bytes where 8 are there.
inline char *enc_run(const unsigned char *p, const unsigned char *end, size_t groups, char *o) {
    while (groups >= 2 && p + 8 <= end) {
        uint64_t x = load_be64(p);
        uint32_t a = uint32_t(x >> 40), b = uint32_t(x >> 16) & 0xFFFFFF;
        uint64_t w = uint64_t(pairs.t[a >> 12]) | (uint64_t(pairs.t[a & 0xFFF]) << 16)
                     | (uint64_t(pairs.t[b >> 12]) << 32) | (uint64_t(pairs.t[b & 0xFFF]) << 48);
        memcpy(o, &w, 8);
        o += 8;
        p += 6;
        groups -= 2;
    }
    while (groups--) {
        o = enc_group(p, o);
        p += 3;
    }
    return o;
}

constexpr unsigned line_groups = 18;

// Encodes n bytes; unless final, n is a multiple of 3. `grp` counts the
// groups of the current line across calls.
char *b64_encode(const unsigned char *p, size_t n, bool final, unsigned &grp, char *o) {
    const unsigned char *end = p + n;
    size_t full = n / 3;
    while (full) {
        size_t take = line_groups - grp;
        if (take > full)
            take = full;
        o = enc_run(p, end, take, o);
        p += 3 * take;
        full -= take;
        grp += unsigned(take);
        if (grp == line_groups) {
            o[0] = '\r';
            o[1] = '\n';
            o += 2;
            grp = 0;
        }
    }
    if (final) {
        size_t rest = size_t(end - p);
        if (rest) {
            uint32_t v = uint32_t(p[0]) << 16;
            if (rest == 2)
                v |= uint32_t(p[1]) << 8;
            o[0] = alphabet[v >> 18];
            o[1] = alphabet[(v >> 12) & 63];
            o[2] = rest == 2 ? alphabet[(v >> 6) & 63] : '=';
            o[3] = '=';
            o += 4;
            grp++;
        }
        if (grp) {
            o[0] = '\r';
            o[1] = '\n';
            o += 2;
            grp = 0;
        }
    }
    return o;
}

uint64_t b64_encoded_length(uint64_t n) {
    uint64_t groups = (n + 2) / 3;
    uint64_t lines = (groups + line_groups - 1) / line_groups;
    return groups * 4 + lines * 2;
}

struct dec_state {
    uint32_t acc;
    unsigned nv;
};

// Decodes p[0..n) into o. Whole-word stores write up to 2 bytes past the
// bytes they produce, only while they stay below oend.
char *b64_decode(const unsigned char *p, size_t n, dec_state &st, char *o, char *oend) {
    const unsigned char *end = p + n;
    for (;;) {
        if (st.nv == 0) {
            while (end - p >= 8 && oend - o >= 8) {
                uint32_t x = dec.t[0][p[0]] | dec.t[1][p[1]] | dec.t[2][p[2]] | dec.t[3][p[3]];
                uint32_t y = dec.t[0][p[4]] | dec.t[1][p[5]] | dec.t[2][p[6]] | dec.t[3][p[7]];
                if ((x | y) & bad)
                    break;
                uint64_t w = (uint64_t(__builtin_bswap32(x << 8))) | (uint64_t(__builtin_bswap32(y << 8)) << 24);
                memcpy(o, &w, 8); // 6 bytes used; the output keeps 2 bytes of room
                o += 6;
                p += 8;
            }
            while (end - p >= 4 && oend - o >= 4) {
                uint32_t x = dec.t[0][p[0]] | dec.t[1][p[1]] | dec.t[2][p[2]] | dec.t[3][p[3]];
                if (x & bad)
                    break;
                x = __builtin_bswap32(x << 8);
                memcpy(o, &x, 4);
                o += 3;
                p += 4;
            }
        }
        // One character at a time until a group is complete again.
        for (;;) {
            if (p == end)
                return o;
            uint8_t v = dec.value[*p++];
            if (v == 0xFF)
                continue;
            st.acc = (st.acc << 6) | v;
            if (++st.nv == 4) {
                o[0] = char(st.acc >> 16);
                o[1] = char(st.acc >> 8);
                o[2] = char(st.acc);
                o += 3;
                st.acc = 0;
                st.nv = 0;
                break;
            }
        }
    }
}

// The bytes of an incomplete final group.
char *b64_decode_end(dec_state &st, char *o) {
    if (st.nv == 3) {
        o[0] = char(st.acc >> 10);
        o[1] = char(st.acc >> 2);
        o += 2;
    } else if (st.nv == 2) {
        o[0] = char(st.acc >> 4);
        o += 1;
    }
    st.acc = 0;
    st.nv = 0;
    return o;
}

// Input length and the number of alphabet characters of a C string.
size_t count_alphabet(const char *s, size_t *length) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    size_t valid = 0;
    const unsigned char *q = p;
    while (*q) {
        valid += dec.value[*q] != 0xFF;
        q++;
    }
    *length = size_t(q - p);
    return valid;
}

// Input blocks of the encoder hold whole lines, so no bytes carry over.
constexpr size_t enc_in = 54 * 300;
constexpr size_t enc_out = enc_in / 3 * 4 + enc_in / 54 * 2 + 16;
constexpr size_t dec_out = in_block / 4 * 3 + 16;

} // namespace
} // namespace kivo::mime

using namespace kivo::mime;

extern "C" {

KIVO_API int base64_enc(FILE *in, FILE *out) {
    FR_CHECK_RETURN(in != nullptr && out != nullptr, -1);
    unsigned char ib[enc_in];
    char ob[enc_out];
    size_t have = 0;
    unsigned grp = 0;
    for (;;) {
        size_t n = have + read_block(in, ib + have, enc_in - have);
        bool final = n < enc_in;
        size_t use = final ? n : n - n % 3;
        size_t len = size_t(b64_encode(ib, use, final, grp, ob) - ob);
        size_t done = write_block(out, ob, len);
        if (done != len) {
            // A failed line break returns quietly.
            if (ob[done] == '\r' || ob[done] == '\n')
                return -1;
            FR_LOG_CONDITIONAL_RETURN();
            return -1;
        }
        if (final)
            return 0;
        have = n - use;
        memmove(ib, ib + use, have);
    }
}

KIVO_API int base64_dec(FILE *in, FILE *out) {
    FR_CHECK_RETURN(in != nullptr && out != nullptr, -1);
    unsigned char ib[in_block];
    char ob[dec_out];
    dec_state st{0, 0};
    for (;;) {
        size_t n = read_block(in, ib, in_block);
        bool final = n < in_block;
        char *e = b64_decode(ib, n, st, ob, ob + dec_out);
        if (final)
            e = b64_decode_end(st, e);
        size_t len = size_t(e - ob);
        if (write_block(out, ob, len) != len) {
            FR_LOG_CONDITIONAL_RETURN();
            return -1;
        }
        if (final)
            return 0;
    }
}

KIVO_API safestr_t base64_enc_str(const char *in) {
    FR_CHECK_RETURN(in != nullptr, nullptr);
    size_t n = strlen(in);
    // The line break string the result is built with; freed with the
    // string's other helpers if an exception passes through.
    xxl_push_context(nullptr);
    safestr_t crlf = safestr_create("\r\n", SAFESTR_F_ASSET_ON_ERROR);
    result r;
    result_begin(&r, b64_encoded_length(n));
    unsigned grp = 0;
    char *e = b64_encode(reinterpret_cast<const unsigned char *>(in), n, true, grp, r.text);
    safestr_t s = result_end(&r, uint64_t(e - r.text));
    xxl_pop_context();
    MIME_FREE_AUX(crlf);
    return s;
}

KIVO_API safestr_t base64_dec_str(const char *in) {
    FR_CHECK_RETURN(in != nullptr, nullptr);
    size_t n;
    size_t valid = count_alphabet(in, &n);
    uint64_t length = uint64_t(valid / 4) * 3 + (valid % 4 == 3 ? 2 : valid % 4 == 2 ? 1 : 0);
    result r;
    // Whole-word stores may touch the byte past the result, its terminating
    // zero: rewritten below.
    result_begin(&r, length);
    dec_state st{0, 0};
    char *e = b64_decode(reinterpret_cast<const unsigned char *>(in), n, st, r.text, r.text + length + 1);
    e = b64_decode_end(st, e);
    r.text[length] = 0;
    return result_end(&r, uint64_t(e - r.text));
}

} // extern "C"
