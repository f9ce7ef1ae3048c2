/*
 * The single locked connection: connect, version, UTF-8 session, formatted
 * queries, results, escaping and the kept error text. Every operation that
 * uses the client handle holds the connection's recursive mutex for the
 * whole round trip. No frame exception crosses this file (RAII is fine).
 */
#define KIVO_FILE "mysql"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <kivo/sql.h>
#include "object_impl.h"
#include "sql_internal.h"

namespace {

using kivo::Locked;
using kivo::sql::precondition;
using SqlObj = kivo::Object<fr_sql_t, _fr_sql_destroy>;

constexpr int kWarning = 4;
constexpr int kOptReconnect = 20; /* the client's automatic-reconnect option */

#define SQL_WARN(...) fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, kWarning, __VA_ARGS__)
#define SQL_PRECOND(fn) precondition(KIVO_FILE, __LINE__, fn)

char *dup_or_null(const char *s) {
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    char *c = static_cast<char *>(fr_alloc(n));
    memcpy(c, s, n);
    return c;
}

/* SELECT VERSION() into sql->version; -1 with the precondition report under
 * `fn` when the server gives no usable answer. */
int read_version(fr_sql_t *sql, const char *fn) {
    MYSQL *h = sql->mysql;
    static const char q[] = "SELECT VERSION()";
    if (mysql_real_query(h, q, sizeof q - 1) != 0 || mysql_field_count(h) == 0) {
        SQL_PRECOND(fn);
        return -1;
    }
    MYSQL_RES *res = mysql_store_result(h);
    if (!res) {
        SQL_PRECOND(fn);
        return -1;
    }
    MYSQL_ROW row = mysql_fetch_row(res);
    if (!row || !row[0] || !row[0][0]) {
        mysql_free_result(res);
        SQL_PRECOND(fn);
        return -1;
    }
    snprintf(sql->version, sizeof sql->version, "%s", row[0]);
    kivo::sql::drain_more(h);
    mysql_free_result(res);
    return 0;
}

int set_names(fr_sql_t *sql) {
    if (!fr_sql_srv_has_utf8(sql->version)) return 0;
    static const char q[] = "SET NAMES 'utf8'";
    if (mysql_real_query(sql->mysql, q, sizeof q - 1) != 0) {
        SQL_WARN("MySQL query failed. %s", mysql_error(sql->mysql));
        return -1;
    }
    kivo::sql::drain_more(sql->mysql);
    return 0;
}

void keep_error(fr_sql_t *sql) {
    if (!sql->mysql) return;
    char *copy = dup_or_null(mysql_error(sql->mysql));
    free(sql->last_error);
    sql->last_error = copy;
    if (sql->log_level >= 0)
        fr_log_impl(KIVO_FILE, __LINE__, "fr_sql_query", FR_LOG_SYSLOG, sql->log_level, "%s", copy);
}

/* Leading numbers of a version text, at most `max` bytes read. Returns the
 * count of components read (0: no leading number). */
int version_parts(const char *v, size_t max, unsigned long parts[8]) {
    int n = 0;
    size_t i = 0;
    while (n < 8 && i < max && v[i] >= '0' && v[i] <= '9') {
        unsigned long x = 0;
        while (i < max && v[i] >= '0' && v[i] <= '9') {
            if (x < 100000000ul) x = x * 10 + static_cast<unsigned long>(v[i] - '0');
            ++i;
        }
        parts[n++] = x;
        if (i + 1 < max && v[i] == '.' && v[i + 1] >= '0' && v[i + 1] <= '9')
            ++i;
        else
            break;
    }
    return n;
}

}  // namespace

namespace kivo::sql {

void reconnect_before(MYSQL *h) {
    /* Connector/C 3.x numbers itself 3xxxx: it is newer than every 5.0
     * client and keeps the option, so it counts as such. */
    unsigned long v = mysql_get_client_version();
    if (v > 50018 || v < 50000) {
        my_bool one = 1;
        mysql_options(h, static_cast<mysql_option>(kOptReconnect), &one);
    }
}

void reconnect_after(MYSQL *h) {
    unsigned long v = mysql_get_client_version();
    if (v >= 50013 && v <= 50018) {
        my_bool one = 1;
        mysql_options(h, static_cast<mysql_option>(kOptReconnect), &one);
    }
}

}  // namespace kivo::sql

KIVO_API fr_sql_t *fr_sql_init(const char *host, uint32_t port, const char *user, const char *password,
                               unsigned long client_flags) {
    fr_sql_t *sql = SqlObj::create(nullptr, nullptr);
    if (!sql) return nullptr;
    sql->mysql = mysql_init(nullptr);
    if (!sql->mysql) {
        SQL_WARN("MySQL init failed");
        SqlObj::discard(sql);
        return nullptr;
    }
    sql->host = dup_or_null(host);
    sql->user = dup_or_null(user);
    sql->password = dup_or_null(password);
    sql->port = port;
    sql->hdr.type_word = static_cast<uint32_t>(client_flags);
    sql->log_level = kWarning;

    kivo::sql::reconnect_before(sql->mysql);
    if (!mysql_real_connect(sql->mysql, host, user, password, nullptr, port, nullptr, client_flags)) {
        SQL_WARN("MySQL connect failed. %s", mysql_error(sql->mysql));
        SqlObj::unref(sql);
        return nullptr;
    }
    kivo::sql::reconnect_after(sql->mysql);
    if (read_version(sql, "fr_sql_init") != 0 || set_names(sql) != 0) {
        SqlObj::unref(sql);
        return nullptr;
    }
    return sql;
}

KIVO_API int fr_sql_reconnect(fr_sql_t *sql) {
    if (!sql) return -1;
    Locked lk(&sql->hdr);
    if (!sql->mysql) {
        SQL_PRECOND("fr_sql_reconnect");
        return -1;
    }
    mysql_close(sql->mysql);
    sql->mysql = mysql_init(nullptr);
    if (!sql->mysql) {
        SQL_WARN("MySQL init failed");
        return -1;
    }
    kivo::sql::reconnect_before(sql->mysql);
    if (!mysql_real_connect(sql->mysql, sql->host, sql->user, sql->password, nullptr, sql->port, nullptr,
                            sql->hdr.type_word)) {
        SQL_WARN("MySQL connect failed");
        return -1;
    }
    kivo::sql::reconnect_after(sql->mysql);
    if (read_version(sql, "fr_sql_reconnect") != 0 || set_names(sql) != 0) return -1;
    if (sql->database && mysql_select_db(sql->mysql, sql->database) != 0) {
        SQL_WARN("cannot select the MySQL database %s", sql->database);
        return -1;
    }
    return 0;
}

KIVO_API int fr_sql_selectdb(fr_sql_t *sql, const char *db) {
    if (!sql) return -1;
    Locked lk(&sql->hdr);
    if (!db || !sql->mysql) {
        SQL_PRECOND("fr_sql_selectdb");
        return -1;
    }
    char *copy = dup_or_null(db);
    free(sql->database);
    sql->database = copy;
    if (mysql_select_db(sql->mysql, sql->database) != 0) {
        SQL_WARN("cannot select the MySQL database %s", sql->database);
        return -1;
    }
    return 0;
}

KIVO_API int fr_sql_query(fr_sql_t *sql, MYSQL_RES **result, const char *format, ...) {
    if (!sql) return -1;
    if (result) *result = nullptr;
    Locked lk(&sql->hdr);
    char *stmt = nullptr;
    int rc = -1;
    if (!sql->mysql || !format) {
        SQL_PRECOND("fr_sql_query");
    } else {
        va_list ap;
        va_start(ap, format);
        int n = vasprintf(&stmt, format, ap);
        va_end(ap);
        if (n < 0) {
            stmt = nullptr;
            SQL_PRECOND("fr_sql_query");
        } else if (mysql_real_query(sql->mysql, stmt, static_cast<unsigned long>(n)) != 0) {
            SQL_PRECOND("fr_sql_query");
        } else if (mysql_field_count(sql->mysql) != 0) {
            MYSQL_RES *res = mysql_store_result(sql->mysql);
            if (!res) {
                SQL_PRECOND("fr_sql_query");
            } else {
                /* A result nobody asked for is read and dropped, or the
                 * next statement would find the link out of sync. */
                if (result)
                    *result = res;
                else
                    mysql_free_result(res);
                rc = 0;
            }
        } else {
            rc = 0;
        }
        if (rc == 0) kivo::sql::drain_more(sql->mysql);
    }
    if (rc != 0) keep_error(sql);
    free(stmt);
    return rc;
}

KIVO_API MYSQL_RES *fr_sql_result(fr_sql_t *sql) {
    if (!sql) return nullptr;
    Locked lk(&sql->hdr);
    if (!sql->mysql) {
        SQL_PRECOND("fr_sql_result");
        return nullptr;
    }
    MYSQL_RES *res = mysql_store_result(sql->mysql);
    if (!res) {
        SQL_PRECOND("fr_sql_result");
        /* Only a real failure is worth keeping (a statement without
         * fields also stores nothing). */
        if (mysql_errno(sql->mysql) != 0) keep_error(sql);
        return nullptr;
    }
    return res;
}

KIVO_API MYSQL_ROW fr_sql_fetchrow(MYSQL_RES *result) { return result ? mysql_fetch_row(result) : nullptr; }

KIVO_API MYSQL_FIELD *fr_sql_fetchfield(MYSQL_RES *result) { return result ? mysql_fetch_field(result) : nullptr; }

KIVO_API int64_t fr_sql_numrows(MYSQL_RES *result) {
    return result ? static_cast<int64_t>(mysql_num_rows(result)) : -1;
}

KIVO_API uint64_t fr_sql_affectedrows(fr_sql_t *sql) {
    if (!sql || !sql->mysql) return static_cast<uint64_t>(-1);
    return mysql_affected_rows(sql->mysql);
}

KIVO_API char *fr_sql_escape(fr_sql_t *sql, const char *text) {
    if (!sql) return nullptr;
    Locked lk(&sql->hdr);
    if (!text || !sql->mysql) {
        SQL_WARN("no connected MYSQL; (null pointer)");
        return nullptr;
    }
    size_t len = strlen(text);
    char *out = static_cast<char *>(fr_calloc(2 * len + 1, 1));
    unsigned long n = mysql_real_escape_string(sql->mysql, out, text, len);
    if (n == static_cast<unsigned long>(-1) || n < len) {
        SQL_WARN("MySQL escape string failed");
        free(out);
        return nullptr;
    }
    return out;
}

KIVO_API int fr_sql_ping(fr_sql_t *sql) {
    if (!sql) return -1;
    Locked lk(&sql->hdr);
    if (!sql->mysql) {
        SQL_PRECOND("fr_sql_ping");
        return -1;
    }
    return mysql_ping(sql->mysql);
}

KIVO_API const char *fr_sql_error(fr_sql_t *sql) {
    if (!sql) return nullptr;
    Locked lk(&sql->hdr);
    if (!sql->mysql) {
        SQL_PRECOND("fr_sql_error");
        return nullptr;
    }
    return sql->last_error;
}

KIVO_API int fr_sql_set_loglevel(fr_sql_t *sql, int level) {
    if (!sql) return -1;
    if (level <= 7) sql->log_level = level;
    return 0;
}

KIVO_API int sql_close(fr_sql_t *sql) {
    if (!sql || !sql->mysql) {
        fr_log_impl(KIVO_FILE, __LINE__, "sql_close", FR_LOG_SYSLOG, kWarning, "Cannot close. Not opened.");
        return -1;
    }
    mysql_close(sql->mysql);
    sql->mysql = nullptr;
    return 0;
}

KIVO_API int fr_sql_close(fr_sql_t *sql) {
    if (!sql) return sql_close(sql);
    Locked lk(&sql->hdr);
    return sql_close(sql);
}

KIVO_API int _fr_sql_destroy(fr_sql_t *sql) {
    if (!sql) return 0;
    sql_close(sql);
    free(sql->user);
    free(sql->password);
    free(sql->host);
    free(sql->database);
    free(sql->last_error);
    sql->user = sql->password = sql->host = sql->database = sql->last_error = nullptr;
    return 0;
}

KIVO_API int fr_sql_srv_has_ver(const void *version, const char *threshold) {
    if (!version || !threshold) return 0;
    const char *v = static_cast<const char *>(version);
    unsigned long a[8] = {}, b[8] = {};
    int na = version_parts(v, strnlen(v, 20), a);
    int nb = version_parts(threshold, strlen(threshold), b);
    if (na == 0) return 0;
    for (int i = 0; i < 8 && (i < na || i < nb); ++i) {
        if (a[i] != b[i]) return a[i] > b[i] ? 1 : 0;
    }
    return 1;
}

KIVO_API int fr_sql_srv_has_begin(const void *v) { return fr_sql_srv_has_ver(v, "3.23.17"); }
KIVO_API int fr_sql_srv_has_beginwork(const void *v) { return fr_sql_srv_has_ver(v, "3.23.19"); }
KIVO_API int fr_sql_srv_has_transaction(const void *v) { return fr_sql_srv_has_ver(v, "4.0.11"); }
KIVO_API int fr_sql_srv_has_ondupkeyupd(const void *v) { return fr_sql_srv_has_ver(v, "4.1.0"); }
KIVO_API int fr_sql_srv_has_utf8(const void *v) { return fr_sql_srv_has_ver(v, "4.1.0"); }
KIVO_API int fr_sql_srv_has_rollback(const void *v) { return fr_sql_srv_has_ver(v, "4.1.8"); }
