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
// process list, excluding the asking one.
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
