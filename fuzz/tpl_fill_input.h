// How the template fuzz target reads its input, shared with the test that
// fills the fuzz corpus in both builds. The input is cut at zero bytes: the
// first piece is the template, each further piece a definition
// ("s<name>\x01<value>" for a scalar, "b<row><block>\x01<name>\x01<value>"
// for a block variable, the row a signed byte).
#ifndef KIVO_FUZZ_TPL_FILL_INPUT_H
#define KIVO_FUZZ_TPL_FILL_INPUT_H

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>
#include <kivo/template.h>

__attribute__((noinline)) inline void tpl_input_scalar(fr_tpl_t *t, const char *name, const char *value) {
    XXL_BLOCK {
        fr_tpl_addvar(t, name, safestr_create(value, SAFESTR_F_TEMPORARY));
    }
    XXL_ON_ANY {}
    XXL_BLOCK_END;
}

inline fr_tpl_t *tpl_from_input(const uint8_t *data, size_t size) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0)
            pieces.emplace_back();
        else
            pieces.back().push_back(static_cast<char>(data[i]));
    }
    fr_tpl_t *t = fr_tpl_init(pieces[0].c_str());
    if (!t) return nullptr;
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
            tpl_input_scalar(t, f[0].c_str(), f[1].c_str());
        } else if (p[0] == 'b' && f.size() >= 3) {
            fr_tpl_addblockvar(t, static_cast<int8_t>(p[1]), f[0].c_str(), f[1].c_str(), f[2].c_str());
        }
    }
    return t;
}

// The filled text, or "<fault>" when the filler raised.
inline std::string tpl_fill_text(fr_tpl_t *t) {
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

#endif
