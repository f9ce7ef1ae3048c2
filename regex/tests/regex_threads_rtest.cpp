// Eight threads share the pattern cache: half of them under the C locale,
// half under a Latin-1 German one (uselocale), all matching a mix of
// patterns every thread uses and patterns new to the cache. Entries flip
// between the two locales all the time, so compiled patterns are replaced
// while other threads still match on them. Every answer must be the one
// the thread's own locale gives.
#include <errno.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <kivo/regex.h>
#include <kivo/safestr.h>
#include <kivo/valid.h>

#include "support/regex_support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

std::atomic<int> failures{0};

// glibc's newlocale keeps the search list it builds from LOCPATH (one small
// block per call, never freed): not ours to report.
locale_t open_locale(const char *name) {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_disable();
#endif
    locale_t loc = newlocale(LC_CTYPE_MASK, name, nullptr);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
    return loc;
}

void worker(int id, int rounds) {
    bool latin = id % 2 == 1;
    locale_t loc = open_locale(latin ? "de_DE.ISO-8859-1" : "C");
    if (!loc) {
        failures++;
        return;
    }
    uselocale(loc);
    safestr_t word = S("^\\w+$"), cafe = S("caf\xe9"), digits = S("[0-9]+"), text = S("a1b22c333");
    safestr_t email = nullptr;
    for (int i = 0; i < rounds; i++) {
        // Shared pattern whose meaning depends on the locale.
        if (fr_regmatch_exists(word, cafe) != (latin ? 1 : 0))
            failures++;
        // Shared pattern, same meaning everywhere.
        fr_array_t *a = nullptr;
        int n = 0;
        if (fr_regexec(digits, text, &a, &n) != 3 || n != 1) {
            failures++;
        } else {
            int *v = *static_cast<int **>(fr_array_get(a, 2));
            if (v[0] != 6 || v[1] != 9)
                failures++;
        }
        fr_array_unref(a);
        // A pattern new to the cache.
        std::string mine = "^t" + std::to_string(id) + "_" + std::to_string(i) + "-[a-z]+$";
        safestr_t p = S(mine), s = S("t" + std::to_string(id) + "_" + std::to_string(i) + "-ok");
        if (fr_regmatch_exists(p, s) != 1)
            failures++;
        safestr_free(p);
        safestr_free(s);
        // Replacement and a validator over the same cache.
        safestr_t r = S("x-y-z"), dash = S("-"), plus = S("+");
        if (fr_regreplace(&r, dash, plus, -1) != 2 || bytes(r) != "x+y+z")
            failures++;
        safestr_free(r);
        safestr_free(dash);
        safestr_free(plus);
        email = S(i % 2 ? "John@Example.com" : "not an address");
        if (fr_valid_email(email) != i % 2)
            failures++;
        safestr_free(email);
    }
    safestr_free(word);
    safestr_free(cafe);
    safestr_free(digits);
    safestr_free(text);
    uselocale(LC_GLOBAL_LOCALE);
    freelocale(loc);
}

TEST(RegexThreads, SharedCacheUnderTwoLocales) {
    ASSERT_NE(locale_dir(), "") << "LOCPATH is not set: the test locales were not generated";
    ASSERT_EQ(fr_reginit(), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back(worker, t, 300);
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    fr_regdestroy();
    // Threads also work without the cache (every call compiles).
    failures = 0;
    threads.clear();
    for (int t = 0; t < 8; t++)
        threads.emplace_back(worker, t, 30);
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
