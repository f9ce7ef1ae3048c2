/*
 * Composition of MIME mail (sender, recipients, subject, a body with an
 * optional plain-text alternative, attachments, extra headers) and its
 * delivery through the local MTA or over SMTP (kivo/smtp.h).
 *
 * Header safety: the sender address, return path, notification address,
 * every To/Cc/Bcc address, custom header names and values and attachment
 * paths are never encoded, so a CR or LF in them is refused by the setter
 * (-1, or null, with a "conditional return" report). The subject and the
 * sender name are written as RFC 2047 encoded words while headers encoding
 * is on (the default), so they may hold any text, line breaks included;
 * with headers encoding off a CR or LF in them makes fr_mail_build fail.
 */
#ifndef KIVO_MAIL_H
#define KIVO_MAIL_H

#include <stdio.h>
#include <kivo/export.h>
#include <kivo/smtp.h>

KIVO_BEGIN_DECLS

/* Opaque records: a message and one of its attachments. */
typedef struct fr_mail fr_mail_t;
typedef struct fr_mail_att fr_mail_att_t;
/* Head of an address list (circular, one owned address per entry). */
typedef struct fr_mail_addr fr_mail_addr_t;

/* Content-Transfer-Encoding codes for fr_mail_set_encoding and
 * fr_mail_att_set_encoding. */
#define FR_MAIL_ENC_BASE64 0
#define FR_MAIL_ENC_QP 1
#define FR_MAIL_ENC_Q 2
#define FR_MAIL_ENC_8BIT 3
#define FR_MAIL_ENC_7BIT 4
#define FR_MAIL_ENC_BINARY 5

/* New empty message (encoding "binary", priority 3, headers encoding on),
 * or null. Release it with fr_mail_destroy. */
KIVO_API fr_mail_t *fr_mail_init(void);
/* Drops one reference; at the last one releases the message, its
 * attachments and everything it stores. 1 when released (or null), 0 while
 * references remain. */
KIVO_API int fr_mail_destroy(fr_mail_t *mail);
/* Thread-safe build: take / release the record's recursive mutex (0, or 1
 * when locking failed). Plain build: nothing (1 for a record, 0 for null). */
KIVO_API int fr_mail_lock(fr_mail_t *mail);
KIVO_API int fr_mail_unlock(fr_mail_t *mail);

/* Sender address (required) and display name (or null). 0, or -1. */
KIVO_API int fr_mail_add_from(fr_mail_t *mail, const char *name, const char *address);
/* Appends the addresses of a comma-separated list ("Name" <a@b>, c@d).
 * Each address is at most 79 characters; a longer one ends the parse with
 * -1, keeping the addresses before it. 0, or -1. */
KIVO_API int fr_mail_add_to(fr_mail_t *mail, const char *list);
KIVO_API int fr_mail_add_cc(fr_mail_t *mail, const char *list);
KIVO_API int fr_mail_add_bcc(fr_mail_t *mail, const char *list);
/* Return path (envelope sender); "<>" is written when none is set. */
KIVO_API int fr_mail_add_retpath(fr_mail_t *mail, const char *address);
/* Address for Disposition-Notification-To. 0, or -1. */
KIVO_API int fr_mail_set_notify(fr_mail_t *mail, const char *address);
/* Subject, main body and plain-text alternative, printf-formatted. With an
 * alternative the main body is sent as text/html. 0, or -1. */
KIVO_API int fr_mail_add_subject(fr_mail_t *mail, const char *format, ...) KIVO_PRINTF(2, 3);
KIVO_API int fr_mail_add_body(fr_mail_t *mail, const char *format, ...) KIVO_PRINTF(2, 3);
KIVO_API int fr_mail_add_altbody(fr_mail_t *mail, const char *format, ...) KIVO_PRINTF(2, 3);
/* Appends the header "name:value" (leading white space of the name is
 * skipped). 0, or -1. */
KIVO_API int fr_mail_add_customh(fr_mail_t *mail, const char *name, const char *value);
/* Content type of the body ("text/plain" by default); returns the stored
 * copy (owned by the record), or null. */
KIVO_API char *fr_mail_set_contenttype(fr_mail_t *mail, const char *type);
/* Charset of the texts ("utf-8" by default): a token of at most 40
 * characters. 0, or -1. */
KIVO_API int fr_mail_set_charset(fr_mail_t *mail, const char *charset);
/* X-Priority value; negative values are ignored. Returns the value given. */
KIVO_API int fr_mail_set_priority(fr_mail_t *mail, int priority);
/* Subject and sender name as RFC 2047 encoded words (flag nonzero, the
 * default) or as given. */
KIVO_API void fr_mail_enable_headers_encoding(fr_mail_t *mail, int flag);
/* Transfer encoding of the bodies, FR_MAIL_ENC_*. 0, or -1 (codec kept). */
KIVO_API int fr_mail_set_encoding(fr_mail_t *mail, int code);

/* Attaches the file at path (read at build time; the whole path is written
 * as its name). New attachment owned by the message, or null. */
KIVO_API fr_mail_att_t *fr_mail_add_att(fr_mail_t *mail, const char *path);
/* Transfer encoding of the attachment (base64 by default). 0, or -1. */
KIVO_API int fr_mail_att_set_encoding(fr_mail_att_t *att, int code);
/* Content type of the attachment ("text/plain" by default). */
KIVO_API void fr_mail_att_set_contenttype(fr_mail_att_t *att, const char *type);
/* Inline disposition with a Content-ID (flag nonzero) or attachment.
 * Returns att. */
KIVO_API fr_mail_att_t *fr_mail_att_enable_inline(fr_mail_att_t *att, int flag);
/* Sets the attachment's content id; returns the message's next id. */
KIVO_API int fr_mail_att_setid(fr_mail_att_t *att, int id);

/* MTA command line: an absolute program path and its arguments, split at
 * spaces and tabs outside quotes (quote characters are kept; unbalanced
 * quotes are refused). At most 30 arguments are kept. 0, or -1. */
KIVO_API int fr_mail_set_mta(fr_mail_t *mail, const char *command);
/* Writes the message to out (standard output when null). 0, or -1 (what
 * was written before the failure stays in the stream). */
KIVO_API int fr_mail_build(fr_mail_t *mail, FILE *out);
/* Pipes the message into the MTA ("/usr/sbin/sendmail -t" unless set):
 * its exit status (or the number of the signal that ended it), or -1 when
 * the message could not be built (the MTA is then stopped before it sees
 * the end of its input, so nothing partial is sent) or the MTA not started. */
KIVO_API int fr_mail_send(fr_mail_t *mail);
/* Submits the message over SMTP to every To, Cc and Bcc address with the
 * return path (or sender) as envelope sender: fr_smtp_send_message's
 * result, or -1. The message goes through an unlinked temporary file of
 * mode 0600 that no path leaves behind. Once the message was handed to
 * smtp, the SMTP record is emptied for its next message (recipients and
 * stream dropped, settings kept): it can serve another send_direct. */
KIVO_API int fr_mail_send_direct(fr_mail_t *mail, fr_smtp_t *smtp);

/* New empty address list head, or null; release it with free(). */
KIVO_API fr_mail_addr_t *init_addr(void);
/* Lowers the letters of s in place (tolower); null does nothing. */
KIVO_API void to_lower(char *s);

KIVO_END_DECLS

#endif
