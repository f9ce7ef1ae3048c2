// SMTP submission against real servers (aiosmtpd, started by the `smtp`
// fixture): delivery with and without STARTTLS, authentication, refused
// recipients, servers that drop the line or talk nonsense, the monitor and
// event lines, and the strict certificate mode.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <kivo/smtp.h>
#include "support/mail_peer.h"

namespace {

// A message file whose text carries the token.
FILE *message_with(const std::string &token) {
    FILE *f = tmpfile();
    fprintf(f, "From: <sender@kivo.test>\r\nTo: <rcpt@kivo.test>\r\nSubject: %s\r\n\r\nbody of %s\r\n",
            token.c_str(), token.c_str());
    rewind(f);
    return f;
}

struct Session {
    fr_smtp_t *smtp = fr_smtp_init();
    FILE *fp = nullptr;
    ~Session() {
        fr_smtp_destroy(smtp);
        if (fp) fclose(fp);
    }
    void prepare(const char *instance, const std::string &token, std::initializer_list<const char *> rcpts) {
        ASSERT_NE(nullptr, smtp);
        ASSERT_NE(0, fr_smtp_set_host(smtp, peer::host(instance).c_str()));
        for (const char *r : rcpts) ASSERT_NE(nullptr, fr_smtp_add_recipient(smtp, r));
        ASSERT_NE(0, fr_smtp_set_return_path(smtp, "sender@kivo.test"));
        fp = message_with(token);
        ASSERT_NE(0, fr_smtp_set_message_fp(smtp, fp));
    }
};

TEST(Smtp, FixtureIsUp) {
    ASSERT_FALSE(peer::state().empty()) << "KIVO_SMTP_STATE unset: run through ctest (fixture smtp)";
    for (const char *i : {"main", "auth", "notls", "drop", "middata", "garbage", "ntlm"}) EXPECT_GT(peer::port(i), 0) << i;
}

// Delivery over the three STARTTLS settings; the server records whether the
// session was encrypted.
TEST(Smtp, DeliveryWithAndWithoutStarttls) {
    struct Case {
        const char *instance;
        int use, require;
        int result;
        const char *tls;  // as stored by the server, null: nothing stored
    } cases[] = {
        {"notls", 0, 0, 0, "false"},
        {"main", 0, 0, 0, "false"},
        {"main", 1, 0, 0, "true"},
        {"main", 0, 1, 0, "true"},
        {"notls", 1, 0, 0, "false"},  // offered TLS not available: plain delivery
        {"notls", 0, 1, -1, nullptr}, // required TLS not available: failure
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.instance) + " use=" + std::to_string(c.use) + " require=" + std::to_string(c.require));
        LogRecorder log;
        std::string tok = peer::token("tls");
        Session s;
        s.prepare(c.instance, tok, {"rcpt@kivo.test"});
        EXPECT_EQ(s.smtp, fr_smtp_enable_tls(s.smtp, c.use, c.require));
        EXPECT_EQ(c.result, fr_smtp_send_message(s.smtp));
        std::vector<peer::Stored> got = peer::find(tok);
        if (!c.tls) {
            EXPECT_TRUE(got.empty());
            EXPECT_FALSE(log.starting("SMTP server error: ").empty() && log.starting("Transfer status: ").empty());
            continue;
        }
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(c.tls, peer::json_field(got[0].meta, "tls"));
        EXPECT_EQ("[\"rcpt@kivo.test\"]", peer::json_field(got[0].meta, "rcpt_tos"));
        EXPECT_EQ("sender@kivo.test", peer::json_field(got[0].meta, "mail_from"));
        EXPECT_NE(std::string::npos, got[0].eml.find("body of " + tok));
        EXPECT_EQ(1u, log.starting("Transfer status: 250 ").size());
        EXPECT_TRUE(log.has("Recipient status for rcpt@kivo.test: 250 OK\r\n\n"));
        EXPECT_TRUE(log.starting("Transfer successfull").empty());
        // The self-signed certificate is accepted by default, and said so.
        bool tls = std::string(c.tls) == "true";
        EXPECT_EQ(tls, log.has("Invalid peer certificate: 18: X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT - accepted\n"));
        EXPECT_EQ(tls, log.has("SMTP_EV_STARTTLS_OK - TLS started here.\n"));
        for (const LogLine &l : log.lines) EXPECT_EQ("smtp", l.file) << l.message;
    }
}

TEST(Smtp, AuthenticationRightAndWrongPassword) {
    struct Case {
        const char *password;
        int auth, tls;
        int result;
    } cases[] = {
        {"s3cret-pw", 1, 0, 0},
        {"s3cret-pw", 1, 1, 0},
        {"wrong", 1, 1, -1},
        {"s3cret-pw", 0, 0, -1},  // not enabled: the server insists
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.password) + " auth=" + std::to_string(c.auth) + " tls=" + std::to_string(c.tls));
        std::string tok = peer::token("auth");
        Session s;
        s.prepare("auth", tok, {"rcpt@kivo.test"});
        char *stored = fr_smtp_set_credentials(s.smtp, "kivo", c.password);
        ASSERT_NE(nullptr, stored);
        EXPECT_STREQ(c.password, stored);
        EXPECT_NE(c.password, stored);  // a copy
        fr_smtp_enable_auth(s.smtp, c.auth);
        fr_smtp_enable_tls(s.smtp, c.tls, 0);
        EXPECT_EQ(c.result, fr_smtp_send_message(s.smtp));
        std::vector<peer::Stored> got = peer::find(tok);
        if (c.result == 0) {
            ASSERT_EQ(1u, got.size());
            EXPECT_EQ("kivo", peer::json_field(got[0].meta, "auth"));
        } else {
            EXPECT_TRUE(got.empty());
        }
    }
}

// One refused recipient of two: the message still goes to the other, the
// result follows the message status, and the shortfall is logged.
TEST(Smtp, RefusedRecipientGivesPartialDeliveryNotice) {
    LogRecorder log;
    std::string tok = peer::token("partial");
    Session s;
    s.prepare("notls", tok, {"good@kivo.test", "refuse-me@kivo.test"});
    EXPECT_EQ(0, fr_smtp_send_message(s.smtp));
    EXPECT_TRUE(log.has("Transfer successfull for 1 out of 2 total recipients.\n"));
    EXPECT_TRUE(log.has("Recipient status for good@kivo.test: 250 OK\r\n\n"));
    EXPECT_EQ(1u, log.starting("Recipient status for refuse-me@kivo.test: 550 ").size());
    std::vector<peer::Stored> got = peer::find(tok);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("[\"good@kivo.test\"]", peer::json_field(got[0].meta, "rcpt_tos"));

    // Every recipient refused: no message status 2xx, failure.
    LogRecorder log2;
    std::string tok2 = peer::token("none");
    Session s2;
    s2.prepare("notls", tok2, {"refuse-a@kivo.test"});
    EXPECT_EQ(-1, fr_smtp_send_message(s2.smtp));
    EXPECT_TRUE(peer::find(tok2).empty());
}

// Servers that break the dialogue: each is a failure with the server-error
// line, and nothing hangs.
TEST(Smtp, BrokenServersFail) {
    for (const char *instance : {"drop", "middata", "garbage"}) {
        SCOPED_TRACE(instance);
        LogRecorder log;
        Session s;
        s.prepare(instance, peer::token("broken"), {"rcpt@kivo.test"});
        EXPECT_EQ(-1, fr_smtp_send_message(s.smtp));
        std::vector<std::string> errors = log.starting("SMTP server error: ");
        std::vector<std::string> status = log.starting("Transfer status: ");
        EXPECT_EQ(1u, errors.size() + status.size());
        for (const std::string &e : errors) EXPECT_EQ('\n', e.back());
    }
    // Nobody listening.
    LogRecorder log;
    Session s;
    ASSERT_NE(nullptr, s.smtp);
    fr_smtp_set_host(s.smtp, "127.0.0.1:1");
    fr_smtp_add_recipient(s.smtp, "rcpt@kivo.test");
    s.fp = message_with("x");
    fr_smtp_set_message_fp(s.smtp, s.fp);
    EXPECT_EQ(-1, fr_smtp_send_message(s.smtp));
    EXPECT_EQ(1u, log.starting("SMTP server error: ").size());
}

TEST(Smtp, DroppedConnectionLogsLibraryErrorText) {
    LogRecorder log;
    Session s;
    s.prepare("drop", peer::token("drop"), {"rcpt@kivo.test"});
    EXPECT_EQ(-1, fr_smtp_send_message(s.smtp));
    EXPECT_TRUE(log.has("SMTP server error: SMTP server dropped connection\n")) << (log.lines.empty() ? "" : log.lines.back().message);
    EXPECT_TRUE(log.starting("Transfer status").empty());
}

TEST(Smtp, MonitorShowsTheDialogue) {
    std::string tok = peer::token("monitor");
    for (int on : {1, 0}) {
        LogRecorder log;
        Session s;
        s.prepare("notls", tok, {"rcpt@kivo.test"});
        fr_smtp_enable_monitor(s.smtp, on);
        EXPECT_EQ(0, fr_smtp_send_message(s.smtp));
        std::vector<std::string> c = log.starting("C: "), sv = log.starting("S: "), h = log.starting("H: ");
        if (!on) {
            EXPECT_TRUE(c.empty() && sv.empty() && h.empty());
            continue;
        }
        ASSERT_FALSE(c.empty());
        ASSERT_FALSE(sv.empty());
        EXPECT_EQ(0u, sv[0].rfind("S: 220 ", 0));
        bool ehlo = false, rcpt = false, subject = false;
        for (const std::string &l : c) {
            EXPECT_EQ('\n', l.back());
            ehlo |= l.rfind("C: EHLO ", 0) == 0;
            rcpt |= l == "C: RCPT TO:<rcpt@kivo.test>\r\n";
        }
        for (const std::string &l : h) subject |= l.find(tok) != std::string::npos;
        EXPECT_TRUE(ehlo);
        EXPECT_TRUE(rcpt);
        EXPECT_TRUE(subject);
        for (const LogLine &l : log.lines)
            if (l.message.rfind("C: ", 0) == 0 || l.message.rfind("S: ", 0) == 0) {
                EXPECT_EQ(6, l.level);
            }
    }
}

// Strict mode: the self-signed certificate is refused unless it is the
// trusted CA, and then only under a name it carries.
TEST(Smtp, StrictTlsVerifiesCertificateAndName) {
    std::string ca = peer::state() + "/cert.pem";
    struct Case {
        const char *host;  // null: 127.0.0.1
        const char *ca;    // "-" system store
        int result;
        const char *line;
    } cases[] = {
        {nullptr, "-", -1, "Invalid peer certificate: 18: X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT - refused\n"},
        {nullptr, ca.c_str(), 0, nullptr},
        {"localhost", ca.c_str(), -1, "SMTP_EV_WRONG_PEER_CERTIFICATE - refused.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.host ? c.host : "127.0.0.1") + " " + c.ca);
        LogRecorder log;
        std::string tok = peer::token("strict");
        Session s;
        s.prepare("main", tok, {"rcpt@kivo.test"});
        if (c.host) fr_smtp_set_host(s.smtp, (std::string(c.host) + ":" + std::to_string(peer::port("main"))).c_str());
        fr_smtp_enable_tls(s.smtp, 0, 1);
        ASSERT_EQ(0, fr_smtp_set_tls_verify(s.smtp, 1, std::string(c.ca) == "-" ? nullptr : c.ca));
        EXPECT_EQ(c.result, fr_smtp_send_message(s.smtp));
        EXPECT_EQ(c.result == 0 ? 1u : 0u, peer::find(tok).size());
        if (c.line) {
            EXPECT_TRUE(log.has(c.line));
        }
        EXPECT_TRUE(log.starting("Invalid peer certificate").empty() || c.line) << "no complaint expected";
    }
    // Back to the default: accepted again on the same record type.
    Session s;
    std::string tok = peer::token("lenient");
    s.prepare("main", tok, {"rcpt@kivo.test"});
    fr_smtp_enable_tls(s.smtp, 0, 1);
    ASSERT_EQ(0, fr_smtp_set_tls_verify(s.smtp, 1, nullptr));
    ASSERT_EQ(0, fr_smtp_set_tls_verify(s.smtp, 0, nullptr));
    EXPECT_EQ(0, fr_smtp_send_message(s.smtp));
    EXPECT_EQ(1u, peer::find(tok).size());
    // A CA file that does not exist leaves the record as it was.
    EXPECT_EQ(-1, fr_smtp_set_tls_verify(s.smtp, 1, "/nonexistent/ca.pem"));
}

// A mechanism that asks for more than a user and a password: the extra
// request is logged with its flags and left unanswered.
TEST(Smtp, UnknownAuthRequestIsLogged) {
    LogRecorder log;
    Session s;
    s.prepare("ntlm", peer::token("ntlm"), {"rcpt@kivo.test"});
    fr_smtp_set_credentials(s.smtp, "kivo", "s3cret-pw");
    fr_smtp_enable_auth(s.smtp, 1);
    fr_smtp_send_message(s.smtp);
    std::vector<std::string> req = log.starting("Request for unknown auth param ");
    ASSERT_FALSE(req.empty());
    // NTLM asks for the domain as a realm: AUTH_REALM | AUTH_CLEARTEXT.
    for (const std::string &r : req) EXPECT_EQ("Request for unknown auth param a.\n", r);
}

TEST(Smtp, NullArgumentsAreRefused) {
    LogRecorder log;
    EXPECT_EQ(0, fr_smtp_set_host(nullptr, "x:25"));
    EXPECT_EQ(nullptr, fr_smtp_set_credentials(nullptr, "u", "p"));
    EXPECT_EQ(nullptr, fr_smtp_set_passphrase(nullptr, "p"));
    EXPECT_EQ(nullptr, fr_smtp_enable_tls(nullptr, 1, 1));
    EXPECT_EQ(nullptr, fr_smtp_add_recipient(nullptr, "a@b"));
    EXPECT_EQ(-1, fr_smtp_send_message(nullptr));
    EXPECT_EQ(-1, fr_smtp_set_tls_verify(nullptr, 1, nullptr));
    fr_smtp_enable_auth(nullptr, 1);
    fr_smtp_enable_monitor(nullptr, 1);
    EXPECT_EQ(1, fr_smtp_destroy(nullptr));
    EXPECT_EQ(9u, log.starting("smtp:").size());
    Session s;
    EXPECT_EQ(0, fr_smtp_set_host(s.smtp, nullptr));
    EXPECT_EQ(nullptr, fr_smtp_add_recipient(s.smtp, nullptr));
    EXPECT_EQ(0, fr_smtp_set_message_fp(s.smtp, nullptr));
}

// Envelope addresses are written between angle brackets on a command line of
// their own: line breaks, brackets, spaces and control characters would let
// the text add commands or parameters, so the setters refuse them.
TEST(Smtp, EnvelopeAddressesCannotCarryCommands) {
    LogRecorder log;
    Session s;
    const char *bad[] = {"a@b.example>\r\nRSET\r\nMAIL FROM:<evil@x", "c@d\r\nRCPT TO:<x@y", "a@b\nRSET", "a@b\rRSET",
                         "a@b.example> BODY=8BITMIME", "c@d> NOTIFY=NEVER", "<a@b>", "a b@c", "a@b\t", "a@b\x7f"};
    for (const char *a : bad) {
        EXPECT_EQ(nullptr, fr_smtp_add_recipient(s.smtp, a)) << a;
        EXPECT_EQ(0, fr_smtp_set_return_path(s.smtp, a)) << a;
    }
    EXPECT_EQ(2 * (sizeof bad / sizeof *bad), log.starting("smtp:").size());
    EXPECT_NE(nullptr, fr_smtp_add_recipient(s.smtp, "rcpt@kivo.test"));
    EXPECT_NE(0, fr_smtp_set_return_path(s.smtp, "sender@kivo.test"));
    EXPECT_NE(0, fr_smtp_set_return_path(s.smtp, nullptr));  // the null sender stays allowed
}

}  // namespace
