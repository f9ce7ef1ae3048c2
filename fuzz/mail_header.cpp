// libFuzzer target: the header encoder. Arbitrary text (no zero byte) as
// subject and sender name; the built message must hold exactly its own
// header lines, every line with an encoded word at most 76 characters, and
// the subject and name must read back through the reference RFC 2047
// reader of the tests to the same bytes (a name's line breaks as spaces).
#include <stdint.h>
#include <string.h>
#include <string>
#include "../mail/tests/support/rfc2047.h"
#include "mail_support.h"

namespace {

std::string value_of(const std::vector<std::string> &h, const char *name) {
    for (const std::string &line : h)
        if (line.compare(0, strlen(name), name) == 0) return line.substr(strlen(name));
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fr_log_setlogger(mailfuzz::quiet);
    std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    fr_mail_t *m = fr_mail_init();
    fr_mail_add_from(m, text.c_str(), "sender@kivo.test");
    fr_mail_add_to(m, "t@kivo.test");
    fr_mail_add_subject(m, "%s", text.c_str());
    int rc;
    std::string msg = mailfuzz::build(m, &rc);
    if (rc != 0) abort();
    std::vector<std::string> h = mailfuzz::headers(msg);
    mailfuzz::check_header_names(h);
    for (size_t s = 0, e; (e = msg.find("\r\n", s)) != std::string::npos && e != s; s = e + 2) {
        std::string line = msg.substr(s, e - s);
        if (line.find("=?") != std::string::npos && line.size() > 76) abort();
    }
    bool ok;
    if (rfc2047::decode(value_of(h, "Subject: "), false, &ok) != text || !ok) abort();
    std::string from = value_of(h, "From:");
    std::string want;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        want += (text[i] == '\r' || text[i] == '\n') ? ' ' : text[i];
    }
    if (!text.empty()) {
        const std::string tail = " <sender@kivo.test>";
        if (from.size() < tail.size() || from.compare(from.size() - tail.size(), tail.size(), tail) != 0) abort();
        if (rfc2047::decode(from.substr(0, from.size() - tail.size()), true, &ok) != want || !ok) abort();
    }
    fr_mail_destroy(m);
    return 0;
}
