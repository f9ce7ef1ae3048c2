// Threads adding rows and variables while others fill the template: every
// fill sees whole additions only (rows 0..k in order, each with both of its
// variables once set), and nothing is lost at the end.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/safestr.h>
#include <kivo/template.h>

#include "support/conf_support.h"

namespace {

TEST(TemplateThreads, FillsSeeWholeAdditions) {
    fr_tpl_t *t = fr_tpl_init("{$title}:{r}[{$i}]{/r}");
    ASSERT_NE(t, nullptr);
    constexpr int kRows = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0}, fills{0};
    std::thread writer([&] {
        for (int i = 0; i < kRows; i++) {
            std::string v = std::to_string(i);
            if (fr_tpl_addblockvar(t, i, "r", "i", v.c_str()) != 0) bad++;
            if (i % 100 == 0)
                ctest::run([&] { fr_tpl_addvar(t, "title", safestr_create(v.c_str(), SAFESTR_F_TEMPORARY)); });
        }
        done = true;
    });
    std::vector<std::thread> readers;
    for (int k = 0; k < 2; k++) {
        readers.emplace_back([&] {
            for (int n = 0; n < 300 && !(done && n > 20); n++) {
                std::string out;
                ctest::run([&] {
                    safestr_t s = fr_tpl_parse(t);
                    out = ctest::text(s);
                    safestr_free(s);
                });
                // Expected shape: "<title>:[0][1]...[n-1]" or, before the
                // first row, "{$title}:{r}[{$i}]{/r}".
                size_t colon = out.find(':');
                std::string rows = colon == std::string::npos ? "" : out.substr(colon + 1);
                if (rows != "{r}[{$i}]{/r}") {
                    std::string want;
                    for (int i = 0; want.size() < rows.size(); i++) want += "[" + std::to_string(i) + "]";
                    if (want != rows) bad++;
                }
                fills++;
            }
        });
    }
    writer.join();
    for (auto &r : readers) r.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(fills, 0);
    std::string all;
    for (int i = 0; i < kRows; i++) all += "[" + std::to_string(i) + "]";
    std::string out;
    ctest::run([&] {
        safestr_t s = fr_tpl_parse(t);
        out = ctest::text(s);
        safestr_free(s);
    });
    EXPECT_EQ(out, "1900:" + all);
    _tpl_destroy(t);
}

} // namespace
