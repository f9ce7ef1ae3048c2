// libFuzzer target: a fuzzed template filled with fuzzed variables and
// block rows (input format in tpl_fill_input.h). The filled text must come
// out the same on a second parse, and the release must leave nothing
// behind for the leak checker.
#include <kivo/log.h>
#include <kivo/template.h>

#include <stdint.h>
#include <stdlib.h>

#include "tpl_fill_input.h"

static void quiet(const char *, int, const char *, int, const char *) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = false;
    if (!once) {
        fr_log_init_custom(quiet);
        once = true;
    }
    fr_tpl_t *t = tpl_from_input(data, size);
    if (!t) abort();
    std::string first = tpl_fill_text(t);
    if (tpl_fill_text(t) != first) abort();
    _tpl_destroy(t);
    return 0;
}
