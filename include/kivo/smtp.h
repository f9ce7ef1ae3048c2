/*
 * SMTP submission of one prepared message through libESMTP, with optional
 * STARTTLS and SASL authentication. Outcomes are reported through the log
 * (destination mask 0: only an installed log callback or a forced console
 * sees them). One record serves one thread at a time; nothing here locks.
 */
#ifndef KIVO_SMTP_H
#define KIVO_SMTP_H

#include <stdio.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Opaque: wraps one libESMTP session and its one message. */
typedef struct fr_smtp fr_smtp_t;

/* New record talking to port 25 of the local machine; null if libESMTP
 * cannot make a session. Release it with fr_smtp_destroy. */
KIVO_API fr_smtp_t *fr_smtp_init(void);
/* Drops one reference; at the last one releases the libESMTP session, the
 * authentication context and the stored credentials. 1 when released (or
 * null), 0 while references remain. */
KIVO_API int fr_smtp_destroy(fr_smtp_t *smtp);
/* Server as "host:port" (libESMTP's form). libESMTP's result, nonzero on
 * success; a null server does nothing and gives 0. */
KIVO_API int fr_smtp_set_host(fr_smtp_t *smtp, const char *server);
/* Stores copies of the user name and password (earlier copies are freed);
 * returns the stored password copy, or null. */
KIVO_API char *fr_smtp_set_credentials(fr_smtp_t *smtp, const char *user, const char *password);
/* Pass phrase of the TLS client key; returns the stored copy, or null. */
KIVO_API char *fr_smtp_set_passphrase(fr_smtp_t *smtp, const char *passphrase);
/* Authenticate (PLAIN, LOGIN ...) with the stored credentials when flag is nonzero. */
KIVO_API void fr_smtp_enable_auth(fr_smtp_t *smtp, int flag);
/* STARTTLS when use or require is nonzero; with require nonzero a server
 * without STARTTLS fails the send. By default any server certificate is
 * accepted (logged "Invalid peer certificate: ... - accepted");
 * see fr_smtp_set_tls_verify for the strict mode. Returns the record. */
KIVO_API fr_smtp_t *fr_smtp_enable_tls(fr_smtp_t *smtp, int use, int require);
/* Strict TLS when flag is nonzero: the server certificate must verify
 * against ca_file (PEM; null: the system's trusted certificates) and carry
 * the server's host name, else the send fails with "... - refused" logged.
 * Flag 0 returns to accepting any certificate. 0, or -1 (null record, or
 * the CA file cannot be loaded: the setting is left unchanged). */
KIVO_API int fr_smtp_set_tls_verify(fr_smtp_t *smtp, int flag, const char *ca_file);
/* Log the protocol dialogue ("C: ", "S: ", "H: " lines at LOG_INFO). */
KIVO_API void fr_smtp_enable_monitor(fr_smtp_t *smtp, int flag);
/* Adds a recipient; libESMTP's recipient handle (owned by the record), or null.
 * Addresses with spaces, control characters, '<' or '>' are refused (null). */
KIVO_API void *fr_smtp_add_recipient(fr_smtp_t *smtp, const char *address);
/* Envelope sender (null: the empty sender); libESMTP's result (nonzero on
 * success), 0 for an address with spaces, control characters, '<' or '>'. */
KIVO_API int fr_smtp_set_return_path(fr_smtp_t *smtp, const char *address);
/* The message is read from fp (positioned at its start) during the send;
 * the stream must stay open until then. libESMTP's result. */
KIVO_API int fr_smtp_set_message_fp(fr_smtp_t *smtp, FILE *fp);
/* Runs the session: 0 when the server accepted the message (2xx), else -1
 * (also, with the precondition report, when no stream was set since the
 * record was made or emptied by fr_mail_send_direct).
 * A partial delivery still gives 0 and logs "Transfer successfull for %d
 * out of %d total recipients.". */
KIVO_API int fr_smtp_send_message(fr_smtp_t *smtp);

KIVO_END_DECLS

#endif
