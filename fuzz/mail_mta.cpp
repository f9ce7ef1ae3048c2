// libFuzzer target: the MTA command parser (fr_mail_set_mta) on arbitrary
// text, checked against a model of its acceptance rule: the first word has
// a '/' with a program name after it, and every quote closes.
#include <stdint.h>
#include <string.h>
#include <ctype.h>
#include <string>
#include "mail_support.h"

namespace {

bool model_accepts(const char *p) {
    while (*p && isspace(static_cast<unsigned char>(*p))) p++;
    if (!*p) return false;
    std::string first;
    bool in_first = true;
    char quote = 0;
    for (; *p; p++) {
        if (quote) {
            if (*p == quote) quote = 0;
        } else if (*p == '"' || *p == '\'') {
            quote = *p;
        } else if (*p == ' ' || *p == '\t') {
            in_first = false;
            continue;
        }
        if (in_first) first += *p;
    }
    if (quote) return false;
    size_t slash = first.rfind('/');
    return slash != std::string::npos && slash + 1 < first.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fr_log_setlogger(mailfuzz::quiet);
    std::string cmd(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    fr_mail_t *m = fr_mail_init();
    int rc = fr_mail_set_mta(m, cmd.c_str());
    if (rc != (model_accepts(cmd.c_str()) ? 0 : -1)) abort();
    // Setting it again replaces the first record (no leak, no double free).
    fr_mail_set_mta(m, cmd.c_str());
    fr_mail_destroy(m);
    return 0;
}
