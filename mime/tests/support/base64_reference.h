// Base64 as the RFC writes it, for checking the encoder and the decoder:
// random data of many lengths, and encoded text with bytes from outside
// the alphabet strewn into it ('=' included), which the decoder must skip.
#ifndef KIVO_MIME_BASE64_REFERENCE_H
#define KIVO_MIME_BASE64_REFERENCE_H

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "mime_testing.h"

namespace mimetest {

inline std::string reference_base64(const std::string &in) {
    static const char *abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t groups = 0;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(in[i])) << 16;
        if (i + 1 < in.size())
            v |= uint32_t(uint8_t(in[i + 1])) << 8;
        if (i + 2 < in.size())
            v |= uint8_t(in[i + 2]);
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? abc[v & 63] : '=';
        if (++groups % 18 == 0)
            out += "\r\n";
    }
    if (groups % 18)
        out += "\r\n";
    return out;
}

// Bytes outside the alphabet: line breaks, '=', space, punctuation, 0x80+.
inline std::string strew_junk(const std::string &enc, unsigned seed) {
    static const char junk[] = "\r\n= \t-.!*\x80\xff\x7f\x01:@[`{";
    std::mt19937 g(seed);
    std::string out;
    for (char c : enc) {
        if (g() % 7 == 0)
            out += junk[g() % (sizeof junk - 1)];
        out += c;
    }
    return out;
}

inline void check_base64_against_reference(const encoding &enc, const encoding &dec) {
    for (size_t n = 0; n < 700; n += (n < 300 ? 1 : 37)) {
        std::string in = random_bytes(n, unsigned(n) + 500), text = in;
        for (char &c : text)
            c = c ? c : 'z';
        std::string want = reference_base64(in);
        int rc = -1;
        ASSERT_EQ(via_stream(enc.stream, in, &rc), want) << n;
        EXPECT_EQ(via_string(enc.string, text.c_str()), reference_base64(text)) << n;
        EXPECT_EQ(via_stream(dec.stream, want, &rc), in) << n;
        EXPECT_EQ(via_string(dec.string, want.c_str()), in) << n;
        std::string noisy = strew_junk(want, unsigned(n));
        EXPECT_EQ(via_stream(dec.stream, noisy, &rc), in) << n << " with junk";
        EXPECT_EQ(via_string(dec.string, noisy.c_str()), in) << n << " with junk";
        // Without line breaks: long runs of alphabet characters.
        std::string flat;
        for (char c : want)
            if (c != '\r' && c != '\n')
                flat += c;
        EXPECT_EQ(via_string(dec.string, flat.c_str()), in) << n << " unwrapped";
    }
}

} // namespace mimetest

#endif
