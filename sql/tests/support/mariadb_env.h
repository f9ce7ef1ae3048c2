// Test access to the throwaway MariaDB servers of the "mariadb" fixture:
// their ports, the account, server control (kill, pause, restart), a raw
// client connection to check what the servers really hold, and a log
// catcher for exact message comparisons.
#pragma once
#include <mysql.h>
#include <mutex>
#include <string>
#include <vector>

namespace kt {

// "primary", "replica1", "replica2".
unsigned port(const std::string &server);
std::string user();
std::string password();
std::string database();
// Runs the services script: kill, pause, resume, restart, wait-replicas.
// True when it exited 0.
bool control(const std::string &cmd, const std::string &server = "");

// Raw client connection (no kivo code) to one server, database selected.
MYSQL *raw(const std::string &server);
// Rows of a statement on a raw connection; a failed statement fails the test.
std::vector<std::vector<std::string>> rows(MYSQL *m, const std::string &stmt);
// Number of connections of the test account on a server, from its own
// process list: those with the test database selected, as every pooled one is.
int account_connections(const std::string &server);
// @@server_id of each server: primary 1, replica1 2, replica2 3.
int server_id(const std::string &server);

// Collects every log line given to the logger's callback.
struct LogLine {
    std::string file, function, text;
    int level;
};
class LogCatcher {
public:
    LogCatcher();
    ~LogCatcher();
    std::vector<LogLine> lines();
    std::vector<std::string> texts(const std::string &file = "");
    void clear();
    bool contains(const std::string &text);
};

}  // namespace kt

#include <kivo/sqlpool.h>
namespace kt {
// Creates the pool (no sweeper unless interval > 0) and a shard `name`
// whose master is the primary and whose slaves are the named servers;
// 2-second client time-outs. The pool owns the shard.
fr_sql_shard_t *make_shard(const std::string &name, const std::vector<std::string> &slaves, int limit = 0,
                           unsigned timeout = 2);
// @@server_id of the server that answered a statement on a pooled
// connection (slave flag as given), or -1 when the query failed.
int served_by(fr_sql_conn_t *c, int slave);
// "127.0.0.1:<port>" of a server.
std::string addr(const std::string &server);
}  // namespace kt
namespace kt {
// account_connections() once it equals `want` (closing is asynchronous on
// the server's side), or its value after 5 seconds.
int connections_settle(const std::string &server, int want);
}  // namespace kt
namespace kt {
// True when the server accepts a connection (no test failure otherwise).
bool up(const std::string &server);
}  // namespace kt
namespace kt {
// Whole-text match where '*' stands for any run of characters and '#' for
// a run of one or more digits (log lines with addresses, lines, times).
bool like(const std::string &pattern, const std::string &text);
}  // namespace kt
