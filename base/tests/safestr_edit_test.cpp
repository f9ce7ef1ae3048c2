// Safe strings: the editing operations, their trust rules and refusals, and
// replace against a plain reference over generated inputs (in place,
// shrinking, growing inside and past the capacity).
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
using sstest::run;

namespace {

using EditTest = sstest::CountingTest;
using sstest::make;
using sstest::release;
using sstest::str;

// The bytes past the length stay zero after every edit.
void expect_clean_tail(safestr_t s) {
    safestr_header_t *h = hdr(s);
    for (uint32_t i = h->length; i <= h->capacity; i++)
        ASSERT_EQ(s[i], '\0') << "byte " << i << " past length " << h->length;
}

TEST_F(EditTest, AppendInsertDeleteTruncate) {
    safestr_t s = make("hello", SAFESTR_F_TRUSTED);
    safestr_t trusted = make(" world", SAFESTR_F_TRUSTED), plain = make("!!");
    ASSERT_EQ(code_of([&] {
                  safestr_concatenate(&s, trusted, 0, 0);
                  safestr_appendchar(&s, '.');
              }),
              0);
    EXPECT_EQ(str(s), "hello world.");
    EXPECT_TRUE(hdr(s)->flags & SAFESTR_F_TRUSTED) << "a trusted source and a character keep the trust";
    code_of([&] { safestr_concatenate(&s, plain, SAFESTR_COPY_LIMIT, 1); });
    EXPECT_EQ(str(s), "hello world.!");
    EXPECT_FALSE(hdr(s)->flags & SAFESTR_F_TRUSTED);

    code_of([&] {
        safestr_insert(&s, 0, make(">", SAFESTR_F_TEMPORARY));
        safestr_insert(&s, 14, make("<", SAFESTR_F_TEMPORARY)); // at the length: appends
    });
    EXPECT_EQ(str(s), ">hello world.!<");
    sstest::caught c = run([&] { safestr_insert(&s, 16, plain); });
    EXPECT_EQ(c.code, SAFESTR_E_OUT_OF_RANGE);
    EXPECT_EQ(str(s), ">hello world.!<");

    code_of([&] {
        safestr_delete(&s, 0, 1);
        safestr_delete(&s, 5, 6); // " world"
        safestr_delete(&s, 100, 1);
        safestr_delete(&s, 5, 0xFFFFFFFFu); // to the end, no wrap
    });
    EXPECT_EQ(str(s), "hello");
    expect_clean_tail(s);
    code_of([&] { safestr_truncate(&s, 8); });
    EXPECT_EQ(str(s), "hello   ");
    code_of([&] { safestr_truncate(&s, 2); });
    EXPECT_EQ(str(s), "he");
    expect_clean_tail(s);
    code_of([&] { safestr_truncate(&s, 300); });
    EXPECT_EQ(hdr(s)->length, 300u);
    EXPECT_EQ(str(s), "he" + std::string(298, ' '));
    expect_clean_tail(s);

    // Duplicate replaces the content; the limit takes a prefix.
    code_of([&] { safestr_duplicate(&s, trusted, SAFESTR_COPY_LIMIT, 3); });
    EXPECT_EQ(str(s), " wo");
    expect_clean_tail(s);
    code_of([&] { safestr_duplicate(&s, plain, 0, 0); });
    EXPECT_EQ(str(s), "!!");
    EXPECT_EQ(hdr(plain)->refs, 1u);
    EXPECT_EQ(sstest::H().live, 3);
    for (safestr_t x : {s, trusted, plain})
        release(x);
}

TEST_F(EditTest, NothingToDoChangesNothingAndAllocatesNothing) {
    safestr_t s = make("abc", SAFESTR_F_TRUSTED), empty = make(""), plain = make("xyz");
    long before = sstest::H().allocations;
    safestr_t same = s;
    code_of([&] {
        safestr_concatenate(&s, empty, 0, 0);
        safestr_concatenate(&s, plain, SAFESTR_COPY_LIMIT, 0);
        safestr_delete(&s, 3, 1);
        safestr_delete(&s, 0, 0);
    });
    EXPECT_EQ(s, same);
    EXPECT_EQ(str(s), "abc");
    EXPECT_TRUE(hdr(s)->flags & SAFESTR_F_TRUSTED);
    EXPECT_EQ(sstest::H().allocations, before);
    for (safestr_t x : {s, empty, plain})
        release(x);
}

TEST_F(EditTest, RefusalsLeaveTheTargetAsItWas) {
    safestr_t s = make("target"), other = make("src");
    // The source's hold makes the target shared.
    sstest::caught c = run([&] { safestr_concatenate(&s, s, 0, 0); });
    EXPECT_EQ(c.code, SAFESTR_E_NOT_WRITABLE);
    EXPECT_EQ(c.data, (const void *)s);
    EXPECT_EQ(code_of([&] { safestr_replace(&s, s, other); }), SAFESTR_E_NOT_WRITABLE);
    EXPECT_EQ(code_of([&] { safestr_replace(&s, other, s); }), SAFESTR_E_NOT_WRITABLE);
    EXPECT_EQ(code_of([&] { safestr_concatenate(nullptr, other, 0, 0); }), EINVAL);
    safestr_t null_target = nullptr;
    EXPECT_EQ(code_of([&] { safestr_appendchar(&null_target, 'x'); }), EINVAL);
    // Refused after the sources were taken: a temporary source is used up.
    EXPECT_EQ(code_of([&] { safestr_insert(&s, 99, make("t", SAFESTR_F_TEMPORARY)); }), SAFESTR_E_OUT_OF_RANGE);
    code_of([&] { safestr_makereadonly(s); });
    EXPECT_EQ(code_of([&] { safestr_truncate(&s, 1); }), SAFESTR_E_NOT_WRITABLE);
    EXPECT_EQ(code_of([&] { safestr_delete(&s, 0, 1); }), SAFESTR_E_NOT_WRITABLE);
    code_of([&] { safestr_makewritable(s); });
    // An empty pattern is refused.
    c = run([&] { safestr_replace(&s, make("", SAFESTR_F_TEMPORARY), other); });
    EXPECT_EQ(c.code, EINVAL);
    EXPECT_EQ(str(s), "target");
    EXPECT_EQ(hdr(s)->refs, 1u);
    EXPECT_EQ(hdr(other)->refs, 1u);
    EXPECT_EQ(hdr(s)->flags, uint32_t(0));
    // One string as both pattern and replacement of a failing edit: it must
    // lose both holds and survive.
    code_of([&] { safestr_makereadonly(s); });
    EXPECT_EQ(code_of([&] { safestr_replace(&s, other, other); }), SAFESTR_E_NOT_WRITABLE);
    EXPECT_EQ(str(other), "src");
    EXPECT_EQ(hdr(other)->refs, 1u);
    EXPECT_EQ(sstest::H().live, 2);

    // A lowered limit holds for appends that fit in the capacity too; the
    // temporary source is used up, the target keeps its content.
    code_of([&] { safestr_makewritable(s); });
    uint64_t saved = safestr_maxlength;
    safestr_maxlength = 8;
    EXPECT_EQ(code_of([&] { safestr_concatenate(&s, make("abc", SAFESTR_F_TEMPORARY), 0, 0); }), SAFESTR_E_TOO_LONG);
    EXPECT_EQ(code_of([&] { safestr_appendchar(&s, 'x'); }), 0);
    EXPECT_EQ(code_of([&] { safestr_appendchar(&s, 'y'); }), SAFESTR_E_TOO_LONG);
    safestr_maxlength = saved;
    EXPECT_EQ(str(s), "targetx");
    EXPECT_EQ(hdr(s)->refs, 1u);
    EXPECT_EQ(sstest::H().live, 2);
    for (safestr_t x : {s, other})
        release(x);
}

TEST_F(EditTest, ReplaceCasesAndTrust) {
    safestr_t s = make("aba", SAFESTR_F_TRUSTED), a = make("a", SAFESTR_F_TRUSTED), aa = make("aa");
    code_of([&] { safestr_replace(&s, a, aa); });
    EXPECT_EQ(str(s), "aabaa") << "the replacement is not scanned again";
    EXPECT_FALSE(hdr(s)->flags & SAFESTR_F_TRUSTED);
    code_of([&] {
        safestr_trust(s);
        safestr_replace(&s, make("zzzzzzzz", SAFESTR_F_TEMPORARY), aa);
    });
    EXPECT_EQ(str(s), "aabaa");
    EXPECT_FALSE(hdr(s)->flags & SAFESTR_F_TRUSTED) << "an untrusted replacement untrusts even when nothing is found";
    code_of([&] { safestr_replace(&s, aa, make("", SAFESTR_F_TEMPORARY)); });
    EXPECT_EQ(str(s), "b");
    expect_clean_tail(s);
    for (safestr_t x : {s, a, aa})
        release(x);
}

std::string ref_replace(const std::string &s, const std::string &p, const std::string &r) {
    std::string out;
    size_t i = 0;
    while (i + p.size() <= s.size()) {
        if (s.compare(i, p.size(), p) == 0) {
            out += r;
            i += p.size();
        } else {
            out += s[i++];
        }
    }
    return out + s.substr(i);
}

TEST_F(EditTest, ReplaceAgreesWithAReference) {
    std::mt19937 rng(777);
    const char alphabet[] = {'a', 'b', 'c', '\0'};
    for (int iter = 0; iter < 2000; iter++) {
        auto gen = [&](size_t max) {
            std::string x;
            size_t n = rng() % max;
            for (size_t i = 0; i < n; i++)
                x += alphabet[rng() % 4];
            return x;
        };
        std::string s = gen(iter % 10 == 0 ? 300 : 40), p = gen(4), r = gen(iter % 7 == 0 ? 200 : 5);
        if (p.empty())
            p = "a";
        safestr_t hs = make(s), hp = make(p), hr = make(r);
        ASSERT_EQ(code_of([&] { safestr_replace(&hs, hp, hr); }), 0);
        ASSERT_EQ(str(hs), ref_replace(s, p, r)) << "iter " << iter;
        expect_clean_tail(hs);
        ASSERT_EQ(hdr(hs)->refs, 1u);
        release(hs);
        release(hp);
        release(hr);
    }
}

} // namespace
