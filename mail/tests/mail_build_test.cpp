// Building messages: the header order and bytes, encoded headers checked by
// Python's email parser, header injection, address lists, content ids, the
// four body layouts and attachments parsed back, and build failures.
#include <gtest/gtest.h>
#include <regex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <kivo/mail.h>
#include <kivo/mime.h>
#include <kivo/safestr.h>
#include "support/mail_peer.h"
#include "support/rfc2047.h"

namespace {

// POSIX extended regular expressions; with `whole` the pattern must match
// the entire text. Returns the first group (or the match) in *group.
bool ere(const std::string &text, const std::string &pattern, bool whole, std::string *group = nullptr) {
    regex_t re;
    std::string p = whole ? "^(" + pattern + ")$" : pattern;
    if (regcomp(&re, p.c_str(), REG_EXTENDED) != 0)
        return false;
    regmatch_t m[3];
    bool ok = regexec(&re, text.c_str(), 3, m, 0) == 0;
    if (ok && group) {
        int g = whole ? 2 : 1;
        if (m[g].rm_so < 0) g = 0;
        *group = text.substr(size_t(m[g].rm_so), size_t(m[g].rm_eo - m[g].rm_so));
    }
    regfree(&re);
    return ok;
}

struct Mail {
    fr_mail_t *m = fr_mail_init();
    ~Mail() { fr_mail_destroy(m); }
    operator fr_mail_t *() const { return m; }
};

// The message as fr_mail_build writes it; rc receives the result.
std::string build(fr_mail_t *m, int *rc = nullptr) {
    FILE *f = tmpfile();
    int r = fr_mail_build(m, f);
    if (rc) *rc = r;
    std::string out;
    rewind(f);
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

std::vector<std::string> header_lines(const std::string &msg) {
    std::vector<std::string> lines;
    size_t s = 0;
    for (;;) {
        size_t e = msg.find("\r\n", s);
        if (e == std::string::npos || e == s) break;
        lines.push_back(msg.substr(s, e - s));
        s = e + 2;
    }
    return lines;
}

std::string q_of(const char *text) {
    safestr_t s = q_enc_str(text);
    std::string r(s, safestr_length(s));
    safestr_free(s);
    return r;
}

std::string lf(std::string s) {
    std::string r;
    for (size_t i = 0; i < s.size(); i++)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) r += s[i];
    return r;
}

std::string temp_file(const std::string &data) {
    char name[] = "/tmp/kivo-att-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    peer::write_file(name, data);
    return name;
}

TEST(MailBuild, HeaderOrderOfTheSimplestMessage) {
    Mail m;
    ASSERT_EQ(0, fr_mail_add_from(m, nullptr, "a@kivo.test"));
    ASSERT_EQ(0, fr_mail_add_to(m, "b@kivo.test"));
    ASSERT_EQ(0, fr_mail_add_body(m, "Hello"));
    int rc;
    std::string msg = build(m, &rc);
    ASSERT_EQ(0, rc);
    std::string expect_re =
        "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
        "[0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}\r\n"
        "From:<a@kivo\\.test>\r\n"
        "To: b@kivo\\.test,\r\n"
        "Return-Path: <>\r\n"
        "Subject: =\\?utf-8\\?q\\?=28none=29\\?=\r\n"
        "Message-ID: <=_[A-Za-z0-9]{30}@[^>\r\n]{1,20}>\r\n"
        "X-Priority: 3\r\n"
        "MIME-Version: 1\\.0\r\n"
        "Content-Transfer-Encoding: binary\r\n"
        "Content-Type: text/plain;\r\n\tcharset=\"utf-8\"\r\n\r\n\r\n"
        "Hello";
    EXPECT_TRUE(ere(msg, expect_re, true)) << msg;
    // The Q form of "(none)" is the MIME library's.
    EXPECT_NE(std::string::npos, msg.find("Subject: =?utf-8?q?" + q_of("(none)") + "?=\r\n"));

    // Defaults stay in the record; every build draws new random strings.
    std::string again = build(m);
    std::string a, b;
    ASSERT_TRUE(ere(msg, "Message-ID: <([^@]+)@", false, &a));
    ASSERT_TRUE(ere(again, "Message-ID: <([^@]+)@", false, &b));
    EXPECT_NE(a, b);

    // Priority, custom headers in order, notification address, return path.
    EXPECT_EQ(-1, fr_mail_set_priority(m, -1));
    EXPECT_EQ(1, fr_mail_set_priority(m, 1));
    EXPECT_EQ(-5, fr_mail_set_priority(m, -5));  // ignored, given back
    ASSERT_EQ(0, fr_mail_add_customh(m, "  X-One", "1"));
    ASSERT_EQ(0, fr_mail_add_customh(m, "X-Two", " two"));
    ASSERT_EQ(0, fr_mail_set_notify(m, "n@kivo.test"));
    ASSERT_EQ(0, fr_mail_add_retpath(m, "<r@kivo.test>"));
    ASSERT_EQ(0, fr_mail_add_cc(m, "c1@kivo.test, c2@kivo.test"));
    std::vector<std::string> h = header_lines(build(m));
    ASSERT_GE(h.size(), 13u);
    EXPECT_EQ("To: b@kivo.test,", h[2]);
    EXPECT_EQ("Cc: c1@kivo.test, c2@kivo.test,", h[3]);
    EXPECT_EQ("Return-Path: <r@kivo.test>", h[4]);
    EXPECT_EQ("Disposition-Notification-To: n@kivo.test", h[6]);
    EXPECT_EQ("X-Priority: 1", h[8]);
    EXPECT_EQ("MIME-Version: 1.0", h[9]);
    EXPECT_EQ("X-One:1", h[10]);
    EXPECT_EQ("X-Two: two", h[11]);
    // An unknown encoding keeps the codec.
    EXPECT_EQ(-1, fr_mail_set_encoding(m, 6));
    EXPECT_EQ(-1, fr_mail_set_encoding(m, -1));
    EXPECT_NE(std::string::npos, build(m).find("Content-Transfer-Encoding: binary\r\n"));
}

// The raw value of the first header called name (folded lines included).
std::string raw_header(const std::string &msg, const std::string &name) {
    size_t p = msg.find("\r\n" + name + ":");
    if (p == std::string::npos) return "<none>";
    p += name.size() + 3;
    size_t e = p;
    for (;;) {
        e = msg.find("\r\n", e);
        if (e == std::string::npos || (msg[e + 2] != ' ' && msg[e + 2] != '\t')) break;
        e += 2;
    }
    return msg.substr(p, e - p);
}

std::string name_text(const std::string &t) {
    std::string r;
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') continue;
        r += (t[i] == '\r' || t[i] == '\n') ? ' ' : t[i];
    }
    return r;
}

// Subjects and sender names come back from a real parser (and from the
// reference reader of encoded words) as the text given, in encoded words of
// at most 75 characters, on header lines of at most 76.
TEST(MailBuild, EncodedHeadersDecodeToTheOriginal) {
    std::string long_subject;
    for (int i = 0; i < 30; i++) long_subject += "Grüße ünd ☃ ";  // 300 characters
    struct Case {
        std::string text;
        bool python_name;  // Python reads the name back exactly
    } cases[] = {
        {"Hello", true},
        {"a b_c?=(x)", true},
        {"Grüße aus Köln", true},
        {"Ünïcödé 🎉 emoji and 日本語の件名", true},
        {"two\r\nlines and\na lone LF", true},
        {"O'Brien, Patrick \"Pat\"", true},
        {"tab\there \"quoted\" <angle> comma, semi; at@sign. and more words after it", false},
        {"  leading and  double spaces ", false},
        {long_subject, false},
        // One plain word too long for any line: split into encoded words
        // (which Python's address parser joins with spaces).
        {"Dr " + std::string(1200, 'x') + " Smith", false},
    };
    for (const Case &c : cases) {
        const std::string &t = c.text;
        SCOPED_TRACE(t);
        Mail m;
        ASSERT_EQ(0, fr_mail_add_from(m, t.c_str(), "sender@kivo.test"));
        ASSERT_EQ(0, fr_mail_add_to(m, "rcpt@kivo.test"));
        ASSERT_EQ(0, fr_mail_add_subject(m, "%s", t.c_str()));
        ASSERT_EQ(0, fr_mail_add_body(m, "body"));
        int rc;
        std::string msg = build(m, &rc);
        ASSERT_EQ(0, rc);
        for (const std::string &line : header_lines(msg)) EXPECT_LE(line.size(), 76u) << line;
        bool ok;
        EXPECT_EQ(t, rfc2047::decode(raw_header(msg, "Subject").substr(1), false, &ok));
        EXPECT_TRUE(ok) << raw_header(msg, "Subject");
        std::string from = raw_header(msg, "From");
        ASSERT_GE(from.size(), 20u);
        EXPECT_EQ(" <sender@kivo.test>", from.substr(from.size() - 19));
        EXPECT_EQ(name_text(t), rfc2047::decode(from.substr(0, from.size() - 19), true, &ok));
        EXPECT_TRUE(ok) << from;

        peer::Parsed r = peer::parse_text(msg);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(r.defects.empty()) << r.defects[0];
        EXPECT_EQ(t, r.header("Subject"));
        ASSERT_EQ(2u, r.addrs.size());
        EXPECT_EQ("From", r.addrs[0][0]);
        if (c.python_name) {
            EXPECT_EQ(name_text(t), r.addrs[0][1]);
        }
        EXPECT_EQ("sender@kivo.test", r.addrs[0][2]);
        EXPECT_EQ("rcpt@kivo.test", r.addrs[1][2]);
        EXPECT_EQ("<none>", r.header("Bcc"));
    }
    // Short plain subjects keep the one-word form of the Q encoder.
    for (const char *t : {"Hello", "a b_c?=(x)", "Grüße aus Köln"}) {
        Mail m;
        fr_mail_add_from(m, nullptr, "s@kivo.test");
        fr_mail_add_to(m, "r@kivo.test");
        fr_mail_add_subject(m, "%s", t);
        EXPECT_NE(std::string::npos, build(m).find("\r\nSubject: =?utf-8?q?" + q_of(t) + "?=\r\n")) << t;
    }
}

// No input produces a header line of its own.
TEST(MailBuild, LineBreaksCannotForgeHeaders) {
    const char *evil = "x@kivo.test\r\nBcc: victim@kivo.test";
    Mail m;
    EXPECT_EQ(-1, fr_mail_add_from(m, nullptr, evil));
    EXPECT_EQ(-1, fr_mail_add_from(m, "name", "a@b\nc"));
    EXPECT_EQ(-1, fr_mail_add_to(m, evil));
    EXPECT_EQ(-1, fr_mail_add_cc(m, "ok@kivo.test, bad@kivo.test\nX: y"));
    EXPECT_EQ(-1, fr_mail_add_bcc(m, "a@b\r"));
    EXPECT_EQ(-1, fr_mail_add_retpath(m, evil));
    EXPECT_EQ(-1, fr_mail_set_notify(m, evil));
    EXPECT_EQ(-1, fr_mail_add_customh(m, "X-A", "v\r\nBcc: victim@kivo.test"));
    EXPECT_EQ(-1, fr_mail_add_customh(m, "X-A\r\nBcc", "v"));
    EXPECT_EQ(-1, fr_mail_add_customh(m, "X-A: b", "v"));
    EXPECT_EQ(-1, fr_mail_add_customh(m, "   ", "v"));
    EXPECT_EQ(nullptr, fr_mail_set_contenttype(m, "text/plain\r\nBcc: v@x"));
    EXPECT_EQ(-1, fr_mail_set_charset(m, "utf-8\r\nBcc: v@x"));
    EXPECT_EQ(-1, fr_mail_set_charset(m, "utf-8?q?x"));
    EXPECT_EQ(nullptr, fr_mail_add_att(m, "/tmp/a\r\nBcc: v@x"));
    EXPECT_EQ(nullptr, fr_mail_add_att(m, "/tmp/a\"b"));

    ASSERT_EQ(0, fr_mail_add_from(m, "Name\r\nBcc: victim@kivo.test", "a@kivo.test"));
    ASSERT_EQ(0, fr_mail_add_to(m, "ok@kivo.test"));
    ASSERT_EQ(0, fr_mail_add_subject(m, "hi\r\nBcc: victim@kivo.test"));
    ASSERT_EQ(0, fr_mail_add_body(m, "body"));
    // Encoded: the line breaks stay inside the texts.
    int rc;
    peer::Parsed r = peer::parse_text(build(m, &rc));
    ASSERT_EQ(0, rc);
    EXPECT_EQ("<none>", r.header("Bcc"));
    EXPECT_EQ("hi\r\nBcc: victim@kivo.test", r.header("Subject"));
    std::vector<std::string> to = {"To", "", "ok@kivo.test"};
    // From, To and the Cc address accepted before the refused one.
    ASSERT_EQ(3u, r.addrs.size());
    EXPECT_EQ(to, r.addrs[1]);
    EXPECT_EQ("Name Bcc: victim@kivo.test", r.addrs[0][1]);
    // Not encoded: refused, the build stops before the line is written.
    LogRecorder log;
    fr_mail_enable_headers_encoding(m, 0);
    std::string msg = build(m, &rc);
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(std::string::npos, msg.find("victim"));
    EXPECT_EQ(1u, log.starting("mail:").size());
    EXPECT_EQ("fr_mail_build", log.lines.back().function);
    fr_mail_add_from(m, "Plain Name", "a@kivo.test");
    msg = build(m, &rc);
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(std::string::npos, msg.find("victim"));
    fr_mail_add_subject(m, "plain subject");
    msg = build(m, &rc);
    EXPECT_EQ(0, rc);
    EXPECT_NE(std::string::npos, msg.find("\r\nFrom:Plain Name<a@kivo.test>\r\n"));
    EXPECT_NE(std::string::npos, msg.find("\r\nSubject: plain subject\r\n"));
}

TEST(MailBuild, AddressLists) {
    std::string a79(79 - 9, 'a');
    a79 += "@kivo.xyz";  // 79 characters
    std::string a80 = "b" + a79;
    struct Case {
        std::string list;
        int rc;
        const char *to;  // the To line after the element(s); null: no To
    } cases[] = {
        {"\"Doe, John\" <john@kivo.test>, jane@kivo.test", 0, "To: john@kivo.test, jane@kivo.test,"},
        {"  <x@kivo.test>  ", 0, "To: x@kivo.test,"},
        {"John <j@kivo.test>", 0, "To: John <j@kivo.test,"},
        {",, a@kivo.test ,", 0, "To: a@kivo.test,"},
        {"a@kivo.test,b@kivo.test", 0, "To: a@kivo.test, b@kivo.test,"},
        {"\"no, address\"", 0, nullptr},
        {"x@kivo.test, " + a79, 0, ("To: x@kivo.test, " + a79 + ",").c_str()},
        {"x@kivo.test, " + a80 + ", y@kivo.test", -1, "To: x@kivo.test,"},
        {"x@kivo.test, " + a79 + "  ", -1, "To: x@kivo.test,"},  // trailing blanks count
    };
    // (the c_str() above points into temporaries; copy the expectations)
    std::vector<std::string> expect = {"To: john@kivo.test, jane@kivo.test,", "To: x@kivo.test,", "To: John <j@kivo.test,",
                                       "To: a@kivo.test,", "To: a@kivo.test, b@kivo.test,", "",
                                       "To: x@kivo.test, " + a79 + ",", "To: x@kivo.test,", "To: x@kivo.test,"};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        SCOPED_TRACE(cases[i].list);
        Mail m;
        fr_mail_add_from(m, nullptr, "s@kivo.test");
        EXPECT_EQ(cases[i].rc, fr_mail_add_to(m, cases[i].list.c_str()));
        int rc;
        std::vector<std::string> h = header_lines(build(m, &rc));
        if (expect[i].empty()) {
            EXPECT_EQ(-1, rc);  // nothing to send to
            continue;
        }
        ASSERT_EQ(0, rc);
        ASSERT_GE(h.size(), 3u);
        EXPECT_EQ(expect[i], h[2]);
    }
    // Cc and Bcc lines only when their lists hold addresses.
    Mail m;
    fr_mail_add_from(m, nullptr, "s@kivo.test");
    fr_mail_add_to(m, "t@kivo.test");
    fr_mail_add_bcc(m, "\"Hidden\" <h@kivo.test>");
    std::vector<std::string> h = header_lines(build(m));
    EXPECT_EQ("Bcc: h@kivo.test,", h[3]);
    EXPECT_EQ(0u, h[4].rfind("Return-Path:", 0));
}

TEST(MailBuild, ContentIdsAndAttachmentHeaders) {
    std::string f1 = temp_file("one"), f2 = temp_file("two");
    Mail m;
    fr_mail_add_from(m, nullptr, "s@kivo.test");
    fr_mail_add_to(m, "t@kivo.test");
    fr_mail_add_body(m, "body");
    fr_mail_att_t *a = fr_mail_add_att(m, f1.c_str());
    fr_mail_att_t *b = fr_mail_add_att(m, f2.c_str());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a, fr_mail_att_enable_inline(a, 1));
    EXPECT_EQ(nullptr, fr_mail_att_enable_inline(nullptr, 1));
    fr_mail_att_enable_inline(b, 1);
    int rc;
    std::string msg = build(m, &rc);
    ASSERT_EQ(0, rc);
    EXPECT_NE(std::string::npos, msg.find("Content-ID: <1>\r\n"));
    EXPECT_NE(std::string::npos, msg.find("Content-ID: <2>\r\n"));
    EXPECT_EQ(11, fr_mail_att_setid(a, 10));  // next (3) below 10: 11
    EXPECT_EQ(12, fr_mail_att_setid(b, 5));   // next (11) not below 5: one more
    fr_mail_att_set_contenttype(b, "image/png");
    fr_mail_att_enable_inline(a, 0);
    msg = build(m, &rc);
    EXPECT_EQ(std::string::npos, msg.find("Content-ID: <10>"));
    EXPECT_NE(std::string::npos, msg.find("Content-Type: image/png; name=\"" + f2 +
                                          "\"\r\nContent-Transfer-Encoding: base64\r\nContent-ID: <5>\r\n"
                                          "Content-Disposition: inline; filename=\"" + f2 + "\"\r\n\r\n"));
    EXPECT_NE(std::string::npos, msg.find("Content-Disposition: attachment; filename=\"" + f1 + "\"\r\n\r\nb25l\r\n"));
    EXPECT_EQ(-1, fr_mail_att_set_encoding(a, 9));
    unlink(f1.c_str());
    unlink(f2.c_str());
}

// The four layouts, in every transfer encoding, parsed back: structure,
// part types and payloads byte for byte (line ends aside where the encoding
// rewrites them).
TEST(MailBuild, LayoutsParseBackToTheirParts) {
    std::string binary;
    for (int i = 0; i < 3000; i++) binary += static_cast<char>((i * 7) % 256);  // zero bytes included
    std::string att1 = temp_file(binary), att2 = temp_file("name,value\r\nä,1\r\n");
    const std::string body = "<p>Grüße</p>\r\nline two = end\r\n" + std::string(120, 'x');
    const std::string alt = "Grüße\r\nplain = text\r\n";
    for (int code = 0; code <= 5; code++) {
        for (int layout = 0; layout < 4; layout++) {
            SCOPED_TRACE("encoding " + std::to_string(code) + " layout " + std::to_string(layout));
            bool with_alt = layout & 1, with_att = layout & 2;
            Mail m;
            fr_mail_add_from(m, "Sender", "s@kivo.test");
            fr_mail_add_to(m, "t@kivo.test");
            fr_mail_add_subject(m, "layout");
            ASSERT_EQ(0, fr_mail_set_encoding(m, code));
            fr_mail_add_body(m, "%s", body.c_str());
            if (with_alt) fr_mail_add_altbody(m, "%s", alt.c_str());
            if (with_att) {
                fr_mail_att_t *a = fr_mail_add_att(m, att1.c_str());
                // Binary data keeps its bytes in base64 and binary only.
                ASSERT_EQ(0, fr_mail_att_set_encoding(a, code == 5 ? 5 : 0));
                fr_mail_att_set_contenttype(a, "application/octet-stream");
                fr_mail_att_t *b = fr_mail_add_att(m, att2.c_str());
                fr_mail_att_set_contenttype(b, "text/csv");
                fr_mail_att_enable_inline(b, 1);
            }
            int rc;
            std::string msg = build(m, &rc);
            ASSERT_EQ(0, rc);
            peer::Parsed r = peer::parse_text(msg);
            ASSERT_TRUE(r.ok) << r.error;
            auto payload = [&](const std::string &path) { return r.part(path) ? r.part(path)->payload : "<none>"; };
            auto type = [&](const std::string &path) { return r.part(path) ? r.part(path)->type : "<none>"; };
            // Line ends: base64 and binary keep them, the rest may not.
            auto same_text = [&](const std::string &want, const std::string &got) {
                if (code == 0) return want == got;
                std::string w = lf(want), g = lf(got);
                while (!g.empty() && g.back() == '\n' && (w.empty() || w.back() != '\n' || g.size() > w.size()))
                    g.pop_back();
                while (!w.empty() && w.back() == '\n') w.pop_back();
                while (!g.empty() && g.back() == '\n') g.pop_back();
                return w == g;
            };
            std::string main_path, alt_path;
            if (!with_att && !with_alt) {
                EXPECT_EQ("text/plain", type("0"));
                main_path = "0";
            } else if (!with_att) {
                EXPECT_EQ("multipart/alternative", type("0"));
                alt_path = "0.0", main_path = "0.1";
                EXPECT_EQ("<none>", type("0.2"));
            } else {
                EXPECT_EQ("multipart/mixed", type("0"));
                if (with_alt) {
                    EXPECT_EQ("multipart/alternative", type("0.0"));
                    alt_path = "0.0.0", main_path = "0.0.1";
                } else {
                    main_path = "0.0";
                }
                EXPECT_EQ("application/octet-stream", type("0.1"));
                EXPECT_EQ("attachment", r.part("0.1") ? r.part("0.1")->disposition : "");
                EXPECT_EQ(att1, r.part("0.1") ? r.part("0.1")->filename : "");
                if (code == 5) {
                    // Copied byte for byte into the message (Python's
                    // parser reads binary parts as lines and rewrites the
                    // line ends inside them, so the raw text is the judge).
                    EXPECT_NE(std::string::npos, msg.find("\r\n\r\n" + binary + "\r\n\r\n--"));
                    EXPECT_GE(payload("0.1").size(), binary.size());
                } else {
                    EXPECT_TRUE(payload("0.1") == binary) << payload("0.1").size();
                }
                EXPECT_EQ("text/csv", type("0.2"));
                EXPECT_EQ("inline", r.part("0.2") ? r.part("0.2")->disposition : "");
                EXPECT_EQ("<2>", r.part("0.2") ? r.part("0.2")->content_id : "");
                EXPECT_EQ("name,value\r\nä,1\r\n", payload("0.2"));
                EXPECT_EQ("<none>", type("0.3"));
            }
            if (with_alt) {
                EXPECT_EQ("text/plain", type(alt_path));
                EXPECT_EQ("text/html", type(main_path));
                if (code != 2) {
                    EXPECT_TRUE(same_text(alt, payload(alt_path))) << payload(alt_path);
                }
            } else {
                EXPECT_EQ("text/plain", type(main_path));
            }
            // The single-part layout leaves an empty line before the body
            // (base64 readers skip it).
            std::string main_body = !with_alt && !with_att && code != 0 ? "\r\n" + body : body;
            // "quoted" is no transfer encoding a reader knows: not decoded.
            if (code != 2) {
                EXPECT_TRUE(same_text(main_body, payload(main_path))) << payload(main_path);
            }
        }
    }
    unlink(att1.c_str());
    unlink(att2.c_str());
}

TEST(MailBuild, FailuresGiveMinusOne) {
    LogRecorder log;
    {
        Mail m;  // no sender
        fr_mail_add_to(m, "t@kivo.test");
        int rc;
        build(m, &rc);
        EXPECT_EQ(-1, rc);
    }
    {
        Mail m;  // no recipient
        fr_mail_add_from(m, nullptr, "s@kivo.test");
        int rc;
        build(m, &rc);
        EXPECT_EQ(-1, rc);
    }
    char dir[] = "/tmp/kivo-dir-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    for (const char *path : {"/nonexistent/kivo/file", static_cast<const char *>(dir)}) {
        SCOPED_TRACE(path);
        Mail m;
        fr_mail_add_from(m, nullptr, "s@kivo.test");
        fr_mail_add_to(m, "t@kivo.test");
        fr_mail_add_body(m, "body");
        ASSERT_NE(nullptr, fr_mail_add_att(m, path));
        int rc;
        std::string msg = build(m, &rc);
        EXPECT_EQ(-1, rc);
        EXPECT_NE(std::string::npos, msg.find("filename=\"" + std::string(path)));  // written before the failure stays
    }
    rmdir(dir);
    size_t builds = 0;
    for (const LogLine &l : log.lines) builds += l.function == "fr_mail_build" && l.file == "mail";
    EXPECT_EQ(4u, builds);
    // Null records and strings.
    EXPECT_EQ(-1, fr_mail_build(nullptr, stdout));
    EXPECT_EQ(-1, fr_mail_send(nullptr));
    EXPECT_EQ(-1, fr_mail_send_direct(nullptr, nullptr));
    EXPECT_EQ(-1, fr_mail_add_to(nullptr, "a@b"));
    EXPECT_EQ(-1, fr_mail_add_subject(nullptr, "x"));
    EXPECT_EQ(nullptr, fr_mail_add_att(nullptr, "/etc/hosts"));
    EXPECT_EQ(-1, fr_mail_att_setid(nullptr, 3));
    EXPECT_EQ(1, fr_mail_destroy(nullptr));
    Mail m;
    EXPECT_EQ(-1, fr_mail_add_from(m, "n", nullptr));
    EXPECT_EQ(-1, fr_mail_add_to(m, nullptr));
    EXPECT_EQ(-1, fr_mail_add_body(m, nullptr));
    EXPECT_EQ(nullptr, fr_mail_add_att(m, nullptr));
    EXPECT_EQ(nullptr, fr_mail_add_att(m, ""));
    EXPECT_EQ(-1, fr_mail_send_direct(m, nullptr));
    // Binary junk (no NUL) as name and subject: still one From and one
    // Subject header, nothing else.
    std::string junk;
    for (int i = 1; i < 256; i++) junk += static_cast<char>(i);
    fr_mail_add_from(m, junk.c_str(), "s@kivo.test");
    fr_mail_add_to(m, "t@kivo.test");
    fr_mail_add_subject(m, "%s", junk.c_str());
    int rc;
    peer::Parsed r = peer::parse_text(build(m, &rc));
    ASSERT_EQ(0, rc);
    std::vector<std::string> names;
    for (const auto &h : r.headers) names.push_back(h.first);
    std::vector<std::string> want = {"Date", "From", "To", "Return-Path", "Subject", "Message-ID", "X-Priority",
                                     "MIME-Version", "Content-Transfer-Encoding", "Content-Type"};
    EXPECT_EQ(want, names);
    char *t = strdup("MiXeD 123 ÄB");
    to_lower(t);
    EXPECT_STREQ("mixed 123 Äb", t);
    free(t);
    to_lower(nullptr);
    fr_mail_addr_t *head = init_addr();
    EXPECT_NE(nullptr, head);
    free(head);
}

}  // namespace
