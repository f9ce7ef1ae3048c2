// Formatted output of safe strings: conversions, numbered arguments, every
// refusal, the four destinations, trust, and what a failure leaves behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "support/safestr_format_support.h"

using namespace fmt_test;

namespace {

safestr_header_t *hdr(safestr_t s)
{
    return reinterpret_cast<safestr_header_t *>(const_cast<char *>(s)) - 1;
}

TEST(SafestrFormat, ExamplesFromTheContract)
{
    EXPECT_EQ(F("%5s", T("ab")), "   ab");
    EXPECT_EQ(F("%-5s|", T("ab")), "ab   |");
    EXPECT_EQ(F("%.1s", T("ab")), "a");
    EXPECT_EQ(F("%05d", -42), "-0042");
    EXPECT_EQ(F("%+.3d", 5), "+005");
    EXPECT_EQ(F("%.0d", 0), "0");
    EXPECT_EQ(F("%#x", 0), "0x0");
    EXPECT_EQ(F("%#o", 8), "010");
    EXPECT_EQ(F("%#X", 255), "0XFF");
    EXPECT_EQ(F("%p", (void *)nullptr), "0x00000000");
    EXPECT_EQ(F("%2$s %1$s", T("a"), T("b")), "b a");
    EXPECT_EQ(F("%Lf", 1.5L), "1.500000");
    EXPECT_EQ(F("%s", (safestr_t) nullptr), "(null)");
    EXPECT_EQ(F("%*d", -4, 7), "7   ");
    EXPECT_EQ(F("=%02hhX", 10), "=0A");
    EXPECT_EQ(F("100%% sure"), "100% sure");
}

TEST(SafestrFormat, IntegerFieldsAndPointers)
{
    EXPECT_EQ(F("%d|%i", INT_MIN, INT_MAX), "-2147483648|2147483647");
    EXPECT_EQ(F("%lld", LLONG_MIN), "-9223372036854775808");
    EXPECT_EQ(F("%llu %jx %zo", ULLONG_MAX, (uintmax_t)0xABCDEF, (size_t)8), "18446744073709551615 abcdef 10");
    EXPECT_EQ(F("%hhd %hhu %hd %hu", 0x1FF, 0x1FF, 0x18000, 0x18000), "-1 255 -32768 32768");
    EXPECT_EQ(F("%td %tu", (ptrdiff_t)-3, (ptrdiff_t)-1), "-3 " + std::to_string((size_t)-1));
    EXPECT_EQ(F("%#10.6x|%-#8o|%08.3d|% d|%+ d", 255, 8, 7, 3, 3), "  0x0000ff|010     |     007| 3|+3");
    EXPECT_EQ(F("%#.0o %#5o %#.3o", 0, 0, 8), "0     0 010");
    EXPECT_EQ(F("%-6c|%3c", 'a', 'b'), "a     |  b");
    EXPECT_EQ(F("%p", (void *)0x1234), "0x00001234");
    EXPECT_EQ(F("%.10p|%-12p|", (void *)0xab, (void *)0xab), "0x00000000ab|0x000000ab  |");
    EXPECT_EQ(F("%p", (void *)UINTPTR_MAX), "0x" + std::string(2 * sizeof(void *), 'f'));
    // Wide fields take the piecewise path.
    std::string w = F("%-5000d|%05000d", 1, -1);
    EXPECT_EQ(w, "1" + std::string(4999, ' ') + "|-" + std::string(4998, '0') + "1");
}

TEST(SafestrFormat, StringsAndCharacters)
{
    std::string big(300000, 'q');
    big[1000] = 'x';
    EXPECT_EQ(F("<%s>", T(big.c_str())), "<" + big + ">");
    EXPECT_EQ(F("%.3s|%10.2s|%-4s|%s", T("abcdef"), T("xyz"), T(""), T("")), "abc|        xy|    |");
    // A zero byte from %c is part of the result.
    std::string z = F("a%cb", 0);
    EXPECT_EQ(z, std::string("a\0b", 3));
}

TEST(SafestrFormat, NumberedArguments)
{
    EXPECT_EQ(F("%3$d", 1, 2, 3), "3"); // 1 and 2 are read as untyped words
    EXPECT_EQ(F("%2$*1$d|%2$-*1$d|", 5, 42), "   42|42   |");
    EXPECT_EQ(F("%1$.*2$f", 3.14159, 2), "3.14");
    EXPECT_EQ(F("%2$d %d %d", 1, 2), "2 1 2"); // the ordered counter runs on its own
    EXPECT_EQ(F("%d %d %1$d", 1, 2), "1 2 1"); // ordered before the first number
    EXPECT_EQ(F("%1$s%1$s%2$c", T("ab"), 'c'), "ababc");
    EXPECT_EQ(F("%*1$d", 4), "   4"); // width and value share slot 1, both int
    EXPECT_EQ(F("%1$d %1$c", 65), "65 A"); // %c is an int too
}

#define A10 1, 1, 1, 1, 1, 1, 1, 1, 1, 1
#define A100 A10, A10, A10, A10, A10, A10, A10, A10, A10, A10
#define A260 A100, A100, A10, A10, A10, A10, A10, A10

TEST(SafestrFormat, ArgumentLimit)
{
    std::string f256, f257;
    for (int i = 0; i < 256; i++)
        f256 += "%d";
    f257 = f256 + "%d";
    EXPECT_EQ(F(f256.c_str(), A260), std::string(256, '1'));
    EXPECT_EQ(Code(f257.c_str(), A260), SAFESTR_E_TOO_MANY_ARGUMENTS);
    EXPECT_EQ(F("%256$d", A260), "1");
    EXPECT_EQ(Code("%257$d", A260), SAFESTR_E_BAD_ARGUMENT);
    EXPECT_EQ(Code(("%1$d" + f257).c_str(), A260), SAFESTR_E_TOO_MANY_ARGUMENTS); // found by the scan
    EXPECT_EQ(Code("%*257$d", A260), SAFESTR_E_BAD_ARGUMENT);
}

TEST(SafestrFormat, EveryRefusalThrowsItsCode)
{
    struct Case {
        const char *format;
        int code;
    } cases[] = {
        {"%n", SAFESTR_E_FORBIDDEN_CONVERSION}, {"%5hhn", SAFESTR_E_FORBIDDEN_CONVERSION},
        {"%Ld", E2BIG}, {"%hc", E2BIG}, {"%+u", E2BIG}, {"% x", E2BIG}, {"%#d", E2BIG}, {"%#u", E2BIG},
        {"%a", E2BIG}, {"%A", E2BIG}, {"%C", E2BIG}, {"%S", E2BIG}, {"%m", E2BIG}, {"%qd", E2BIG},
        {"%lld%lf", E2BIG}, {"%hf", E2BIG}, {"%Ls", E2BIG}, {"%lp", E2BIG}, {"%0p", E2BIG}, {"%+p", E2BIG},
        {"%.2c", E2BIG}, {"%0c", E2BIG}, {"%#c", E2BIG}, {"%lc", E2BIG}, {"%5%", E2BIG}, {"%-%", E2BIG},
        {"%lll", E2BIG}, {"%hhh", E2BIG}, {"abc%", E2BIG}, {"%5", E2BIG}, {"%.", E2BIG},
        {"%2147483648d", E2BIG}, {"%.2147483648d", E2BIG}, {"%99999999999999999999d", E2BIG},
        {"%0$d", SAFESTR_E_BAD_ARGUMENT}, {"%1$d %1$u", SAFESTR_E_BAD_ARGUMENT},
        {"%1$d %1$ld", SAFESTR_E_BAD_ARGUMENT}, {"%1$hd %1$d", SAFESTR_E_BAD_ARGUMENT},
        {"%1$f %1$Lf", SAFESTR_E_BAD_ARGUMENT}, {"%1$p %1$s", SAFESTR_E_BAD_ARGUMENT},
        {"%d %1$s", SAFESTR_E_BAD_ARGUMENT}, {"%*1$d %1$s", SAFESTR_E_BAD_ARGUMENT},
        {"%*0$d", SAFESTR_E_BAD_ARGUMENT}, {"%.*999$d", SAFESTR_E_BAD_ARGUMENT},
        // The look-ahead scan refuses what comes later in the format too.
        {"%1$d ok %y", E2BIG}, {"%1$d %n", SAFESTR_E_FORBIDDEN_CONVERSION},
    };
    for (const Case &c : cases) {
        Thrown t = Throws(c.format, 1, 2, 3);
        EXPECT_EQ(t.code, c.code) << c.format;
        EXPECT_EQ(t.data, nullptr) << c.format;
        EXPECT_STREQ(t.file, "safestr") << c.format;
    }
    // Width INT_MIN from the list has no absolute value.
    EXPECT_EQ(Code("%*d", INT_MIN, 1), E2BIG);
    // A %s argument that is not a safe string: EFAULT, checked before use.
    char plain[64] = {};
    strcpy(plain + 32, "plain");
    EXPECT_EQ(Code("%s", (const char *)plain + 32), EFAULT);
    // An argument or format whose reference count is at its ceiling.
    EXPECT_EQ(0, Guarded([&] {
        safestr_t full = safestr_create("full", 0);
        hdr(full)->refs = 0xFFFFFFFFu;
        safestr_t out = nullptr;
        Thrown t = Guarded([&] { safestr_asprintf(&out, T("%s"), full); });
        EXPECT_EQ(t.code, SAFESTR_E_TOO_MANY_REFERENCES);
        EXPECT_EQ(t.data, (void *)full);
        t = Guarded([&] { safestr_asprintf(&out, full); });
        EXPECT_EQ(t.code, SAFESTR_E_TOO_MANY_REFERENCES);
        EXPECT_EQ(t.data, (void *)full);
        EXPECT_EQ(hdr(full)->refs, 0xFFFFFFFFu);
        hdr(full)->refs = 1;
        safestr_free(full);
    }).code);
    // Null handles and destinations.
    safestr_t out;
    EXPECT_EQ(Guarded([&] { safestr_asprintf(&out, nullptr); }).code, EINVAL);
    EXPECT_EQ(Guarded([&] { safestr_asprintf(nullptr, T("x")); }).code, EINVAL);
    EXPECT_EQ(Guarded([&] { safestr_sprintf(nullptr, T("x")); }).code, EINVAL);
    safestr_t none = nullptr;
    EXPECT_EQ(Guarded([&] { safestr_sprintf(&none, T("x")); }).code, EINVAL);
    EXPECT_EQ(Guarded([&] { safestr_fprintf(nullptr, T("x")); }).code, EINVAL);
}

TEST(SafestrFormat, FloatsMatchThePlatformAtAnyMagnitude)
{
    char want[20000];
    struct Case {
        const char *format;
        double v;
    } cases[] = {
        {"%f", 1e308}, {"%.300f", 1e308}, {"%.300f", 1e-300}, {"%e", DBL_MIN}, {"%.17g", 0.1},
        {"%-30.3e|", -2.5}, {"%+030.10f", 3.25}, {"%#.0f", 1.0}, {"%010f", INFINITY}, {"%-10F|", NAN},
        {"% 12.4G", 1e-10}, {"%.0e", 5e-324}, {"%#g", 100000.0}, {"%.1000f", 5e-324},
    };
    for (const Case &c : cases) {
        int n = snprintf(want, sizeof want, c.format, c.v);
        EXPECT_EQ(F(c.format, c.v), std::string(want, n)) << c.format;
    }
    int n = snprintf(want, sizeof want, "%Lf|%.40Le|%Lg", LDBL_MAX, LDBL_TRUE_MIN, 1e4000L);
    EXPECT_EQ(F("%Lf|%.40Le|%Lg", LDBL_MAX, LDBL_TRUE_MIN, 1e4000L), std::string(want, n));
    // Width and precision from the list, negative width meaning '-'.
    n = snprintf(want, sizeof want, "%-30.2f|%.3f|%f", 2.0 / 3, 1.0 / 3, 0.5);
    EXPECT_EQ(F("%*.*f|%.*f|%.*f", -30, 2, 2.0 / 3, 3, 1.0 / 3, -7, 0.5), std::string(want, n));
    n = snprintf(want, sizeof want, "%012.4e", -1.0 / 7);
    EXPECT_EQ(F("%3$0*1$.*2$e", 12, 4, -1.0 / 7), std::string(want, n));
    // Precisions and widths past the formatter cap are completed with zeros
    // and padding, exactly as the platform would write them.
    std::string huge(300000, '\0');
    for (const char *f : {"%.20000f", "%#.30000g", "%.20000g", "%.40000e", "%-#25000.17000E|", "%040000.1f"}) {
        for (double v : {1e308, 5e-324, -0.1, 1.0 / 0.0}) {
            n = snprintf(huge.data(), huge.size(), f, v);
            EXPECT_EQ(F(f, v), huge.substr(0, n)) << f << " " << v;
        }
    }
    for (const char *f : {"%.20000Lf", "%#.20000Lg", "%.20000Le"}) {
        n = snprintf(huge.data(), huge.size(), f, LDBL_TRUE_MIN);
        EXPECT_EQ(F(f, LDBL_TRUE_MIN), huge.substr(0, n)) << f;
    }
}

TEST(SafestrFormat, TrustFollowsTheFormatOnly)
{
    EXPECT_EQ(0, Guarded([&] {
        safestr_t d = safestr_create("old", SAFESTR_F_TRUSTED);
        safestr_sprintf(&d, T("%s"), TT("trusted arg"));
        EXPECT_FALSE(safestr_istrusted(d));
        safestr_sprintf(&d, TT("%s"), T("untrusted arg"));
        EXPECT_TRUE(safestr_istrusted(d));
        EXPECT_STREQ(d, "untrusted arg");
        safestr_free(d);
        safestr_t out;
        safestr_asprintf(&out, TT("%s!"), T("x"));
        EXPECT_TRUE(safestr_istrusted(out));
        safestr_free(out);
        safestr_asprintf(&out, T("%s!"), TT("x"));
        EXPECT_FALSE(safestr_istrusted(out));
        safestr_free(out);
    }).code);
}

TEST(SafestrFormat, SprintfReplacesAndGrows)
{
    EXPECT_EQ(0, Guarded([&] {
        safestr_t d = safestr_create("previous content", 0);
        safestr_t arg = safestr_create("xyz", 0);
        EXPECT_EQ(safestr_sprintf(&d, T("[%s]"), arg), 5);
        EXPECT_STREQ(d, "[xyz]");
        EXPECT_EQ(safestr_length(d), 5u);
        // The destination may be an argument of its own format.
        EXPECT_EQ(safestr_sprintf(&d, T("%s%s%0500d"), d, d, 0), 510);
        EXPECT_EQ(std::string(d, 10), "[xyz][xyz]");
        EXPECT_EQ(safestr_length(d), 510u);
        EXPECT_GE(hdr(d)->capacity, 510u);
        EXPECT_EQ(d[510], '\0');
        EXPECT_EQ(hdr(d)->refs, 1u);
        EXPECT_EQ(hdr(arg)->refs, 1u);
        // The format may be the destination itself.
        safestr_t self = safestr_create("<%d>", SAFESTR_F_TRUSTED);
        EXPECT_EQ(safestr_sprintf(&self, self, 5), 3);
        EXPECT_STREQ(self, "<5>");
        EXPECT_TRUE(safestr_istrusted(self));
        safestr_free(self);
        // A shared destination is refused and kept.
        safestr_reference(d);
        EXPECT_EQ(Guarded([&] { safestr_sprintf(&d, T("x")); }).code, SAFESTR_E_NOT_WRITABLE);
        safestr_free(d);
        safestr_free(d);
        safestr_free(arg);
    }).code);
}

TEST(SafestrFormat, StreamsAndStandardOutput)
{
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    int n = -1;
    EXPECT_EQ(0, Guarded([&] { n = safestr_fprintf(f, T("%s=%d (%08x)%c"), T("key"), 42, 0xbeef, '\n'); }).code);
    EXPECT_EQ(n, 18);
    EXPECT_EQ(0, Guarded([&] { n = safestr_fprintf(f, T("%10000s|"), T("pad")); }).code);
    EXPECT_EQ(n, 10001);
    rewind(f);
    char buf[16000] = {};
    size_t got = fread(buf, 1, sizeof buf, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, 18), "key=42 (0000beef)\n");
    EXPECT_EQ(got, 18u + 10001u);
    EXPECT_EQ(std::string(buf + 18 + 9997, 4), "pad|");

    // Standard output, captured through a pipe.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fflush(stdout);
    int saved = dup(1);
    dup2(fds[1], 1);
    EXPECT_EQ(0, Guarded([&] { n = safestr_printf(T("out %s %d\n"), T("put"), -1); }).code);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fds[1]);
    char line[64] = {};
    EXPECT_EQ(read(fds[0], line, sizeof line), 11);
    close(fds[0]);
    EXPECT_EQ(n, 11);
    EXPECT_STREQ(line, "out put -1\n");

    // A failing write throws its errno; what went out before stays out.
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(Guarded([&] { safestr_fprintf(full, T("abc%d"), 1); }).code, ENOSPC);
    fclose(full);
}

} // namespace
