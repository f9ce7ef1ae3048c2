/*
 * Settings of the hosting control panel installed on the server: single
 * values of /etc/psa/psa.conf (key, blanks, value; "#" and ";" comments;
 * one pair of quotes around a value removed), kept in a process-wide cache,
 * and the administrator password, the first line of /etc/psa/.psa.shadow.
 *
 * The cache is created by the first fr_psa_getconf() call without a lock:
 * a threaded program makes that first call (and the first after
 * fr_psa_destroyconf()) before other threads use these functions.
 */
#ifndef KIVO_PANEL_H
#define KIVO_PANEL_H

#include <kivo/export.h>
#include <kivo/safestr.h>

KIVO_BEGIN_DECLS

/* A new string (release with safestr_free) holding the value of key, or
 * null: null key or context (context is only tested, not used), a missing
 * or unreadable file, or a key not in it. A found value is cached and later
 * calls answer from the cache, even if the file changed, until
 * fr_psa_destroyconf(); a key not found is looked for in the file again
 * on every call. When a key appears several times the last value wins. */
KIVO_API safestr_t fr_psa_getconf(const char *key, void *context);
/* Drops the cache; the next fr_psa_getconf() reads the file again. 1. */
KIVO_API int fr_psa_destroyconf(void);
/* The first line of /etc/psa/.psa.shadow (without its line end) as a new
 * string, or null for an empty file. When the file cannot be opened, logs
 * "cannot open the psa shadow file, make sure you are root" (LOG_ERR,
 * syslog) and ends the process with exit status 2. */
KIVO_API safestr_t fr_getadminpass(void);

KIVO_END_DECLS

#endif
