/*
 * The configuration store: a table of settings read from a configuration
 * file or a database table, and written back to either.
 *
 * A configuration table is an fr_hash_t whose keys are texts WITH their
 * terminating zero (look a key up with fr_hash_find(t, key, strlen(key) + 1))
 * and whose values are safestr_t handles (fr_hash_find returns the address
 * of the stored handle). Destroy it with fr_hash_unref(), which releases
 * every value. Keys are matched against a caller's key list ignoring case,
 * but stored with the case found in the file or the row. A key that occurs
 * twice is stored twice; lookups find the first.
 *
 * File format: one "key value" pair a line; the key ends at the first space
 * or tab, the value is the rest of the line with blanks trimmed at both
 * ends; "#" starts a comment line; "=" has no meaning.
 *
 * Arguments of type safestr_t gain a reference for the call, so a temporary
 * string passed in is freed by the call. Faults of the safe-string
 * operations used on the way reach the caller's handler (kivo/exceptions.h).
 * Messages go to syslog (source "conf").
 */
#ifndef KIVO_CONF_H
#define KIVO_CONF_H

#include <kivo/export.h>
#include <kivo/hash.h>
#include <kivo/safestr.h>
#include <kivo/sql.h>

KIVO_BEGIN_DECLS

/* New, empty configuration table (a size hint below 9 gives 8 buckets), or
 * null. */
KIVO_API fr_hash_t *fr_conf_init(int size_hint);
/* The pairs of `file` whose key is in `keys` (a null-terminated list,
 * compared ignoring case). Null for a null name or list, an empty list, or
 * a file that cannot be opened or is not a regular file. */
KIVO_API fr_hash_t *fr_conf_read_file(safestr_t file, const char **keys);
/* Rewrites `file` with the table's values: comments, order and unknown keys
 * kept (lines trimmed, runs of empty lines cut to three), known keys'
 * values replaced in place, the other keys appended. The new text goes to
 * "<file>_new" (created afresh, never through a symbolic link, with the
 * file's mode and owner), is flushed to the disk and renamed over the file,
 * and the directory is synced: after a crash the file is the old or the
 * new one, whole. A file that does not exist yet is created with mode
 * 0600. When `file` is a symbolic link, the file it leads to is rewritten
 * (with "<target>_new" beside it) and the link stays; a link that leads
 * nowhere is refused. A table that would not read back as itself is
 * refused (EINVAL): an empty key, a key holding a blank or starting with
 * "#", or a value holding a line break. 0, or -1 with the file untouched
 * and no "_new" file left (also when the file's owner cannot be given to
 * the new file). */
KIVO_API int fr_conf_write_file(safestr_t file, fr_hash_t *conf);
/* ---- database tables with the text columns `param` and `value` ----
 *
 * ESCAPING IS THE CALLER'S JOB. The table name, keys and values go into the
 * statements verbatim, between double quotes:
 *   SELECT param, value FROM <table>
 *   UPDATE <table> SET value="<value>" WHERE param="<key>"
 *   INSERT INTO <table> (param, value) VALUES ("<key>", "<value>")
 * A key or value that may hold a double quote or a backslash must be
 * escaped with fr_sql_escape() first; nothing here escapes it again:
 *
 *   char *esc = fr_sql_escape(sql, "say \"hi\" \\o/");   // say \"hi\" \\o/
 *   fr_conf_add_db(sql, SAFESTR_TEMP("greeting"), SAFESTR_TEMP(esc),
 *                  SAFESTR_TEMP("settings"));          // stored: say "hi" \o/
 *   free(esc);
 *
 * An unescaped double quote makes the statement fail (logged, -1).
 * A row whose `param` is SQL NULL is skipped; a NULL `value` reads as "".
 * Failed statements are logged at LOG_WARNING with the server's error. */

/* The rows of `table` (those whose param is in `keys`, ignoring case; every
 * row for a null list). Null for a null connection or name, or a failed
 * query. */
KIVO_API fr_hash_t *fr_conf_read_db(fr_sql_t *sql, safestr_t table, const char **keys);
/* For each key of conf: UPDATE when the table has a row for it (exact
 * key), else INSERT. Every statement is tried; 0 when all succeeded, -1
 * when the table could not be read or any statement failed (each failure
 * logged). */
KIVO_API int fr_conf_write_db(fr_sql_t *sql, safestr_t table, fr_hash_t *conf);
/* One INSERT / one UPDATE (an UPDATE that matches no row succeeds). 0, or
 * -1 for a null argument or a failed statement. */
KIVO_API int fr_conf_add_db(fr_sql_t *sql, safestr_t key, safestr_t value, safestr_t table);
KIVO_API int fr_conf_update_db(fr_sql_t *sql, safestr_t key, safestr_t value, safestr_t table);

/* Value hook of configuration tables: releases the stored handle. 0. */
KIVO_API int free_conf_data(void *value);
/* Printer for fr_hash_setprinter: "\n<key> => <value>" on standard output;
 * the result of the last printf (0 if none). */
KIVO_API int fr_print_conf_item(const void *key, void *value);

KIVO_END_DECLS

#endif
