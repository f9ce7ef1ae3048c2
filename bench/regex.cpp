// Pattern matching: fr_regmatch_exists on a cached pattern against raw
// pcre2_match with the same pattern JIT-compiled beforehand (the floor:
// what the cache lookup and the safe-string frame cost on top), GLib's
// GRegex (PCRE2 underneath, G_REGEX_OPTIMIZE) and POSIX regexec of the C
// library, over the same subjects. Then fr_valid_email on a mix of valid and
// invalid addresses against GRegex running the same pattern, and the e-mail
// pattern under PCRE2's JIT against its interpreter. Last, the worst inputs
// for the validators' backtracking: time per call.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <glib.h>
#include <pcre2.h>
#include <regex.h>
#include <string.h>
#include <string>
#include <vector>
#include <benchmark/benchmark.h>
#include <kivo/regex.h>
#include <kivo/safestr.h>
#include <kivo/valid.h>

namespace {

// A pattern that means the same in PCRE and POSIX extended syntax.
const char *kPattern = "[a-z0-9._]+@[a-z0-9]+\\.(com|org|net)";
const std::vector<std::string> kSubjects = {
    "contact: john.doe@example.com today", "no address in this line at all, only words",
    "mary_1@test.org",                     "broken@address",
    "x@y.net",                             "a much longer line of text that mentions nobody@nowhere.com near its end",
};

// The e-mail validator's pattern, as the library assembles it.
#include "../regex/src/email_pattern.h"
const char *kEmail = "^(((" EMAIL_P1 ")|(" EMAIL_P2 ")|" EMAIL_Q "))@((" EMAIL_H ")|(" EMAIL_A "))$";

const std::vector<std::string> kAddresses = {
    "john@example.com",   "mary.smith@mail.example.org", "o'brien@example.ie",    "user@[192.168.1.1]",
    "\"quoted\"@x.net",   "not an address",              "john@example",          "a@b.",
    "@example.com",       "first.last+tag@sub.domain.co.uk", "x@-bad.com",        "plain",
};

void KivoExists(benchmark::State &st) {
    fr_reginit();
    safestr_t p = safestr_create(kPattern, 0);
    std::vector<safestr_t> subj;
    for (auto &s : kSubjects)
        subj.push_back(safestr_create(s.c_str(), 0));
    size_t i = 0;
    long hits = 0;
    for (auto _ : st) {
        hits += fr_regmatch_exists(p, subj[i]);
        if (++i == subj.size())
            i = 0;
    }
    benchmark::DoNotOptimize(hits);
    for (auto s : subj)
        safestr_free(s);
    safestr_free(p);
    fr_regdestroy();
}
BENCHMARK(KivoExists);

void RawPcre2Jit(benchmark::State &st) {
    int err;
    PCRE2_SIZE off;
    pcre2_code *re = pcre2_compile((PCRE2_SPTR)kPattern, PCRE2_ZERO_TERMINATED, 0, &err, &off, nullptr);
    pcre2_jit_compile(re, PCRE2_JIT_COMPLETE);
    pcre2_match_data *md = pcre2_match_data_create_from_pattern(re, nullptr);
    size_t i = 0;
    long hits = 0;
    for (auto _ : st) {
        const std::string &s = kSubjects[i];
        hits += pcre2_match(re, (PCRE2_SPTR)s.c_str(), strlen(s.c_str()), 0, 0, md, nullptr) > 0;
        if (++i == kSubjects.size())
            i = 0;
    }
    benchmark::DoNotOptimize(hits);
    pcre2_match_data_free(md);
    pcre2_code_free(re);
}
BENCHMARK(RawPcre2Jit);

void GRegexOptimized(benchmark::State &st) {
    GRegex *re = g_regex_new(kPattern, G_REGEX_OPTIMIZE, (GRegexMatchFlags)0, nullptr);
    size_t i = 0;
    long hits = 0;
    for (auto _ : st) {
        hits += g_regex_match(re, kSubjects[i].c_str(), (GRegexMatchFlags)0, nullptr);
        if (++i == kSubjects.size())
            i = 0;
    }
    benchmark::DoNotOptimize(hits);
    g_regex_unref(re);
}
BENCHMARK(GRegexOptimized);

void PosixRegexec(benchmark::State &st) {
    regex_t re;
    regcomp(&re, kPattern, REG_EXTENDED | REG_NOSUB);
    size_t i = 0;
    long hits = 0;
    for (auto _ : st) {
        hits += regexec(&re, kSubjects[i].c_str(), 0, nullptr, 0) == 0;
        if (++i == kSubjects.size())
            i = 0;
    }
    benchmark::DoNotOptimize(hits);
    regfree(&re);
}
BENCHMARK(PosixRegexec);

void KivoValidEmail(benchmark::State &st) {
    fr_reginit();
    std::vector<safestr_t> in;
    for (auto &s : kAddresses)
        in.push_back(safestr_create(s.c_str(), 0));
    size_t i = 0;
    long ok = 0;
    for (auto _ : st) {
        ok += fr_valid_email(in[i]);
        if (++i == in.size())
            i = 0;
    }
    st.counters["valid"] = double(ok) / double(st.iterations());
    for (auto s : in)
        safestr_free(s);
    fr_regdestroy();
}
BENCHMARK(KivoValidEmail);

void GRegexEmail(benchmark::State &st) {
    GRegex *re = g_regex_new(kEmail, GRegexCompileFlags(G_REGEX_OPTIMIZE | G_REGEX_DOLLAR_ENDONLY),
                             (GRegexMatchFlags)0, nullptr);
    size_t i = 0;
    long ok = 0;
    for (auto _ : st) {
        ok += g_regex_match(re, kAddresses[i].c_str(), (GRegexMatchFlags)0, nullptr);
        if (++i == kAddresses.size())
            i = 0;
    }
    st.counters["valid"] = double(ok) / double(st.iterations());
    g_regex_unref(re);
}
BENCHMARK(GRegexEmail);

// The e-mail pattern through raw PCRE2: state.range(0) 1 = JIT, 0 = interpreter.
void RawEmail(benchmark::State &st) {
    int err;
    PCRE2_SIZE off;
    pcre2_code *re = pcre2_compile((PCRE2_SPTR)kEmail, PCRE2_ZERO_TERMINATED, PCRE2_DOLLAR_ENDONLY, &err, &off, nullptr);
    if (st.range(0))
        pcre2_jit_compile(re, PCRE2_JIT_COMPLETE);
    pcre2_match_data *md = pcre2_match_data_create_from_pattern(re, nullptr);
    uint32_t opts = st.range(0) ? 0 : PCRE2_NO_JIT;
    size_t i = 0;
    long ok = 0;
    for (auto _ : st) {
        const std::string &s = kAddresses[i];
        ok += pcre2_match(re, (PCRE2_SPTR)s.c_str(), s.size(), 0, opts, md, nullptr) > 0;
        if (++i == kAddresses.size())
            i = 0;
    }
    st.counters["valid"] = double(ok) / double(st.iterations());
    pcre2_match_data_free(md);
    pcre2_code_free(re);
}
BENCHMARK(RawEmail)->Arg(1)->Arg(0)->ArgName("jit");

// Adversarial inputs: a few hundred bytes (up to the e-mail limit) that
// make the nested quantifiers try exponentially many ways.
struct Evil {
    const char *name;
    int (*fn)(safestr_t);
    std::string input;
};
const std::vector<Evil> &evil() {
    static const std::vector<Evil> v = {
        {"email_local", fr_valid_email, std::string(240, 'a') + "!"},
        {"email_domain", fr_valid_email, "a@" + std::string(240, 'a') + "-!"},
        {"email_labels", fr_valid_email, "a@" + std::string(120, 'a') + "." + std::string(120, 'a') + "-"},
        {"email_quoted", fr_valid_email, "\"" + std::string(240, '[') + "\"]\"!"},
        {"email_brackets", fr_valid_email, std::string(120, '[') + std::string(120, '@') + "!"},
        {"host", fr_valid_host, std::string(255, 'a') + "!"},
        {"host_dash", fr_valid_host, std::string(127, 'a') + "." + std::string(127, 'a') + "-"},
        {"domain", fr_valid_domain, std::string(255, 'a') + "!"},
        {"url", fr_valid_url, "http://" + std::string(248, 'a') + " "},
        {"url_ports", fr_valid_url, "http://a" + std::string(248, ':') + "!"},
    };
    return v;
}

void Adversarial(benchmark::State &st) {
    fr_reginit();
    const Evil &e = evil()[size_t(st.range(0))];
    st.SetLabel(e.name);
    safestr_t s = safestr_create(e.input.c_str(), 0);
    for (auto _ : st)
        benchmark::DoNotOptimize(e.fn(s));
    safestr_free(s);
    fr_regdestroy();
}
BENCHMARK(Adversarial)->DenseRange(0, 9)->Unit(benchmark::kMicrosecond);

} // namespace
