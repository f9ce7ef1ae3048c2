/*
 * Writing a message: the string writers of the codecs, the encoded-word
 * form of header texts, the headers and the four body layouts, and the two
 * deliveries (a pipe into the MTA, a temporary file handed to SMTP).
 *
 * Frame exceptions: the string encoders of the MIME library may raise; each
 * string writer catches them in its own protected block, so none reaches
 * the build. The functions here hold nothing with a destructor.
 */
#define KIVO_FILE "mail"
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>
#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/memory.h>
#include <kivo/mime.h>
#include <kivo/safestr.h>
#include "mail_internal.h"
#include "object_impl.h"

/* ---- string writers ---- */

namespace {

/* Writes enc(text) to out; the encoded string is released in a protected
 * block of its own so that no exception leaves the writer. */
int write_encoded(FILE *out, const char *text, safestr_t (*enc)(const char *), const char *fn) {
    safestr_t volatile s = nullptr;
    volatile int written = 0, done = 0;
    XXL_BLOCK {
        s = enc(text);
        if (s) {
            size_t n = safestr_length(s);
            written = fwrite(s, 1, n, out) == n ? 1 : 0;
        }
        done = 1;
    }
    FR_LOG_EXCEPTION
    XXL_BLOCK_END;
    XXL_BLOCK {
        if (s) safestr_free(s);
    }
    FR_LOG_EXCEPTION
    XXL_BLOCK_END;
    if (!done) return -1;
    if (!written) {
        fr_log_impl(KIVO_FILE, __LINE__, fn, FR_LOG_SYSLOG, LOG_WARNING, "fr_mail: Error writing to stream.");
        return -1;
    }
    return 0;
}

}  // namespace

int encode_base64_s2f(FILE *out, const char *text) { return write_encoded(out, text, base64_enc_str, __func__); }
int encode_qp_s2f(FILE *out, const char *text) { return write_encoded(out, text, qp_enc_str, __func__); }
int encode_q_s2f(FILE *out, const char *text) { return write_encoded(out, text, q_enc_str, __func__); }
int encode_8bit_s2f(FILE *out, const char *text) { return write_encoded(out, text, eightbit_enc_str, __func__); }
int encode_none_s2f(FILE *out, const char *text) {
    if (fputs(text, out) < 0) {
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, LOG_WARNING, "fr_mail: Error writing to stream.");
        return -1;
    }
    return 0;
}

/* The pass-through file encoder of "7bit" and "binary". */
int mail_copy_stream(FILE *in, FILE *out) {
    char buf[511];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) {
        if (fwrite(buf, 1, n, out) != n) return -1;
    }
    return 0;
}

/* ---- encoded words ---- */

namespace {

/* Growing text buffer on malloc. */
struct Text {
    char *p = nullptr;
    size_t len = 0, cap = 0;
    bool failed = false;
    void add(const char *s, size_t n) {
        if (failed) return;
        if (len + n + 1 > cap) {
            size_t c = cap ? cap * 2 : 128;
            while (c < len + n + 1) c *= 2;
            char *q = static_cast<char *>(realloc(p, c));
            if (!q) {
                failed = true;
                return;
            }
            p = q;
            cap = c;
        }
        memcpy(p + len, s, n);
        len += n;
        p[len] = '\0';
    }
    void add(const char *s) { add(s, strlen(s)); }
};

/* Length of the UTF-8 character at s (1 for a byte that starts none). */
size_t utf8_char(const unsigned char *s) {
    unsigned char c = s[0];
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
    for (size_t i = 1; i < n; i++)
        if ((s[i] & 0xC0) != 0x80) return 1;
    return n;
}

/* The Q form of one byte: a space is '_'; in a display name only letters,
 * digits and !*+-/ stand for themselves, in other text every printable
 * character but ( ) = ? _ does. */
size_t q_byte(unsigned char b, bool phrase, char out[4]) {
    static const char hex[] = "0123456789ABCDEF";
    bool plain;
    if (b == ' ') {
        out[0] = '_';
        return 1;
    }
    if (phrase) {
        plain = (b < 128 && isalnum(b)) || strchr("!*+-/", b) != nullptr;
    } else {
        plain = b > 32 && b < 127 && !strchr("()=?_", b);
    }
    if (b == 0) plain = false;
    if (plain) {
        out[0] = static_cast<char>(b);
        return 1;
    }
    out[0] = '=';
    out[1] = hex[b >> 4];
    out[2] = hex[b & 15];
    return 3;
}

}  // namespace

namespace {

/* Lays out header words on lines of at most 76 characters: a word goes on
 * the current line after a space, or after CRLF and a space on a new one. */
struct Folder {
    Text out;
    size_t line;       /* characters on the current line */
    bool first = true; /* nothing written after the header's name yet */
    explicit Folder(size_t used) : line(used) {}
    /* Room for the next word on the current line. */
    size_t room() const { return 76 - line > (first ? 0 : 1) ? 76 - line - (first ? 0 : 1) : 0; }
    void place(const char *w, size_t n) {
        if (!first && line + 1 + n > 76) {
            out.add("\r\n ");
            line = 1;
        } else if (!first) {
            out.add(" ");
            line += 1;
        }
        out.add(w, n);
        line += n;
        first = false;
    }
    void fold() {
        out.add("\r\n ");
        line = 1;
        first = true; /* the fold's space separates */
    }
};

/* Encoded words of text[0..n): each at most 75 characters and filled as
 * far as the line allows, split only between whole UTF-8 characters. */
bool encode_run(Folder &f, const unsigned char *p, size_t n, const char *charset, bool phrase) {
    const size_t overhead = strlen(charset) + 7; /* =? charset ?q? ... ?= */
    if (overhead + 12 > 75) return false;        /* not even one character fits */
    const unsigned char *end = p + n;
    Text word;
    while (p < end || n == 0) {
        size_t cap = f.room() < 75 ? f.room() : 75;
        if (cap < overhead + 12) {
            f.fold();
            cap = 75;
        }
        word.len = 0;
        word.add("=?");
        word.add(charset);
        word.add("?q?");
        while (p < end) {
            size_t c = utf8_char(p);
            if (p + c > end) c = static_cast<size_t>(end - p);
            char enc[12];
            size_t elen = 0;
            for (size_t i = 0; i < c; i++) elen += q_byte(p[i], phrase, enc + elen);
            if (word.len + elen + 2 > cap) break;
            word.add(enc, elen);
            p += c;
        }
        word.add("?=");
        if (word.failed) break;
        f.place(word.p, word.len);
        if (n == 0) break;
    }
    bool ok = !word.failed;
    free(word.p);
    return ok;
}

/* A display-name token that may stand as a plain atom: nothing an encoded
 * word or a phrase would read differently, and short enough for a line of
 * its own (a header line may not be folded inside a word, and a longer one
 * could pass the 998-character limit; encoded words can be split). */
bool plain_token(const char *s, size_t n) {
    if (n == 0 || n > 75) return false;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (!((c < 128 && isalnum(c)) || strchr("!*+-/", c))) return false;
    }
    return true;
}

}  // namespace

char *mail_encode_header(const char *text, const char *charset, bool phrase, size_t used, size_t *end_line) {
    Folder f(used);
    bool ok = true;
    if (!phrase) {
        ok = encode_run(f, reinterpret_cast<const unsigned char *>(text), strlen(text), charset, false);
    } else {
        /* A display name: line breaks become spaces (no parser takes them
         * in a name), plain words stay atoms and the rest go into encoded
         * words, so that the spaces between them survive every parser. */
        char *name = strdup(text);
        if (!name) return nullptr;
        char *w = name;
        for (const char *q = name; *q; q++) {
            if (*q == '\r' && q[1] == '\n') continue; /* CRLF: one space */
            *w++ = (*q == '\r' || *q == '\n') ? ' ' : *q;
        }
        *w = '\0';
        size_t len = strlen(name);
        bool simple = len > 0 && name[0] != ' ' && name[len - 1] != ' ' && !strstr(name, "  ");
        if (!simple) {
            ok = encode_run(f, reinterpret_cast<const unsigned char *>(name), len, charset, true);
        } else {
            const char *p = name;
            const char *run = nullptr; /* start of pending words to encode */
            const char *run_end = nullptr;
            while (ok) {
                const char *e = strchr(p, ' ');
                size_t n = e ? static_cast<size_t>(e - p) : strlen(p);
                if (plain_token(p, n)) {
                    if (run) ok = encode_run(f, reinterpret_cast<const unsigned char *>(run),
                                             static_cast<size_t>(run_end - run), charset, true);
                    run = nullptr;
                    if (ok) f.place(p, n);
                } else {
                    if (!run) run = p;
                    run_end = p + n;
                }
                if (!e) break;
                p = e + 1;
            }
            if (ok && run) ok = encode_run(f, reinterpret_cast<const unsigned char *>(run),
                                           static_cast<size_t>(run_end - run), charset, true);
        }
        free(name);
    }
    if (!ok || f.out.failed) {
        free(f.out.p);
        return nullptr;
    }
    if (end_line) *end_line = f.line;
    return f.out.p;
}

/* ---- the message ---- */

namespace {

/* Failures of the build are reported under the build's name. */
#define BUILD_FAIL()                                                                                 \
    do {                                                                                             \
        KIVO__NO_EXTRA_ARGS_WARNING_BEGIN                                                            \
        fr_log_impl(KIVO_FILE, __LINE__, "fr_mail_build", FR_LOG_SYSLOG, LOG_DEBUG,                  \
                    "%s:%d:conditional return", KIVO_FILE, __LINE__, "");                            \
        KIVO__NO_EXTRA_ARGS_WARNING_END                                                              \
        return -1;                                                                                   \
    } while (0)

#define PUT(...)                                                                                     \
    do {                                                                                             \
        if (fprintf(out, __VA_ARGS__) < 0) BUILD_FAIL();                                             \
    } while (0)

/* A random string: "=_" and 30 letters or digits. */
void random_string(char buf[33]) {
    buf[0] = '=';
    buf[1] = '_';
    for (int i = 2; i < 32; i++) {
        int c;
        do {
            c = static_cast<int>(128.0 * rand() / 2147483648.0);
        } while (!(c < 128 && isalnum(c)));
        buf[i] = static_cast<char>(c);
    }
    buf[32] = '\0';
}

/* The seed of a build. The time in seconds and the record's address alone
 * repeat whenever a record builds twice within a second (or a new record
 * takes a freed one's place), giving two messages the same Message-ID,
 * which receivers take for duplicates and drop. The nanoseconds, the
 * process and a count of builds are mixed in. */
unsigned build_seed(const fr_mail *mail) {
    static unsigned long builds;
    unsigned long n = __atomic_add_fetch(&builds, 1, __ATOMIC_RELAXED);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uintptr_t seed = static_cast<uintptr_t>(ts.tv_sec) ^ reinterpret_cast<uintptr_t>(mail);
    seed ^= static_cast<uintptr_t>(ts.tv_nsec) * 2654435761u;
    seed ^= static_cast<uintptr_t>(getpid()) << 16;
    seed ^= n * 40503u;
    return static_cast<unsigned>(seed ^ (seed >> 32));
}

int write_list(FILE *out, const char *label, const fr_mail_addr *head) {
    PUT("%s", label);
    for (const fr_mail_addr *e = head->next; e != head; e = e->next) PUT(" %s,", e->addr);
    PUT("\r\n");
    return 0;
}

bool list_empty(const fr_mail_addr *head) { return !head || head->next == head; }

void write_body(const fr_mail *m, FILE *out, const char *text) {
    if (text) m->codec.str_write(out, text);
}

int write_attachment(const fr_mail_att *a, FILE *out, const char *outer) {
    PUT("--%s\r\nContent-Type: %s; name=\"%s\"\r\nContent-Transfer-Encoding: %s\r\n", outer, a->type, a->path,
        a->codec.name);
    if (a->inline_flag) PUT("Content-ID: <%d>\r\n", a->cid);
    PUT("Content-Disposition: %s; filename=\"%s\"\r\n\r\n", a->inline_flag ? "inline" : "attachment", a->path);
    FILE *in = fopen(a->path, "rb");
    if (!in) BUILD_FAIL();
    /* A directory opens for reading but reads as an error: refuse it
     * rather than send an empty part. */
    struct stat st;
    if (fstat(fileno(in), &st) != 0 || S_ISDIR(st.st_mode)) {
        fclose(in);
        BUILD_FAIL();
    }
    int rc = a->codec.file_enc(in, out);
    bool read_error = ferror(in) != 0;
    fclose(in);
    if (rc != 0 || read_error) BUILD_FAIL();
    PUT("\r\n\r\n");
    return 0;
}

int build_locked(fr_mail *m, FILE *out) {
    if (!m->type && !(m->type = strdup("text/plain"))) BUILD_FAIL();
    if (!m->charset && !(m->charset = strdup("utf-8"))) BUILD_FAIL();

    /* Date, with English names whatever the program's locale. */
    char date[40];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    size_t dn = c_locale ? strftime_l(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z", &tm, c_locale)
                         : strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z", &tm);
    if (c_locale) freelocale(c_locale);
    if (dn == 0) date[0] = '\0';
    PUT("Date: %s\r\n", date);

    if (!m->from_addr) BUILD_FAIL();
    PUT("From:");
    if (m->from_name && *m->from_name) {
        if (m->hdr_encoding) {
            /* An encoded word ends before the address with a space. */
            size_t line = 0;
            char *words = mail_encode_header(m->from_name, m->charset, true, 5, &line);
            if (!words) BUILD_FAIL();
            bool fold = line + 3 + strlen(m->from_addr) > 76;
            int rc = fprintf(out, "%s%s<%s>\r\n", words, fold ? "\r\n " : " ", m->from_addr);
            free(words);
            if (rc < 0) BUILD_FAIL();
        } else {
            if (mail_has_line_break(m->from_name)) BUILD_FAIL();
            PUT("%s<%s>\r\n", m->from_name, m->from_addr);
        }
    } else {
        PUT("<%s>\r\n", m->from_addr);
    }

    if (list_empty(m->to)) BUILD_FAIL();
    if (write_list(out, "To:", m->to) != 0) return -1;
    if (!list_empty(m->cc) && write_list(out, "Cc:", m->cc) != 0) return -1;
    if (!list_empty(m->bcc) && write_list(out, "Bcc:", m->bcc) != 0) return -1;

    PUT("Return-Path: %s\r\n", m->retpath ? m->retpath : "<>");

    if (!m->subject && !(m->subject = strdup("(none)"))) BUILD_FAIL();
    if (m->hdr_encoding) {
        char *words = mail_encode_header(m->subject, m->charset, false, 9, nullptr);
        if (!words) BUILD_FAIL();
        int rc = fprintf(out, "Subject: %s\r\n", words);
        free(words);
        if (rc < 0) BUILD_FAIL();
    } else {
        if (mail_has_line_break(m->subject)) BUILD_FAIL();
        PUT("Subject: %s\r\n", m->subject);
    }

    if (m->notify) PUT("Disposition-Notification-To: %s\r\n", m->notify);

    char host[256];
    if (gethostname(host, sizeof host) != 0) strcpy(host, "localhost");
    host[20] = '\0';
    srand(build_seed(m));
    char id[33], outer[33], inner[33];
    random_string(id);
    random_string(outer);
    random_string(inner);
    PUT("Message-ID: <%s@%s>\r\n", id, host);

    PUT("X-Priority: %d\r\n", m->priority);
    PUT("MIME-Version: 1.0\r\n");
    for (const mail_header *h = m->headers; h; h = h->next) PUT("%s:%s\r\n", h->name, h->value);

    const char *enc = m->codec.name;
    if (!m->atts) {
        if (!m->altbody) {
            PUT("Content-Transfer-Encoding: %s\r\nContent-Type: %s;\r\n\tcharset=\"%s\"\r\n\r\n\r\n", enc, m->type,
                m->charset);
            write_body(m, out, m->body);
            return 0;
        }
        PUT("Content-Type: multipart/alternative;\r\n\tboundary=\"%s\"\r\n\r\n\r\n", outer);
        PUT("--%s\r\nContent-Type: text/plain; charset=\"%s\"\r\nContent-Transfer-Encoding: %s\r\n\r\n", outer,
            m->charset, enc);
        write_body(m, out, m->altbody);
        PUT("\r\n\r\n--%s\r\nContent-Type: text/html; charset=\"%s\"\r\nContent-Transfer-Encoding: %s\r\n\r\n", outer,
            m->charset, enc);
        write_body(m, out, m->body);
        PUT("\r\n\r\n--%s--\r\n", outer);
        return 0;
    }
    PUT("Content-Type: multipart/mixed;\r\n\tboundary=\"%s\"\r\n\r\n\r\n", outer);
    if (!m->altbody) {
        PUT("--%s\r\nContent-Type: %s; charset=\"%s\"\r\nContent-Transfer-Encoding: %s\r\n\r\n", outer, m->type,
            m->charset, enc);
        write_body(m, out, m->body);
        PUT("\r\n\r\n");
    } else {
        PUT("--%s\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"%s\"\r\n\r\n", outer, inner);
        PUT("--%s\r\nContent-Type: text/plain; charset=\"%s\"\r\nContent-Transfer-Encoding: %s\r\n\r\n", inner,
            m->charset, enc);
        write_body(m, out, m->altbody);
        PUT("\r\n\r\n");
        PUT("--%s\r\nContent-Type: text/html; charset=\"%s\"\r\nContent-Transfer-Encoding: %s\r\n\r\n", inner,
            m->charset, enc);
        write_body(m, out, m->body);
        PUT("\r\n\r\n--%s--\r\n", inner);
    }
    for (const fr_mail_att *a = m->atts; a; a = a->next)
        if (write_attachment(a, out, outer) != 0) return -1;
    PUT("--%s--", outer);
    return 0;
}

}  // namespace

KIVO_API int fr_mail_build(fr_mail_t *mail, FILE *out) {
    FR_CHECK_RETURN(mail, -1);
    if (!out) out = stdout;
    fr_mail_lock(mail);
    int rc = build_locked(mail, out);
    fr_mail_unlock(mail);
    return rc;
}

/* ---- deliveries ---- */

KIVO_API int fr_mail_send(fr_mail_t *mail) {
    FR_CHECK_RETURN(mail, -1);
    fr_mail_lock(mail);
    char path[4096];
    char *const default_argv[] = {const_cast<char *>("sendmail"), const_cast<char *>("-t"), nullptr};
    const mail_mta *mta = mail->mta;
    int pn = mta ? snprintf(path, sizeof path, "%s/%s", mta->dir, mta->prog)
                 : snprintf(path, sizeof path, "%s/%s", "/usr/sbin", "sendmail");
    bool path_ok = pn > 0 && static_cast<size_t>(pn) < sizeof path;
    char *const *argv = mta ? mta->argv : default_argv;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fr_mail_unlock(mail);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    FILE *w = fdopen(fds[1], "w");
    if (!w) {
        close(fds[0]);
        close(fds[1]);
        fr_mail_unlock(mail);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        fclose(w);
        close(fds[0]);
        fr_mail_unlock(mail);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    if (pid == 0) {
        /* Only async-signal-safe calls here: the parent may have threads. */
        close(fds[1]);
        if (dup2(fds[0], 0) < 0) _exit(1);
        if (fds[0] != 0) close(fds[0]);
        if (path_ok) execv(path, argv);
        _exit(1);
    }
    close(fds[0]);
    /* An MTA that ends early must not take this process down with it:
     * SIGPIPE is held back while the message is written and a pending one
     * is taken away afterwards. */
    sigset_t pipe_set, old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
    int built = fr_mail_build(mail, w);
    fr_mail_unlock(mail);
    if (built != 0) {
        /* A half-written message must not reach the MTA as a whole one:
         * stop it before it sees the end of its input. */
        kill(pid, SIGKILL);
    }
    fclose(w);
    if (!sigismember(&old_set, SIGPIPE)) {
        struct timespec zero = {0, 0};
        while (sigtimedwait(&pipe_set, nullptr, &zero) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (built != 0 || r < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return WTERMSIG(status);
    return -1;
}

KIVO_API int fr_mail_send_direct(fr_mail_t *mail, fr_smtp_t *smtp) {
    FR_CHECK_RETURN(mail && smtp, -1);
    char name[] = "/tmp/emlXXXXXX";
    int fd = mkstemp(name);
    FR_CHECK_RETURN(fd >= 0, -1);
    /* The name goes at once: whatever happens below, nothing is left in
     * /tmp, and nobody else can open the message. */
    unlink(name);
    FILE *f = fdopen(fd, "r+");
    if (!f) {
        close(fd);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    int rc = -1;
    fr_mail_lock(mail);
    if (fr_mail_build(mail, f) == 0 && fflush(f) == 0) {
        rewind(f);
        const fr_mail_addr *lists[] = {mail->to, mail->cc, mail->bcc};
        for (const fr_mail_addr *head : lists) {
            if (!head) continue;
            for (const fr_mail_addr *e = head->next; e != head; e = e->next) fr_smtp_add_recipient(smtp, e->addr);
        }
        fr_smtp_set_return_path(smtp, mail->retpath ? mail->retpath : mail->from_addr);
        fr_smtp_set_message_fp(smtp, f);
        rc = 1;
    }
    fr_mail_unlock(mail);
    bool handed = rc == 1;
    if (handed) rc = fr_smtp_send_message(smtp);
    fclose(f);
    /* The record must not keep the closed stream nor these recipients for
     * its next message. */
    if (handed) smtp_forget_message(smtp);
    return rc;
}
