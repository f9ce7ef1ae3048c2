// Allocation failures and refusals in the middle of a format: whatever
// fails, the call throws, every block it made is freed, and the caller's
// strings keep their content and reference counts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "support/safestr_format_support.h"

using namespace fmt_test;

namespace {

// Counting hooks: the k-th request (malloc or realloc) fails when fail_at is k.
long g_requests = 0;
long g_fail_at = 0;
long g_live = 0;

void *count_malloc(size_t n, const char *, int)
{
    if (++g_requests == g_fail_at)
        return nullptr;
    void *p = malloc(n);
    if (p)
        g_live++;
    return p;
}

void *count_realloc(void *p, size_t n, const char *, int)
{
    if (++g_requests == g_fail_at)
        return nullptr;
    void *q = realloc(p, n);
    if (q && !p)
        g_live++;
    return q;
}

void count_free(void *p, const char *, int)
{
    if (p)
        g_live--;
    free(p);
}

struct Hooks {
    Hooks()
    {
        safestr_setmemfns(count_malloc, count_realloc, count_free);
        g_requests = g_fail_at = 0;
    }
    ~Hooks()
    {
        safestr_setmemfns(nullptr, nullptr, nullptr);
        g_fail_at = 0;
    }
};

safestr_header_t *hdr(safestr_t s)
{
    return reinterpret_cast<safestr_header_t *>(const_cast<char *>(s)) - 1;
}

// A format whose result outgrows the working string several times, with a
// float long enough to need the scratch buffer, and temporary arguments.
std::string Long(const std::string &name)
{
    return name + std::string(700, 'n');
}

// Format and arguments are not temporary here: a temporary that a failed
// call never reached would stay (it is freed by the call that takes it).
safestr_t g_format, g_second;

int SprintfInto(safestr_t *d, safestr_t arg)
{
    return safestr_sprintf(d, g_format, arg, 7, g_second, 1e300);
}

TEST(SafestrFormatFail, SprintfSurvivesEveryFailingAllocation)
{
    Hooks hooks;
    safestr_t d = nullptr, arg = nullptr;
    EXPECT_EQ(0, Guarded([&] {
        d = safestr_create("caller's string", SAFESTR_F_TRUSTED);
        arg = safestr_create(Long("arg").c_str(), 0);
        g_format = safestr_create("%s|%0900d|%s|%.700f|%2$d%3$s", 0);
        g_second = safestr_create(Long("second").c_str(), 0);
    }).code);
    ASSERT_NE(d, nullptr);
    long base = g_live;

    // A clean run: count the requests it makes.
    safestr_t probe = nullptr;
    EXPECT_EQ(0, Guarded([&] { probe = safestr_clone(d, 0); }).code);
    long before = g_requests;
    int n = 0;
    EXPECT_EQ(Guarded([&] { n = SprintfInto(&probe, arg); }).code, 0);
    long requests = g_requests - before;
    EXPECT_GE(requests, 5); // working string, its growth, the end of the edit, scratch, temporaries
    EXPECT_EQ(n, (int)safestr_length(probe));
    std::string expect = std::string(probe, safestr_length(probe));
    EXPECT_EQ(0, Guarded([&] { safestr_free(probe); }).code);
    EXPECT_EQ(g_live, base);

    for (long k = 1; k <= requests; k++) {
        g_fail_at = g_requests + k;
        Thrown t = Guarded([&] { SprintfInto(&d, arg); });
        g_fail_at = 0;
        EXPECT_EQ(t.code, ENOMEM) << "request " << k;
        EXPECT_EQ(g_live, base) << "request " << k;
        EXPECT_STREQ(d, "caller's string");
        EXPECT_EQ(hdr(d)->length, 15u);
        EXPECT_EQ(hdr(d)->refs, 1u);
        EXPECT_EQ(hdr(d)->flags & 0xFFFu, (unsigned)SAFESTR_F_TRUSTED);
        EXPECT_EQ(hdr(arg)->refs, 1u);
    }
    // With no failure the same call succeeds and gives the clean result.
    EXPECT_EQ(Guarded([&] { SprintfInto(&d, arg); }).code, 0);
    EXPECT_EQ(std::string(d, safestr_length(d)), expect);
    EXPECT_EQ(0, Guarded([&] {
        safestr_free(d);
        safestr_free(arg);
        safestr_free(g_format);
        safestr_free(g_second);
    }).code);
    EXPECT_EQ(g_live, 0);
}

TEST(SafestrFormatFail, AsprintfFreesItsStringOnEveryFailure)
{
    Hooks hooks;
    safestr_t format = nullptr, arg = nullptr, out = nullptr;
    EXPECT_EQ(0, Guarded([&] {
        format = safestr_create("%s %0500d %.600e %s", 0);
        arg = safestr_create(Long("x").c_str(), 0);
    }).code);
    long base = g_live;
    long before = g_requests;
    EXPECT_EQ(Guarded([&] { safestr_asprintf(&out, format, arg, 1, 1.0 / 3, nullptr); }).code, 0);
    long requests = g_requests - before;
    EXPECT_GE(requests, 4); // the string, its growth, the end of the edit, scratch, "(null)"
    EXPECT_EQ(0, Guarded([&] { safestr_free(out); }).code);
    ASSERT_EQ(g_live, base);
    for (long k = 1; k <= requests; k++) {
        g_fail_at = g_requests + k;
        Thrown t = Guarded([&] { safestr_asprintf(&out, format, arg, 1, 1.0 / 3, nullptr); });
        g_fail_at = 0;
        EXPECT_EQ(t.code, ENOMEM) << "request " << k;
        EXPECT_EQ(g_live, base) << "request " << k;
        EXPECT_EQ(hdr(arg)->refs, 1u);
        EXPECT_EQ(hdr(format)->refs, 1u);
    }
    EXPECT_EQ(0, Guarded([&] {
        safestr_free(format);
        safestr_free(arg);
    }).code);
    EXPECT_EQ(g_live, 0);
}

TEST(SafestrFormatFail, RefusalsLeaveNothingBehind)
{
    Hooks hooks;
    safestr_t d = nullptr, arg = nullptr;
    EXPECT_EQ(0, Guarded([&] {
        d = safestr_create("keep", 0);
        arg = safestr_create("arg", 0);
    }).code);
    long base = g_live;
    // Temporary format and arguments are freed however the call ends.
    EXPECT_EQ(Guarded([&] { safestr_sprintf(&d, T("%s%s %d %Ld"), arg, T("tmp"), 1, 2); }).code, E2BIG);
    EXPECT_EQ(Guarded([&] { safestr_sprintf(&d, T("%0900d%1$n"), 1); }).code, SAFESTR_E_FORBIDDEN_CONVERSION);
    EXPECT_EQ(Guarded([&] { safestr_sprintf(&d, T("%s %1$d"), arg); }).code, SAFESTR_E_BAD_ARGUMENT);
    EXPECT_EQ(g_live, base);
    EXPECT_STREQ(d, "keep");
    EXPECT_EQ(hdr(d)->refs, 1u);
    EXPECT_EQ(hdr(arg)->refs, 1u);

    // The length limit stops a growing result without touching the caller's string.
    uint64_t saved = safestr_maxlength;
    safestr_maxlength = 1000;
    EXPECT_EQ(Guarded([&] { safestr_sprintf(&d, T("%s%2000d"), arg, 1); }).code, SAFESTR_E_TOO_LONG);
    EXPECT_EQ(Guarded([&] { safestr_sprintf(&d, T("%.2000f"), 1.0); }).code, SAFESTR_E_TOO_LONG);
    EXPECT_EQ(Guarded([&] { safestr_sprintf(&d, T("%998d"), 1); }).code, 0);
    EXPECT_EQ(safestr_length(d), 998u);
    safestr_maxlength = saved;
    EXPECT_EQ(0, Guarded([&] { safestr_sprintf(&d, T("keep")); }).code);
    EXPECT_EQ(g_live, base);
    EXPECT_STREQ(d, "keep");

    // One temporary argument used twice lives until the call ends, then goes.
    safestr_t out = nullptr;
    EXPECT_EQ(Guarded([&] { safestr_asprintf(&out, T("%1$s%1$s"), T("tw")); }).code, 0);
    EXPECT_STREQ(out, "twtw");
    safestr_t twice = nullptr;
    EXPECT_EQ(0, Guarded([&] { twice = T("dup"); }).code);
    EXPECT_EQ(Guarded([&] { safestr_sprintf(&d, T("%s-%s"), twice, twice); }).code, 0);
    EXPECT_STREQ(d, "dup-dup");
    EXPECT_EQ(0, Guarded([&] {
        safestr_free(out);
        safestr_free(d);
        safestr_free(arg);
    }).code);
    EXPECT_EQ(g_live, 0);
}

} // namespace
