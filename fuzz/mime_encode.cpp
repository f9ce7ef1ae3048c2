// Fuzz target: every encoder, stream and string forms, with round trips
// through decoders written here from the RFCs (base64, quoted-printable,
// Q) and the line-length limits checked on the encoded text. The stream
// forms get the whole input (zero bytes are data); the string forms the
// text up to its first zero byte, and must equal the stream form of it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <kivo/exceptions.h>
#include <kivo/mime.h>
#include <kivo/safestr.h>

#include "b64_alphabet.h"

namespace {

void check(bool ok) {
    if (!ok)
        abort();
}

// Strict base64 of RFC 2045 with "\r\n" line ends: whole groups, padding
// only in the last one, lines of at most 76 characters.
std::string b64_decode(const std::string &e) {
    std::string chars;
    size_t line = 0;
    for (size_t i = 0; i < e.size(); i++) {
        if (e[i] == '\r') {
            check(i + 1 < e.size() && e[i + 1] == '\n');
            check(line > 0 && line <= 76);
            line = 0;
            i++;
            continue;
        }
        chars += e[i];
        line++;
    }
    check(line == 0); // the text ends with a line break (or is empty)
    check(chars.size() % 4 == 0);
    std::string out;
    for (size_t g = 0; g < chars.size(); g += 4) {
        uint32_t acc = 0;
        int pad = 0;
        for (int k = 0; k < 4; k++) {
            char c = chars[g + k];
            if (c == '=') {
                check(g + 4 == chars.size() && k >= 2);
                pad++;
                acc <<= 6;
                continue;
            }
            check(pad == 0);
            int v = fuzz_b64::value(static_cast<unsigned char>(c));
            check(v >= 0);
            acc = acc << 6 | uint32_t(v);
        }
        out += char(acc >> 16);
        if (pad < 2)
            out += char(acc >> 8);
        if (pad < 1)
            out += char(acc);
    }
    return out;
}

int hexval(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Quoted-printable (q: the Q encoding of header words). Checks that only
// allowed bytes appear literally, no white space ends a line, and no line
// passes 76 characters (Q: underscores not counted). Line ends come out
// as "\n".
std::string qp_decode(const std::string &e, bool q) {
    std::string out;
    size_t line = 0;
    for (size_t i = 0; i < e.size(); i++) {
        unsigned char c = static_cast<unsigned char>(e[i]);
        if (c == '\r') {
            check(i + 1 < e.size() && e[i + 1] == '\n');
            check(line <= 76);
            check(i == 0 || (e[i - 1] != ' ' && e[i - 1] != '\t')); // no white space before a line end
            out += '\n';
            i++;
            line = 0;
            continue;
        }
        if (c == '=') {
            check(i + 2 < e.size());
            if (e[i + 1] == '\r') {
                check(e[i + 2] == '\n');
                check(line + 1 <= 76);
                line = 0;
                i += 2;
                continue;
            }
            int h = hexval(e[i + 1]), l = hexval(e[i + 2]);
            check(h >= 0 && l >= 0);
            out += char(h << 4 | l);
            i += 2;
            line += 3;
            continue;
        }
        if (q && c == '_') {
            out += ' ';
            continue;
        }
        if (q)
            check(c >= 33 && c <= 126 && c != '(' && c != ')' && c != '?');
        else
            check((c >= 33 && c <= 126) || c == ' ' || c == '\t');
        out += char(c);
        line++;
    }
    check(line <= 76);
    if (!q && !e.empty())
        check(e.back() != ' ' && e.back() != '\t');
    return out;
}

std::string line_ends(const std::string &s) {
    std::string r;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\r') {
            r += '\n';
            if (i + 1 < s.size() && s[i + 1] == '\n')
                i++;
        } else {
            r += s[i];
        }
    }
    return r;
}

std::string via_stream(int (*fn)(FILE *, FILE *), const std::string &in) {
    // fmemopen refuses an empty buffer on some C libraries: use /dev/null.
    FILE *fi = in.empty() ? fopen("/dev/null", "r") : fmemopen(const_cast<char *>(in.data()), in.size(), "r");
    size_t cap = in.size() * 4 + 16;
    char *buf = static_cast<char *>(calloc(cap, 1));
    FILE *fo = fmemopen(buf, cap, "w+");
    check(fi && fo);
    check(fn(fi, fo) == 0);
    fflush(fo);
    long len = ftell(fo);
    check(len >= 0);
    std::string r(buf, size_t(len));
    fclose(fi);
    fclose(fo);
    free(buf);
    return r;
}

std::string via_string(safestr_t (*fn)(const char *), const std::string &in) {
    std::string r;
    XXL_BLOCK {
        safestr_t s = fn(in.c_str());
        r.assign(s, safestr_length(s));
        safestr_free(s);
    }
    XXL_ON_ANY {
        abort();
    }
    XXL_BLOCK_END;
    return r;
}

void one(const std::string &in, bool with_strings) {
    std::string e = via_stream(base64_enc, in);
    check(b64_decode(e) == in);
    check(via_stream(base64_dec, e) == in);
    if (with_strings)
        check(via_string(base64_enc_str, in) == e);

    std::string norm = line_ends(in);
    e = via_stream(qp_enc, in);
    check(qp_decode(e, false) == norm);
    if (with_strings)
        check(via_string(qp_enc_str, in) == e);

    e = via_stream(q_enc, in);
    check(qp_decode(e, true) == norm);
    if (with_strings)
        check(via_string(q_enc_str, in) == e);

    e = via_stream(eightbit_enc, in);
    std::string want = norm;
    if (want.empty() || want.back() != '\n')
        want += '\n';
    check(e == want);
    if (with_strings)
        check(via_string(eightbit_enc_str, in) == e);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string in(reinterpret_cast<const char *>(data), size);
    one(in, false);
    one(std::string(in.c_str()), true);
    return 0;
}
