/*
 * SMTP submission over libESMTP: the record, its settings, the send and the
 * libESMTP callbacks (interaction, pass phrase, events, monitor).
 *
 * No frame exception crosses this file: it calls neither the safe strings
 * nor anything that raises.
 */
#define KIVO_FILE "smtp"
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <auth-client.h>
#include <libesmtp.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>
#include <kivo/log.h>
#include <kivo/memory.h>
#include <kivo/smtp.h>
#include "mail_internal.h"
#include "object_impl.h"

struct fr_smtp {
    smtp_session_t session;
    smtp_message_t message;
    auth_context_t auth;
    int auth_enabled;
    int tls;
    int tls_required;
    char *user;
    char *password;
    char *passphrase;
    int monitor;
    int rcpt_count;
    int delivered;
    /* A stream was handed over for the message (fr_smtp_set_message_fp). */
    int has_source;
    /* The server as last set, so that a fresh session can talk to it. */
    char *server;
    /* Strict certificate checking: the context handed to libESMTP, holding
     * the trusted certificates, or null for libESMTP's own. */
    int tls_strict;
    SSL_CTX *tls_ctx;
    fr_alloc_api api;
    fr_object_header hdr;
};

namespace {

int smtp_release(fr_smtp *s);
using SmtpObject = kivo::Object<fr_smtp, smtp_release>;

/* libESMTP's SASL client is set up once per process. */
bool auth_client_ready = false;

/* Every message of this module goes to the log callback or a forced
 * console only. */
#define SMTP_LOG(level, ...) fr_log_impl(KIVO_FILE, __LINE__, __func__, 0, (level), __VA_ARGS__)

char *dup_with(const fr_alloc_api &api, const char *s) {
    size_t n = strlen(s) + 1;
    char *d = static_cast<char *>(api.alloc(n));
    if (d) memcpy(d, s, n);
    return d;
}

void release_string(const fr_alloc_api &api, char **p) {
    if (*p) {
        /* Credentials do not linger in freed memory. */
        memset(*p, 0, strlen(*p));
        api.free(*p);
        *p = nullptr;
    }
}

int smtp_release(fr_smtp *s) {
    if (s->session) smtp_destroy_session(s->session);
    s->session = nullptr;
    s->message = nullptr;
    if (s->auth) auth_destroy_context(s->auth);
    s->auth = nullptr;
    if (s->tls_ctx) SSL_CTX_free(s->tls_ctx);
    s->tls_ctx = nullptr;
    release_string(s->api, &s->user);
    release_string(s->api, &s->password);
    release_string(s->api, &s->passphrase);
    if (s->server) s->api.free(s->server);
    s->server = nullptr;
    return 0;
}

const char *const x509_names[] = {
    "X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT",
    "X509_V_ERR_UNABLE_TO_GET_CRL",
    "X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE",
    "X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE",
    "X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY",
    "X509_V_ERR_CERT_SIGNATURE_FAILURE",
    "X509_V_ERR_CRL_SIGNATURE_FAILURE",
    "X509_V_ERR_CERT_NOT_YET_VALID",
    "X509_V_ERR_CERT_HAS_EXPIRED",
    "X509_V_ERR_CRL_NOT_YET_VALID",
    "X509_V_ERR_CRL_HAS_EXPIRED",
    "X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD",
    "X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD",
    "X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD",
    "X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD",
    "X509_V_ERR_OUT_OF_MEM",
    "X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT",
    "X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN",
    "X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY",
    "X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE",
    "X509_V_ERR_CERT_CHAIN_TOO_LONG",
    "X509_V_ERR_CERT_REVOKED",
    "X509_V_ERR_NO_ISSUER_PUBLIC_KEY",
    "X509_V_ERR_PATH_LENGTH_EXCEEDED",
    "X509_V_ERR_INVALID_PURPOSE",
    "X509_V_ERR_CERT_UNTRUSTED",
    "X509_V_ERR_CERT_REJECTED",
};
static_assert(sizeof(x509_names) / sizeof(x509_names[0]) == 27, "codes 2 to 28");
static_assert(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT == 2 && X509_V_ERR_CERT_REJECTED == 28,
              "OpenSSL's numbering of verification results");

const char *x509_name(long code) {
    if (code < 2 || code > 28) return "rare error";
    return x509_names[code - 2];
}

/* The strict mode's verdict on a certificate complaint; the default mode
 * accepts every complaint. */
void accept_or_refuse(fr_smtp *s, int *ok) {
    if (ok) *ok = (s && s->tls_strict) ? 0 : 1;
}

void handle_invalid_peer_certificate(fr_smtp *s, long result, int *ok) {
    if (s && s->tls_strict) {
        SMTP_LOG(LOG_NOTICE, "Invalid peer certificate: %ld: %s - refused\n", result, x509_name(result));
    } else {
        SMTP_LOG(LOG_NOTICE, "Invalid peer certificate: %ld: %s - accepted\n", result, x509_name(result));
    }
    accept_or_refuse(s, ok);
}

int auth_interact_cb(auth_client_request_t request, char **result, int fields, void *arg) {
    fr_smtp *s = static_cast<fr_smtp *>(arg);
    for (int i = 0; i < fields; i++) {
        if (request[i].flags & AUTH_USER) {
            result[i] = s->user;
        } else if (request[i].flags & AUTH_PASS) {
            result[i] = s->password;
        } else {
            SMTP_LOG(LOG_NOTICE, "Request for unknown auth param %x.\n", request[i].flags);
        }
    }
    return 1;
}

int passphrase_cb(char *buf, int buflen, int rwflag, void *arg) {
    (void)rwflag;
    fr_smtp *s = static_cast<fr_smtp *>(arg);
    if (!s || !s->passphrase || !buf || buflen <= 0) return 0;
    size_t len = strlen(s->passphrase);
    if (len >= static_cast<size_t>(buflen)) return 0;
    memcpy(buf, s->passphrase, len + 1);
    return static_cast<int>(len);
}

void event_cb(smtp_session_t session, int event_no, void *arg, ...) {
    (void)arg;
    fr_smtp *s = static_cast<fr_smtp *>(smtp_get_application_data(session));
    va_list ap;
    va_start(ap, arg);
    switch (event_no) {
    case SMTP_EV_CONNECT:
    case SMTP_EV_MAILSTATUS:
    case SMTP_EV_RCPTSTATUS:
    case SMTP_EV_MESSAGEDATA:
    case SMTP_EV_MESSAGESENT:
    case SMTP_EV_DISCONNECT:
        break;
    case SMTP_EV_WEAK_CIPHER: {
        int bits = va_arg(ap, int);
        int *ok = va_arg(ap, int *);
        if (s && s->tls_strict) {
            SMTP_LOG(LOG_NOTICE, "SMTP_EV_WEAK_CIPHER, bits=%d - refused.\n", bits);
        } else {
            SMTP_LOG(LOG_NOTICE, "SMTP_EV_WEAK_CIPHER, bits=%d - accepted.\n", bits);
        }
        accept_or_refuse(s, ok);
        break;
    }
    case SMTP_EV_STARTTLS_OK:
        SMTP_LOG(LOG_DEBUG, "SMTP_EV_STARTTLS_OK - TLS started here.\n");
        break;
    case SMTP_EV_INVALID_PEER_CERTIFICATE: {
        long result = va_arg(ap, long);
        int *ok = va_arg(ap, int *);
        handle_invalid_peer_certificate(s, result, ok);
        break;
    }
    case SMTP_EV_NO_PEER_CERTIFICATE:
    case SMTP_EV_WRONG_PEER_CERTIFICATE:
    case SMTP_EV_NO_CLIENT_CERTIFICATE: {
        int *ok = va_arg(ap, int *);
        const char *name = event_no == SMTP_EV_NO_PEER_CERTIFICATE      ? "SMTP_EV_NO_PEER_CERTIFICATE"
                           : event_no == SMTP_EV_WRONG_PEER_CERTIFICATE ? "SMTP_EV_WRONG_PEER_CERTIFICATE"
                                                                        : "SMTP_EV_NO_CLIENT_CERTIFICATE";
        /* A missing client certificate is the client's own business. */
        if (s && s->tls_strict && event_no != SMTP_EV_NO_CLIENT_CERTIFICATE) {
            SMTP_LOG(LOG_NOTICE, "%s - refused.\n", name);
            accept_or_refuse(s, ok);
        } else {
            SMTP_LOG(LOG_NOTICE, "%s - accepted.\n", name);
            if (ok) *ok = 1;
        }
        break;
    }
    default:
        SMTP_LOG(LOG_DEBUG, "Got event: %d - ignored.\n", event_no);
        break;
    }
    va_end(ap);
}

void monitor_cb(const char *buf, int buflen, int writing, void *arg) {
    (void)arg;
    if (writing == SMTP_CB_HEADERS) {
        SMTP_LOG(LOG_INFO, "H: %.*s\n", buflen, buf);
        return;
    }
    int c = writing ? 'C' : 'S';
    if (buflen > 0 && buf[buflen - 1] == '\n') {
        SMTP_LOG(LOG_INFO, "%c: %.*s", c, buflen, buf);
    } else {
        SMTP_LOG(LOG_INFO, "%c: %.*s\n", c, buflen, buf);
    }
}

void log_smtp_error() {
    char buf[128];
    int err = smtp_errno();
    const char *text = smtp_strerror(err, buf, sizeof buf);
    SMTP_LOG(LOG_ERR, "SMTP server error: %s\n", text ? text : "");
}

void recipient_status_cb(smtp_recipient_t recipient, const char *mailbox, void *arg) {
    fr_smtp *s = static_cast<fr_smtp *>(arg);
    const smtp_status_t *st = smtp_recipient_status(recipient);
    int code = st ? st->code : 0;
    const char *text = st && st->text ? st->text : "";
    SMTP_LOG(LOG_DEBUG, "Recipient status for %s: %d %s\n", mailbox ? mailbox : "", code, text);
    if (code >= 200 && code <= 299) s->delivered++;
}

/* The TLS context of the record's sessions, made on first use and kept
 * for the record's life (libESMTP keeps the pointer it was given).
 *
 * The record always brings its own context instead of letting libESMTP make
 * one: libESMTP's reads stall after a TLS 1.3 handshake (the session then
 * waits out its five-minute timeout on a reply that has already arrived),
 * so the sessions stay at TLS 1.2. The client certificate libESMTP would
 * load, $HOME/.authenticate/private/smtp-starttls.pem, is loaded here, its
 * key unlocked through the pass-phrase callback. */
int passphrase_cb(char *buf, int buflen, int rwflag, void *arg);

SSL_CTX *ensure_ctx(fr_smtp *s) {
    if (s->tls_ctx) return s->tls_ctx;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    /* The handshake completes whatever the certificate; libESMTP then reads
     * the verification result and asks the event callback. */
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_passwd_cb(ctx, passphrase_cb);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, s);
    const char *home = getenv("HOME");
    if (home && *home) {
        char path[4096];
        int n = snprintf(path, sizeof path, "%s/.authenticate/private/smtp-starttls.pem", home);
        if (n > 0 && static_cast<size_t>(n) < sizeof path && access(path, R_OK) == 0) {
            if (SSL_CTX_use_certificate_chain_file(ctx, path) != 1 ||
                SSL_CTX_use_PrivateKey_file(ctx, path, SSL_FILETYPE_PEM) != 1) {
                SMTP_LOG(LOG_NOTICE, "SMTP_EV_UNUSABLE_CLIENT_CERTIFICATE - ignored.\n");
            }
        }
    }
    s->tls_ctx = ctx;
    return ctx;
}

}  // namespace

KIVO_API fr_smtp_t *fr_smtp_init(void) {
    if (!auth_client_ready) {
        auth_client_init();
        auth_client_ready = true;
    }
    fr_smtp *s = SmtpObject::create(nullptr, nullptr);
    if (!s) return nullptr;
    s->session = smtp_create_session();
    if (s->session) s->message = smtp_add_message(s->session);
    if (!s->session || !s->message || !smtp_set_server(s->session, "127.0.0.1:25")) {
        FR_LOG_CONDITIONAL_RETURN();
        if (s->session) smtp_destroy_session(s->session);
        SmtpObject::discard(s);
        return nullptr;
    }
    smtp_set_application_data_release(s->session, s, nullptr);
    return s;
}

KIVO_API int fr_smtp_destroy(fr_smtp_t *smtp) { return SmtpObject::unref(smtp); }

KIVO_API int fr_smtp_set_host(fr_smtp_t *smtp, const char *server) {
    FR_CHECK_RETURN(smtp && smtp->session, 0);
    if (!server) return 0;
    int rc = smtp_set_server(smtp->session, server);
    if (rc) {
        char *copy = dup_with(smtp->api, server);
        FR_CHECK_RETURN(copy, 0);
        if (smtp->server) smtp->api.free(smtp->server);
        smtp->server = copy;
    }
    return rc;
}

/* Gives the record a new session and message in place of the sent one:
 * libESMTP keeps the recipients of a session (and skips those already
 * served on the next run) and the stream it was handed, which the caller
 * of fr_mail_send_direct has closed by now. Settings and the
 * authentication context carry over. 0, or -1 (the record then holds no
 * session and every later send fails its precondition). */
int smtp_forget_message(fr_smtp_t *smtp) {
    FR_CHECK_RETURN(smtp, -1);
    if (smtp->session) {
        /* The context belongs to the record, not to the session. */
        smtp_auth_set_context(smtp->session, nullptr);
        smtp_destroy_session(smtp->session);
    }
    smtp->message = nullptr;
    smtp->has_source = 0;
    smtp->rcpt_count = 0;
    smtp->delivered = 0;
    smtp->session = smtp_create_session();
    if (smtp->session) smtp->message = smtp_add_message(smtp->session);
    if (!smtp->session || !smtp->message ||
        !smtp_set_server(smtp->session, smtp->server ? smtp->server : "127.0.0.1:25")) {
        if (smtp->session) smtp_destroy_session(smtp->session);
        smtp->session = nullptr;
        smtp->message = nullptr;
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    smtp_set_application_data_release(smtp->session, smtp, nullptr);
    if (smtp->auth) smtp_auth_set_context(smtp->session, smtp->auth);
    return 0;
}

KIVO_API char *fr_smtp_set_credentials(fr_smtp_t *smtp, const char *user, const char *password) {
    FR_CHECK_RETURN(smtp && user && password, nullptr);
    release_string(smtp->api, &smtp->user);
    release_string(smtp->api, &smtp->password);
    smtp->user = dup_with(smtp->api, user);
    smtp->password = dup_with(smtp->api, password);
    if (!smtp->user || !smtp->password) {
        FR_LOG_CONDITIONAL_RETURN();
        release_string(smtp->api, &smtp->user);
        release_string(smtp->api, &smtp->password);
        return nullptr;
    }
    return smtp->password;
}

KIVO_API char *fr_smtp_set_passphrase(fr_smtp_t *smtp, const char *passphrase) {
    FR_CHECK_RETURN(smtp && passphrase, nullptr);
    release_string(smtp->api, &smtp->passphrase);
    smtp->passphrase = dup_with(smtp->api, passphrase);
    FR_CHECK_RETURN(smtp->passphrase, nullptr);
    return smtp->passphrase;
}

KIVO_API void fr_smtp_enable_auth(fr_smtp_t *smtp, int flag) {
    FR_CHECK_RETURN_VOID(smtp);
    smtp->auth_enabled = flag;
}

KIVO_API fr_smtp_t *fr_smtp_enable_tls(fr_smtp_t *smtp, int use, int require) {
    FR_CHECK_RETURN(smtp, nullptr);
    smtp->tls_required = require;
    smtp->tls = (use || require) ? 1 : 0;
    return smtp;
}

KIVO_API int fr_smtp_set_tls_verify(fr_smtp_t *smtp, int flag, const char *ca_file) {
    FR_CHECK_RETURN(smtp, -1);
    if (!flag) {
        smtp->tls_strict = 0;
        return 0;
    }
    FR_CHECK_RETURN(ensure_ctx(smtp), -1);
    X509_STORE *store = X509_STORE_new();
    FR_CHECK_RETURN(store, -1);
    int loaded = ca_file ? X509_STORE_load_file(store, ca_file) : X509_STORE_set_default_paths(store);
    if (loaded != 1) {
        X509_STORE_free(store);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    SSL_CTX_set_cert_store(smtp->tls_ctx, store);
    smtp->tls_strict = 1;
    return 0;
}

KIVO_API void fr_smtp_enable_monitor(fr_smtp_t *smtp, int flag) {
    FR_CHECK_RETURN_VOID(smtp);
    smtp->monitor = flag;
}

// An envelope address goes into the MAIL FROM / RCPT TO line between angle
// brackets: a line break would start a command of its own, and a '>' or a
// space would let the text add ESMTP parameters. Such addresses are refused.
static bool envelope_address_ok(const char *address) {
    for (const unsigned char *p = (const unsigned char *)address; *p; p++)
        if (*p <= ' ' || *p == 0x7f || *p == '<' || *p == '>') return false;
    return true;
}

KIVO_API void *fr_smtp_add_recipient(fr_smtp_t *smtp, const char *address) {
    FR_CHECK_RETURN(smtp && smtp->message && address && envelope_address_ok(address), nullptr);
    smtp_recipient_t r = smtp_add_recipient(smtp->message, address);
    if (r) smtp->rcpt_count++;
    return r;
}

KIVO_API int fr_smtp_set_return_path(fr_smtp_t *smtp, const char *address) {
    FR_CHECK_RETURN(smtp && smtp->message && (!address || envelope_address_ok(address)), 0);
    return smtp_set_reverse_path(smtp->message, address);
}

KIVO_API int fr_smtp_set_message_fp(fr_smtp_t *smtp, FILE *fp) {
    FR_CHECK_RETURN(smtp && smtp->message && fp, 0);
    int rc = smtp_set_message_fp(smtp->message, fp);
    if (rc) smtp->has_source = 1;
    return rc;
}

KIVO_API int fr_smtp_send_message(fr_smtp_t *smtp) {
    /* Without a stream libESMTP would have nothing (or a stale one) to read. */
    FR_CHECK_RETURN(smtp && smtp->session && smtp->has_source, -1);
    smtp_set_header_option(smtp->message, "Bcc", Hdr_PROHIBIT, 1);

    if (smtp->auth_enabled && !smtp->auth) {
        smtp->auth = auth_create_context();
        FR_CHECK_RETURN(smtp->auth, -1);
        auth_set_mechanism_flags(smtp->auth, AUTH_PLUGIN_PLAIN, 0);
        auth_set_interact_cb(smtp->auth, auth_interact_cb, smtp);
        smtp_auth_set_context(smtp->session, smtp->auth);
    } else if (!smtp->auth_enabled && smtp->auth) {
        smtp_auth_set_context(smtp->session, nullptr);
        auth_destroy_context(smtp->auth);
        smtp->auth = nullptr;
    }

    /* libESMTP keeps one pass-phrase callback for the whole process; the
     * record of the send in progress is its argument. */
    smtp_starttls_set_password_cb(passphrase_cb, smtp);
    /* libESMTP only borrows the context; the record frees it after the
     * session. */
    if (smtp->tls || smtp->tls_required) {
        SSL_CTX *ctx = ensure_ctx(smtp);
        FR_CHECK_RETURN(ctx, -1);
        smtp_starttls_set_ctx(smtp->session, ctx);
    }
    smtp_starttls_enable(smtp->session, smtp->tls_required ? Starttls_REQUIRED
                                        : smtp->tls        ? Starttls_ENABLED
                                                           : Starttls_DISABLED);
    smtp_set_eventcb(smtp->session, event_cb, nullptr);
    smtp_set_monitorcb(smtp->session, smtp->monitor ? monitor_cb : nullptr, nullptr, 1);

    if (!smtp_start_session(smtp->session)) {
        log_smtp_error();
        return -1;
    }
    const smtp_status_t *st = smtp_message_transfer_status(smtp->message);
    int code = st ? st->code : 0;
    /* libESMTP ends a session whose server went away with success and no
     * verdict on the message; that is a server error like any other. */
    if (code == 0 && smtp_errno() != 0) {
        log_smtp_error();
        return -1;
    }
    if (st && st->text) {
        SMTP_LOG(LOG_DEBUG, "Transfer status: %d %s\n", code, st->text);
    } else {
        SMTP_LOG(LOG_DEBUG, "Transfer status: %d %s\n", code, "\n");
    }
    smtp->delivered = 0;
    smtp_enumerate_recipients(smtp->message, recipient_status_cb, smtp);
    if (smtp->delivered != smtp->rcpt_count) {
        SMTP_LOG(LOG_NOTICE, "Transfer successfull for %d out of %d total recipients.\n", smtp->delivered,
                 smtp->rcpt_count);
    }
    return (code >= 200 && code <= 299) ? 0 : -1;
}
