// The single connection against the real primary: queries, results,
// escaping, kept errors, log gating, reconnect after a restart, UTF-8, and
// the numeric version rules.
#include <gtest/gtest.h>
#include <string.h>
#include <wchar.h>
#include <kivo/sql.h>
#include "support/mariadb_env.h"

namespace {

fr_sql_t *open_primary(const char *server = "primary") {
    fr_sql_t *s = fr_sql_init("127.0.0.1", kt::port(server), kt::user().c_str(), kt::password().c_str(),
                              CLIENT_MULTI_STATEMENTS);
    if (s) {
        EXPECT_EQ(fr_sql_selectdb(s, kt::database().c_str()), 0);
    }
    return s;
}
void drop(fr_sql_t *s) {
    if (!s) return;
    _fr_sql_destroy(s);
    free(s);
}

TEST(SqlVersion, ComparesNumerically) {
    struct Case {
        const char *version, *threshold;
        int at_or_above;
    } cases[] = {
        {"10.11.19-MariaDB-0+deb12u1", "4.1.0", 1}, {"4.1.10", "4.1.8", 1}, {"4.1.0-log", "4.1.0", 1},
        {"5", "5.0.1", 0},                          {"4.1.7", "4.1.8", 0},  {"8.0.36", "4.0.11", 1},
        {"3.23.16", "3.23.17", 0},                  {"3.23.17", "3.23.17", 1}, {"11.4.2", "10.11.19", 1},
        {"", "4.1.0", 0},                           {"MariaDB", "3.23.17", 0}, {"4.1", "4.1.0", 1},
        {"4.0.99", "4.1", 0},                       {"10.0.0", "9.99.99", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(fr_sql_srv_has_ver(c.version, c.threshold), c.at_or_above) << c.version << " vs " << c.threshold;
    // Only the 20 bytes of the record's version field are read.
    char longv[64];
    memset(longv, '9', sizeof longv);
    EXPECT_EQ(fr_sql_srv_has_ver(longv, "4.1.0"), 1);
    EXPECT_EQ(fr_sql_srv_has_ver(nullptr, "4.1.0"), 0);

    const char *modern = "10.11.19-MariaDB-0+";
    EXPECT_EQ(fr_sql_srv_has_begin(modern) + fr_sql_srv_has_beginwork(modern) + fr_sql_srv_has_transaction(modern) +
                  fr_sql_srv_has_ondupkeyupd(modern) + fr_sql_srv_has_utf8(modern) + fr_sql_srv_has_rollback(modern),
              6);
    EXPECT_EQ(fr_sql_srv_has_rollback("4.1.7-log"), 0);
    EXPECT_EQ(fr_sql_srv_has_rollback("4.1.10"), 1);
    EXPECT_EQ(fr_sql_srv_has_utf8("4.0.30"), 0);
    EXPECT_EQ(fr_sql_srv_has_transaction("4.0.11"), 1);
    EXPECT_EQ(fr_sql_srv_has_beginwork("3.23.18"), 0);
}

TEST(SqlConnection, QueriesResultsAndFields) {
    fr_sql_t *s = open_primary();
    ASSERT_NE(s, nullptr);
    // The real server is current, so every feature test holds and the
    // session runs in UTF-8.
    EXPECT_EQ(strncmp(s->version, "10.", 3), 0) << s->version;
    EXPECT_EQ(fr_sql_srv_has_utf8(s), 1);
    EXPECT_EQ(fr_sql_srv_has_rollback(s), 1);
    MYSQL_RES *res = reinterpret_cast<MYSQL_RES *>(1);
    ASSERT_EQ(fr_sql_query(s, &res, "SELECT @@character_set_client, @@character_set_connection"), 0);
    ASSERT_NE(res, nullptr);
    char **row = fr_sql_fetchrow(res);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "utf8mb3");
    EXPECT_STREQ(row[1], "utf8mb3");
    mysql_free_result(res);

    ASSERT_EQ(fr_sql_query(s, nullptr, "DROP TABLE IF EXISTS single_q"), 0);
    ASSERT_EQ(fr_sql_query(s, nullptr, "CREATE TABLE single_q (id INT PRIMARY KEY, name VARCHAR(40))"), 0);
    ASSERT_EQ(fr_sql_query(s, nullptr, "INSERT INTO single_q VALUES (%d,'%s'),(%d,'%s'),(%d,'%s')", 1, "one", 2,
                           "two", 3, "three"),
              0);
    EXPECT_EQ(fr_sql_affectedrows(s), 3u);
    // An UPDATE with a result pointer: success, pointer null.
    res = reinterpret_cast<MYSQL_RES *>(1);
    ASSERT_EQ(fr_sql_query(s, &res, "UPDATE single_q SET name=UPPER(name) WHERE id>=%d", 2), 0);
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(fr_sql_affectedrows(s), 2u);
    // A SELECT whose result nobody wants does not leave the link out of sync.
    ASSERT_EQ(fr_sql_query(s, nullptr, "SELECT * FROM single_q"), 0);
    ASSERT_EQ(fr_sql_query(s, &res, "SELECT id, name FROM single_q ORDER BY id"), 0);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(fr_sql_numrows(res), 3);
    MYSQL_FIELD *f1 = fr_sql_fetchfield(res);
    MYSQL_FIELD *f2 = fr_sql_fetchfield(res);
    ASSERT_TRUE(f1 && f2);
    EXPECT_STREQ(f1->name, "id");
    EXPECT_STREQ(f2->name, "name");
    EXPECT_EQ(fr_sql_fetchfield(res), nullptr);
    const char *want[] = {"one", "TWO", "THREE"};
    for (const char *w : want) {
        row = fr_sql_fetchrow(res);
        ASSERT_NE(row, nullptr);
        EXPECT_STREQ(row[1], w);
    }
    EXPECT_EQ(fr_sql_fetchrow(res), nullptr);
    mysql_free_result(res);
    // Several statements: the affected-row count still describes the last.
    ASSERT_EQ(fr_sql_query(s, nullptr, "SELECT 1; UPDATE single_q SET name='x' WHERE id=1"), 0);
    EXPECT_EQ(fr_sql_affectedrows(s), 1u);
    ASSERT_EQ(fr_sql_query(s, nullptr, "DELETE FROM single_q"), 0);
    EXPECT_EQ(fr_sql_affectedrows(s), 3u);
    // fr_sql_result after a statement without fields stores nothing.
    EXPECT_EQ(fr_sql_result(s), nullptr);
    EXPECT_EQ(fr_sql_ping(s), 0);
    EXPECT_EQ(fr_sql_fetchrow(nullptr), nullptr);
    EXPECT_EQ(fr_sql_fetchfield(nullptr), nullptr);
    EXPECT_EQ(fr_sql_numrows(nullptr), -1);
    drop(s);
}

TEST(SqlConnection, EscapeAndUtf8RoundTrip) {
    fr_sql_t *s = open_primary();
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(fr_sql_query(s, nullptr, "DROP TABLE IF EXISTS single_txt"), 0);
    ASSERT_EQ(fr_sql_query(s, nullptr,
                           "CREATE TABLE single_txt (id INT PRIMARY KEY, t TEXT) CHARACTER SET utf8mb4"),
              0);
    const char *texts[] = {
        "",
        "it's",
        "say \"hi\"",
        "back\\slash\\",
        "line\nbreak\rcarriage\x1a" "ctrl-z",
        "'; DROP TABLE single_txt; --",
        "Gr\xc3\xbc\xc3\x9f" "e \xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",
        "\xe2\x82\xac 100 \xe2\x80\x94 na\xc3\xaf" "ve",
    };
    int id = 0;
    for (const char *t : texts) {
        char *e = fr_sql_escape(s, t);
        ASSERT_NE(e, nullptr) << t;
        EXPECT_GE(strlen(e), strlen(t));
        ASSERT_EQ(fr_sql_query(s, nullptr, "INSERT INTO single_txt VALUES (%d, '%s')", ++id, e), 0) << t;
        free(e);
    }
    char *empty = fr_sql_escape(s, "");
    EXPECT_STREQ(empty, "");
    free(empty);
    MYSQL *peer = kt::raw("primary");
    auto got = kt::rows(peer, "SELECT t, HEX(t) FROM single_txt ORDER BY id");
    ASSERT_EQ(got.size(), sizeof texts / sizeof texts[0]);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i][0], std::string(texts[i])) << "row " << i + 1;
    // Read back through the connection itself: the same bytes.
    MYSQL_RES *res = nullptr;
    ASSERT_EQ(fr_sql_query(s, &res, "SELECT t FROM single_txt WHERE id=7"), 0);
    char **row = fr_sql_fetchrow(res);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], texts[6]);
    mysql_free_result(res);
    mysql_close(peer);
    drop(s);
}

TEST(SqlConnection, ErrorsAreKeptAndLoggedAtTheChosenLevel) {
    fr_sql_t *s = open_primary();
    ASSERT_NE(s, nullptr);
    kt::LogCatcher log;
    EXPECT_EQ(fr_sql_error(s), nullptr);
    ASSERT_EQ(fr_sql_query(s, nullptr, "SELEC 1"), -1);
    std::string first = fr_sql_error(s) ? fr_sql_error(s) : "";
    EXPECT_NE(first.find("You have an error in your SQL syntax"), std::string::npos) << first;
    // A success leaves the text; the next failure replaces it.
    ASSERT_EQ(fr_sql_query(s, nullptr, "SELECT 1"), 0);
    EXPECT_EQ(first, fr_sql_error(s));
    ASSERT_EQ(fr_sql_query(s, nullptr, "SELECT * FROM no_such_table_here"), -1);
    std::string second = fr_sql_error(s);
    EXPECT_NE(second.find("no_such_table_here"), std::string::npos) << second;

    auto levels = [&] {
        std::vector<int> v;
        for (auto &l : log.lines())
            if (l.file == "mysql" && l.function == "fr_sql_query" && l.text.find("conditional") == std::string::npos)
                v.push_back(l.level);
        return v;
    };
    EXPECT_EQ(levels(), (std::vector<int>{4, 4}));
    EXPECT_TRUE(log.contains(first));
    log.clear();
    EXPECT_EQ(fr_sql_set_loglevel(s, 8), 0);  // ignored
    EXPECT_EQ(fr_sql_query(s, nullptr, "SELEC 2"), -1);
    EXPECT_EQ(levels(), (std::vector<int>{4}));
    log.clear();
    EXPECT_EQ(fr_sql_set_loglevel(s, 6), 0);
    EXPECT_EQ(fr_sql_query(s, nullptr, "SELEC 3"), -1);
    EXPECT_EQ(levels(), (std::vector<int>{6}));
    log.clear();
    EXPECT_EQ(fr_sql_set_loglevel(s, -1), 0);
    EXPECT_EQ(fr_sql_query(s, nullptr, "SELEC 4"), -1);
    EXPECT_TRUE(levels().empty());
    EXPECT_NE(std::string(fr_sql_error(s)).find("SELEC 4"), std::string::npos);
    EXPECT_EQ(fr_sql_set_loglevel(nullptr, 3), -1);

    // A format vasprintf cannot render (a wide character the C locale
    // cannot encode) fails without sending anything.
    log.clear();
    EXPECT_EQ(fr_sql_query(s, nullptr, "SELECT '%ls'", L"\x20AC"), -1);
    bool precond = false;
    for (auto &l : log.lines())
        if (l.function == "fr_sql_query" && l.text.find(":conditional return") != std::string::npos) precond = true;
    EXPECT_TRUE(precond);
    EXPECT_EQ(fr_sql_query(s, nullptr, "SELECT 1"), 0);
    drop(s);
}

TEST(SqlConnection, ClosedConnectionsAndBadPeers) {
    kt::LogCatcher log;
    // Nobody listens on the port of a server that was never started.
    EXPECT_EQ(fr_sql_init("127.0.0.1", 1, "x", "y", 0), nullptr);
    bool connect_failed = false;
    for (auto &t : log.texts("mysql"))
        if (t.rfind("MySQL connect failed. ", 0) == 0 && t.size() > 22) connect_failed = true;
    EXPECT_TRUE(connect_failed);
    // Wrong password on a real server.
    EXPECT_EQ(fr_sql_init("127.0.0.1", kt::port("primary"), kt::user().c_str(), "wrong", 0), nullptr);

    fr_sql_t *s = open_primary();
    ASSERT_NE(s, nullptr);
    log.clear();
    EXPECT_EQ(fr_sql_close(s), 0);
    EXPECT_EQ(fr_sql_close(s), -1);
    EXPECT_TRUE(log.contains("Cannot close. Not opened."));
    MYSQL_RES *res = reinterpret_cast<MYSQL_RES *>(1);
    EXPECT_EQ(fr_sql_query(s, &res, "SELECT 1"), -1);
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(fr_sql_ping(s), -1);
    EXPECT_EQ(fr_sql_error(s), nullptr);
    EXPECT_EQ(fr_sql_result(s), nullptr);
    EXPECT_EQ(fr_sql_selectdb(s, "x"), -1);
    EXPECT_EQ(fr_sql_reconnect(s), -1);
    log.clear();
    EXPECT_EQ(fr_sql_escape(s, "a"), nullptr);
    EXPECT_TRUE(log.contains("no connected MYSQL; (null pointer)"));
    EXPECT_EQ(fr_sql_query(nullptr, nullptr, "SELECT 1"), -1);
    EXPECT_EQ(sql_close(nullptr), -1);
    drop(s);
}

TEST(SqlConnection, ReconnectAfterRestartSelectsTheDatabaseAgain) {
    fr_sql_t *s = open_primary("replica2");
    ASSERT_NE(s, nullptr);
    // The stored name survives a failed selection and is used again.
    ASSERT_EQ(fr_sql_selectdb(s, kt::database().c_str()), 0);
    ASSERT_TRUE(kt::control("restart", "replica2"));
    ASSERT_EQ(fr_sql_reconnect(s), 0);
    MYSQL_RES *res = nullptr;
    ASSERT_EQ(fr_sql_query(s, &res, "SELECT DATABASE(), @@character_set_client"), 0);
    char **row = fr_sql_fetchrow(res);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(std::string(row[0]), kt::database());
    EXPECT_STREQ(row[1], "utf8mb3");
    mysql_free_result(res);
    // A database that does not exist: refused, but remembered for reconnects.
    kt::LogCatcher log;
    EXPECT_EQ(fr_sql_selectdb(s, "no_such_db"), -1);
    EXPECT_TRUE(log.contains("cannot select the MySQL database no_such_db"));
    log.clear();
    EXPECT_EQ(fr_sql_reconnect(s), -1);
    EXPECT_TRUE(log.contains("cannot select the MySQL database no_such_db"));
    // Automatic reconnect: a restarted server is reached again by the next
    // query on a connection that never called reconnect.
    fr_sql_t *t = open_primary("replica2");
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(kt::control("restart", "replica2"));
    EXPECT_EQ(fr_sql_query(t, nullptr, "SELECT 1"), 0) << (fr_sql_error(t) ? fr_sql_error(t) : "");
    drop(t);
    drop(s);
}

}  // namespace
