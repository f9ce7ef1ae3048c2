/*
 * Helpers shared by the single connection and the pool: the precondition
 * report under a given function name, result draining and the numeric
 * version comparison. No frame exception crosses these.
 */
#ifndef KIVO_SQL_INTERNAL_H
#define KIVO_SQL_INTERNAL_H

#include <mysql.h>
#include <kivo/log.h>
#include <kivo/memory.h>

namespace kivo::sql {

/* "<file>:<line>:conditional return" at debug level to syslog, naming the
 * public operation even when a helper notices the refusal. */
inline void precondition(const char *file, int line, const char *function) {
    fr_log_impl(file, line, function, FR_LOG_SYSLOG, 7, "%s:%d:conditional return", file, line);
}

/* Stores and frees every further result set the server still holds. Only
 * while the client says more are pending: mysql_next_result without one
 * would reset the affected-row count and insert id of the statement just
 * run. */
inline void drain_more(MYSQL *h) {
    while (mysql_more_results(h)) {
        if (mysql_next_result(h) != 0) break;
        MYSQL_RES *r = mysql_store_result(h);
        if (r) mysql_free_result(r);
    }
}

/* Automatic reconnect as the connection rules want it: set before
 * connecting on clients that keep it, again after connecting on the few
 * old clients that clear it while connecting. */
void reconnect_before(MYSQL *h);
void reconnect_after(MYSQL *h);

}  // namespace kivo::sql

#endif
