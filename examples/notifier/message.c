/* One job from its recipient's address to a delivered message: the address
 * is checked, the two bodies are filled from the templates with the job's
 * fields and its account's rows, the message is composed with a CSV
 * attachment of those rows and handed to the SMTP server (or the MTA).
 *
 * Everything here runs inside the worker's protected block: the strings,
 * the template and mail records, the files and the SMTP session are
 * registered as assets of that block, so they are released whether the job
 * ends normally or an exception cuts it short. Nothing in this file frees
 * them by hand. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <kivo/exceptions.h>
#include <kivo/mail.h>
#include <kivo/safestr.h>
#include <kivo/smtp.h>
#include <kivo/template.h>
#include <kivo/valid.h>

#include "notifier.h"

#define MAX_ROWS 32

/* The account's rows, copied out of the database result (no exception may
 * be raised while a result or a pooled connection is held). */
typedef struct rows {
    int count;
    char description[MAX_ROWS][101];
    char amount[MAX_ROWS][24];
} rows;

static void collect_row(void *arg, const char *description, const char *amount) {
    rows *r = arg;
    if (r->count == MAX_ROWS)
        return;
    snprintf(r->description[r->count], sizeof r->description[0], "%s", description);
    snprintf(r->amount[r->count], sizeof r->amount[0], "%s", amount);
    r->count++;
}

/* ---- asset clean-ups ---- */
static void drop_string(void *s, void *arg) {
    (void)arg;
    safestr_free((safestr_t)s);
}
static void drop_template(void *tpl, void *arg) {
    (void)arg;
    _tpl_destroy(tpl);
}
static void drop_mail(void *mail, void *arg) {
    (void)arg;
    fr_mail_destroy(mail);
}
static void drop_smtp(void *smtp, void *arg) {
    (void)arg;
    fr_smtp_destroy(smtp);
}
static void remove_file(void *path, void *arg) {
    (void)arg;
    unlink((const char *)path);
}

/* A string owned by the current block. */
static safestr_t block_string(const char *text) {
    return safestr_create(text, SAFESTR_F_ASSET_ALWAYS);
}

/* Text made safe for the HTML body. */
static safestr_t html_escape(const char *text) {
    safestr_t out = safestr_alloc((uint32_t)strlen(text) + 16, SAFESTR_F_ASSET_ALWAYS);
    safestr_truncate((safestr_t *)&out, 0);
    for (const char *p = text; *p; p++) {
        const char *entity = NULL;
        switch (*p) {
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '&': entity = "&amp;"; break;
        case '"': entity = "&quot;"; break;
        default: break;
        }
        if (!entity)
            safestr_appendchar((safestr_t *)&out, *p);
        else
            while (*entity)
                safestr_appendchar((safestr_t *)&out, *entity++);
    }
    return out;
}

/* Fills one template; the result belongs to the current block. */
static safestr_t fill(const char *text, const notifier_job *job, const rows *r, const char *total, int html) {
    fr_tpl_t *tpl = fr_tpl_init(text);
    if (!tpl)
        xxl_throw_error(ENOMEM, NULL, "message", __LINE__);
    xxl_push_asset(tpl, drop_template, NULL, XXL_ASSET_ALWAYS);

    char number[32];
    fr_tpl_addvar(tpl, "name", html ? html_escape(job->name) : block_string(job->name));
    snprintf(number, sizeof number, "%lu", job->id);
    fr_tpl_addvar(tpl, "job", block_string(number));
    snprintf(number, sizeof number, "%lu", job->account);
    fr_tpl_addvar(tpl, "account", block_string(number));
    fr_tpl_addvar(tpl, "total", block_string(total));
    for (int i = 0; i < r->count; i++) {
        const char *description = html ? html_escape(r->description[i]) : r->description[i];
        if (fr_tpl_addblockvar(tpl, i, "items", "description", description) < 0 ||
            fr_tpl_addblockvar(tpl, i, "items", "amount", r->amount[i]) < 0)
            xxl_throw_error(ENOMEM, NULL, "message", __LINE__);
    }
    safestr_t out = fr_tpl_parse(tpl);
    xxl_push_asset((void *)out, drop_string, NULL, XXL_ASSET_ALWAYS);
    return out;
}

/* The rows as a small CSV file in the spool directory (the daemon's working
 * directory), removed when the block ends. Returns its name. */
static safestr_t write_attachment(const notifier_job *job, const rows *r) {
    char name[64];
    snprintf(name, sizeof name, "statement-%lu.csv", job->id);
    safestr_t path = block_string(name);
    FILE *f = xxl_fopen(path, "w", XXL_ASSET_ALWAYS);
    if (!f)
        xxl_throw_error(errno, NULL, "message", __LINE__);
    xxl_push_asset((void *)path, remove_file, NULL, XXL_ASSET_ALWAYS);
    fprintf(f, "description,amount\r\n");
    for (int i = 0; i < r->count; i++)
        fprintf(f, "\"%s\",%s\r\n", r->description[i], r->amount[i]);
    if (xxl_fclose(f) != 0)
        xxl_throw_error(errno, NULL, "message", __LINE__);
    return path;
}

/* Reads the Message-ID the build wrote, from the headers of the file. */
static void read_message_id(FILE *f, char *id, size_t size) {
    char line[512];
    rewind(f);
    while (fgets(line, sizeof line, f) && line[0] != '\r' && line[0] != '\n') {
        if (strncmp(line, "Message-ID: ", 12) == 0) {
            line[strcspn(line, "\r\n")] = 0;
            snprintf(id, size, "%s", line + 12);
            break;
        }
    }
    rewind(f);
}

static enum notifier_outcome deliver_smtp(notifier *n, fr_mail_t *mail, const notifier_job *job, char *message_id,
                                          size_t id_size, char *reason, size_t reason_size) {
    uint64_t t0 = notifier_now_ns();
    /* The message is built into a file of the spool first: its Message-ID
     * is recorded with the job, and the SMTP session reads it from there. */
    char name[] = "message-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        xxl_throw_error(errno, NULL, "message", __LINE__);
    safestr_t path = block_string(name);
    xxl_push_asset((void *)path, remove_file, NULL, XXL_ASSET_ALWAYS);
    FILE *f = fdopen(fd, "w+");
    if (!f) {
        close(fd);
        xxl_throw_error(errno, NULL, "message", __LINE__);
    }
    xxl_push_asset(f, xxl_cleanup_FILE, NULL, XXL_ASSET_ALWAYS);
    if (fr_mail_build(mail, f) != 0 || fflush(f) != 0) {
        snprintf(reason, reason_size, "message could not be composed");
        notifier_add_time(n, STAGE_COMPOSE, t0);
        return OUTCOME_REFUSED;
    }
    read_message_id(f, message_id, id_size);
    notifier_add_time(n, STAGE_COMPOSE, t0);

    t0 = notifier_now_ns();
    fr_smtp_t *smtp = fr_smtp_init();
    if (!smtp)
        xxl_throw_error(ENOMEM, NULL, "message", __LINE__);
    xxl_push_asset(smtp, drop_smtp, NULL, XXL_ASSET_ALWAYS);
    char server[300];
    snprintf(server, sizeof server, "%s:%d", n->opt.smtp_host, n->opt.smtp_port);
    enum notifier_outcome outcome = OUTCOME_SENT;
    if (!fr_smtp_set_host(smtp, server) || !fr_smtp_add_recipient(smtp, job->recipient) ||
        !fr_smtp_set_return_path(smtp, n->opt.sender) || !fr_smtp_set_message_fp(smtp, f)) {
        snprintf(reason, reason_size, "SMTP session could not be set up");
        outcome = OUTCOME_REFUSED;
    } else if (fr_smtp_send_message(smtp) != 0) {
        snprintf(reason, reason_size, "SMTP delivery to %s failed", server);
        outcome = OUTCOME_RETRY;
    }
    notifier_add_time(n, STAGE_DELIVER, t0);
    return outcome;
}

static enum notifier_outcome deliver_mta(notifier *n, fr_mail_t *mail, char *reason, size_t reason_size) {
    uint64_t t0 = notifier_now_ns();
    enum notifier_outcome outcome = OUTCOME_SENT;
    if (fr_mail_set_mta(mail, n->opt.mta) != 0) {
        snprintf(reason, reason_size, "MTA command not usable: %s", n->opt.mta);
        outcome = OUTCOME_REFUSED;
    } else {
        int status = fr_mail_send(mail);
        if (status != 0) {
            snprintf(reason, reason_size, "MTA ended with status %d", status);
            outcome = OUTCOME_RETRY;
        }
    }
    notifier_add_time(n, STAGE_DELIVER, t0);
    return outcome;
}

enum notifier_outcome message_run(notifier *n, const notifier_job *job, char *message_id, size_t id_size,
                                  char *reason, size_t reason_size) {
    /* The check lower-cases what it is given: hand it a copy. */
    uint64_t t0 = notifier_now_ns();
    if (!fr_valid_email(block_string(job->recipient))) {
        snprintf(reason, reason_size, "invalid recipient address");
        notifier_add_time(n, STAGE_TEMPLATE, t0);
        return OUTCOME_REFUSED;
    }

    rows *r = xxl_malloc(sizeof *r, XXL_ASSET_ALWAYS);
    if (!r)
        xxl_throw_error(ENOMEM, NULL, "message", __LINE__);
    r->count = 0;
    if (queue_items(n, job, collect_row, r) != 0) {
        snprintf(reason, reason_size, "account rows could not be read");
        return OUTCOME_RETRY;
    }
    t0 = notifier_now_ns();
    double sum = 0;
    for (int i = 0; i < r->count; i++)
        sum += strtod(r->amount[i], NULL);
    char total[32];
    snprintf(total, sizeof total, "%.2f", sum);
    safestr_t html = fill(n->html, job, r, total, 1);
    safestr_t text = fill(n->text, job, r, total, 0);
    notifier_add_time(n, STAGE_TEMPLATE, t0);

    t0 = notifier_now_ns();
    fr_mail_t *mail = fr_mail_init();
    if (!mail)
        xxl_throw_error(ENOMEM, NULL, "message", __LINE__);
    xxl_push_asset(mail, drop_mail, NULL, XXL_ASSET_ALWAYS);
    char job_header[32];
    snprintf(job_header, sizeof job_header, "%lu", job->id);
    safestr_t attachment = write_attachment(job, r);
    fr_mail_att_t *att;
    if (fr_mail_set_charset(mail, "utf-8") != 0 || fr_mail_set_encoding(mail, 1) != 0 ||
        fr_mail_add_from(mail, n->opt.sender_name, n->opt.sender) != 0 ||
        fr_mail_add_to(mail, job->recipient) != 0 || fr_mail_add_subject(mail, "%s", job->subject) != 0 ||
        fr_mail_add_body(mail, "%s", html) != 0 || fr_mail_add_altbody(mail, "%s", text) != 0 ||
        fr_mail_add_customh(mail, "X-Notifier-Job", job_header) != 0 ||
        (att = fr_mail_add_att(mail, attachment)) == NULL) {
        snprintf(reason, reason_size, "message could not be composed");
        notifier_add_time(n, STAGE_COMPOSE, t0);
        return OUTCOME_REFUSED;
    }
    fr_mail_att_set_contenttype(att, "text/csv");
    notifier_add_time(n, STAGE_COMPOSE, t0);

    if (strcmp(n->opt.delivery, "mta") == 0)
        return deliver_mta(n, mail, reason, reason_size);
    return deliver_smtp(n, mail, job, message_id, id_size, reason, reason_size);
}
