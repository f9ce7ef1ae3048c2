// Round trips through real decoders: Python's base64 (strict) and quopri
// (both its C decoder and its pure one, which strips trailing white space
// from lines the way transports do), plus our own base64 decoder. Random
// binary of every length 0..300, 1 MiB and 16 MiB, and text full of the
// troublesome bytes (spaces and tabs before line ends, lone CRs, 0xFF, '=').
// Stream and string forms must agree byte for byte; no output line is
// longer than 76 characters (Q: not counting underscores).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/mime_testing.h"

using namespace mimetest;

namespace {

// Record mode, length, bytes -> length, decoded bytes. Modes: B strict
// base64 (line breaks removed first), P quopri's pure decoder on the text
// followed by a line end, A binascii.a2b_qp, H the same for header words.
const char *decoder_script = R"(
import sys, struct, base64, binascii, quopri, io
quopri.a2b_qp = None
d = sys.stdin.buffer.read(); o = sys.stdout.buffer; i = 0
while i < len(d):
    m = d[i:i+1]; n = struct.unpack("<Q", d[i+1:i+9])[0]; s = d[i+9:i+9+n]; i += 9 + n
    if m == b"B": r = base64.b64decode(s.replace(b"\r\n", b""), validate=True)
    elif m == b"P":
        out = io.BytesIO(); quopri.decode(io.BytesIO(s + b"\r\n"), out); r = out.getvalue()
    elif m == b"A": r = binascii.a2b_qp(s)
    else: r = binascii.a2b_qp(s, header=True)
    o.write(struct.pack("<Q", len(r)) + r)
)";

struct batch {
    std::string records;
    std::vector<std::string> expected, labels, encoded_texts;
    void add(char mode, const std::string &encoded, const std::string &want, const std::string &label) {
        encoded_texts.push_back(encoded.size() <= 400 ? encoded : "");
        records += mode;
        uint64_t n = encoded.size();
        records.append(reinterpret_cast<const char *>(&n), 8);
        records += encoded;
        expected.push_back(want);
        labels.push_back(label);
    }
    void check() {
        int status = -1;
        std::string out = python(decoder_script, records, &status);
        ASSERT_EQ(status, 0);
        size_t at = 0;
        for (size_t k = 0; k < expected.size(); k++) {
            ASSERT_LE(at + 8, out.size()) << labels[k];
            uint64_t n;
            memcpy(&n, out.data() + at, 8);
            std::string got = out.substr(at + 8, n);
            at += 8 + n;
            EXPECT_TRUE(got == expected[k]) << labels[k] << ": decoded " << got.size() << " bytes, want "
                                            << expected[k].size() << "\n encoded: " << ::testing::PrintToString(encoded_texts[k])
                                            << "\n decoded: " << ::testing::PrintToString(got.substr(0, 400))
                                            << "\n wanted:  " << ::testing::PrintToString(expected[k].substr(0, 400));
        }
        EXPECT_EQ(at, out.size());
    }
};

// Line ends of the input as the encoders write them.
std::string line_ends(const std::string &s, const char *eol) {
    std::string r;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\r') {
            r += eol;
            if (i + 1 < s.size() && s[i + 1] == '\n')
                i++;
        } else if (s[i] == '\n') {
            r += eol;
        } else {
            r += s[i];
        }
    }
    return r;
}

// Longest line, lines ended by "\r\n"; underscores left out when asked.
size_t longest_line(const std::string &enc, bool skip_underscores) {
    size_t best = 0, cur = 0;
    for (size_t i = 0; i < enc.size(); i++) {
        if (enc[i] == '\r' && i + 1 < enc.size() && enc[i + 1] == '\n') {
            best = std::max(best, cur);
            cur = 0;
            i++;
        } else if (!(skip_underscores && enc[i] == '_')) {
            cur++;
        }
    }
    return std::max(best, cur);
}

// Text made of the bytes that trouble quoted-printable.
std::string nasty_text(size_t n, unsigned seed) {
    static const char *pieces[] = {" ",    "\t",  "\r", "\n", "\r\n", "=",   "\xff", "a",
                                   "word", " \r\n", "\t\n", " \r", "==", "x",    "\xc3\xa9", "long_line_of_text"};
    std::mt19937 g(seed);
    std::string s;
    while (s.size() < n)
        s += pieces[g() % (sizeof pieces / sizeof *pieces)];
    s.resize(n);
    return s;
}

std::string no_zeros(std::string s) {
    for (char &c : s)
        if (c == 0)
            c = 1;
    return s;
}

TEST(RoundTrip, Base64) {
    batch b;
    std::vector<std::string> inputs;
    for (size_t n = 0; n <= 300; n++)
        inputs.push_back(random_bytes(n, unsigned(n)));
    inputs.push_back(random_bytes(1 << 20, 1001));
    inputs.push_back(random_bytes(16 << 20, 1002));
    for (const std::string &in : inputs) {
        std::string label = "base64 of " + std::to_string(in.size()) + " bytes";
        int rc = -1;
        std::string enc = via_stream(base64_enc, in, &rc);
        ASSERT_EQ(rc, 0) << label;
        // 72 characters a line, the last one shorter.
        EXPECT_EQ(enc.size(), (in.size() + 2) / 3 * 4 + ((in.size() + 2) / 3 + 17) / 18 * 2) << label;
        EXPECT_LE(longest_line(enc, false), 72u) << label;
        EXPECT_EQ(via_stream(base64_dec, enc, &rc), in) << label;
        EXPECT_EQ(rc, 0);
        std::string text = no_zeros(in);
        std::string enc_str = via_string(base64_enc_str, text.c_str());
        EXPECT_EQ(via_string(base64_dec_str, enc_str.c_str()), text) << label;
        if (text == in) {
            EXPECT_TRUE(enc_str == enc) << label << ": string and stream forms differ";
        }
        b.add('B', enc, in, label);
    }
    b.check();
}

TEST(RoundTrip, QuotedPrintable) {
    batch b;
    std::vector<std::string> inputs;
    for (size_t n = 0; n <= 300; n++) {
        inputs.push_back(random_bytes(n, unsigned(n) + 7));
        inputs.push_back(nasty_text(n, unsigned(n)));
    }
    inputs.push_back(nasty_text(1 << 20, 99));
    inputs.push_back(random_bytes(1 << 20, 98));
    for (const std::string &in : inputs) {
        std::string label = "qp of " + std::to_string(in.size()) + " bytes";
        int rc = -1;
        std::string enc = via_stream(qp_enc, in, &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_LE(longest_line(enc, false), 76u) << label;
        std::string text = no_zeros(in);
        std::string enc_str = via_string(qp_enc_str, text.c_str());
        if (text == in) {
            EXPECT_TRUE(enc_str == enc) << label << ": string and stream forms differ";
        }
        // Transports strip trailing white space: the pure decoder does too,
        // and must still see every byte.
        b.add('P', enc, line_ends(in, "\n") + "\n", label + " (pure decoder)");
        b.add('A', enc, line_ends(in, "\r\n"), label);
    }
    // 16 MiB through the C decoder only (the pure one takes minutes).
    std::string big = nasty_text(16 << 20, 3);
    int rc = -1;
    std::string enc = via_stream(qp_enc, big, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_LE(longest_line(enc, false), 76u);
    EXPECT_TRUE(via_string(qp_enc_str, big.c_str()) == enc);
    b.add('A', enc, line_ends(big, "\r\n"), "qp of 16 MiB");
    b.check();
}

TEST(RoundTrip, Q) {
    batch b;
    std::vector<std::string> inputs;
    for (size_t n = 0; n <= 300; n++) {
        inputs.push_back(random_bytes(n, unsigned(n) + 11));
        inputs.push_back(nasty_text(n, unsigned(n) + 5));
    }
    inputs.push_back(nasty_text(1 << 20, 77));
    for (const std::string &in : inputs) {
        std::string label = "q of " + std::to_string(in.size()) + " bytes";
        int rc = -1;
        std::string enc = via_stream(q_enc, in, &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_LE(longest_line(enc, true), 76u) << label;
        EXPECT_EQ(enc.find(' '), std::string::npos) << label;
        EXPECT_EQ(enc.find('\t'), std::string::npos) << label;
        std::string text = no_zeros(in);
        std::string enc_str = via_string(q_enc_str, text.c_str());
        if (text == in) {
            EXPECT_TRUE(enc_str == enc) << label << ": string and stream forms differ";
        }
        b.add('H', enc, line_ends(in, "\r\n"), label);
    }
    b.check();
}

// The 8-bit form has no peer: its whole rule is line ends, checked against
// the conversion written out above, on the same inputs and block sizes.
TEST(RoundTrip, EightbitLineEnds) {
    for (size_t n : {0, 1, 2, 300, 16383, 16384, 16385, 1 << 20}) {
        for (unsigned seed : {1u, 2u}) {
            std::string in = nasty_text(n, seed);
            std::string want = line_ends(in, "\n");
            if (want.empty() || want.back() != '\n')
                want += '\n';
            int rc = -1;
            EXPECT_TRUE(via_stream(eightbit_enc, in, &rc) == want) << n;
            EXPECT_TRUE(via_string(eightbit_enc_str, no_zeros(in).c_str()) == line_ends(no_zeros(in), "\n") +
                        (line_ends(no_zeros(in), "\n").empty() || line_ends(no_zeros(in), "\n").back() != '\n' ? "\n" : ""))
                << n;
        }
    }
}

} // namespace

#include "support/base64_reference.h"

namespace {
TEST(RoundTrip, Base64AgainstReferenceWithJunk) {
    check_base64_against_reference(by_name("base64"), by_name("base64_dec"));
}
} // namespace
