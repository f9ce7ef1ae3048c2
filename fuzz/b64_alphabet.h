// The base64 alphabet's values, written from the rules for the fuzz
// targets' own decoders (never the library's table).
#pragma once

namespace fuzz_b64 {

inline int value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace fuzz_b64
