// What the string forms promise beyond their bytes: a plain new string
// allocated once, faults of the safe-string layer (limit, exhausted memory)
// passed to the caller with nothing leaked; and where the 8-bit stream form
// puts its final LF when the output cannot be read back.
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/mime_testing.h"

using namespace mimetest;

namespace {

struct counts {
    long allocations, frees, fail_at;
} cnt;
void *count_malloc(size_t n, const char *, int) {
    if (++cnt.allocations == cnt.fail_at)
        return nullptr;
    return malloc(n);
}
void *count_realloc(void *p, size_t n, const char *, int) {
    if (++cnt.allocations == cnt.fail_at)
        return nullptr;
    return realloc(p, n);
}
void count_free(void *p, const char *, int) {
    cnt.frees++;
    free(p);
}

class StringForms : public ::testing::Test {
  protected:
    void SetUp() override {
        cnt = {0, 0, 0};
        safestr_setmemfns(count_malloc, count_realloc, count_free);
    }
    void TearDown() override {
        safestr_setmemfns(nullptr, nullptr, nullptr);
        safestr_maxlength = 0xFFFFFFECull;
    }
};

struct form_case {
    string_fn fn;
    const char *name;
    long allocations; // the result and the helper strings, each once
};
const form_case forms[] = {
    {base64_enc_str, "base64_enc_str", 2}, {base64_dec_str, "base64_dec_str", 1},
    {qp_enc_str, "qp_enc_str", 4},         {q_enc_str, "q_enc_str", 4},
    {eightbit_enc_str, "eightbit_enc_str", 1},
};

// 100 KB input: the result is one block made at its final size, never grown.
TEST_F(StringForms, OneAllocationForTheResultAndPlainFlags) {
    std::string text;
    while (text.size() < 100000)
        text += "Gr\xC3\xBC\xC3\x9F" "e = Z (x) \r\nline_two\tand?end  \n";
    for (const form_case &f : forms) {
        cnt = {0, 0, 0};
        safestr_t s = f.fn(text.c_str()); // inside the test's own context: no fault expected
        ASSERT_NE(s, nullptr) << f.name;
        EXPECT_EQ(cnt.allocations, f.allocations) << f.name;
        EXPECT_EQ(cnt.frees, f.allocations - 1) << f.name << ": helpers released";
        const safestr_header_t *h = reinterpret_cast<const safestr_header_t *>(s) - 1;
        EXPECT_EQ(h->flags & (SAFESTR_F_TEMPORARY | SAFESTR_F_READONLY | SAFESTR_F_TRUSTED), 0u) << f.name;
        EXPECT_EQ(h->refs, 1u) << f.name;
        EXPECT_EQ(strlen(s), h->length) << f.name << ": terminated at its length";
        safestr_free(s);
        EXPECT_EQ(cnt.frees, f.allocations) << f.name;
    }
}

// Results past safestr_maxlength throw SAFESTR_E_TOO_LONG; results past
// 32 bits too (the limit switched off); whatever was made is freed.
TEST_F(StringForms, TooLongThrowsAndLeaksNothing) {
    std::string in(3000, 'x');
    for (const form_case &f : forms) {
        cnt = {0, 0, 0};
        safestr_maxlength = f.fn == base64_dec_str ? 1000 : 2500;
        int code = 0;
        EXPECT_EQ(via_string(f.fn, f.fn == base64_dec_str ? std::string(1400, 'Q').c_str() : in.c_str(), &code), "<null>");
        EXPECT_EQ(code, SAFESTR_E_TOO_LONG) << f.name;
        EXPECT_EQ(cnt.allocations, cnt.frees) << f.name;
    }
    // Just under the limit it works: length + 1 == maxlength.
    safestr_maxlength = 6 + 1;
    EXPECT_EQ(via_string(base64_enc_str, "abc"), "YWJj\r\n");
    safestr_maxlength = 6;
    int code = 0;
    via_string(base64_enc_str, "abc", &code);
    EXPECT_EQ(code, SAFESTR_E_TOO_LONG);
}

// Every allocation failing in turn: ENOMEM reaches the caller, nothing leaks.
TEST_F(StringForms, ExhaustedMemoryAtEachAllocation) {
    for (const form_case &f : forms) {
        for (long k = 1; k <= f.allocations; k++) {
            cnt = {0, 0, k};
            EXPECT_EQ(via_string(f.fn, "some text = (x)\n"), "<null>");
            cnt.fail_at = 0;
            EXPECT_EQ(cnt.allocations, k) << f.name << " failing at " << k;
            EXPECT_EQ(cnt.frees, k - 1) << f.name << " failing at " << k;
        }
        cnt = {0, 0, 1};
        int code = 0;
        via_string(f.fn, "x", &code);
        EXPECT_EQ(code, ENOMEM) << f.name;
    }
}

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, size_t(n));
    return s;
}

FILE *input_of(const std::string &s) {
    FILE *f = tmpfile();
    fwrite(s.data(), 1, s.size(), f);
    return f; // eightbit_enc rewinds
}

// Non-seekable output: the final LF follows the last byte written by the
// call, and an empty input gives "\n".
TEST(EightbitOutput, PipeGoesByWhatItWrote) {
    struct {
        std::string in, out;
    } cases[] = {{"abc", "abc\n"}, {"abc\n", "abc\n"}, {"abc\r", "abc\n"}, {"", "\n"}, {"a\r\nb", "a\nb\n"}};
    for (auto &c : cases) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        FILE *in = input_of(c.in), *out = fdopen(fds[1], "w");
        EXPECT_EQ(eightbit_enc(in, out), 0);
        EXPECT_EQ(ferror(out), 0);
        fclose(out);
        EXPECT_EQ(drain(fds[0]), c.out) << "[" << c.in << "]";
        close(fds[0]);
        fclose(in);
    }
}

// Seekable output with earlier content: read back when readable ("a+"),
// by what was written when not ("a"), and the caller's error flag is left
// as it was.
TEST(EightbitOutput, ReadBackOrNot) {
    char path[] = "/tmp/mime_8bitXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    struct {
        const char *mode, *before, *in, *after;
    } cases[] = {
        {"a+", "old\n", "", "old\n"},  {"a", "old\n", "", "old\n\n"},  {"a+", "old", "", "old\n"},
        {"a+", "", "", "\n"},          {"w+", "", "x\r\n", "x\n"},     {"a", "old", "y", "oldy\n"},
    };
    for (auto &c : cases) {
        FILE *f = fopen(path, "w");
        fputs(c.before, f);
        fclose(f);
        FILE *in = input_of(c.in), *out = fopen(path, c.mode);
        EXPECT_EQ(eightbit_enc(in, out), 0);
        EXPECT_EQ(ferror(out), 0) << c.mode;
        fclose(out);
        fclose(in);
        f = fopen(path, "r");
        char buf[64] = {0};
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        EXPECT_EQ(std::string(buf, n), c.after) << c.mode << " [" << c.before << "] + [" << c.in << "]";
    }
    unlink(path);
}

} // namespace
