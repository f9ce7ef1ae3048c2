/*
 * The mail record: creation and release, setters, address lists, the MTA
 * command parser, content ids and transfer encodings (codecs).
 *
 * No frame exception crosses this file: the only calls that may raise (the
 * string encoders) are made by the string writers inside their own
 * protected blocks, in mail_build.cpp.
 */
#define KIVO_FILE "mail"
#include <ctype.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <kivo/log.h>
#include <kivo/memory.h>
#include <kivo/mime.h>
#include "mail_internal.h"
#include "object_impl.h"

namespace {

int mail_release(fr_mail *m);
using MailObject = kivo::Object<fr_mail, mail_release>;

/* Address elements are read through a buffer of this size. */
constexpr size_t kAddrBuffer = 80;
/* Words of an MTA command after the program name. */
constexpr int kMtaArgs = 30;

char *copy_str(const char *s) {
    size_t n = strlen(s) + 1;
    char *d = static_cast<char *>(malloc(n));
    if (d) memcpy(d, s, n);
    return d;
}

/* Replaces *slot with a copy of s (null clears it); false when the copy
 * cannot be made (the old value is then kept). */
bool store(char **slot, const char *s) {
    char *c = nullptr;
    if (s) {
        c = copy_str(s);
        if (!c) return false;
    }
    free(*slot);
    *slot = c;
    return true;
}

void free_addr_list(fr_mail_addr *head) {
    if (!head) return;
    fr_mail_addr *e = head->next;
    while (e && e != head) {
        fr_mail_addr *n = e->next;
        free(e->addr);
        free(e);
        e = n;
    }
    free(head);
}

void free_mta(mail_mta *mta) {
    if (!mta) return;
    free(mta->dir);
    free(mta->prog);
    if (mta->argv) {
        for (char **a = mta->argv; *a; a++) free(*a);
        free(mta->argv);
    }
    free(mta);
}

int mail_release(fr_mail *m) {
    free_addr_list(m->to);
    free_addr_list(m->cc);
    free_addr_list(m->bcc);
    for (mail_header *h = m->headers; h;) {
        mail_header *n = h->next;
        free(h->name);
        free(h->value);
        free(h);
        h = n;
    }
    for (fr_mail_att *a = m->atts; a;) {
        fr_mail_att *n = a->next;
        free(a->path);
        free(a->type);
        free(a->codec.name);
        free(a);
        a = n;
    }
    free_mta(m->mta);
    free(m->codec.name);
    char **owned[] = {&m->from_name, &m->from_addr, &m->retpath, &m->subject, &m->notify,
                      &m->body,      &m->altbody,   &m->type,    &m->charset};
    for (char **p : owned) {
        free(*p);
        *p = nullptr;
    }
    return 0;
}

fr_mail_addr *new_head() {
    fr_mail_addr *h = static_cast<fr_mail_addr *>(calloc(1, sizeof(fr_mail_addr)));
    if (h) h->next = h->prev = h;
    return h;
}

bool append_addr(fr_mail_addr *head, const char *text, size_t len) {
    fr_mail_addr *e = static_cast<fr_mail_addr *>(calloc(1, sizeof(fr_mail_addr)));
    if (!e) return false;
    e->addr = static_cast<char *>(malloc(len + 1));
    if (!e->addr) {
        free(e);
        return false;
    }
    memcpy(e->addr, text, len);
    e->addr[len] = '\0';
    e->prev = head->prev;
    e->next = head;
    head->prev->next = e;
    head->prev = e;
    return true;
}

/* Ends one element: trailing white space and '>' go, a non-empty rest is
 * appended. */
bool finish_element(fr_mail_addr *head, const char *buf, size_t len) {
    while (len > 0 && (isspace(static_cast<unsigned char>(buf[len - 1])) || buf[len - 1] == '>')) len--;
    if (len == 0) return true;
    return append_addr(head, buf, len);
}

/* The address-list parser of fr_mail_add_to/cc/bcc. */
int parse_addr_list(fr_mail_addr *head, const char *list) {
    char buf[kAddrBuffer];
    size_t len = 0;
    bool collecting = false, quoted = false;
    for (const char *p = list;; p++) {
        char c = *p;
        if (c == '\0' || (c == ',' && !quoted)) {
            if (collecting || len) {
                if (!finish_element(head, buf, len)) {
                    FR_LOG_CONDITIONAL_RETURN();
                    return -1;
                }
            }
            if (c == '\0') break;
            len = 0;
            collecting = false;
            continue;
        }
        if (!collecting) {
            if (c == '"') {
                quoted = !quoted;
                continue;
            }
            if (quoted || isspace(static_cast<unsigned char>(c)) || c == '<') continue;
            collecting = true;
        }
        /* An address is never encoded: a line break in it would start a
         * header line of the sender's choosing. */
        if (c == '\r' || c == '\n') {
            FR_LOG_CONDITIONAL_RETURN();
            return -1;
        }
        if (len + 1 >= kAddrBuffer) {
            FR_LOG_CONDITIONAL_RETURN();
            return -1;
        }
        buf[len++] = c;
    }
    return 0;
}

int add_list(fr_mail_addr **slot, const char *list) {
    if (!*slot) {
        *slot = new_head();
        FR_CHECK_RETURN(*slot, -1);
    }
    return parse_addr_list(*slot, list);
}

/* One word of an MTA command: leading white space skipped, then up to the
 * first space or tab outside quotes, quotes kept. Null at the end of the
 * line; sets *bad for an unbalanced quote. */
char *next_word(const char **pp, bool *bad) {
    const char *p = *pp;
    while (*p && isspace(static_cast<unsigned char>(*p))) p++;
    if (!*p) {
        *pp = p;
        return nullptr;
    }
    const char *start = p;
    char quote = 0;
    for (; *p; p++) {
        if (quote) {
            if (*p == quote) quote = 0;
        } else if (*p == '"' || *p == '\'') {
            quote = *p;
        } else if (*p == ' ' || *p == '\t') {
            break;
        }
    }
    if (quote) *bad = true;
    *pp = p;
    size_t n = static_cast<size_t>(p - start);
    char *w = static_cast<char *>(malloc(n + 1));
    if (!w) return nullptr;
    memcpy(w, start, n);
    w[n] = '\0';
    return w;
}

bool valid_token(const char *s, size_t max) {
    size_t n = strlen(s);
    if (n == 0 || n > max) return false;
    for (const char *p = s; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 32 || c >= 127 || strchr("()<>@,;:\\\"/[]?=", c)) return false;
    }
    return true;
}

int set_text(char **slot, const char *format, va_list ap) {
    char *text = nullptr;
    if (vasprintf(&text, format, ap) < 0) return -1;
    free(*slot);
    *slot = text;
    return 0;
}

}  // namespace

/* ---- codecs ---- */

int encode_base64_s2f(FILE *out, const char *text);
int encode_qp_s2f(FILE *out, const char *text);
int encode_q_s2f(FILE *out, const char *text);
int encode_8bit_s2f(FILE *out, const char *text);
int encode_none_s2f(FILE *out, const char *text);
int mail_copy_stream(FILE *in, FILE *out);

int mail_set_codec(mail_codec *codec, int code) {
    static const struct {
        const char *name;
        int (*file_enc)(FILE *, FILE *);
        int (*str_write)(FILE *, const char *);
    } table[] = {
        {"base64", base64_enc, encode_base64_s2f},
        {"quoted-printable", qp_enc, encode_qp_s2f},
        {"quoted", q_enc, encode_q_s2f},
        {"8bit", eightbit_enc, encode_8bit_s2f},
        {"7bit", mail_copy_stream, encode_none_s2f},
        {"binary", mail_copy_stream, encode_none_s2f},
    };
    if (code < 0 || code > 5) return -1;
    char *name = copy_str(table[code].name);
    if (!name) {
        fr_log_impl(KIVO_FILE, __LINE__, "set_codec", FR_LOG_SYSLOG, LOG_WARNING, "fr_mail:unexpected NULL value");
        return -1;
    }
    free(codec->name);
    codec->name = name;
    codec->file_enc = table[code].file_enc;
    codec->str_write = table[code].str_write;
    return 0;
}

/* ---- record ---- */

KIVO_API fr_mail_t *fr_mail_init(void) {
    fr_mail *m = MailObject::create(nullptr, nullptr);
    FR_CHECK_RETURN(m, nullptr);
    m->priority = 3;
    m->hdr_encoding = 1;
    m->next_cid = 1;
    m->to = new_head();
    m->cc = new_head();
    m->bcc = new_head();
    if (!m->to || !m->cc || !m->bcc || mail_set_codec(&m->codec, FR_MAIL_ENC_BINARY) != 0) {
        FR_LOG_CONDITIONAL_RETURN();
        mail_release(m);
        MailObject::discard(m);
        return nullptr;
    }
    return m;
}

KIVO_API int fr_mail_destroy(fr_mail_t *mail) { return MailObject::unref(mail); }
KIVO_API int fr_mail_lock(fr_mail_t *mail) { return MailObject::lock(mail); }
KIVO_API int fr_mail_unlock(fr_mail_t *mail) { return MailObject::unlock(mail); }

KIVO_API int fr_mail_add_from(fr_mail_t *mail, const char *name, const char *address) {
    FR_CHECK_RETURN(mail && address && !mail_has_line_break(address), -1);
    FR_CHECK_RETURN(store(&mail->from_addr, address), -1);
    if (name) FR_CHECK_RETURN(store(&mail->from_name, name), -1);
    return 0;
}

KIVO_API int fr_mail_add_to(fr_mail_t *mail, const char *list) {
    FR_CHECK_RETURN(mail && list, -1);
    return add_list(&mail->to, list);
}
KIVO_API int fr_mail_add_cc(fr_mail_t *mail, const char *list) {
    FR_CHECK_RETURN(mail && list, -1);
    return add_list(&mail->cc, list);
}
KIVO_API int fr_mail_add_bcc(fr_mail_t *mail, const char *list) {
    FR_CHECK_RETURN(mail && list, -1);
    return add_list(&mail->bcc, list);
}

KIVO_API int fr_mail_add_retpath(fr_mail_t *mail, const char *address) {
    FR_CHECK_RETURN(mail && address && !mail_has_line_break(address), -1);
    FR_CHECK_RETURN(store(&mail->retpath, address), -1);
    return 0;
}

KIVO_API int fr_mail_set_notify(fr_mail_t *mail, const char *address) {
    FR_CHECK_RETURN(mail && address && !mail_has_line_break(address), -1);
    FR_CHECK_RETURN(store(&mail->notify, address), -1);
    return 0;
}

KIVO_API int fr_mail_add_subject(fr_mail_t *mail, const char *format, ...) {
    FR_CHECK_RETURN(mail && format, -1);
    va_list ap;
    va_start(ap, format);
    int rc = set_text(&mail->subject, format, ap);
    va_end(ap);
    FR_CHECK_RETURN(rc == 0, -1);
    return 0;
}

KIVO_API int fr_mail_add_body(fr_mail_t *mail, const char *format, ...) {
    FR_CHECK_RETURN(mail && format, -1);
    va_list ap;
    va_start(ap, format);
    int rc = set_text(&mail->body, format, ap);
    va_end(ap);
    FR_CHECK_RETURN(rc == 0, -1);
    return 0;
}

KIVO_API int fr_mail_add_altbody(fr_mail_t *mail, const char *format, ...) {
    FR_CHECK_RETURN(mail && format, -1);
    va_list ap;
    va_start(ap, format);
    int rc = set_text(&mail->altbody, format, ap);
    va_end(ap);
    FR_CHECK_RETURN(rc == 0, -1);
    return 0;
}

KIVO_API int fr_mail_add_customh(fr_mail_t *mail, const char *name, const char *value) {
    FR_CHECK_RETURN(mail && name && value, -1);
    while (*name && isspace(static_cast<unsigned char>(*name))) name++;
    /* A header name is printable ASCII without a colon; neither part may
     * break the line. */
    bool name_ok = *name != '\0';
    for (const char *p = name; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 32 || c >= 127 || c == ':') name_ok = false;
    }
    FR_CHECK_RETURN(name_ok && !mail_has_line_break(value), -1);
    mail_header *h = static_cast<mail_header *>(calloc(1, sizeof(mail_header)));
    FR_CHECK_RETURN(h, -1);
    h->name = copy_str(name);
    h->value = copy_str(value);
    if (!h->name || !h->value) {
        free(h->name);
        free(h->value);
        free(h);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    if (mail->headers_tail) {
        mail->headers_tail->next = h;
    } else {
        mail->headers = h;
    }
    mail->headers_tail = h;
    return 0;
}

KIVO_API char *fr_mail_set_contenttype(fr_mail_t *mail, const char *type) {
    FR_CHECK_RETURN(mail && type && !mail_has_line_break(type), nullptr);
    FR_CHECK_RETURN(store(&mail->type, type), nullptr);
    return mail->type;
}

KIVO_API int fr_mail_set_charset(fr_mail_t *mail, const char *charset) {
    /* The charset goes into every encoded word: a short token only. */
    FR_CHECK_RETURN(mail && charset && valid_token(charset, 40), -1);
    FR_CHECK_RETURN(store(&mail->charset, charset), -1);
    return 0;
}

KIVO_API int fr_mail_set_priority(fr_mail_t *mail, int priority) {
    FR_CHECK_RETURN(mail, priority);
    if (priority >= 0) mail->priority = priority;
    return priority;
}

KIVO_API void fr_mail_enable_headers_encoding(fr_mail_t *mail, int flag) {
    FR_CHECK_RETURN_VOID(mail);
    mail->hdr_encoding = flag;
}

KIVO_API int fr_mail_set_encoding(fr_mail_t *mail, int code) {
    FR_CHECK_RETURN(mail, -1);
    return mail_set_codec(&mail->codec, code);
}

/* ---- attachments ---- */

KIVO_API fr_mail_att_t *fr_mail_add_att(fr_mail_t *mail, const char *path) {
    /* The path is written into two quoted header parameters. */
    FR_CHECK_RETURN(mail && path && *path && !mail_has_line_break(path) && !strchr(path, '"'), nullptr);
    fr_mail_att *a = static_cast<fr_mail_att *>(calloc(1, sizeof(fr_mail_att)));
    FR_CHECK_RETURN(a, nullptr);
    a->path = copy_str(path);
    a->type = copy_str("text/plain");
    if (!a->path || !a->type || mail_set_codec(&a->codec, FR_MAIL_ENC_BASE64) != 0) {
        free(a->path);
        free(a->type);
        free(a->codec.name);
        free(a);
        FR_LOG_CONDITIONAL_RETURN();
        return nullptr;
    }
    a->owner = mail;
    a->cid = mail->next_cid++;
    a->prev = mail->atts_tail;
    if (mail->atts_tail) {
        mail->atts_tail->next = a;
    } else {
        mail->atts = a;
    }
    mail->atts_tail = a;
    return a;
}

KIVO_API int fr_mail_att_set_encoding(fr_mail_att_t *att, int code) {
    FR_CHECK_RETURN(att, -1);
    return mail_set_codec(&att->codec, code);
}

KIVO_API void fr_mail_att_set_contenttype(fr_mail_att_t *att, const char *type) {
    FR_CHECK_RETURN_VOID(att && type && !mail_has_line_break(type));
    if (!store(&att->type, type)) FR_LOG_CONDITIONAL_RETURN();
}

KIVO_API fr_mail_att_t *fr_mail_att_enable_inline(fr_mail_att_t *att, int flag) {
    if (att) att->inline_flag = flag;
    return att;
}

KIVO_API int fr_mail_att_setid(fr_mail_att_t *att, int id) {
    FR_CHECK_RETURN(att && att->owner, -1);
    fr_mail *m = att->owner;
    att->cid = id;
    if (m->next_cid < id) {
        m->next_cid = id + 1;
    } else {
        m->next_cid = m->next_cid + 1;
    }
    return m->next_cid;
}

/* ---- MTA ---- */

KIVO_API int fr_mail_set_mta(fr_mail_t *mail, const char *command) {
    FR_CHECK_RETURN(mail, -1);
    free_mta(mail->mta);
    mail->mta = nullptr;
    FR_CHECK_RETURN(command, -1);
    mail_mta *mta = static_cast<mail_mta *>(calloc(1, sizeof(mail_mta)));
    FR_CHECK_RETURN(mta, -1);
    mta->argv = static_cast<char **>(calloc(kMtaArgs + 2, sizeof(char *)));
    bool bad = false;
    const char *p = command;
    char *first = mta->argv ? next_word(&p, &bad) : nullptr;
    char *slash = first ? strrchr(first, '/') : nullptr;
    if (!first || bad || !slash || slash[1] == '\0') {
        free(first);
        free_mta(mta);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    *slash = '\0';
    mta->dir = first;
    mta->prog = copy_str(slash + 1);
    mta->argv[0] = mta->prog ? copy_str(mta->prog) : nullptr;
    bool ok = mta->prog && mta->argv[0];
    for (int i = 1; ok && i <= kMtaArgs; i++) {
        char *w = next_word(&p, &bad);
        if (!w) {
            ok = *p == '\0'; /* the end of the line, not a failed copy */
            break;
        }
        mta->argv[i] = w;
    }
    /* Words past the limit are dropped, but their quotes must still close. */
    while (ok && !bad) {
        char *w = next_word(&p, &bad);
        if (!w) break;
        free(w);
    }
    if (!ok || bad) {
        free_mta(mta);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    mail->mta = mta;
    return 0;
}

/* ---- helpers ---- */

KIVO_API fr_mail_addr_t *init_addr(void) {
    fr_mail_addr *h = new_head();
    FR_CHECK_RETURN(h, nullptr);
    return h;
}

KIVO_API void to_lower(char *s) {
    if (!s) return;
    for (; *s; s++) *s = static_cast<char>(tolower(static_cast<unsigned char>(*s)));
}

bool mail_has_line_break(const char *s) { return s && strpbrk(s, "\r\n") != nullptr; }
