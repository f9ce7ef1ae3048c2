/*
 * Safe strings meet the outside: strict number conversions, case and trim
 * edits, descriptor and stream I/O, line and password input. Included by
 * <kivo/safestr.h>. Faults are thrown through the xxl frame like every
 * safe-string operation (SAFESTR_E_BAD_NUMBER for text that is not a
 * number, EINVAL for a bad base or a null argument, the system error for a
 * failed read); the str_to* wrappers return instead.
 *
 * Time-outs are seconds: 0 uses plain blocking calls, a negative value
 * waits without limit through the timed calls of <kivo/net.h>.
 */
#ifndef KIVO_SAFESTR_IO_H
#define KIVO_SAFESTR_IO_H

#include <stdint.h>
#include <stdio.h>
#include <kivo/export.h>
#include <kivo/safestr.h>

KIVO_BEGIN_DECLS

/* safestr_convert() flags. */
#define SAFESTR_CONVERT_UPPERCASE 0x01
#define SAFESTR_CONVERT_LOWERCASE 0x02
#define SAFESTR_CONVERT_TITLECASE 0x04
/* safestr_trim() flags; 0 means both ends. */
#define SAFESTR_TRIM_LEADING 0x01
#define SAFESTR_TRIM_TRAILING 0x02
#define SAFESTR_TRIM_BOTH 0x03

/* Integers: leading blanks skipped, one optional sign ('-' only for the
 * signed forms), a 0b / 0x prefix (only with base 0 or its own base), then
 * digits up to the end or a space. Values wrap around silently. Base 0
 * means 10 unless prefixed; other bases must be 2..36 (else EINVAL). Empty
 * or blank text gives 0. */
KIVO_API uint32_t safestr_touint32(safestr_t s, int base);
KIVO_API int32_t safestr_toint32(safestr_t s, int base);
KIVO_API uint64_t safestr_touint64(safestr_t s, int base);
KIVO_API int64_t safestr_toint64(safestr_t s, int base);
/* strtod must take the whole, non-empty text; else SAFESTR_E_BAD_NUMBER with
 * the stop position as the exception's data. */
KIVO_API double safestr_todouble(safestr_t s);

/* Base 10 into *out: 0, or -1 (out untouched) for an empty string, text that
 * is not a number, or a bad handle caught inside (EFAULT, EINVAL, too many
 * references). Other faults (ENOMEM) reach the caller's handler; so does
 * EFAULT/EINVAL for a handle that is not a safe string at all. */
KIVO_API int str_touint32_err(safestr_t s, uint32_t *out);
KIVO_API int str_toint32_err(safestr_t s, int32_t *out);
KIVO_API int str_touint64_err(safestr_t s, uint64_t *out);
KIVO_API int str_toint64_err(safestr_t s, int64_t *out);
KIVO_API int str_todouble_err(safestr_t s, double *out);
/* The value, or 0 for those caught faults. */
KIVO_API uint32_t str_touint32(safestr_t s, int base);
KIVO_API int32_t str_toint32(safestr_t s, int base);
KIVO_API uint64_t str_touint64(safestr_t s, int base);
KIVO_API int64_t str_toint64(safestr_t s, int base);
KIVO_API double str_todouble(safestr_t s);

/* In place (s is taken for writing; its trust is kept). convert: upper,
 * else lower, else title case ("hello world" -> "Hello World", "mcdonald"
 * -> "McDonald"). trim: removes bytes 0x00-0x20 and 0x7F from the start,
 * the end, or both. */
KIVO_API void safestr_convert(safestr_t s, uint32_t flags);
KIVO_API void safestr_trim(safestr_t s, uint32_t flags);

/* Time-out 0: writes all of s (EINTR retried) and returns the count, short
 * when an error stopped it. Otherwise one timed write: 0 when something
 * (or, for an empty s, nothing) was written, -1 on failure. Never throws
 * for I/O errors. */
KIVO_API int safestr_fd_write(int fd, safestr_t s, float timeout);
/* Reads up to size bytes into a new string stored in *out. Time-out 0: until
 * size bytes or end of file (EINTR retried; an error keeps what arrived).
 * Otherwise one timed read. Returns the count (the string's length), or -1
 * with *out null when nothing could be read or size < 0. Free *out with
 * safestr_free(). EINVAL is thrown for a null out. */
KIVO_API int safestr_fd_read(int fd, int size, safestr_t *out, float timeout);
/* One line read byte by byte, without its '\n' (a '\r' stays). End of file
 * returns what was read, possibly "". Null when the time-out ran out; other
 * read errors are thrown. */
KIVO_API safestr_t safestr_fd_readline(int fd, float timeout);
/* Blocking reads until the text ends with terminator (not empty: EINVAL);
 * returned with the terminator. At end of file what was read, or null when
 * nothing was. Read errors are thrown. */
KIVO_API safestr_t safestr_fd_read_until(int fd, safestr_t terminator);
/* One line from stream without "\n" or "\r\n"; at end of file the last
 * unterminated line, or null when nothing was read. */
KIVO_API safestr_t safestr_do_readline(FILE *stream, const char *file, int line);
/* Prints prompt (may be null) to stream (null: "/dev/tty", opened for this
 * call) and reads one line with echo off; returns it without its newline.
 * The terminal settings (and, in the thread-safe build, the signal mask,
 * with SIGINT and SIGTSTP blocked while reading) are restored on every
 * exit, exceptions included. A stream that is not a terminal is read as is. */
KIVO_API safestr_t safestr_do_getpassword(FILE *stream, safestr_t prompt, const char *file, int line);

#define safestr_readline(stream) safestr_do_readline((stream), __FILE__, __LINE__)
#define safestr_getpassword(stream, prompt) safestr_do_getpassword((stream), (prompt), __FILE__, __LINE__)

KIVO_END_DECLS

#endif
