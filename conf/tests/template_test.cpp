// The template filler against hand-worked expectations: tag forms, blocks,
// nesting, unfinished tags, replacement rules, trust, refusals, release.
#include <string.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <kivo/safestr.h>
#include <kivo/template.h>

#include "support/conf_support.h"

namespace {

using Setup = std::function<void(fr_tpl_t *)>;

std::string fill(fr_tpl_t *t) {
    std::string out;
    int code = ctest::run([&] {
        safestr_t s = fr_tpl_parse(t);
        out = ctest::text(s);
        safestr_free(s);
    });
    EXPECT_EQ(code, 0);
    return out;
}

void var(fr_tpl_t *t, const char *name, const char *value) {
    ASSERT_EQ(0, ctest::run([&] { ASSERT_EQ(0, fr_tpl_addvar(t, name, safestr_create(value, SAFESTR_F_TEMPORARY))); }));
}

void rows(fr_tpl_t *t, const char *block, const char *name, std::initializer_list<const char *> values) {
    int i = 0;
    for (const char *v : values) ASSERT_EQ(0, fr_tpl_addblockvar(t, i++, block, name, v));
}

struct Case {
    const char *what;
    const char *text;
    Setup setup;
    const char *expected;
};

TEST(Template, FillsTheTagForms) {
    const Case cases[] = {
        {"scalar", "Hello {$name}!", [](fr_tpl_t *t) { var(t, "name", "World"); }, "Hello World!"},
        {"undefined scalar", "Hello {$name}!", [](fr_tpl_t *) {}, "Hello {$name}!"},
        {"block rows", "list: {list}[{$n}]{/list}.", [](fr_tpl_t *t) { rows(t, "list", "n", {"1", "2"}); },
         "list: [1][2]."},
        {"scalar hidden inside a block", "{list}<{$name}|{$n}>{/list}",
         [](fr_tpl_t *t) {
             var(t, "name", "W");
             rows(t, "list", "n", {"1"});
         },
         "<{$name}|1>"},
        {"opening tag of no block", "{text} {$name} {/text}", [](fr_tpl_t *t) { var(t, "name", "World"); },
         "{text} World {/text}"},
        {"nested tag inside a non-block", "{text}x{inner}y{/inner}z{/text}", [](fr_tpl_t *) {},
         "{text}xz{/text}"},
        {"end tag outside a block", "a{/b}c", [](fr_tpl_t *) {}, "a{/b}c"},
        {"variable tag naming a block", "{$list}{/list}!", [](fr_tpl_t *t) { rows(t, "list", "n", {"1"}); },
         "{$list}{/list}!"},
        {"nested block dropped", "{list}[{$n}{inner}zz{$n}{/inner}]{/list}",
         [](fr_tpl_t *t) { rows(t, "list", "n", {"1", "2"}); }, "[1][2]"},
        {"nested block never closed", "{list}[{$n}{inner}lost{/list} tail",
         [](fr_tpl_t *t) { rows(t, "list", "n", {"1", "2"}); }, "[1"},
        {"unfinished variable tag", "text{$name", [](fr_tpl_t *t) { var(t, "name", "x"); }, "text"},
        {"unfinished brace", "text{", [](fr_tpl_t *) {}, "text"},
        {"unfinished end tag", "text{/abc", [](fr_tpl_t *) {}, "text"},
        {"empty template", "", [](fr_tpl_t *t) { var(t, "name", "x"); }, ""},
        {"empty variable name", "a{$}b", [](fr_tpl_t *) {}, "a{$}b"},
        {"brace pair with nothing between", "a{}x}b", [](fr_tpl_t *) {}, "a{}x}b"},
        {"brace pair naming a block", "a{}x}[{$n}]{/}b", [](fr_tpl_t *t) { rows(t, "}x", "n", {"1", "2"}); },
         "a[1][2]b"},
        {"variable inside a variable tag", "{$a{$b}", [](fr_tpl_t *t) { var(t, "a", "A"); }, "{$a{$b}"},
        {"odd variable name defined", "{$a{$b}", [](fr_tpl_t *t) { var(t, "a{$b", "AB"); }, "AB"},
        {"empty block value", "{l}<{$v}>{/l}", [](fr_tpl_t *t) { rows(t, "l", "v", {""}); }, "<>"},
        {"undefined row variable", "{l}<{$w}>{/l}", [](fr_tpl_t *t) { rows(t, "l", "v", {"x"}); }, "<{$w}>"},
        {"block after block", "{a}{$v}{/a}-{b}{$v}{/b}",
         [](fr_tpl_t *t) {
             rows(t, "a", "v", {"1", "2"});
             rows(t, "b", "v", {"3"});
         },
         "12-3"},
        {"same block twice", "{a}{$v}{/a}|{a}{$v}{/a}", [](fr_tpl_t *t) { rows(t, "a", "v", {"1", "2"}); },
         "12|12"},
        {"end tag name ignored", "{a}{$v}{/zzz}.", [](fr_tpl_t *t) { rows(t, "a", "v", {"1", "2"}); }, "12."},
        {"rows with different columns", "{l}<{$a}|{$b}|{$a}>{/l}.",
         [](fr_tpl_t *t) {
             ASSERT_EQ(0, fr_tpl_addblockvar(t, 0, "l", "a", "A0"));
             ASSERT_EQ(0, fr_tpl_addblockvar(t, 1, "l", "b", "B1"));
             ASSERT_EQ(0, fr_tpl_addblockvar(t, 2, "l", "ab", "x"));
             ASSERT_EQ(0, fr_tpl_addblockvar(t, 2, "l", "a", "A2"));
             ASSERT_EQ(0, fr_tpl_addblockvar(t, 2, "l", "b", ""));
         },
         "<A0|{$b}|A0><{$a}|B1|{$a}><A2||A2>."},
        {"wide rows", "{l}{$c0}{$c9}{$c10}{$c11}{/l}",
         [](fr_tpl_t *t) {
             for (int r = 0; r < 3; r++)
                 for (int c = 0; c < 12; c++) {
                     std::string name = "c" + std::to_string(c);
                     std::string value = std::to_string(r) + ":" + std::to_string(c) + ",";
                     if (r != 1 || c != 10) {
                         ASSERT_EQ(0, fr_tpl_addblockvar(t, r, "l", name.c_str(), value.c_str()));
                     }
                 }
         },
         "0:0,0:9,0:10,0:11,1:0,1:9,{$c10}1:11,2:0,2:9,2:10,2:11,"},
        {"value holding tags is not refilled", "{$x}", [](fr_tpl_t *t) {
             var(t, "x", "{$x}");
         },
         "{$x}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fr_tpl_t *t = fr_tpl_init(c.text);
        ASSERT_NE(t, nullptr);
        c.setup(t);
        EXPECT_EQ(fill(t), c.expected);
        EXPECT_EQ(fill(t), c.expected) << "a second parse differs";
        _tpl_destroy(t);
    }
}

TEST(Template, AddingRules) {
    fr_tpl_t *t = fr_tpl_init("{$v}|{b}[{$n}{$m}]{/b}|{$b}");
    ASSERT_NE(t, nullptr);
    // Any index at or past the row count appends one row; a first call
    // creates row 0 whatever its index.
    ASSERT_EQ(0, fr_tpl_addblockvar(t, 7, "b", "n", "a"));
    ASSERT_EQ(0, fr_tpl_addblockvar(t, 5, "b", "n", "b"));
    ASSERT_EQ(0, fr_tpl_addblockvar(t, 1, "b", "m", "c"));
    ASSERT_EQ(0, fr_tpl_addblockvar(t, 0, "b", "n", "A"));
    EXPECT_EQ(fill(t), "{$v}|[A{$m}][bc]|{$b}");
    // A negative index below the row count names no row.
    EXPECT_EQ(-1, fr_tpl_addblockvar(t, -1, "b", "n", "x"));
    var(t, "v", "one");
    var(t, "v", "two");
    EXPECT_EQ(fill(t), "two|[A{$m}][bc]|{$b}");
    // A scalar under the block's name replaces the block...
    var(t, "b", "S");
    EXPECT_EQ(fill(t), "two|{b}[{$n}{$m}]{/b}|S");
    // ... and a block name that is a scalar is refused.
    EXPECT_EQ(-1, fr_tpl_addblockvar(t, 0, "b", "n", "x"));
    EXPECT_EQ(-1, fr_tpl_addblockvar(t, 0, "v", "n", "x"));
    EXPECT_EQ(fill(t), "two|{b}[{$n}{$m}]{/b}|S");
    _tpl_destroy(t);
}

TEST(Template, RefusesNullArgumentsWithTheConditionalReturn) {
    ctest::LogCapture log;
    EXPECT_EQ(fr_tpl_init(nullptr), nullptr);
    fr_tpl_t *t = fr_tpl_init("x");
    ASSERT_NE(t, nullptr);
    ctest::run([&] {
        EXPECT_EQ(-1, fr_tpl_addvar(nullptr, "a", SAFESTR_TEMP("v")));
        EXPECT_EQ(-1, fr_tpl_addvar(t, nullptr, SAFESTR_TEMP("v")));
        EXPECT_EQ(-1, fr_tpl_addvar(t, "a", nullptr));
        EXPECT_EQ(-1, fr_tpl_addvar(t, "", SAFESTR_TEMP("v")));
        EXPECT_EQ(fr_tpl_parse(nullptr), nullptr);
    });
    EXPECT_EQ(-1, fr_tpl_addblockvar(nullptr, 0, "b", "n", "v"));
    EXPECT_EQ(-1, fr_tpl_addblockvar(t, 0, nullptr, "n", "v"));
    EXPECT_EQ(-1, fr_tpl_addblockvar(t, 0, "b", nullptr, "v"));
    EXPECT_EQ(-1, fr_tpl_addblockvar(t, 0, "b", "n", nullptr));
    EXPECT_EQ(-1, fr_tpl_addblockvar(t, 0, "", "n", "v"));
    size_t reports = 0;
    for (const auto &l : log.lines()) {
        EXPECT_EQ(l.file, "template");
        EXPECT_EQ(l.level, 7);
        EXPECT_NE(l.message.find("template:"), std::string::npos);
        EXPECT_NE(l.message.find(":conditional return"), std::string::npos);
        reports++;
    }
    EXPECT_GE(reports, 10u);
    EXPECT_EQ(fill(t), "x");
    _tpl_destroy(t);
}

TEST(Template, TenThousandRows) {
    fr_tpl_t *t = fr_tpl_init("<table>{row}<tr><td>{$id}</td><td>{$name}</td></tr>\n{/row}</table>");
    ASSERT_NE(t, nullptr);
    std::string expected = "<table>";
    for (int i = 0; i < 10000; i++) {
        std::string id = std::to_string(i), name = "name-" + std::to_string(i * 7);
        ASSERT_EQ(0, fr_tpl_addblockvar(t, i, "row", "id", id.c_str()));
        ASSERT_EQ(0, fr_tpl_addblockvar(t, i, "row", "name", name.c_str()));
        expected += "<tr><td>" + id + "</td><td>" + name + "</td></tr>\n";
    }
    expected += "</table>";
    EXPECT_EQ(fill(t), expected);
    _tpl_destroy(t);
}

TEST(Template, OneCallReleasesEverything) {
    ctest::StringCounter counter;
    {
        fr_tpl_t *t = fr_tpl_init("{$a}{b}{$c}{/b}");
        ASSERT_NE(t, nullptr);
        var(t, "a", "1");
        var(t, "a", "2");
        rows(t, "b", "c", {"x", "y"});
        EXPECT_EQ(fill(t), "2xy");
        EXPECT_GT(counter.live(), 0);
        _tpl_destroy(t);
        EXPECT_EQ(counter.live(), 0);
    }
    {
        // The older two-step release still works.
        fr_tpl_t *t = fr_tpl_init("{$a}");
        var(t, "a", "1");
        EXPECT_EQ(tpl_destroy(t), 0);
        EXPECT_EQ(t->variables, nullptr);
        EXPECT_EQ(counter.live(), 0);
        EXPECT_EQ(_tpl_destroy(t), 1);
    }
    {
        // A temporary value is freed by the call that copies it.
        fr_tpl_t *t = fr_tpl_init("{$a}");
        ctest::run([&] {
            safestr_t v = safestr_create("value", SAFESTR_F_TEMPORARY);
            EXPECT_EQ(counter.live(), 2);
            fr_tpl_addvar(t, "a", v);
        });
        EXPECT_EQ(counter.live(), 2); // the template's text and its copy
        // ... and so is one passed to a call that refuses.
        ctest::run([&] {
            EXPECT_EQ(fr_tpl_addvar(t, "", safestr_create("v", SAFESTR_F_TEMPORARY)), -1);
            EXPECT_EQ(fr_tpl_addvar(nullptr, "a", safestr_create("v", SAFESTR_F_TEMPORARY)), -1);
            EXPECT_EQ(fr_tpl_addvar(t, nullptr, safestr_create("v", SAFESTR_F_TEMPORARY)), -1);
        });
        EXPECT_EQ(counter.live(), 2);
        _tpl_destroy(t);
        EXPECT_EQ(counter.live(), 0);
    }
}

TEST(Template, ParseFaultReachesTheCallerAndLeavesTheTemplateUsable) {
    fr_tpl_t *t = fr_tpl_init("{$a}{$a}{$a}{$a}");
    var(t, "a", std::string(4000, 'x').c_str());
    uint64_t old = safestr_maxlength;
    safestr_maxlength = 10000; // the output would be 16000 characters
    int code = ctest::run([&] {
        safestr_t s = fr_tpl_parse(t);
        safestr_free(s);
    });
    safestr_maxlength = old;
    EXPECT_EQ(code, SAFESTR_E_TOO_LONG);
    // The fault released the lock and the buffers: the template still fills.
    EXPECT_EQ(fill(t).size(), 16000u);
    _tpl_destroy(t);
}

} // namespace
