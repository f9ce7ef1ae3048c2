// Shared by the mail fuzz targets: a message built into memory.
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include <kivo/log.h>
#include <kivo/mail.h>

namespace mailfuzz {

inline void quiet(const char *, int, const char *, int, const char *) {}

// The message as fr_mail_build writes it; rc receives the result.
inline std::string build(fr_mail_t *m, int *rc) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    if (!f) abort();
    *rc = fr_mail_build(m, f);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    return out;
}

// The header block's lines (folded lines joined, CRLF kept inside).
inline std::vector<std::string> headers(const std::string &msg) {
    std::vector<std::string> out;
    size_t s = 0;
    for (;;) {
        size_t e = msg.find("\r\n", s);
        if (e == std::string::npos || e == s) break;
        if (msg[s] == ' ' || msg[s] == '\t') {
            if (out.empty()) abort();  // a continuation with nothing to continue
            out.back() += msg.substr(s - 2, e - s + 2);
        } else {
            out.push_back(msg.substr(s, e - s));
        }
        s = e + 2;
    }
    return out;
}

// Every header line starts with a name the message is made of.
inline void check_header_names(const std::vector<std::string> &h) {
    static const char *names[] = {"Date:", "From:", "To:", "Cc:", "Bcc:", "Return-Path:", "Subject:", "Message-ID:",
                                  "X-Priority:", "MIME-Version:", "Content-Transfer-Encoding:", "Content-Type:"};
    for (const std::string &line : h) {
        bool known = false;
        for (const char *n : names) known |= line.compare(0, strlen(n), n) == 0;
        if (!known) abort();
        // Raw line ends only as folds (CRLF followed by white space).
        for (size_t i = 0; i < line.size(); i++) {
            if (line[i] == '\r' && !(i + 2 < line.size() && line[i + 1] == '\n' && (line[i + 2] == ' ' || line[i + 2] == '\t')))
                abort();
            if (line[i] == '\n' && (i == 0 || line[i - 1] != '\r')) abort();
        }
    }
}

}  // namespace mailfuzz
