#include "mariadb_env.h"
#include <gtest/gtest.h>
#include <ctype.h>
#include <stdlib.h>
#include <unistd.h>
#include <fstream>
#include <kivo/log.h>

namespace kt {
namespace {

std::string state_dir() {
    const char *s = getenv("KIVO_MARIADB_STATE");
    return s ? s : KIVO_MARIADB_STATE_DEFAULT;
}

std::string read_file(const std::string &name) {
    std::ifstream in(state_dir() + "/" + name);
    std::string v;
    std::getline(in, v);
    if (v.empty()) ADD_FAILURE() << "no " << name << " in state dir '" << state_dir() << "' (KIVO_MARIADB_STATE)";
    return v;
}

std::mutex g_log_mu;
std::vector<LogLine> g_log;

void log_cb(const char *file, int, const char *function, int level, const char *message) {
    std::lock_guard<std::mutex> g(g_log_mu);
    g_log.push_back({file ? file : "", function ? function : "", message ? message : "", level});
}

}  // namespace

unsigned port(const std::string &server) { return static_cast<unsigned>(atoi(read_file(server + ".port").c_str())); }
std::string user() { return read_file("user"); }
std::string password() { return read_file("password"); }
std::string database() { return read_file("database"); }

bool control(const std::string &cmd, const std::string &server) {
    const char *script = getenv("KIVO_MARIADB_SCRIPT");
    if (!script) script = KIVO_MARIADB_SCRIPT_DEFAULT;
    std::string c = std::string(script) + " " + cmd + " '" + state_dir() + "' " + server;
    return system(c.c_str()) == 0;
}

MYSQL *raw(const std::string &server) {
    MYSQL *m = mysql_init(nullptr);
    unsigned timeout = 5;
    mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (!mysql_real_connect(m, "127.0.0.1", user().c_str(), password().c_str(), database().c_str(), port(server),
                            nullptr, CLIENT_MULTI_STATEMENTS)) {
        ADD_FAILURE() << "raw connect to " << server << ": " << mysql_error(m);
        mysql_close(m);
        return nullptr;
    }
    mysql_set_character_set(m, "utf8mb4");
    return m;
}

std::vector<std::vector<std::string>> rows(MYSQL *m, const std::string &stmt) {
    std::vector<std::vector<std::string>> out;
    if (!m) {
        ADD_FAILURE() << "no connection for " << stmt;
        return out;
    }
    if (mysql_real_query(m, stmt.data(), stmt.size()) != 0) {
        ADD_FAILURE() << stmt << ": " << mysql_error(m);
        return out;
    }
    do {
        MYSQL_RES *r = mysql_store_result(m);
        if (!r) continue;
        unsigned n = mysql_num_fields(r);
        while (MYSQL_ROW row = mysql_fetch_row(r)) {
            unsigned long *len = mysql_fetch_lengths(r);
            std::vector<std::string> v;
            for (unsigned i = 0; i < n; ++i) v.emplace_back(row[i] ? std::string(row[i], len[i]) : "NULL");
            out.push_back(v);
        }
        mysql_free_result(r);
    } while (mysql_next_result(m) == 0);
    return out;
}

int account_connections(const std::string &server) {
    // Asked without a database, so that the asking connections of earlier
    // calls, which the server drops a moment after they quit, never count:
    // the pool's connections always have the test database selected.
    MYSQL *m = mysql_init(nullptr);
    unsigned timeout = 5;
    mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (!mysql_real_connect(m, "127.0.0.1", user().c_str(), password().c_str(), nullptr, port(server), nullptr, 0)) {
        ADD_FAILURE() << "raw connect to " << server << ": " << mysql_error(m);
        mysql_close(m);
        return -1;
    }
    auto r = rows(m, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER='" + user() + "' AND DB='" +
                         database() + "' AND ID <> CONNECTION_ID() AND COMMAND <> 'Binlog Dump'");
    mysql_close(m);
    return r.empty() ? -1 : atoi(r[0][0].c_str());
}

int server_id(const std::string &server) {
    return server == "primary" ? 1 : server == "replica1" ? 2 : 3;
}

LogCatcher::LogCatcher() {
    clear();
    fr_log_init_custom(log_cb);
}
LogCatcher::~LogCatcher() { fr_log_setlogger(nullptr); }
std::vector<LogLine> LogCatcher::lines() {
    std::lock_guard<std::mutex> g(g_log_mu);
    return g_log;
}
std::vector<std::string> LogCatcher::texts(const std::string &file) {
    std::vector<std::string> out;
    for (auto &l : lines())
        if (file.empty() || l.file == file) out.push_back(l.text);
    return out;
}
void LogCatcher::clear() {
    std::lock_guard<std::mutex> g(g_log_mu);
    g_log.clear();
}
bool LogCatcher::contains(const std::string &text) {
    for (auto &l : lines())
        if (l.text == text) return true;
    return false;
}

}  // namespace kt

namespace kt {

fr_sql_shard_t *make_shard(const std::string &name, const std::vector<std::string> &slaves, int limit,
                           unsigned timeout) {
    fr_sql_shard_t *s = fr_sql_shard_init_api(name.c_str(), user().c_str(), password().c_str(), database().c_str(),
                                              timeout, limit, nullptr, nullptr);
    if (!s) {
        ADD_FAILURE() << "shard";
        return nullptr;
    }
    EXPECT_EQ(fr_sql_shard_master_set(s, "127.0.0.1", static_cast<int>(port("primary"))), 0);
    for (auto &sl : slaves) EXPECT_EQ(fr_sql_shard_slave_add(s, "127.0.0.1", static_cast<int>(port(sl))), 0);
    EXPECT_EQ(fr_sqlpool_shard_add(s), 0);
    return s;
}

int served_by(fr_sql_conn_t *c, int slave) {
    MYSQL_RES *res = nullptr;
    if (fr_sql_conn_query(c, slave, &res, "SELECT @@server_id") != 0 || !res) return -1;
    MYSQL_ROW row = mysql_fetch_row(res);
    int id = row && row[0] ? atoi(row[0]) : -1;
    mysql_free_result(res);
    return id;
}

std::string addr(const std::string &server) { return "127.0.0.1:" + std::to_string(port(server)); }

}  // namespace kt
namespace kt {
int connections_settle(const std::string &server, int want) {
    int n = -1;
    for (int i = 0; i < 100; ++i) {
        n = account_connections(server);
        if (n == want) break;
        usleep(50000);
    }
    return n;
}
}  // namespace kt
namespace kt {
bool up(const std::string &server) {
    MYSQL *m = mysql_init(nullptr);
    unsigned timeout = 2;
    mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &timeout);
    bool ok = mysql_real_connect(m, "127.0.0.1", user().c_str(), password().c_str(), nullptr, port(server), nullptr,
                                 0) != nullptr;
    mysql_close(m);
    return ok;
}
}  // namespace kt
namespace kt {
namespace {
bool like_at(const char *p, const char *t) {
    for (; *p; ++p, ++t) {
        if (*p == '*') {
            for (const char *s = t;; ++s) {
                if (like_at(p + 1, s)) return true;
                if (!*s) return false;
            }
        }
        if (*p == '#') {
            if (!isdigit(static_cast<unsigned char>(*t))) return false;
            while (isdigit(static_cast<unsigned char>(t[1]))) ++t;
            continue;
        }
        if (*p != *t) return false;
    }
    return *t == '\0';
}
}  // namespace
bool like(const std::string &pattern, const std::string &text) { return like_at(pattern.c_str(), text.c_str()); }
}  // namespace kt
