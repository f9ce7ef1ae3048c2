/*
 * One locked MySQL/MariaDB connection: connect with automatic reconnect,
 * the server's version read once per connection, UTF-8 sessions on servers
 * that have it, printf-style queries and the text of the last error.
 *
 * The client library's result sets, rows and field descriptions are handed
 * out as they are: free a stored result with the client's
 * mysql_free_result(). The struct tags below are the client library's own,
 * so this header does not need <mysql.h> but mixes with it.
 */
#ifndef KIVO_SQL_H
#define KIVO_SQL_H

#include <stdarg.h>
#include <stdint.h>
#include <kivo/export.h>
#include <kivo/object.h>

KIVO_BEGIN_DECLS

struct st_mysql;
struct st_mysql_res;
struct st_mysql_field;

/* One connection. The version text is the first field, so a connection can
 * be passed wherever a version text is expected (fr_sql_srv_has_*). */
typedef struct fr_sql {
    char version[20];          /* first value of SELECT VERSION(), at most 19 chars */
    struct st_mysql *mysql;    /* client handle; null while closed */
    char *user;
    char *password;
    char *database;            /* last name given to fr_sql_selectdb */
    char *last_error;          /* client error text of the latest failed query */
    char *host;
    uint32_t port;
    int32_t log_level;         /* query errors are logged at this level; < 0 silences */
    fr_alloc_api api;
    fr_object_header hdr;      /* type_word: client flags given at creation */
} fr_sql_t;

/* Connects (no database selected yet), reads the version and switches the
 * session to UTF-8 where the server has it. New connection, or null. Tear
 * down with fr_sql_close() if needed, then _fr_sql_destroy() and free(). */
KIVO_API fr_sql_t *fr_sql_init(const char *host, uint32_t port, const char *user, const char *password,
                               unsigned long client_flags);
/* Closes the handle and connects again with the stored settings, selecting
 * the stored database again. 0, or -1. */
KIVO_API int fr_sql_reconnect(fr_sql_t *sql);
/* Stores the name (kept even when the selection fails, for a later
 * reconnect) and selects it. 0, or -1. */
KIVO_API int fr_sql_selectdb(fr_sql_t *sql, const char *db);
/* Formats and runs a statement. With a non-null result pointer, a statement
 * with fields stores its result there (caller frees it with
 * mysql_free_result); others leave it null. 0, or -1 (error text kept). */
KIVO_API int fr_sql_query(fr_sql_t *sql, struct st_mysql_res **result, const char *format, ...)
    KIVO_PRINTF(3, 4);
/* The client's stored result of the last statement, or null. */
KIVO_API struct st_mysql_res *fr_sql_result(fr_sql_t *sql);
/* Next row (array of column texts), or null (also for a null result). */
KIVO_API char **fr_sql_fetchrow(struct st_mysql_res *result);
/* Next field description, or null. */
KIVO_API struct st_mysql_field *fr_sql_fetchfield(struct st_mysql_res *result);
/* Number of rows; -1 for a null result. */
KIVO_API int64_t fr_sql_numrows(struct st_mysql_res *result);
/* Rows changed by the last statement, as the client reports it; no lock. */
KIVO_API uint64_t fr_sql_affectedrows(fr_sql_t *sql);
/* New escaped copy (free it with free()), or null without text or handle. */
KIVO_API char *fr_sql_escape(fr_sql_t *sql, const char *text);
/* The client's ping result (0 = alive); -1 without a handle. */
KIVO_API int fr_sql_ping(fr_sql_t *sql);
/* Text of the last failed query (owned by the connection), or null. It
 * stays until the next failure replaces it. */
KIVO_API const char *fr_sql_error(fr_sql_t *sql);
/* Error log level for failed queries: levels above 7 are ignored, a
 * negative level silences them. 0, or -1 for null. */
KIVO_API int fr_sql_set_loglevel(fr_sql_t *sql, int level);
/* Closes the handle: 0, or -1 if it was not open. sql_close takes no lock. */
KIVO_API int fr_sql_close(fr_sql_t *sql);
KIVO_API int sql_close(fr_sql_t *sql);
/* Destroy hook: closes the handle and frees the copies, not the record. 0. */
KIVO_API int _fr_sql_destroy(fr_sql_t *sql);

/* Server versions compare numerically, component by component ("10.11.6"
 * is above "4.1.8", "4.1.10" above "4.1.8"); anything after the leading
 * numbers ("-MariaDB-log") is ignored and a missing component counts as 0.
 * The version argument may be a version text or an fr_sql_t (at most 20
 * bytes are read). 1 if at or above the threshold, else 0 (also for null or
 * a version without a leading number). */
KIVO_API int fr_sql_srv_has_ver(const void *version, const char *threshold);
KIVO_API int fr_sql_srv_has_begin(const void *version);       /* 3.23.17 */
KIVO_API int fr_sql_srv_has_beginwork(const void *version);   /* 3.23.19 */
KIVO_API int fr_sql_srv_has_transaction(const void *version); /* 4.0.11 */
KIVO_API int fr_sql_srv_has_ondupkeyupd(const void *version); /* 4.1.0 */
KIVO_API int fr_sql_srv_has_utf8(const void *version);        /* 4.1.0 */
KIVO_API int fr_sql_srv_has_rollback(const void *version);    /* 4.1.8 */

KIVO_END_DECLS

#endif
