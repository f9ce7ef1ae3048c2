// libFuzzer target: a fuzzed template filled with fuzzed variables and
// block rows. The input is cut at zero bytes: the first piece is the
// template, each further piece a definition ("s<name>\x01<value>" for a
// scalar, "b<row><block>\x01<name>\x01<value>" for a block variable). The
// filled text must come out the same on a second parse, and the release
// must leave nothing behind for the leak checker.
#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/safestr.h>
#include <kivo/template.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

static void quiet(const char *, int, const char *, int, const char *) {}

static std::string fill(fr_tpl_t *t) {
    std::string out = "<fault>";
    XXL_BLOCK {
        safestr_t s = fr_tpl_parse(t);
        if (s) {
            out.assign(s, safestr_length(s));
            safestr_free(s);
        }
    }
    XXL_ON_ANY {}
    XXL_BLOCK_END;
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = false;
    if (!once) {
        fr_log_init_custom(quiet);
        once = true;
    }
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0)
            pieces.emplace_back();
        else
            pieces.back().push_back(static_cast<char>(data[i]));
    }
    fr_tpl_t *t = fr_tpl_init(pieces[0].c_str());
    if (!t) abort();
    for (size_t i = 1; i < pieces.size(); i++) {
        const std::string &p = pieces[i];
        if (p.size() < 2) continue;
        std::vector<std::string> f(1);
        for (size_t j = (p[0] == 'b' ? 2 : 1); j < p.size(); j++) {
            if (p[j] == 1)
                f.emplace_back();
            else
                f.back().push_back(p[j]);
        }
        if (p[0] == 's' && f.size() >= 2) {
            XXL_BLOCK {
                fr_tpl_addvar(t, f[0].c_str(), safestr_create(f[1].c_str(), SAFESTR_F_TEMPORARY));
            }
            XXL_ON_ANY {}
            XXL_BLOCK_END;
        } else if (p[0] == 'b' && f.size() >= 3) {
            fr_tpl_addblockvar(t, static_cast<int8_t>(p[1]), f[0].c_str(), f[1].c_str(), f[2].c_str());
        }
    }
    std::string first = fill(t);
    if (fill(t) != first) abort();
    _tpl_destroy(t);
    return 0;
}
