// Safe strings: comparing and searching, checked case by case and against a
// plain reference over generated inputs (all flags, overlapping matches,
// offsets, zero bytes).
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <random>
#include <string>

#include <gtest/gtest.h>
#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "support/safestr_testing.h"

using sstest::code_of;
using sstest::hdr;

namespace {

struct SearchTest : ::testing::Test {
    sstest::counting hooks;
    void TearDown() override { EXPECT_EQ(sstest::H().live, 0) << "blocks leaked"; }
};

safestr_t make(const std::string &s, uint32_t flags = 0) {
    safestr_t r = nullptr;
    code_of([&] {
        r = safestr_alloc(uint32_t(s.size()), flags);
        safestr_header_t *h = hdr(r);
        memcpy(const_cast<char *>(r), s.data(), s.size());
        h->length = uint32_t(s.size());
    });
    return r;
}

void release(safestr_t s) { code_of([&] { safestr_free(s); }); }

TEST_F(SearchTest, CompareAndEqual) {
    safestr_t ab = make("ab"), abc = make("abc"), ABC = make("ABC"), hi = make("\xff"), lo = make("a");
    int r[12];
    ASSERT_EQ(code_of([&] {
                  r[0] = safestr_compare(ab, abc, 0, 0);
                  r[1] = safestr_compare(ab, abc, SAFESTR_COMPARE_LIMIT, 2);
                  r[2] = safestr_compare(ab, abc, SAFESTR_COMPARE_LIMIT, 3);
                  r[3] = safestr_compare(abc, ab, SAFESTR_COMPARE_LIMIT, 3);
                  r[4] = safestr_compare(abc, ABC, 0, 0);
                  r[5] = safestr_compare(abc, ABC, SAFESTR_COMPARE_NOCASE, 0);
                  r[6] = safestr_compare(hi, lo, 0, 0); // unsigned bytes
                  r[7] = safestr_compare(abc, abc, 0, 0);
                  r[8] = safestr_equal(abc, ABC, SAFESTR_COMPARE_NOCASE, 0);
                  r[9] = safestr_equal(abc, ABC, 0, 0);
                  r[10] = safestr_equal(ab, abc, SAFESTR_COMPARE_LIMIT, 2);
                  r[11] = safestr_equal(abc, abc, 0, 0);
              }),
              0);
    EXPECT_EQ(r[0], -1);
    EXPECT_EQ(r[1], 0);
    EXPECT_EQ(r[2], -1);
    EXPECT_EQ(r[3], 1);
    EXPECT_EQ(r[4], 1);
    EXPECT_EQ(r[5], 0);
    EXPECT_EQ(r[6], 1);
    EXPECT_EQ(r[7], 0);
    EXPECT_EQ(r[8], 1);
    EXPECT_EQ(r[9], 0);
    EXPECT_EQ(r[10], 1);
    EXPECT_EQ(r[11], 1);
    EXPECT_EQ(hdr(abc)->refs, 1u) << "read-only operations leave counts as they were";

    // Zero bytes count: the length is authoritative.
    safestr_t z1 = make(std::string("a\0b", 3)), z2 = make(std::string("a\0c", 3));
    int zr = 0;
    code_of([&] { zr = safestr_compare(z1, z2, 0, 0); });
    EXPECT_EQ(zr, -1);

    int sw[5];
    safestr_t empty = make("");
    code_of([&] {
        sw[0] = safestr_startswith(abc, ab);
        sw[1] = safestr_startswith(ab, abc);
        sw[2] = safestr_endswith(abc, make("bc", SAFESTR_F_TEMPORARY));
        sw[3] = safestr_endswith(abc, empty);
        sw[4] = safestr_startswith(abc, ABC);
    });
    EXPECT_EQ(sw[0], 1);
    EXPECT_EQ(sw[1], 0);
    EXPECT_EQ(sw[2], 1);
    EXPECT_EQ(sw[3], 1);
    EXPECT_EQ(sw[4], 0);

    EXPECT_EQ(code_of([&] { safestr_compare(abc, nullptr, 0, 0); }), EINVAL);
    char foreign[48] = {0};
    EXPECT_EQ(code_of([&] { safestr_equal(foreign + 24, abc, 0, 0); }), EFAULT);
    for (safestr_t s : {ab, abc, ABC, hi, lo, z1, z2, empty})
        release(s);
}

TEST_F(SearchTest, SearchFlagsAndTrailingArguments) {
    safestr_t s = make("abcabc"), abc = make("abc"), ABC = make("ABC"), none = make("zz");
    int64_t r[12];
    ASSERT_EQ(code_of([&] {
                  r[0] = safestr_search(s, abc, 0);
                  r[1] = safestr_search(s, abc, SAFESTR_FIND_REVERSE);
                  r[2] = safestr_search(s, abc, SAFESTR_FIND_REVERSE | SAFESTR_FIND_NTH, 2u);
                  r[3] = safestr_search(s, abc, SAFESTR_FIND_REVERSE | SAFESTR_FIND_NTH, 3u);
                  r[4] = safestr_search(s, abc, SAFESTR_FIND_FROMOFFSET, 1u);
                  r[5] = safestr_search(s, nullptr, SAFESTR_FIND_CHARACTER | SAFESTR_FIND_SKIP, 1u, (int)'c');
                  r[6] = safestr_search(s, ABC, SAFESTR_FIND_NOCASE | SAFESTR_FIND_SKIP, 1u);
                  r[7] = safestr_search(s, ABC, 0);
                  r[8] = safestr_search(s, none, 0);
                  r[9] = safestr_search(s, abc, SAFESTR_FIND_NTH, 0u);
                  r[10] = safestr_search(s, abc, SAFESTR_FIND_FROMOFFSET, 6u);
                  r[11] = safestr_search(s, nullptr,
                                         SAFESTR_FIND_REVERSE | SAFESTR_FIND_FROMOFFSET | SAFESTR_FIND_CHARACTER, 1u,
                                         (int)'c');
              }),
              0);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1], 3);
    EXPECT_EQ(r[2], 0);
    EXPECT_EQ(r[3], -1);
    EXPECT_EQ(r[4], 3);
    EXPECT_EQ(r[5], 5);
    EXPECT_EQ(r[6], 3);
    EXPECT_EQ(r[7], -1);
    EXPECT_EQ(r[8], -1);
    EXPECT_EQ(r[9], -1) << "a target count of 0 finds nothing";
    EXPECT_EQ(r[10], -1);
    EXPECT_EQ(r[11], 2);
    EXPECT_EQ(code_of([&] { safestr_search(s, nullptr, 0); }), EINVAL);
    // A temporary pattern is used up by the search.
    code_of([&] { safestr_search(s, make("b", SAFESTR_F_TEMPORARY), 0); });
    EXPECT_EQ(sstest::H().live, 4);
    for (safestr_t x : {s, abc, ABC, none})
        release(x);
}

// Reference: candidate positions as the search rules define them.
int64_t ref_search(const std::string &s, const std::string &p, bool reverse, bool nocase, uint32_t offset,
                   uint64_t count) {
    auto low = [&](unsigned char c) { return nocase ? safestr_casemap_lower[c] : c; };
    size_t L = s.size(), P = p.size();
    if (count == 0 || offset >= L || P > L)
        return -1;
    auto match = [&](size_t i) {
        for (size_t k = 0; k < P; k++)
            if (low(s[i + k]) != low(p[k]))
                return false;
        return true;
    };
    if (!reverse) {
        for (size_t i = offset; i + P <= L; i++)
            if (match(i) && --count == 0)
                return int64_t(i);
        return -1;
    }
    if (offset + P > L)
        return -1;
    for (int64_t i = int64_t(L - offset - P); i >= 0; i--)
        if (match(size_t(i)) && --count == 0)
            return i;
    return -1;
}

TEST_F(SearchTest, SearchAgreesWithAReferenceOverGeneratedInputs) {
    std::mt19937 rng(12345);
    const char alphabet[] = {'a', 'b', 'A', 'B', '\0'};
    for (int iter = 0; iter < 3000; iter++) {
        std::string s, p;
        size_t ls = rng() % 24, lp = rng() % 4;
        for (size_t i = 0; i < ls; i++)
            s += alphabet[rng() % 5];
        for (size_t i = 0; i < lp; i++)
            p += alphabet[rng() % 5];
        uint32_t flags = rng() % 32 & ~uint32_t(SAFESTR_FIND_CHARACTER);
        uint32_t offset = rng() % 8, skip = rng() % 3, n = rng() % 3;
        bool by_char = rng() % 4 == 0 && !p.empty();
        if (by_char) {
            // The character is read after the three counts: ask for all of them.
            flags |= SAFESTR_FIND_CHARACTER | SAFESTR_FIND_FROMOFFSET | SAFESTR_FIND_SKIP | SAFESTR_FIND_NTH;
            p.resize(1);
        }
        safestr_t hs = make(s), hp = make(p);
        volatile int64_t got = -2;
        int code = code_of([&] {
            got = safestr_search(hs, by_char ? nullptr : hp, flags, offset, skip, n, (int)(unsigned char)p[0]);
        });
        // Arguments that a flag does not ask for are simply not read.
        ASSERT_EQ(code, 0);
        // The trailing arguments are read in order, only for the flags given.
        uint32_t args[3] = {offset, skip, n};
        int k = 0;
        uint32_t eo = (flags & SAFESTR_FIND_FROMOFFSET) ? args[k++] : 0;
        uint32_t es = (flags & SAFESTR_FIND_SKIP) ? args[k++] : 0;
        uint32_t en = (flags & SAFESTR_FIND_NTH) ? args[k++] : 1;
        uint64_t count = uint64_t(es) + en;
        int64_t want = ref_search(s, p, flags & SAFESTR_FIND_REVERSE, flags & SAFESTR_FIND_NOCASE, eo, count);
        ASSERT_EQ(got, want) << "iter " << iter << " flags " << flags;
        release(hs);
        release(hp);
    }
}

} // namespace
