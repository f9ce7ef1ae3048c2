/*
 * Ready-made checks of user input. Each takes a safe string and returns 1
 * when it is acceptable, 0 otherwise (also for a null or dead handle).
 * fr_valid_host, fr_valid_domain, fr_valid_url and fr_valid_email lower-case
 * the caller's string in place first (a read-only or shared string is
 * refused). `$` in the patterns means the very end of the input, an input
 * holding a zero byte is refused, and every match runs under the limits of
 * <kivo/regex.h> (a match stopped by one is "not valid").
 */
#ifndef KIVO_VALID_H
#define KIVO_VALID_H

#include <kivo/export.h>
#include <kivo/safestr.h>

KIVO_BEGIN_DECLS

/* Optional sign, decimal digits. */
KIVO_API int fr_valid_numeric(safestr_t s);
/* Optional sign, digits, optionally a point and digits. */
KIVO_API int fr_valid_float(safestr_t s);
/* Decimal digits. */
KIVO_API int fr_valid_zip(safestr_t s);
/* Digits, '+' and '.'. */
KIVO_API int fr_valid_phone(safestr_t s);
KIVO_API int fr_valid_fax(safestr_t s);
/* Lower-case letters, digits, '_', '.', '-'. */
KIVO_API int fr_valid_username(safestr_t s);
/* Starts with a lower-case letter, digit or listed punctuation, or ends
 * with ']'. */
KIVO_API int fr_valid_password(safestr_t s);
/* Six groups of one or two hex digits joined by ':'. */
KIVO_API int fr_valid_mac(safestr_t s);
/* Dotted quad (first part not starting with 0), '/', prefix length 0-32. */
KIVO_API int fr_valid_ipv4_cidr(safestr_t s);
/* Host name: labels of letters and digits with single inner '-', joined
 * by '.'. Lower-cases s. */
KIVO_API int fr_valid_host(safestr_t s);
/* Labels joined by '.', ending in a top-level label of 2-32 letters.
 * Lower-cases s. */
KIVO_API int fr_valid_domain(safestr_t s);
/* http, https, ftp or ftps URL. Lower-cases s. */
KIVO_API int fr_valid_url(safestr_t s);
/* E-mail address (plain or quoted local part; host name or [dotted quad]).
 * Inputs of 256 bytes or more are refused untouched; otherwise lower-cases s. */
KIVO_API int fr_valid_email(safestr_t s);

/* Dotted quads: four decimal parts, the first not starting with 0. */
/* Every part at most 255; no part with a leading zero ("010"). */
KIVO_API int fr_valid_ipv4(safestr_t s);
/* No part 0 or above 255; after a 255 only 255s. */
KIVO_API int fr_valid_bcast_addr(safestr_t s);
/* Every part at most 254; after a 0 only 0s. */
KIVO_API int valid_ipv4_cidr_netmask(safestr_t s);

/* MMDDYYYY, eight digits: month 1-12, day 1-31 (not checked against the
 * month), year above 0. */
KIVO_API int is_valid_date(safestr_t s);
/* HHMM, four digits: 00-23 and 00-59. */
KIVO_API int is_valid_time(safestr_t s);
/* Every character graphic or white space in the current locale (so no
 * zero byte); the empty string is valid. */
KIVO_API int fr_valid_string(safestr_t s);

KIVO_END_DECLS

#endif
