// Exact output of every encoding, string and stream forms alike: the edge
// cases of each algorithm, line lengths and breaks, the quoted-printable
// trailing white space, binary bytes through the stream forms, and the
// precondition of null arguments.
#include <gtest/gtest.h>

#include <string>

#include "support/mime_testing.h"

using namespace mimetest;

namespace {

struct exact_case {
    const char *encoding;
    std::string in, out;
};

std::string rep(char c, size_t n) { return std::string(n, c); }

// Cases without zero bytes: both forms must give these bytes.
std::vector<exact_case> exact_cases() {
    std::string b54 = rep('x', 54), b55 = rep('x', 55);
    std::string l72;
    for (int i = 0; i < 18; i++)
        l72 += "eHh4";
    return {
        {"base64", "", ""},
        {"base64", "A", "QQ==\r\n"},
        {"base64", "AB", "QUI=\r\n"},
        {"base64", "ABC", "QUJD\r\n"},
        {"base64", "ABCD", "QUJDRA==\r\n"},
        {"base64", b54, l72 + "\r\n"},
        {"base64", b55, l72 + "\r\neA==\r\n"},
        {"base64", rep('x', 53), l72.substr(0, 68) + "eHg=\r\n"},
        {"base64", rep('x', 108), l72 + "\r\n" + l72 + "\r\n"},
        {"base64", "\xff\xfe\x80\x7f", "//6Afw==\r\n"},
        {"base64_dec", "QUJD", "ABC"},
        {"base64_dec", "QUI=", "AB"},
        {"base64_dec", "QQ==", "A"},
        {"base64_dec", "QU\r\nJD", "ABC"},
        {"base64_dec", "", ""},
        {"base64_dec", "Q", ""},
        {"base64_dec", "QUJDQ", "ABC"},
        {"base64_dec", "QU=JD", "ABC"},
        {"base64_dec", "QQ==QUI=", "A\x04\x14"}, // "QQQU" then a lone "I"
        {"base64_dec", " *Q U\tJ-D!", "ABC"},
        {"base64_dec", l72 + "\r\n" + l72 + "\r\neA==\r\n", rep('x', 109)},
        {"base64_dec", "//6Afw==", "\xff\xfe\x80\x7f"},
        {"qp", "a=b", "a=3Db"},
        {"qp", "x \r\ny", "x=20\r\ny"},
        {"qp", "x \n", "x=20\r\n"},
        {"qp", "x\t\ry", "x=09\r\ny"},
        {"qp", "\xE9", "=E9"},
        {"qp", rep('a', 80), rep('a', 75) + "=\r\n" + rep('a', 5)},
        {"qp", rep('a', 74) + "=", rep('a', 74) + "=\r\n=3D"},
        {"qp", rep('a', 75), rep('a', 75)},
        {"qp", rep('a', 73) + "==", rep('a', 73) + "=\r\n=3D=3D"},
        // white space at the very end of the input is escaped
        {"qp", "x ", "x=20"},
        {"qp", "x\t", "x=09"},
        {"qp", " ", "=20"},
        {"qp", "a b\tc", "a b\tc"},
        {"qp", "a =b  ==", "a =3Db  =3D=3D"},
        {"qp", "a\rb\nc\r\nd\n\re", "a\r\nb\r\nc\r\nd\r\n\r\ne"},
        {"qp", "_()?~!", "_()?~!"},
        {"qp", "\x7f\x01", "=7F=01"},
        // hard breaks neither count nor reset the counter
        {"qp", rep('a', 70) + "\n" + rep('b', 10), rep('a', 70) + "\r\n" + rep('b', 5) + "=\r\n" + rep('b', 5)},
        {"qp", rep('a', 73) + " x", rep('a', 73) + " x"},
        {"qp", rep('a', 75) + " x", rep('a', 75) + "=\r\n x"},
        {"qp", rep('a', 73) + " \n", rep('a', 73) + "=\r\n=20\r\n"},
        {"q", "a b_c?", "a_b=5Fc=3F"},
        {"q", "\t", "=09"},
        {"q", "(x)=", "=28x=29=3D"},
        {"q", "a\r\nb\rc\nd", "a\r\nb\r\nc\r\nd"},
        {"q", "\xC3\xA9t\xC3\xA9 ", "=C3=A9t=C3=A9_"},
        // underscores do not count towards the line
        {"q", rep('a', 75) + "  b", rep('a', 75) + "__=\r\nb"},
        {"q", rep(' ', 100) + "b", rep('_', 100) + "b"},
        {"q", rep('a', 74) + "?", rep('a', 74) + "=\r\n=3F"},
        {"eightbit", "a\r\nb", "a\nb\n"},
        {"eightbit", "a\rb\n", "a\nb\n"},
        {"eightbit", "", "\n"},
        {"eightbit", "abc", "abc\n"},
        {"eightbit", "\r", "\n"},
        {"eightbit", "\r\r\n\n", "\n\n\n"},
        {"eightbit", "a\r", "a\n"},
        {"eightbit", "\xff=" + rep('z', 300), "\xff=" + rep('z', 300) + "\n"},
    };
}

TEST(Encode, ExactBytesBothForms) {
    for (const exact_case &c : exact_cases()) {
        const encoding &e = by_name(c.encoding);
        int code = -1, rc = -1;
        EXPECT_EQ(via_string(e.string, c.in.c_str(), &code), c.out) << c.encoding << " string form of [" << c.in << "]";
        EXPECT_EQ(code, 0);
        EXPECT_EQ(via_stream(e.stream, c.in, &rc), c.out) << c.encoding << " stream form of [" << c.in << "]";
        EXPECT_EQ(rc, 0);
    }
}

// Zero bytes and 0xFF are data in the stream forms (0xFF is not the end).
TEST(Encode, BinaryThroughStreams) {
    struct {
        const char *encoding;
        std::string in, out;
    } cases[] = {
        {"base64", std::string("\0\xff\0", 3), "AP8A\r\n"},
        {"base64_dec", std::string("AP\0\xff" "8A", 6), std::string("\0\xff\0", 3)},
        {"qp", std::string("a\0\xff=", 4), "a=00=FF=3D"},
        {"q", std::string("\0 \xff", 3), "=00_=FF"},
        {"eightbit", std::string("\0\xff\r\0", 4), std::string("\0\xff\n\0\n", 5)},
    };
    for (auto &c : cases) {
        int rc = -1;
        EXPECT_EQ(via_stream(by_name(c.encoding).stream, c.in, &rc), c.out) << c.encoding;
        EXPECT_EQ(rc, 0);
    }
    // The string forms stop at the first zero byte; the decoder's result
    // carries zero bytes with the right length.
    EXPECT_EQ(via_string(base64_enc_str, std::string("AB\0CD", 5).c_str()), "QUI=\r\n");
    EXPECT_EQ(via_string(base64_dec_str, "AAAA"), std::string(3, '\0'));
}

// Null arguments: null or -1, and the precondition line naming the function.
TEST(Encode, NullArgumentsLogThePrecondition) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    for (const encoding &e : encodings()) {
        log_capture log;
        EXPECT_EQ(via_string(e.string, nullptr), "<null>") << e.name;
        EXPECT_EQ(e.stream(nullptr, f), -1) << e.name;
        EXPECT_EQ(e.stream(f, nullptr), -1) << e.name;
        ASSERT_EQ(log.lines().size(), 3u) << e.name;
        std::string str_name = std::string(e.name == std::string("base64_dec") ? "base64_dec" : e.name);
        for (size_t i = 0; i < 3; i++) {
            const log_line &l = log.lines()[i];
            EXPECT_EQ(l.file, "mime");
            EXPECT_EQ(l.level, 7);
            EXPECT_EQ(l.message, "mime:" + std::to_string(l.line) + ":conditional return");
        }
        std::string stem = e.name == std::string("base64") ? "base64_enc"
                           : e.name == std::string("base64_dec") ? "base64_dec"
                           : e.name == std::string("qp") ? "qp_enc"
                           : e.name == std::string("q") ? "q_enc" : "eightbit_enc";
        EXPECT_EQ(log.lines()[0].function, stem + "_str");
        EXPECT_EQ(log.lines()[1].function, stem);
        EXPECT_EQ(log.lines()[2].function, stem);
    }
    fclose(f);
}

// Stream forms start at the input's current position; eightbit_enc rewinds.
TEST(Encode, StreamsReadFromTheCurrentPosition) {
    for (const encoding &e : encodings()) {
        FILE *fi = tmpfile(), *fo = tmpfile();
        ASSERT_TRUE(fi && fo);
        fputs("SKIPabc", fi);
        fseek(fi, 4, SEEK_SET);
        EXPECT_EQ(e.stream(fi, fo), 0);
        long got = ftell(fo);
        std::string whole = via_string(e.string, "SKIPabc"), tail = via_string(e.string, "abc");
        EXPECT_EQ(size_t(got), e.stream == eightbit_enc ? whole.size() : tail.size()) << e.name;
        fclose(fi);
        fclose(fo);
    }
}

} // namespace
