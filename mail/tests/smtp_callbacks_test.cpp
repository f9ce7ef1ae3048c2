// The callbacks the SMTP record hands to libESMTP, driven with every input
// a real server cannot easily produce: this program stands in front of
// libESMTP's setter functions, keeps the callbacks they receive and passes
// the calls on, so a real session installs them and the test then calls
// them directly.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <openssl/x509_vfy.h>
#include <auth-client.h>
#include <libesmtp.h>
#include <string.h>
#include <string>
#include <kivo/smtp.h>
#include "support/mail_peer.h"

namespace {
smtp_eventcb_t g_event;
smtp_session_t g_session;
smtp_monitorcb_t g_monitor;
smtp_starttls_passwordcb_t g_password;
void *g_password_arg;
auth_interact_t g_interact;
void *g_interact_arg;

template <class F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" {
int smtp_set_eventcb(smtp_session_t session, smtp_eventcb_t cb, void *arg) {
    g_event = cb;
    g_session = session;
    return next<int (*)(smtp_session_t, smtp_eventcb_t, void *)>("smtp_set_eventcb")(session, cb, arg);
}
int smtp_set_monitorcb(smtp_session_t session, smtp_monitorcb_t cb, void *arg, int headers) {
    if (cb) g_monitor = cb;
    return next<int (*)(smtp_session_t, smtp_monitorcb_t, void *, int)>("smtp_set_monitorcb")(session, cb, arg, headers);
}
int smtp_starttls_set_password_cb(smtp_starttls_passwordcb_t cb, void *arg) {
    g_password = cb;
    g_password_arg = arg;
    return next<int (*)(smtp_starttls_passwordcb_t, void *)>("smtp_starttls_set_password_cb")(cb, arg);
}
int auth_set_interact_cb(auth_context_t context, auth_interact_t cb, void *arg) {
    g_interact = cb;
    g_interact_arg = arg;
    return next<int (*)(auth_context_t, auth_interact_t, void *)>("auth_set_interact_cb")(context, cb, arg);
}
}

namespace {

#define NAME(x) {x, #x}
const struct {
    long code;
    const char *name;
} kVerifyNames[] = {
    NAME(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT), NAME(X509_V_ERR_UNABLE_TO_GET_CRL),
    NAME(X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE), NAME(X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE),
    NAME(X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY), NAME(X509_V_ERR_CERT_SIGNATURE_FAILURE),
    NAME(X509_V_ERR_CRL_SIGNATURE_FAILURE), NAME(X509_V_ERR_CERT_NOT_YET_VALID), NAME(X509_V_ERR_CERT_HAS_EXPIRED),
    NAME(X509_V_ERR_CRL_NOT_YET_VALID), NAME(X509_V_ERR_CRL_HAS_EXPIRED),
    NAME(X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD), NAME(X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD),
    NAME(X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD), NAME(X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD),
    NAME(X509_V_ERR_OUT_OF_MEM), NAME(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT),
    NAME(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN), NAME(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY),
    NAME(X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE), NAME(X509_V_ERR_CERT_CHAIN_TOO_LONG),
    NAME(X509_V_ERR_CERT_REVOKED), NAME(X509_V_ERR_NO_ISSUER_PUBLIC_KEY), NAME(X509_V_ERR_PATH_LENGTH_EXCEEDED),
    NAME(X509_V_ERR_INVALID_PURPOSE), NAME(X509_V_ERR_CERT_UNTRUSTED), NAME(X509_V_ERR_CERT_REJECTED),
};

// One real session through the record installs every callback.
struct Installed : ::testing::Test {
    fr_smtp_t *smtp = nullptr;
    FILE *fp = nullptr;
    void SetUp() override {
        g_event = nullptr, g_monitor = nullptr, g_password = nullptr, g_interact = nullptr;
        smtp = fr_smtp_init();
        ASSERT_NE(nullptr, smtp);
        fr_smtp_set_host(smtp, peer::host("main").c_str());
        fr_smtp_add_recipient(smtp, "rcpt@kivo.test");
        fr_smtp_set_return_path(smtp, "sender@kivo.test");
        fr_smtp_set_credentials(smtp, "kivo", "s3cret-pw");
        fr_smtp_set_passphrase(smtp, "0123456789");
        fr_smtp_enable_auth(smtp, 1);
        fr_smtp_enable_monitor(smtp, 1);
        fp = tmpfile();
        fputs("Subject: callbacks\r\n\r\nx\r\n", fp);
        rewind(fp);
        fr_smtp_set_message_fp(smtp, fp);
        ASSERT_EQ(0, fr_smtp_send_message(smtp));
        ASSERT_TRUE(g_event && g_monitor && g_password && g_interact);
    }
    void TearDown() override {
        fr_smtp_destroy(smtp);
        if (fp) fclose(fp);
    }
    // Runs one event and returns (what was logged, the ok flag).
    std::pair<std::string, int> event(int no, long a = 0, int extra = 0) {
        LogRecorder log;
        int ok = -7;
        switch (no) {
        case SMTP_EV_WEAK_CIPHER: g_event(g_session, no, nullptr, static_cast<int>(a), &ok); break;
        case SMTP_EV_INVALID_PEER_CERTIFICATE: g_event(g_session, no, nullptr, a, &ok, nullptr); break;
        case SMTP_EV_NO_PEER_CERTIFICATE:
        case SMTP_EV_WRONG_PEER_CERTIFICATE:
        case SMTP_EV_NO_CLIENT_CERTIFICATE: g_event(g_session, no, nullptr, &ok, nullptr, nullptr); break;
        default: g_event(g_session, no, nullptr, extra, extra); break;
        }
        std::string all;
        for (const LogLine &l : log.lines) all += l.message;
        return {all, ok};
    }
};

TEST_F(Installed, EventTextsAndVerdicts) {
    for (int quiet : {0, 1, 2, 3, 4, 5}) EXPECT_EQ("", event(quiet).first) << quiet;
    EXPECT_EQ("Got event: 3000 - ignored.\n", event(3000).first);
    EXPECT_EQ("Got event: -1 - ignored.\n", event(-1).first);
    EXPECT_EQ("Got event: 6 - ignored.\n", event(6).first);
    EXPECT_EQ("SMTP_EV_STARTTLS_OK - TLS started here.\n", event(SMTP_EV_STARTTLS_OK).first);
    EXPECT_EQ(std::make_pair(std::string("SMTP_EV_WEAK_CIPHER, bits=40 - accepted.\n"), 1),
              event(SMTP_EV_WEAK_CIPHER, 40));
    EXPECT_EQ(std::make_pair(std::string("SMTP_EV_NO_PEER_CERTIFICATE - accepted.\n"), 1),
              event(SMTP_EV_NO_PEER_CERTIFICATE));
    EXPECT_EQ(std::make_pair(std::string("SMTP_EV_WRONG_PEER_CERTIFICATE - accepted.\n"), 1),
              event(SMTP_EV_WRONG_PEER_CERTIFICATE));
    EXPECT_EQ(std::make_pair(std::string("SMTP_EV_NO_CLIENT_CERTIFICATE - accepted.\n"), 1),
              event(SMTP_EV_NO_CLIENT_CERTIFICATE));
    // Every verification result has OpenSSL's name; the rest are "rare".
    for (const auto &v : kVerifyNames) {
        EXPECT_EQ(std::make_pair("Invalid peer certificate: " + std::to_string(v.code) + ": " + v.name + " - accepted\n", 1),
                  event(SMTP_EV_INVALID_PEER_CERTIFICATE, v.code));
    }
    for (long rare : {0L, 1L, 29L, 79L, -3L}) {
        EXPECT_EQ(std::make_pair("Invalid peer certificate: " + std::to_string(rare) + ": rare error - accepted\n", 1),
                  event(SMTP_EV_INVALID_PEER_CERTIFICATE, rare));
    }
    // The strict mode refuses what the default accepts, a missing client
    // certificate excepted.
    ASSERT_EQ(0, fr_smtp_set_tls_verify(smtp, 1, nullptr));
    EXPECT_EQ(std::make_pair(std::string("Invalid peer certificate: 10: X509_V_ERR_CERT_HAS_EXPIRED - refused\n"), 0),
              event(SMTP_EV_INVALID_PEER_CERTIFICATE, 10));
    EXPECT_EQ(std::make_pair(std::string("SMTP_EV_WRONG_PEER_CERTIFICATE - refused.\n"), 0),
              event(SMTP_EV_WRONG_PEER_CERTIFICATE));
    EXPECT_EQ(std::make_pair(std::string("SMTP_EV_NO_PEER_CERTIFICATE - refused.\n"), 0),
              event(SMTP_EV_NO_PEER_CERTIFICATE));
    EXPECT_EQ(std::make_pair(std::string("SMTP_EV_WEAK_CIPHER, bits=40 - refused.\n"), 0),
              event(SMTP_EV_WEAK_CIPHER, 40));
    EXPECT_EQ(1, event(SMTP_EV_NO_CLIENT_CERTIFICATE).second);
}

TEST_F(Installed, PassPhraseIsHandedOnlyWhenItFits) {
    ASSERT_EQ(smtp, g_password_arg);
    char buf[32];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(10, g_password(buf, 11, 0, g_password_arg));
    EXPECT_STREQ("0123456789", buf);
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(0, g_password(buf, 10, 0, g_password_arg));  // as long as the buffer
    EXPECT_EQ(0, g_password(buf, 5, 0, g_password_arg));   // longer
    EXPECT_EQ('x', buf[0]);
    fr_smtp_set_passphrase(smtp, "");
    EXPECT_EQ(0, g_password(buf, 32, 1, g_password_arg));
    EXPECT_EQ('\0', buf[0]);
}

TEST_F(Installed, InteractionAnswersUserAndPasswordOnly) {
    ASSERT_EQ(smtp, g_interact_arg);
    const auth_client_request req[] = {
        {"user", AUTH_USER, "User", 0},
        {"passphrase", AUTH_PASS | AUTH_CLEARTEXT, "Password", 0},
        {"realm", AUTH_REALM, "Realm", 0},
        {"both", AUTH_USER | AUTH_PASS, "?", 0},
    };
    char *result[4] = {nullptr, nullptr, nullptr, nullptr};
    LogRecorder log;
    EXPECT_EQ(1, g_interact(req, result, 4, g_interact_arg));
    EXPECT_STREQ("kivo", result[0]);
    EXPECT_STREQ("s3cret-pw", result[1]);
    EXPECT_EQ(nullptr, result[2]);
    EXPECT_STREQ("kivo", result[3]);
    ASSERT_EQ(1u, log.lines.size());
    EXPECT_EQ("Request for unknown auth param 2.\n", log.lines[0].message);
    EXPECT_EQ(5, log.lines[0].level);
}

TEST_F(Installed, MonitorLines) {
    struct Case {
        const char *buf;
        int len, dir;
        const char *line;
    } cases[] = {
        {"Subject: x\r\n", 12, SMTP_CB_HEADERS, "H: Subject: x\r\n\n"},
        {"EHLO me\r\n", 9, SMTP_CB_WRITING, "C: EHLO me\r\n"},
        {"250 OK\r\n", 8, SMTP_CB_READING, "S: 250 OK\r\n"},
        {"250 OK", 6, SMTP_CB_READING, "S: 250 OK\n"},
        {"DATAxxxx", 4, SMTP_CB_WRITING, "C: DATA\n"},
    };
    for (const Case &c : cases) {
        LogRecorder log;
        g_monitor(c.buf, c.len, c.dir, nullptr);
        ASSERT_EQ(1u, log.lines.size());
        EXPECT_EQ(c.line, log.lines[0].message);
        EXPECT_EQ(6, log.lines[0].level);
        EXPECT_EQ("smtp", log.lines[0].file);
    }
}

}  // namespace
