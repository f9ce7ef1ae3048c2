/*
 * MIME content encodings: base64 (with a decoder), quoted-printable, the Q
 * encoding of header words, and an 8-bit form that only normalises line
 * ends. Each comes as a stream form and a string form.
 *
 * Stream forms read `in` from its current position to end-of-file (a read
 * error counts as the end) and write to `out`. They return 0, or -1 when a
 * write fails; a failed write logs "mime:<line>:conditional return" at
 * LOG_DEBUG to syslog, except when the failed byte belongs to a hard line
 * break (or, in q_enc, to an underscore). Writes are buffered in blocks, so
 * on a buffered `out` a failure may surface later, at fflush/fclose, as it
 * would with any stdio writer. A null stream logs the same line and
 * returns -1.
 *
 * String forms take a zero-terminated string and return a new safe string
 * that the caller releases with safestr_free(), or null (with the log line)
 * for a null argument. Faults of the safe-string layer (ENOMEM,
 * SAFESTR_E_TOO_LONG when the result would pass safestr_maxlength) are
 * thrown to the caller's handler; nothing is leaked.
 *
 * Known departures from the standards, kept on purpose: base64 lines hold
 * 72 characters; the decoder accepts any text and skips what is not in the
 * alphabet ('=' included, anywhere); Q output also gets soft line breaks
 * and "\r\n" line ends; the 8-bit form writes LF line ends.
 */
#ifndef KIVO_MIME_H
#define KIVO_MIME_H

#include <stdio.h>
#include <kivo/export.h>
#include <kivo/safestr.h>

KIVO_BEGIN_DECLS

/* Base64, lines of 72 characters each ended by "\r\n" (the last line too);
 * empty input gives empty output. */
KIVO_API int base64_enc(FILE *in, FILE *out);
KIVO_API safestr_t base64_enc_str(const char *in);

/* Base64 decoding: characters outside the alphabet are skipped, '=' too;
 * a final 3 values give 2 bytes, 2 give 1, a single one gives nothing.
 * The string result may hold zero bytes: its length is authoritative. */
KIVO_API int base64_dec(FILE *in, FILE *out);
KIVO_API safestr_t base64_dec_str(const char *in);

/* Quoted-printable: every line end (CRLF, CR, LF) becomes "\r\n"; '=' and
 * bytes outside 33..126 are escaped as "=XX"; a space or tab before a line
 * end or at the very end of the input is escaped; soft breaks "=\r\n" keep
 * lines within 76 characters. */
KIVO_API int qp_enc(FILE *in, FILE *out);
KIVO_API safestr_t qp_enc_str(const char *in);

/* Q (header words): as quoted-printable, but a space becomes '_', and
 * ( ) = ? _ and every control byte (tab included) are escaped. Underscores
 * do not count towards the line length. */
KIVO_API int q_enc(FILE *in, FILE *out);
KIVO_API safestr_t q_enc_str(const char *in);

/* 8-bit: CRLF and a lone CR become LF, the output always ends with LF.
 * eightbit_enc rewinds `in` first and never fails (returns 0 for any pair
 * of non-null streams, write errors are not checked). It decides about the
 * final LF by reading back the last byte of `out`; when `out` cannot be
 * read back (a pipe, a write-only stream), it goes by the last byte it
 * wrote itself, and appends LF when it wrote nothing. */
KIVO_API int eightbit_enc(FILE *in, FILE *out);
KIVO_API safestr_t eightbit_enc_str(const char *in);

KIVO_END_DECLS

#endif
