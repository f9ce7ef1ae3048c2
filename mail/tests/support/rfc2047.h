// A reference reader of header texts with RFC 2047 encoded words (Q and B),
// written for the tests: unfolds the value, decodes every encoded word to
// its bytes and drops the white space between two adjacent encoded words,
// as the RFC says. `ok` turns false for a malformed encoded word (bad
// escape, a character a Q word may not carry in a phrase, a word longer
// than 75 characters, a word not delimited by white space).
#pragma once
#include <ctype.h>
#include <string.h>
#include <string>

namespace rfc2047 {

inline int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline bool decode_q(const std::string &in, bool phrase, std::string *out) {
    for (size_t i = 0; i < in.size(); i++) {
        char c = in[i];
        if (c == '_') {
            *out += ' ';
        } else if (c == '=') {
            if (i + 2 >= in.size()) return false;
            int h = hexval(in[i + 1]), l = hexval(in[i + 2]);
            if (h < 0 || l < 0) return false;
            *out += static_cast<char>(h * 16 + l);
            i += 2;
        } else {
            unsigned char u = static_cast<unsigned char>(c);
            if (u <= 32 || u >= 127 || c == '?') return false;
            if (phrase && !(isalnum(u) || strchr("!*+-/", u))) return false;
            *out += c;
        }
    }
    return true;
}

// Decodes an unfolded header value. Encoded words are tokens of the form
// =?charset?q?text?= separated from their neighbours by white space.
inline std::string decode(const std::string &raw, bool phrase, bool *ok) {
    *ok = true;
    std::string v;
    for (size_t i = 0; i < raw.size(); i++) {  // unfold
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
            i++;
            continue;
        }
        v += raw[i];
    }
    std::string out, pending_ws;
    bool last_encoded = false;
    size_t i = 0;
    while (i < v.size()) {
        if (v[i] == ' ' || v[i] == '\t') {
            pending_ws += v[i++];
            continue;
        }
        size_t e = v.find_first_of(" \t", i);
        if (e == std::string::npos) e = v.size();
        std::string tok = v.substr(i, e - i);
        i = e;
        bool encoded = tok.size() >= 8 && tok.compare(0, 2, "=?") == 0 && tok.compare(tok.size() - 2, 2, "?=") == 0;
        std::string text;
        if (encoded) {
            size_t q1 = tok.find('?', 2), q2 = q1 == std::string::npos ? q1 : tok.find('?', q1 + 1);
            if (q1 == std::string::npos || q2 != q1 + 2 || tok.size() < q2 + 3 || tok.size() > 75) {
                *ok = false;
            } else {
                char enc = static_cast<char>(tolower(tok[q1 + 1]));
                std::string body = tok.substr(q2 + 1, tok.size() - q2 - 3);
                if (enc != 'q' || !decode_q(body, phrase, &text)) *ok = false;
            }
        } else {
            if (tok.find("=?") != std::string::npos) *ok = false;  // a word glued to a neighbour
            text = tok;
        }
        if (!(encoded && last_encoded)) out += pending_ws;
        pending_ws.clear();
        out += text;
        last_encoded = encoded;
    }
    out += pending_ws;
    return out;
}

}  // namespace rfc2047
