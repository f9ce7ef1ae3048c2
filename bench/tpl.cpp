// Filling a 20 KiB template with 50 variables and a block of 1000 rows,
// beside ctemplate filling the equivalent template in its own syntax.
// "fill": the template and its values are ready, only the filling is
// timed; "build_fill": setting the values is timed too.
#include <stdio.h>

#include <string>

#include <benchmark/benchmark.h>
#include <ctemplate/template.h>
#include <kivo/exceptions.h>
#include <kivo/safestr.h>
#include <kivo/template.h>

namespace {

constexpr int kVars = 50;
constexpr int kRows = 1000;

// The same text in both syntaxes: ours ({$v}, {rows}...{/rows}) or
// ctemplate's ({{v}}, {{#rows}}...{{/rows}}).
std::string make_text(bool ct) {
    // The number of pieces is fixed by our syntax, so both texts carry the
    // same words and tags.
    std::string ours, theirs;
    std::string filler = "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor. ";
    int v = 0;
    while (ours.size() < 20 * 1024 - 200) {
        std::string words = filler.substr(0, 60 + (v % 20));
        std::string name = "var" + std::to_string(v++ % kVars);
        ours += words + "{$" + name + "}";
        theirs += words + "{{" + name + "}}";
        if (v == kVars / 2) {
            ours += "<table>{rows}<tr><td>{$id}</td><td>{$name}</td><td>{$amount}</td></tr>\n{/rows}</table>";
            theirs += "<table>{{#rows}}<tr><td>{{id}}</td><td>{{name}}</td><td>{{amount}}</td></tr>\n{{/rows}}</table>";
        }
    }
    return ct ? theirs : ours;
}

void kivo_values(fr_tpl_t *t) {
    char buf[64];
    for (int i = 0; i < kVars; i++) {
        snprintf(buf, sizeof buf, "value of variable %d", i);
        std::string name = "var" + std::to_string(i);
        fr_tpl_addvar(t, name.c_str(), safestr_create(buf, SAFESTR_F_TEMPORARY));
    }
    for (int r = 0; r < kRows; r++) {
        snprintf(buf, sizeof buf, "%d", r);
        fr_tpl_addblockvar(t, r, "rows", "id", buf);
        snprintf(buf, sizeof buf, "customer %d", r * 7);
        fr_tpl_addblockvar(t, r, "rows", "name", buf);
        snprintf(buf, sizeof buf, "%d.%02d", r * 3, r % 100);
        fr_tpl_addblockvar(t, r, "rows", "amount", buf);
    }
}

void ct_values(ctemplate::TemplateDictionary *d) {
    char buf[64];
    for (int i = 0; i < kVars; i++) {
        snprintf(buf, sizeof buf, "value of variable %d", i);
        d->SetValue("var" + std::to_string(i), buf);
    }
    for (int r = 0; r < kRows; r++) {
        ctemplate::TemplateDictionary *row = d->AddSectionDictionary("rows");
        snprintf(buf, sizeof buf, "%d", r);
        row->SetValue("id", buf);
        snprintf(buf, sizeof buf, "customer %d", r * 7);
        row->SetValue("name", buf);
        snprintf(buf, sizeof buf, "%d.%02d", r * 3, r % 100);
        row->SetValue("amount", buf);
    }
}

size_t kivo_fill(fr_tpl_t *t) {
    size_t n = 0;
    XXL_BLOCK {
        safestr_t s = fr_tpl_parse(t);
        n = safestr_length(s);
        safestr_free(s);
    }
    XXL_ON_ANY {}
    XXL_BLOCK_END;
    return n;
}

void bm_kivo_fill(benchmark::State &st) {
    std::string text = make_text(false);
    fr_tpl_t *t = fr_tpl_init(text.c_str());
    XXL_BLOCK { kivo_values(t); }
    XXL_ON_ANY {}
    XXL_BLOCK_END;
    size_t n = 0;
    for (auto _ : st) n = kivo_fill(t);
    st.counters["output_bytes"] = static_cast<double>(n);
    _tpl_destroy(t);
}

void bm_kivo_build_fill(benchmark::State &st) {
    std::string text = make_text(false);
    size_t n = 0;
    for (auto _ : st) {
        fr_tpl_t *t = fr_tpl_init(text.c_str());
        XXL_BLOCK { kivo_values(t); }
        XXL_ON_ANY {}
        XXL_BLOCK_END;
        n = kivo_fill(t);
        _tpl_destroy(t);
    }
    st.counters["output_bytes"] = static_cast<double>(n);
}

void bm_ctemplate_fill(benchmark::State &st) {
    ctemplate::StringToTemplateCache("bench", make_text(true), ctemplate::DO_NOT_STRIP);
    ctemplate::TemplateDictionary d("bench");
    ct_values(&d);
    std::string out;
    for (auto _ : st) {
        out.clear();
        ctemplate::ExpandTemplate("bench", ctemplate::DO_NOT_STRIP, &d, &out);
    }
    st.counters["output_bytes"] = static_cast<double>(out.size());
}

void bm_ctemplate_build_fill(benchmark::State &st) {
    ctemplate::StringToTemplateCache("bench2", make_text(true), ctemplate::DO_NOT_STRIP);
    std::string out;
    for (auto _ : st) {
        ctemplate::TemplateDictionary d("bench");
        ct_values(&d);
        out.clear();
        ctemplate::ExpandTemplate("bench2", ctemplate::DO_NOT_STRIP, &d, &out);
    }
    st.counters["output_bytes"] = static_cast<double>(out.size());
}

} // namespace

BENCHMARK(bm_kivo_fill)->Unit(benchmark::kMicrosecond);
BENCHMARK(bm_ctemplate_fill)->Unit(benchmark::kMicrosecond);
BENCHMARK(bm_kivo_build_fill)->Unit(benchmark::kMicrosecond);
BENCHMARK(bm_ctemplate_build_fill)->Unit(benchmark::kMicrosecond);
