// Pattern cache and matching: global search, groups, replacement and split
// judged by Python's re on the same patterns, the empty-match rule, failure
// codes, bad input, the replacement's log lines, limits and locales.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <locale.h>
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <sstream>
#include <string>
#include <vector>

#include <kivo/regex.h>
#include <kivo/safestr.h>

#include "support/regex_support.h"

namespace {

struct Case {
    std::string pattern, subject;
};

// Patterns that never match empty, where re and PCRE2 mean the same.
const std::vector<Case> kCases = {
    {"a", "banana"},
    {"an", "banana"},
    {"(a)(n)?", "banana"},
    {"[0-9]+", "a1b22c333d"},
    {"(\\w+)@(\\w+)\\.com", "x john@example.com, mary@test.com y"},
    {"(x)|(y)", "axbyc"},
    {"\\s+", "  lead and  trail  "},
    {"ab|a", "abaab"},
    {"(?i)HELLO", "hello Hello hELLo"},
    {"o+", "foo boo zoo"},
    {",", "a,b,,c,"},
    {"\\d{2,3}", "1234567"},
    {"(a|b)+c", "ababcabc ac"},
    {"[^a-z]", "abc-def.ghi"},
    {"\\.", "no dots"},
    {"b", "a\0b\0b"},
    {".", "\xff\xfe\x80"},
    {"(?m)^x", "x\nx\nyx"},
};

struct Span {
    std::vector<int> v; // pairs for the whole match and each group
};

// Every case through Python's re.finditer: spans, -1 for unset groups.
std::vector<std::vector<Span>> judge_spans(const std::vector<Case> &cases) {
    std::string input;
    for (auto &c : cases)
        input += hex(c.pattern) + " " + hex(c.subject) + "\n";
    std::string script =
        "import re,sys\n"
        "for line in sys.stdin:\n"
        "    p,s=line.split()\n"
        "    p=bytes.fromhex(p); s=bytes.fromhex(s)\n"
        "    out=[]\n"
        "    for m in re.finditer(p,s):\n"
        "        out.append(','.join(str(x) for g in range(len(m.groups())+1) for x in m.span(g)))\n"
        "    print(';'.join(out) if out else '-')\n";
    std::string out = run_judge("/usr/bin/python3 -c \"" + script + "\"", input);
    std::vector<std::vector<Span>> all;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<Span> spans;
        if (line != "-") {
            std::istringstream ms(line);
            std::string m;
            while (std::getline(ms, m, ';')) {
                Span sp;
                std::istringstream ns(m);
                std::string n;
                while (std::getline(ns, n, ','))
                    sp.v.push_back(std::stoi(n));
                spans.push_back(sp);
            }
        }
        all.push_back(spans);
    }
    return all;
}

std::vector<std::vector<int>> exec_spans(const std::string &pattern, const std::string &subject, int *rc) {
    safestr_t p = S(pattern), s = S(subject);
    fr_array_t *a = nullptr;
    int n = 0;
    *rc = fr_regexec(p, s, &a, &n);
    std::vector<std::vector<int>> out;
    if (*rc >= 0) {
        EXPECT_EQ(fr_array_length(a), *rc);
        for (int i = 0; i < *rc; i++) {
            int *v = *static_cast<int **>(fr_array_get(a, i));
            out.emplace_back(v, v + 2 * n);
        }
        fr_array_unref(a);
    } else {
        EXPECT_EQ(a, nullptr);
    }
    safestr_free(p);
    safestr_free(s);
    return out;
}

class Regex : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            ASSERT_EQ(fr_reginit(), 0);
        }
    }
    void TearDown() override {
        if (GetParam())
            fr_regdestroy();
    }
};

// Global search, groups, split and literal replacement agree with re over
// the same spans; twice, so that the second round runs on cached patterns.
TEST_P(Regex, AgreesWithPythonRe) {
    auto judged = judge_spans(kCases);
    ASSERT_EQ(judged.size(), kCases.size());
    for (int round = 0; round < 2; round++) {
        for (size_t i = 0; i < kCases.size(); i++) {
            const Case &c = kCases[i];
            SCOPED_TRACE("pattern " + c.pattern + " on " + hex(c.subject));
            const auto &want = judged[i];
            int rc;
            auto got = exec_spans(c.pattern, c.subject, &rc);
            ASSERT_EQ(rc, int(want.size()));
            for (size_t m = 0; m < want.size(); m++)
                EXPECT_EQ(got[m], want[m].v) << "match " << m;

            // Existence (the subject is read up to its first zero byte).
            safestr_t p = S(c.pattern), s = S(c.subject);
            std::string head = c.subject.substr(0, c.subject.find('\0'));
            bool in_head = false;
            for (auto &sp : want)
                in_head |= size_t(sp.v[1]) <= head.size();
            EXPECT_EQ(fr_regmatch_exists(p, s), in_head ? 1 : 0);

            // Groups as strings.
            fr_array_t *outer = nullptr;
            int mr = fr_regmatch(p, s, &outer);
            if (want.empty()) {
                EXPECT_EQ(mr, -1);
                EXPECT_EQ(outer, nullptr);
            } else {
                ASSERT_EQ(mr, int(want.size()));
                for (size_t m = 0; m < want.size(); m++) {
                    fr_array_t *inner = *static_cast<fr_array_t **>(fr_array_get(outer, int(m)));
                    ASSERT_EQ(size_t(fr_array_length(inner)) * 2, want[m].v.size());
                    for (int g = 0; g < fr_array_length(inner); g++) {
                        int a = want[m].v[2 * g], b = want[m].v[2 * g + 1];
                        std::string expect = a < 0 ? "" : c.subject.substr(a, b - a);
                        EXPECT_EQ(bytes(*static_cast<safestr_t *>(fr_array_get(inner, g))), expect);
                    }
                }
                fr_array_unref(outer);
            }

            // Split: the parts in front of each match.
            fr_reglink_t list = {nullptr, nullptr};
            EXPECT_EQ(fr_regsplit(s, p, &list), int(want.size()));
            std::vector<std::string> parts;
            int prev = 0;
            for (auto &sp : want) {
                parts.push_back(c.subject.substr(prev, sp.v[0] - prev));
                prev = sp.v[1];
            }
            EXPECT_EQ(take_list(&list), parts);

            // Replacement of the first k matches, for several k.
            for (int k : {-1, 0, 1, 2, 100}) {
                safestr_t subj = S(c.subject);
                safestr_t repl = S("<$1\\0>");
                int used = (k >= 0 && k < int(want.size())) ? k : int(want.size());
                std::string expect;
                int at = 0;
                for (int m = 0; m < used; m++) {
                    expect += c.subject.substr(at, want[m].v[0] - at) + "<$1\\0>";
                    at = want[m].v[1];
                }
                expect += c.subject.substr(at);
                EXPECT_EQ(fr_regreplace(&subj, p, repl, k), used) << "max " << k;
                EXPECT_EQ(bytes(subj), expect) << "max " << k;
                safestr_free(subj);
                safestr_free(repl);
            }
            safestr_free(p);
            safestr_free(s);
        }
    }
}

// The empty-match rule: after an empty match the next try is anchored at
// the same place and must be non-empty; when that fails the search ends.
TEST_P(Regex, EmptyMatches) {
    struct {
        const char *pattern, *subject;
        std::vector<std::vector<int>> spans;
    } cases[] = {
        {"a*", "baaa", {{0, 0}}},
        {"a*", "aaa", {{0, 3}, {3, 3}}},
        {"a*", "aab", {{0, 2}, {2, 2}}},
        {"x*", "", {{0, 0}}},
        {"", "abc", {{0, 0}}},
        {"a*?", "aa", {{0, 0}, {0, 1}, {1, 1}, {1, 2}, {2, 2}}},
        {"(b)?", "bb", {{0, 1, 0, 1}, {1, 2, 1, 2}, {2, 2, -1, -1}}},
    };
    for (auto &c : cases) {
        int rc;
        auto got = exec_spans(c.pattern, c.subject, &rc);
        EXPECT_EQ(rc, int(c.spans.size())) << c.pattern << " on " << c.subject;
        EXPECT_EQ(got, c.spans) << c.pattern << " on " << c.subject;
    }
    // Vectors are 3n ints with the pairs first: n comes back through the last argument.
    safestr_t p = S("(a)(b)?(c)"), s = S("xac");
    fr_array_t *a = nullptr;
    int n = 0;
    ASSERT_EQ(fr_regexec(p, s, &a, &n), 1);
    EXPECT_EQ(n, 4);
    int *v = *static_cast<int **>(fr_array_get(a, 0));
    EXPECT_EQ(std::vector<int>(v, v + 8), (std::vector<int>{1, 3, 1, 2, -1, -1, 2, 3}));
    fr_array_unref(a);
    safestr_free(p);
    safestr_free(s);
}

// Failures: null arguments, dead handles and patterns that do not compile
// give EINVAL and the failure value; no match leaves errno alone.
TEST_P(Regex, FailuresAndBadInput) {
    safestr_t good = S("a"), subj = S("banana"), bad = S("(unclosed");
    // A plain C string with readable bytes in front, where a header would be.
    char buffer[64] = {};
    strcpy(buffer + 32, "not a safe string");
    const char *plain = buffer + 32;
    safestr_t patterns[] = {nullptr, bad, reinterpret_cast<safestr_t>(plain)};
    for (safestr_t pat : patterns) {
        errno = 0;
        EXPECT_EQ(fr_regmatch_exists(pat, subj), 0);
        EXPECT_EQ(errno, EINVAL);
        fr_array_t *a = reinterpret_cast<fr_array_t *>(0x1);
        int n = -7;
        errno = 0;
        EXPECT_EQ(fr_regexec(pat, subj, &a, &n), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(a, nullptr);
        fr_array_t *m = nullptr;
        errno = 0;
        EXPECT_EQ(fr_regmatch(pat, subj, &m), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(m, nullptr);
        safestr_t s = S("banana"), keep = s;
        errno = 0;
        EXPECT_EQ(fr_regreplace(&s, pat, good, -1), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(s, keep);
        EXPECT_EQ(bytes(s), "banana");
        safestr_free(s);
        fr_reglink_t list = {nullptr, nullptr};
        errno = 0;
        EXPECT_EQ(fr_regsplit(subj, pat, &list), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_TRUE(take_list(&list).empty());
    }
    // Null subjects and out-parameters.
    EXPECT_EQ(fr_regmatch_exists(good, nullptr), 0);
    int n;
    EXPECT_EQ(fr_regexec(good, nullptr, nullptr, &n), -1);
    EXPECT_EQ(fr_regmatch(good, subj, nullptr), -1);
    EXPECT_EQ(fr_regreplace(nullptr, good, good, 1), -1);
    safestr_t none = nullptr;
    EXPECT_EQ(fr_regreplace(&none, good, good, 1), -1);
    safestr_t s2 = S("aaa");
    EXPECT_EQ(fr_regreplace(&s2, good, nullptr, 1), -1);
    EXPECT_EQ(fr_regsplit(subj, good, nullptr), -1);
    safestr_free(s2);

    // No match: 0 / -1 and errno as it was.
    safestr_t z = S("z");
    errno = 4242;
    EXPECT_EQ(fr_regmatch_exists(z, subj), 0);
    EXPECT_EQ(errno, 4242);
    fr_array_t *a = nullptr;
    EXPECT_EQ(fr_regexec(z, subj, &a, &n), 0);
    EXPECT_EQ(errno, 4242);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(fr_array_length(a), 0);
    fr_array_unref(a);

    // Matches are appended to a caller's array.
    fr_array_t *outer = nullptr;
    EXPECT_EQ(fr_regmatch(good, subj, &outer), 3);
    EXPECT_EQ(fr_regmatch(z, subj, &outer), -1);
    EXPECT_EQ(fr_array_length(outer), 3);
    safestr_t nn = S("n");
    EXPECT_EQ(fr_regmatch(nn, subj, &outer), 2);
    EXPECT_EQ(fr_array_length(outer), 5);
    fr_array_unref(outer);
    safestr_free(nn);

    // Temporary strings are used up by the call and read correctly before.
    EXPECT_EQ(fr_regmatch_exists(SAFESTR_TEMP("n+a"), SAFESTR_TEMP("banana")), 1);
    safestr_t t = S("a-b");
    EXPECT_EQ(fr_regreplace(&t, SAFESTR_TEMP("-"), SAFESTR_TEMP("+"), -1), 1);
    EXPECT_EQ(bytes(t), "a+b");
    safestr_free(t);
    safestr_free(good);
    safestr_free(subj);
    safestr_free(bad);
    safestr_free(z);
}

// The replacement logs its plan and every write position.
// A pattern in UTF mode checks its subject on every call, the cached and
// the repeated ones too: invalid UTF-8 is PCRE2's negative code, never a
// match read past the subject.
TEST_P(Regex, UtfPatternChecksEverySubject) {
    const struct {
        const char *subject;
        int result;
        bool error;
    } cases[] = {
        {"caf\xc3\xa9", 1, false}, {"caf\xe9", 0, true}, {"\xc3", 0, true}, {"\xed\xa0\x80", 0, true}, {"cafe", 0, false},
    };
    safestr_t p = S("(*UTF)caf\\x{e9}");
    for (int round = 0; round < 2; round++) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::PrintToString(std::string(c.subject)));
            safestr_t s = S(c.subject);
            errno = 0;
            EXPECT_EQ(fr_regmatch_exists(p, s), c.result);
            if (c.error)
                EXPECT_LT(errno, 0);
            else
                EXPECT_EQ(errno, 0);
            safestr_free(s);
        }
    }
    safestr_free(p);
}

TEST_P(Regex, ReplacementLogs) {
    LogRecorder rec;
    safestr_t s = S("one two three"), p = S("[ot]"), r = S("XY");
    ASSERT_EQ(fr_regreplace(&s, p, r, 2), 2);
    EXPECT_EQ(bytes(s), "XYne XYwo three");
    EXPECT_EQ(rec.from("fr_regreplace"),
              (std::vector<std::string>{"Max replaces is 2", "New length is 15", "Dest pos = 2", "Dest pos = 7"}));
    safestr_t s2 = S("aaa");
    ASSERT_EQ(fr_regreplace(&s2, p, r, 0), 0);
    EXPECT_EQ(bytes(s2), "aaa");
    safestr_free(s);
    safestr_free(s2);
    safestr_free(p);
    safestr_free(r);
}

// A backtracking explosion is cut short by the match limits and reported
// as PCRE2's own code; the same pattern on a harmless subject still works.
TEST_P(Regex, MatchLimits) {
    safestr_t p = S("^(a+)+$"), evil = S(std::string(40, 'a') + "!"), fine = S(std::string(40, 'a'));
    for (int i = 0; i < 2; i++) {
        errno = 0;
        EXPECT_EQ(fr_regmatch_exists(p, evil), 0);
        EXPECT_TRUE(errno == PCRE2_ERROR_MATCHLIMIT || errno == PCRE2_ERROR_DEPTHLIMIT ||
                    errno == PCRE2_ERROR_JIT_STACKLIMIT)
            << errno;
        fr_array_t *a = nullptr;
        int n;
        errno = 0;
        EXPECT_EQ(fr_regexec(p, evil, &a, &n), -1);
        EXPECT_LT(errno, 0);
        EXPECT_EQ(a, nullptr);
        EXPECT_EQ(fr_regmatch_exists(p, fine), 1);
    }
    safestr_free(p);
    safestr_free(evil);
    safestr_free(fine);
}

// The compiled form follows the thread's LC_CTYPE locale: \w takes é
// (0xE9) in a Latin-1 German locale and not in C; a cached pattern is
// compiled again at each change, also between names where one is the
// start of the other ("de" with C letters, "de_DE.ISO-8859-1").
TEST_P(Regex, LocaleChangeRecompiles) {
    ASSERT_NE(locale_dir(), "") << "LOCPATH is not set: the test locales were not generated";
    safestr_t p = S("^\\w+$"), s = S("caf\xe9");
    const char *saved = setlocale(LC_CTYPE, nullptr);
    std::string restore = saved ? saved : "C";
    struct {
        const char *locale;
        int want;
    } steps[] = {{"C", 0}, {"de_DE.ISO-8859-1", 1}, {"C", 0}, {"de_DE.ISO-8859-1", 1}, {"de", 0},
                 {"de_DE.ISO-8859-1", 1}, {"de", 0}};
    for (auto &st : steps) {
        ASSERT_NE(setlocale(LC_CTYPE, st.locale), nullptr) << st.locale;
        EXPECT_EQ(fr_regmatch_exists(p, s), st.want) << st.locale;
        EXPECT_EQ(fr_regmatch_exists(p, s), st.want) << st.locale << " (again)";
    }
    setlocale(LC_CTYPE, restore.c_str());
    safestr_free(p);
    safestr_free(s);
}

INSTANTIATE_TEST_SUITE_P(CacheOnOff, Regex, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "Cached" : "Uncached"; });

} // namespace
