/*
 * Bob Jenkins' lookup2 hash (1996) with initval 0 and the key bytes read as
 * signed chars, so bytes 0x80-0xFF add negative amounts. Inline, so that
 * the table's own lookups need no call for the default function.
 */
#ifndef KIVO_STRUCT_JENKINS_H
#define KIVO_STRUCT_JENKINS_H

#include <stdint.h>
#include <string.h>

namespace kivo {
namespace lookup2 {

inline void mix(uint32_t &a, uint32_t &b, uint32_t &c) {
    a -= b; a -= c; a ^= (c >> 13);
    b -= c; b -= a; b ^= (a << 8);
    c -= a; c -= b; c ^= (b >> 13);
    a -= b; a -= c; a ^= (c >> 12);
    b -= c; b -= a; b ^= (a << 16);
    c -= a; c -= b; c ^= (b >> 5);
    a -= b; a -= c; a ^= (c >> 3);
    b -= c; b -= a; b ^= (a << 10);
    c -= a; c -= b; c ^= (b >> 15);
}

/* Sum of the four bytes of w (little-endian), each sign-extended and shifted
 * to its place, modulo 2^32: a byte b >= 0x80 counts as b - 0x100, i.e. the
 * plain word minus 0x100 at that byte's place. */
inline uint32_t signed_word(const unsigned char *p) {
    uint32_t w;
    memcpy(&w, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w - ((w & 0x80808080u) << 1);
}

inline uint32_t sbyte(const unsigned char *k, int i) {
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(k[i])));
}

} // namespace lookup2

inline uint32_t jenkins(const void *key, uint32_t key_len) {
    using namespace lookup2;

    const unsigned char *k = static_cast<const unsigned char *>(key);
    uint32_t a = 0x9e3779b9u, b = 0x9e3779b9u, c = 0;
    uint32_t len = key_len;
    while (len >= 12) {
        a += signed_word(k);
        b += signed_word(k + 4);
        c += signed_word(k + 8);
        mix(a, b, c);
        k += 12;
        len -= 12;
    }
    c += key_len;
    // The last 0 to 11 bytes; whole words at a time where they fill one.
    if (len >= 8) {
        a += signed_word(k);
        b += signed_word(k + 4);
        switch (len) {
        case 11: c += sbyte(k, 10) << 24; [[fallthrough]];
        case 10: c += sbyte(k, 9) << 16; [[fallthrough]];
        case 9: c += sbyte(k, 8) << 8; [[fallthrough]];
        default: break;
        }
    } else if (len >= 4) {
        a += signed_word(k);
        switch (len) {
        case 7: b += sbyte(k, 6) << 16; [[fallthrough]];
        case 6: b += sbyte(k, 5) << 8; [[fallthrough]];
        case 5: b += sbyte(k, 4); [[fallthrough]];
        default: break;
        }
    } else {
        switch (len) {
        case 3: a += sbyte(k, 2) << 16; [[fallthrough]];
        case 2: a += sbyte(k, 1) << 8; [[fallthrough]];
        case 1: a += sbyte(k, 0); [[fallthrough]];
        default: break;
        }
    }
    mix(a, b, c);
    return c;
}

} // namespace kivo

#endif
