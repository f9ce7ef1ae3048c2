// Safe strings at their edges: lines holding zero bytes, the password reader
// when the terminal or the prompt fails, a temporary pattern of a character
// search, trust of an empty insert, and the cookie checks of the exported
// completion step. Blocks are counted and checked for wiping throughout.
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "support/safestr_testing.h"

using sstest::code_of;
using sstest::hdr;
using sstest::str;

namespace {

// tcgetattr fails with this error while it is not zero (see below).
int tcgetattr_error = 0;

} // namespace

// The library reaches tcgetattr through its PLT, so this definition stands
// in for libc's and can make it fail with any error.
extern "C" int tcgetattr(int fd, struct termios *t)
{
    if (tcgetattr_error) {
        errno = tcgetattr_error;
        return -1;
    }
    using fn = int (*)(int, struct termios *);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "tcgetattr"));
    return real(fd, t);
}

namespace {

struct HardeningTest : sstest::CountingTest {};

FILE *stream_of(const std::string &bytes, const char *mode)
{
    char path[] = "/tmp/kivo_ss_hardening_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return nullptr;
    EXPECT_EQ(ssize_t(bytes.size()), write(fd, bytes.data(), bytes.size()));
    close(fd);
    FILE *f = fopen(path, mode);
    unlink(path);
    return f;
}

TEST_F(HardeningTest, LinesKeepEveryByteThroughZeroBytes)
{
    struct Case {
        std::string input;
        std::vector<std::string> lines;
    };
    const std::string wide = std::string(150, 'w') + '\0' + std::string(150, 'v');
    const Case cases[] = {
        {std::string("a\0b\nc\n", 6), {std::string("a\0b", 3), "c"}},
        {std::string("\0\0\r\n\0", 5), {std::string("\0\0", 2), std::string("\0", 1)}},
        {std::string("x\0\r\n", 4), {std::string("x\0", 2)}},
        {wide + "\n" + wide, {wide, wide}}, // zero bytes across a growth
    };
    for (const Case &c : cases) {
        FILE *f = stream_of(c.input, "r");
        ASSERT_NE(nullptr, f);
        std::vector<std::string> got;
        EXPECT_EQ(0, code_of([&] {
                      for (safestr_t l; (l = safestr_readline(f)) != nullptr;) {
                          got.push_back(str(l));
                          safestr_free(l);
                      }
                  }));
        EXPECT_EQ(c.lines, got) << "input of " << c.input.size() << " bytes";
        fclose(f);
    }
}

TEST_F(HardeningTest, PasswordReaderNeverEchoesOnAFailedTerminal)
{
    struct Case {
        const char *name;
        int tc_error;     // forced tcgetattr failure, 0 for the real one
        const char *mode; // the stream's mode
        const char *prompt;
        int code;             // expected exception, 0 for none
        const char *password; // expected result when none
    };
    const Case cases[] = {
        {"not a terminal: echoed read", 0, "r+", nullptr, 0, "secret"},
        {"terminal fails: refused", EIO, "r+", nullptr, EIO, nullptr},
        {"no permission: refused", EACCES, "r+", nullptr, EACCES, nullptr},
        {"prompt cannot be written", 0, "r", "pw: ", EBADF, nullptr},
    };
    for (const Case &c : cases) {
        FILE *f = stream_of("secret\n", c.mode);
        ASSERT_NE(nullptr, f);
        std::string got = "<none>";
        tcgetattr_error = c.tc_error;
        int code = code_of([&] {
            safestr_t p = c.prompt ? safestr_create(c.prompt, SAFESTR_F_TEMPORARY) : nullptr;
            safestr_t pw = safestr_getpassword(f, p);
            got = str(pw);
            safestr_free(pw);
        });
        tcgetattr_error = 0;
        EXPECT_EQ(c.code, code) << c.name;
        if (c.password)
            EXPECT_EQ(c.password, got) << c.name;
        else
            EXPECT_EQ("<none>", got) << c.name;
        fclose(f);
    }
}

TEST_F(HardeningTest, PatternTrustAndCompletionChecks)
{
    // A temporary pattern beside a character search is used up like any
    // other temporary argument; a null one is fine.
    safestr_t s = sstest::make("hello");
    int64_t at = -2;
    EXPECT_EQ(0, code_of([&] {
                  at = safestr_search(s, safestr_create("zz", SAFESTR_F_TEMPORARY), SAFESTR_FIND_CHARACTER, 'l');
              }));
    EXPECT_EQ(2, at);
    EXPECT_EQ(0, code_of([&] { at = safestr_search(s, nullptr, SAFESTR_FIND_CHARACTER | SAFESTR_FIND_REVERSE, 'l'); }));
    EXPECT_EQ(3, at);
    EXPECT_EQ(1, sstest::H().live) << "the temporary pattern is still allocated";

    // Inserting an untrusted source, even an empty one, drops the trust.
    struct Insert {
        const char *source;
        uint32_t source_flags;
        int trusted_after;
    };
    const Insert inserts[] = {
        {"", 0, 0}, {"x", 0, 0}, {"", SAFESTR_F_TRUSTED, 1}, {"x", SAFESTR_F_TRUSTED, 1}};
    for (const Insert &i : inserts) {
        safestr_t t = sstest::make("abc", SAFESTR_F_TRUSTED);
        safestr_t src = sstest::make(i.source, i.source_flags);
        int trusted = -1;
        EXPECT_EQ(0, code_of([&] {
                      safestr_insert(&t, 1, src);
                      trusted = safestr_istrusted(t);
                  }));
        EXPECT_EQ(i.trusted_after, trusted) << "insert of '" << i.source << "' flags " << i.source_flags;
        sstest::release(src);
        sstest::release(t);
    }

    // The exported completion step checks both headers before it frees or
    // copies anything: a foreign block is refused and the string survives.
    alignas(16) unsigned char foreign[128] = {};
    auto *fh = reinterpret_cast<safestr_header_t *>(foreign);
    fh->capacity = 107;
    EXPECT_EQ(EFAULT, code_of([&] { safestr_complete(hdr(s), fh); }));
    EXPECT_EQ(EFAULT, code_of([&] { safestr_complete(fh, hdr(s)); }));
    EXPECT_EQ(EINVAL, code_of([&] { safestr_complete(nullptr, hdr(s)); }));
    EXPECT_EQ(0, code_of([&] { EXPECT_EQ(5u, safestr_length(s)); }));
    EXPECT_EQ("hello", str(s));
    sstest::release(s);
}

} // namespace
