// Base64: the encoder (lines of 18 groups, each ended by "\r\n") and the
// forgiving decoder (every character outside the alphabet is skipped), in
// stream and string forms. Both work on whole blocks: the encoder turns 3
// bytes into 4 characters with two lookups in a 4096-entry table of
// character pairs, the decoder turns 4 characters into 3 bytes with four
// lookups of pre-shifted values and drops to one character at a time only
// around characters outside the alphabet (line breaks).
// Frame exceptions pass through the string forms: no locals with destructors.
#include "cpu.h"
#include "mime_internal.h"

#if KIVO_MIME_X86
#include <immintrin.h>
#endif

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the tables below assume little-endian stores");

namespace kivo::mime {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr unsigned line_groups = 18;
constexpr size_t line_bytes = line_groups * 3;

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

#if KIVO_MIME_X86
// AVX2: 24 bytes become 32 characters in one register. Each 32-bit lane
// gets the 3 bytes of a group (shuffled), the multiplies move the four
// 6-bit fields into the four bytes, and a 16-entry table turns each field
// into its character by range (A-Z, a-z, 0-9, '+', '/').
__attribute__((target("avx2"))) inline __m256i enc_avx2(const unsigned char *p) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 12));
    __m256i in = _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
    in = _mm256_shuffle_epi8(in, _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0, 2, 1, 4,
                                                  3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
    __m256i t0 = _mm256_and_si256(in, _mm256_set1_epi32(0x0fc0fc00));
    __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
    __m256i t2 = _mm256_and_si256(in, _mm256_set1_epi32(0x003f03f0));
    __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
    __m256i v = _mm256_or_si256(t1, t3);
    __m256i idx = _mm256_subs_epu8(v, _mm256_set1_epi8(51));
    idx = _mm256_sub_epi8(idx, _mm256_cmpgt_epi8(v, _mm256_set1_epi8(25)));
    const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0, 65, 71,
                                             -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
    return _mm256_add_epi8(v, _mm256_shuffle_epi8(offsets, idx));
}

// Whole lines: 54 bytes -> 72 characters and "\r\n". Reads stay inside
// each line (the second register reads bytes 24..51).
__attribute__((target("avx2"))) char *enc_lines_avx2(const unsigned char *p, size_t lines, char *o) {
    while (lines--) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), enc_avx2(p));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + 32), enc_avx2(p + 24));
        o = enc_group(p + 48, o + 64);
        o = enc_group(p + 51, o);
        o[0] = '\r';
        o[1] = '\n';
        o += 2;
        p += line_bytes;
    }
    return o;
}
#endif

// Encodes n bytes; unless final, n is a multiple of 3. `grp` counts the
// groups of the current line across calls.
char *b64_encode(const unsigned char *p, size_t n, bool final, unsigned &grp, char *o) {
    const unsigned char *end = p + n;
    size_t full = n / 3;
#if KIVO_MIME_X86
    if (grp == 0 && full >= line_groups && have_avx2()) {
        size_t lines = full / line_groups;
        o = enc_lines_avx2(p, lines, o);
        p += lines * line_bytes;
        full -= lines * line_groups;
    }
#endif
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

#if KIVO_MIME_X86
// AVX2 decoding of 32 characters: two nibble tables flag every byte outside
// the alphabet (their AND is non-zero), a third gives the offset from
// character to value by high nibble ('/' apart); multiply-adds pack the
// 6-bit values into 24 bytes.
struct avx2_tables {
    __m256i lut_lo, lut_hi, lut_roll, mask_2f;
};
__attribute__((target("avx2"))) inline avx2_tables dec_tables() {
    return {_mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B,
                             0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B,
                             0x1B, 0x1A),
            _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
                             0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
                             0x10, 0x10),
            _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65, -65, -71, -71,
                             0, 0, 0, 0, 0, 0, 0, 0),
            _mm256_set1_epi8(0x2f)};
}

// Bytes of the 32 characters at p that lie outside the alphabet (mask of
// 0xFF bytes), and their offsets to values.
__attribute__((target("avx2"))) inline __m256i dec_check(const avx2_tables &t, __m256i str, __m256i *roll) {
    __m256i hi_nibbles = _mm256_and_si256(_mm256_srli_epi32(str, 4), t.mask_2f);
    __m256i lo_nibbles = _mm256_and_si256(str, t.mask_2f);
    __m256i lo = _mm256_shuffle_epi8(t.lut_lo, lo_nibbles);
    __m256i hi = _mm256_shuffle_epi8(t.lut_hi, hi_nibbles);
    __m256i eq_2f = _mm256_cmpeq_epi8(str, t.mask_2f);
    *roll = _mm256_shuffle_epi8(t.lut_roll, _mm256_add_epi8(eq_2f, hi_nibbles));
    return _mm256_cmpeq_epi8(_mm256_and_si256(lo, hi), _mm256_setzero_si256()); // 0xFF: in the alphabet
}

// Blocks of 32 alphabet characters while they come; 32-byte stores (24
// bytes used) only while 32 bytes of room remain before oend.
__attribute__((target("avx2"))) void dec_blocks_avx2(const unsigned char *&p, const unsigned char *end, char *&o,
                                                     char *oend) {
    avx2_tables t = dec_tables();
    while (end - p >= 32 && oend - o >= 32) {
        __m256i str = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        __m256i roll;
        if (unsigned(_mm256_movemask_epi8(dec_check(t, str, &roll))) != 0xFFFFFFFFu)
            return;
        str = _mm256_add_epi8(str, roll);
        __m256i ab = _mm256_maddubs_epi16(str, _mm256_set1_epi32(0x01400140));
        __m256i out = _mm256_madd_epi16(ab, _mm256_set1_epi32(0x00011000));
        out = _mm256_shuffle_epi8(out, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1,
                                                        0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
        out = _mm256_permutevar8x32_epi32(out, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, -1, -1));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), out);
        o += 24;
        p += 32;
    }
}

// Alphabet characters among p[0..n).
__attribute__((target("avx2,popcnt"))) size_t count_alphabet_avx2(const unsigned char *p, size_t n, size_t *done) {
    avx2_tables t = dec_tables();
    size_t count = 0, i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i roll;
        __m256i ok = dec_check(t, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i)), &roll);
        count += size_t(__builtin_popcount(unsigned(_mm256_movemask_epi8(ok))));
    }
    *done = i;
    return count;
}
#endif

// Decodes p[0..n) into o. Whole-word stores write up to 2 bytes past the
// bytes they produce, only while they stay below oend.
char *b64_decode(const unsigned char *p, size_t n, dec_state &st, char *o, char *oend) {
    const unsigned char *end = p + n;
#if KIVO_MIME_X86
    bool wide = have_avx2();
#endif
    for (;;) {
        while (st.nv == 0) {
#if KIVO_MIME_X86
            if (wide)
                dec_blocks_avx2(p, end, o, oend);
#endif
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
            // A line break between whole groups, the usual case.
            if (end - p >= 2 && p[0] == '\r' && p[1] == '\n') {
                p += 2;
                continue;
            }
            break;
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

// Alphabet characters among the n bytes of s.
size_t count_alphabet(const char *s, size_t n) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    size_t valid = 0, i = 0;
#if KIVO_MIME_X86
    if (have_avx2())
        valid = count_alphabet_avx2(p, n, &i);
#endif
    for (; i < n; i++)
        valid += dec.value[p[i]] != 0xFF;
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
    size_t n = strlen(in);
    size_t valid = count_alphabet(in, n);
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
