// The configuration store's database half against the throwaway MariaDB
// primary of the "mariadb" fixture: reads, the statements a write issues
// (counted by the server), the escaping contract, NULL columns, refusals,
// and a connection killed in the middle of a write.
#include <mysql.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/conf.h>
#include <kivo/hash.h>
#include <kivo/safestr.h>
#include <kivo/sql.h>

#include "support/conf_support.h"

namespace {

std::string state(const std::string &name) {
    const char *dir = getenv("KIVO_MARIADB_STATE");
    std::ifstream in(std::string(dir ? dir : "") + "/" + name);
    std::string v;
    std::getline(in, v);
    return v;
}

MYSQL *raw() {
    MYSQL *m = mysql_init(nullptr);
    if (!mysql_real_connect(m, "127.0.0.1", state("user").c_str(), state("password").c_str(),
                            state("database").c_str(), static_cast<unsigned>(atoi(state("primary.port").c_str())),
                            nullptr, 0)) {
        ADD_FAILURE() << "raw connect: " << mysql_error(m);
        mysql_close(m);
        return nullptr;
    }
    return m;
}

void exec(MYSQL *m, const std::string &stmt) {
    ASSERT_EQ(mysql_query(m, stmt.c_str()), 0) << stmt << ": " << mysql_error(m);
}

std::vector<std::pair<std::string, std::string>> rows(MYSQL *m, const std::string &stmt) {
    std::vector<std::pair<std::string, std::string>> out;
    if (mysql_query(m, stmt.c_str()) != 0) {
        ADD_FAILURE() << stmt << ": " << mysql_error(m);
        return out;
    }
    MYSQL_RES *r = mysql_store_result(m);
    while (MYSQL_ROW row = mysql_fetch_row(r)) {
        unsigned long *len = mysql_fetch_lengths(r);
        out.emplace_back(row[0] ? std::string(row[0], len[0]) : "NULL",
                         mysql_num_fields(r) > 1 && row[1] ? std::string(row[1], len[1]) : "NULL");
    }
    mysql_free_result(r);
    return out;
}

class ConfDb : public testing::Test {
  protected:
    void SetUp() override {
        if (!getenv("KIVO_MARIADB_STATE")) GTEST_SKIP() << "run through ctest (fixture mariadb)";
        m = raw();
        ASSERT_NE(m, nullptr);
        exec(m, "DROP TABLE IF EXISTS conf_t");
        exec(m, "CREATE TABLE conf_t (param VARCHAR(255) NULL, value TEXT NULL) CHARACTER SET utf8mb4");
        sql = fr_sql_init("127.0.0.1", static_cast<uint32_t>(atoi(state("primary.port").c_str())),
                          state("user").c_str(), state("password").c_str(), 0);
        ASSERT_NE(sql, nullptr);
        ASSERT_EQ(fr_sql_selectdb(sql, state("database").c_str()), 0);
    }
    void TearDown() override {
        if (sql) {
            fr_sql_close(sql);
            _fr_sql_destroy(sql);
            free(sql);
        }
        if (m) {
            mysql_query(m, "DROP TABLE IF EXISTS conf_t");
            mysql_close(m);
        }
    }
    fr_hash_t *read(const char **keys) {
        fr_hash_t *t = nullptr;
        EXPECT_EQ(0, ctest::run([&] { t = fr_conf_read_db(sql, SAFESTR_TEMP("conf_t"), keys); }));
        return t;
    }
    int write(fr_hash_t *t) {
        int rc = -2;
        EXPECT_EQ(0, ctest::run([&] { rc = fr_conf_write_db(sql, SAFESTR_TEMP("conf_t"), t); }));
        return rc;
    }
    // Statement counters of the kivo connection's own session.
    std::map<std::string, long> counters() {
        std::map<std::string, long> out;
        MYSQL_RES *r = nullptr;
        EXPECT_EQ(fr_sql_query(sql, &r, "SHOW SESSION STATUS WHERE Variable_name IN ('Com_insert','Com_update')"), 0);
        while (char **row = fr_sql_fetchrow(r)) out[row[0]] = atol(row[1]);
        mysql_free_result(r);
        return out;
    }
    MYSQL *m = nullptr;
    fr_sql_t *sql = nullptr;
};

// Every entry in insertion order, duplicates included.
std::vector<std::pair<std::string, std::string>> entries(fr_hash_t *t) {
    std::vector<std::pair<std::string, std::string>> out;
    for (fr_hash_link_t *l = t->order->order.next; l != &t->order->order; l = l->next) {
        auto *e = reinterpret_cast<fr_hash_entry_t *>(reinterpret_cast<char *>(l) - offsetof(fr_hash_entry_t, order));
        out.emplace_back(std::string(reinterpret_cast<char *>(e->key), e->key_len - 1),
                         ctest::text(*static_cast<safestr_t *>(e->value)));
    }
    return out;
}

fr_hash_t *table(const std::vector<std::pair<std::string, std::string>> &pairs) {
    fr_hash_t *t = fr_conf_init(0);
    ctest::run([&] {
        for (const auto &p : pairs) {
            safestr_t v = safestr_create(p.second.c_str(), 0);
            fr_hash_force_add(t, p.first.c_str(), static_cast<uint32_t>(p.first.size() + 1), &v, sizeof(v));
        }
    });
    return t;
}

using Rows = std::vector<std::pair<std::string, std::string>>;

TEST_F(ConfDb, ReadsRows) {
    exec(m, "INSERT INTO conf_t VALUES ('Port','25'),('user','admin'),('port','26'),('empty',NULL),(NULL,'x'),"
            "('other','o'),('sp ace','a b')");
    const char *some[] = {"PORT", "empty", "sp ace", nullptr};
    fr_hash_t *t = read(some);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(entries(t), (Rows{{"Port", "25"}, {"port", "26"}, {"empty", ""}, {"sp ace", "a b"}}));
    fr_hash_unref(t);
    t = read(nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(entries(t), (Rows{{"Port", "25"}, {"user", "admin"}, {"port", "26"}, {"empty", ""}, {"other", "o"},
                                {"sp ace", "a b"}}));
    fr_hash_unref(t);
}

TEST_F(ConfDb, WriteUpdatesPresentRowsAndInsertsTheRest) {
    exec(m, "INSERT INTO conf_t VALUES ('port','0'),('keep','k')");
    fr_hash_t *t = table({{"port", "25"}, {"user", "admin"}});
    std::map<std::string, long> before = counters();
    EXPECT_EQ(write(t), 0);
    std::map<std::string, long> after = counters();
    EXPECT_EQ(after["Com_update"] - before["Com_update"], 1);
    EXPECT_EQ(after["Com_insert"] - before["Com_insert"], 1);
    EXPECT_EQ(rows(m, "SELECT param, value FROM conf_t ORDER BY param"),
              (Rows{{"keep", "k"}, {"port", "25"}, {"user", "admin"}}));
    // Written again: two updates, no insert, nothing doubled.
    before = counters();
    EXPECT_EQ(write(t), 0);
    after = counters();
    EXPECT_EQ(after["Com_update"] - before["Com_update"], 2);
    EXPECT_EQ(after["Com_insert"] - before["Com_insert"], 0);
    EXPECT_EQ(rows(m, "SELECT COUNT(*), 0 FROM conf_t"), (Rows{{"3", "0"}}));
    fr_hash_unref(t);

    // The single statements: an update of no row is a success.
    EXPECT_EQ(0, ctest::run([&] {
        EXPECT_EQ(fr_conf_update_db(sql, SAFESTR_TEMP("nobody"), SAFESTR_TEMP("1"), SAFESTR_TEMP("conf_t")), 0);
        EXPECT_EQ(fr_conf_add_db(sql, SAFESTR_TEMP("new"), SAFESTR_TEMP("v"), SAFESTR_TEMP("conf_t")), 0);
        EXPECT_EQ(fr_conf_update_db(sql, SAFESTR_TEMP("new"), SAFESTR_TEMP("w"), SAFESTR_TEMP("conf_t")), 0);
    }));
    EXPECT_EQ(rows(m, "SELECT param, value FROM conf_t WHERE param IN ('new','nobody')"), (Rows{{"new", "w"}}));
}

TEST_F(ConfDb, EscapingIsTheCallersAndRoundTrips) {
    ctest::LogCapture log;
    // Unescaped double quote: the statement is malformed, fails, is logged.
    EXPECT_EQ(0, ctest::run([&] {
        EXPECT_EQ(fr_conf_add_db(sql, SAFESTR_TEMP("q"), SAFESTR_TEMP("say \"hi\""), SAFESTR_TEMP("conf_t")), -1);
        EXPECT_EQ(fr_conf_update_db(sql, SAFESTR_TEMP("q"), SAFESTR_TEMP("a\"b"), SAFESTR_TEMP("conf_t")), -1);
    }));
    const char *err = fr_sql_error(sql);
    ASSERT_NE(err, nullptr);
    bool store_warned = false;
    for (const auto &l : log.lines())
        if (l.file == "conf" && l.level == 4 && l.message == err) store_warned = true;
    EXPECT_TRUE(store_warned) << "no warning from the store with the server's text: " << err;
    EXPECT_TRUE(rows(m, "SELECT param, value FROM conf_t").empty());

    // Escaped by the caller: stored and read back exactly, not doubled.
    const std::string tricky = "say \"hi\" \\o/ it's \\\\ \"\"";
    char *esc_value = fr_sql_escape(sql, tricky.c_str());
    char *esc_key = fr_sql_escape(sql, "k\"ey\\");
    ASSERT_NE(esc_value, nullptr);
    EXPECT_EQ(0, ctest::run([&] {
        EXPECT_EQ(fr_conf_add_db(sql, SAFESTR_TEMP(esc_key), SAFESTR_TEMP(esc_value), SAFESTR_TEMP("conf_t")), 0);
    }));
    EXPECT_EQ(rows(m, "SELECT param, value FROM conf_t"), (Rows{{"k\"ey\\", tricky}}));
    const char *keys[] = {"K\"EY\\", nullptr};
    fr_hash_t *t = read(keys);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(entries(t), (Rows{{"k\"ey\\", tricky}}));
    fr_hash_unref(t);
    free(esc_value);
    free(esc_key);
}

TEST_F(ConfDb, RefusalsAndFailures) {
    ctest::LogCapture log;
    fr_hash_t *t = table({{"a", "1"}});
    {
        ctest::StringCounter counter;
        EXPECT_EQ(0, ctest::run([&] {
            EXPECT_EQ(fr_conf_read_db(nullptr, SAFESTR_TEMP("conf_t"), nullptr), nullptr);
            EXPECT_EQ(fr_conf_read_db(sql, nullptr, nullptr), nullptr);
            EXPECT_EQ(fr_conf_write_db(nullptr, SAFESTR_TEMP("conf_t"), t), -1);
            EXPECT_EQ(fr_conf_write_db(sql, SAFESTR_TEMP("conf_t"), nullptr), -1);
            EXPECT_EQ(fr_conf_write_db(sql, nullptr, t), -1);
            EXPECT_EQ(fr_conf_add_db(sql, nullptr, SAFESTR_TEMP("v"), SAFESTR_TEMP("conf_t")), -1);
            EXPECT_EQ(fr_conf_add_db(nullptr, SAFESTR_TEMP("k"), SAFESTR_TEMP("v"), SAFESTR_TEMP("conf_t")), -1);
            EXPECT_EQ(fr_conf_update_db(sql, SAFESTR_TEMP("k"), nullptr, SAFESTR_TEMP("conf_t")), -1);
            EXPECT_EQ(fr_conf_update_db(sql, SAFESTR_TEMP("k"), SAFESTR_TEMP("v"), nullptr), -1);
        }));
        EXPECT_EQ(counter.live(), 0) << "a temporary argument outlived its call";
    }
    for (const auto &l : log.lines()) {
        EXPECT_EQ(l.level, 7);
        EXPECT_NE(l.message.find("conf:"), std::string::npos);
        EXPECT_NE(l.message.find(":conditional return"), std::string::npos);
    }
    EXPECT_EQ(log.lines().size(), 9u);

    // A table that does not exist: the server's text as the store's warning.
    log.clear();
    fr_hash_t *r = nullptr;
    int wrc = 0;
    EXPECT_EQ(0, ctest::run([&] {
        r = fr_conf_read_db(sql, SAFESTR_TEMP("no_such_table"), nullptr);
        wrc = fr_conf_write_db(sql, SAFESTR_TEMP("no_such_table"), t);
    }));
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(wrc, -1);
    ASSERT_NE(fr_sql_error(sql), nullptr);
    EXPECT_NE(std::string(fr_sql_error(sql)).find("no_such_table"), std::string::npos);
    EXPECT_TRUE(log.has(fr_sql_error(sql), 4));
    fr_hash_unref(t);
}

bool control(const std::string &cmd) {
    const char *script = getenv("KIVO_MARIADB_SCRIPT");
    if (!script) return false;
    std::string c = std::string(script) + " " + cmd + " '" + getenv("KIVO_MARIADB_STATE") + "' primary";
    return system(c.c_str()) == 0;
}

// The store's connection is killed from another client in the middle of a
// write of thousands of rows. The client reconnects by itself; the
// statement that was cut off fails (reported: -1 and a warning) or is
// repeated (the write is whole). Either way writing again leaves every row
// once.
TEST_F(ConfDb, ConnectionKilledMidWriteIsRetried) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 3000; i++) pairs.emplace_back("key" + std::to_string(i), "value " + std::to_string(i));
    fr_hash_t *t = table(pairs);
    MYSQL_RES *r = nullptr;
    ASSERT_EQ(fr_sql_query(sql, &r, "SELECT CONNECTION_ID()"), 0);
    std::string id = fr_sql_fetchrow(r)[0];
    mysql_free_result(r);
    std::atomic<bool> killed{false};
    std::thread killer([&] {
        MYSQL *k = raw();
        if (!k) return;
        for (int i = 0; i < 20000; i++) {
            auto n = rows(k, "SELECT COUNT(*), 0 FROM conf_t");
            if (!n.empty() && atoi(n[0].first.c_str()) >= 500) {
                killed = mysql_query(k, ("KILL CONNECTION " + id).c_str()) == 0;
                break;
            }
            usleep(1000);
        }
        mysql_close(k);
    });
    ctest::LogCapture log;
    int rc = write(t);
    killer.join();
    ASSERT_TRUE(killed) << "the write ended before the connection could be killed";
    size_t warnings = 0;
    for (const auto &l : log.lines())
        if (l.file == "conf" && l.level == 4) warnings++;
    auto count = rows(m, "SELECT COUNT(*), 0 FROM conf_t");
    if (rc == 0) {
        EXPECT_EQ(warnings, 0u);
        EXPECT_EQ(count, (Rows{{"3000", "0"}}));
    } else {
        EXPECT_EQ(rc, -1);
        EXPECT_GT(warnings, 0u);
        EXPECT_EQ(write(t), 0);
    }
    auto all = rows(m, "SELECT param, value FROM conf_t");
    ASSERT_EQ(all.size(), pairs.size());
    std::map<std::string, std::string> got(all.begin(), all.end());
    for (const auto &p : pairs) EXPECT_EQ(got[p.first], p.second);
    fr_hash_unref(t);
}

// The server itself dies in the middle of a write: every statement after
// it fails and is logged, the write reports -1, and writing again once the
// server is back completes the table without doubling a row.
TEST_F(ConfDb, ServerKilledMidWrite) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 3000; i++) pairs.emplace_back("key" + std::to_string(i), "value " + std::to_string(i));
    fr_hash_t *t = table(pairs);
    std::atomic<bool> killed{false};
    std::thread killer([&] {
        MYSQL *k = raw();
        if (!k) return;
        for (int i = 0; i < 20000; i++) {
            auto n = rows(k, "SELECT COUNT(*), 0 FROM conf_t");
            if (!n.empty() && atoi(n[0].first.c_str()) >= 500) {
                // Holding the table's write lock stops the store at its next
                // statement, so the server dies in the middle of the write
                // however slowly the kill lands on a busy machine.
                bool held = mysql_query(k, "LOCK TABLES conf_t WRITE") == 0;
                killed = held && control("kill");
                mysql_close(k);
                k = nullptr;
                break;
            }
            usleep(1000);
        }
        if (k) mysql_close(k);
    });
    ctest::LogCapture log;
    int rc = write(t);
    killer.join();
    ASSERT_TRUE(killed) << "the write ended before the server could be killed";
    EXPECT_EQ(rc, -1);
    size_t warnings = 0;
    for (const auto &l : log.lines())
        if (l.file == "conf" && l.level == 4) warnings++;
    EXPECT_GT(warnings, 0u);

    ASSERT_TRUE(control("restart"));
    mysql_close(m);
    m = raw();
    ASSERT_NE(m, nullptr);
    if (fr_sql_ping(sql) != 0) {
        ASSERT_EQ(fr_sql_reconnect(sql), 0);
    }
    EXPECT_EQ(write(t), 0);
    auto all = rows(m, "SELECT param, value FROM conf_t");
    ASSERT_EQ(all.size(), pairs.size());
    std::map<std::string, std::string> got(all.begin(), all.end());
    for (const auto &p : pairs) EXPECT_EQ(got[p.first], p.second);
    fr_hash_unref(t);
}

} // namespace
