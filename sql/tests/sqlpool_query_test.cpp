// Query routing and failover against the real primary and replicas:
// server errors, killed, hung and restarted servers, the last link, and no
// write sent twice when the link drops while the statement runs.
#include <gtest/gtest.h>
#include <string.h>
#include <chrono>
#include <thread>
#include <kivo/sqlpool.h>
#include "support/mariadb_env.h"
#include "support/relay.h"

namespace {

struct Query : ::testing::Test {
    void SetUp() override {
        fr_sqlpool_init_api(0, nullptr, nullptr);
        fr_sqlpool_down_time_set(60);
    }
    void TearDown() override {
        fr_sqlpool_destroy();
        // Leave every server up and in step for the next test.
        for (const char *s : {"primary", "replica1", "replica2"}) {
            if (!kt::up(s)) {
                EXPECT_TRUE(kt::control("restart", s)) << s;
            }
        }
        EXPECT_TRUE(kt::control("wait-replicas"));
    }
};

std::vector<std::string> sqlpool_lines(kt::LogCatcher &log) {
    std::vector<std::string> out;
    for (auto &l : log.lines())
        if (l.file == "kivo_sqlpool" && l.text.rfind("sqlpool:", 0) == 0) out.push_back(l.text);
    return out;
}
bool has_line(const std::vector<std::string> &lines, const std::string &re) {
    for (auto &l : lines)
        if (kt::like(re, l)) return true;
    return false;
}
std::string replica_of(int server_id) { return server_id == 2 ? "replica1" : "replica2"; }

TEST_F(Query, ServerErrorOnASlaveStopsAtOnce) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1", "replica2"});
    ASSERT_NE(s, nullptr);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    fr_sql_server_t *slave = c->slave_srv;
    ASSERT_NE(slave, nullptr);
    std::string where = std::string(slave->host) + ":" + std::to_string(slave->port);
    fr_sqlpool_verbosity_set(3);
    kt::LogCatcher log;
    // A syntax error (1064), and an error numbered the way newer servers
    // number theirs (above the client's 2000-2999): neither goes further.
    struct Case {
        const char *stmt, *error;
        unsigned code;
    } cases[] = {
        {"SELEC 7", "You have an error in your SQL syntax*", 1064},
        {"BEGIN NOT ATOMIC SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 4025, MESSAGE_TEXT = 'refused'; END",
         "refused", 4025},
    };
    for (const Case &k : cases) {
        log.clear();
        MYSQL_RES *res = reinterpret_cast<MYSQL_RES *>(1);
        EXPECT_EQ(fr_sql_conn_query(c, 1, &res, "%s", k.stmt), -1);
        EXPECT_EQ(res, nullptr);
        auto lines = sqlpool_lines(log);
        ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
        EXPECT_EQ(lines[0], "sqlpool: shard `main': query failed on slave server " + where);
        EXPECT_TRUE(kt::like(std::string("sqlpool: shard `main': MySQL error: ") + k.error, lines[1])) << lines[1];
        EXPECT_EQ(lines[2], std::string("sqlpool: shard `main': failed query was ") + k.stmt);
        // Nothing else was touched: same slave, not marked down, last link the slave's.
        EXPECT_EQ(c->slave_srv, slave);
        EXPECT_LE(slave->down_since, 0);
        EXPECT_EQ(fr_sql_conn_get_mysql(c), c->slave);
        EXPECT_EQ(mysql_errno(fr_sql_conn_get_mysql(c)), k.code);
    }
    // The same on the master.
    log.clear();
    EXPECT_EQ(fr_sql_conn_query(c, 0, nullptr, "SELEC 8"), -1);
    EXPECT_EQ(sqlpool_lines(log).size(), 3u);
    EXPECT_EQ(fr_sql_conn_get_mysql(c), c->master);
    fr_sqlpool_conn_free(c);
}

TEST_F(Query, LastLinkDescribesTheStatementJustRun) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1"});
    ASSERT_NE(s, nullptr);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "DROP TABLE IF EXISTS q_ids"), 0);
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr,
                                "CREATE TABLE q_ids (id INT AUTO_INCREMENT PRIMARY KEY, v INT) AUTO_INCREMENT=100"),
              0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "INSERT INTO q_ids (v) VALUES (%d)", i), 0);
        EXPECT_EQ(mysql_insert_id(fr_sql_conn_get_mysql(c)), 100u + static_cast<unsigned>(i));
    }
    MYSQL_RES *res = reinterpret_cast<MYSQL_RES *>(1);
    ASSERT_EQ(fr_sql_conn_query(c, 0, &res, "UPDATE q_ids SET v=v+10 WHERE v>=%d", 1), 0);
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(mysql_affected_rows(fr_sql_conn_get_mysql(c)), 2u);
    // Results left by several statements are drained before the next one,
    // whose counts are then its own.
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "UPDATE q_ids SET v=0; SELECT 1; SELECT 2"), 0);
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "UPDATE q_ids SET v=1 WHERE id>=%d", 101), 0);
    EXPECT_EQ(mysql_affected_rows(fr_sql_conn_get_mysql(c)), 2u);
    // A read whose result is not wanted leaves the link usable.
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "SELECT * FROM q_ids"), 0);
    ASSERT_TRUE(kt::control("wait-replicas"));
    ASSERT_EQ(fr_sql_conn_query(c, 1, &res, "SELECT COUNT(*), @@server_id FROM q_ids"), 0);
    ASSERT_NE(res, nullptr);
    MYSQL_ROW row = mysql_fetch_row(res);
    EXPECT_STREQ(row[0], "3");
    EXPECT_STREQ(row[1], "2");
    mysql_free_result(res);
    EXPECT_EQ(fr_sql_conn_get_mysql(c), c->slave);
    // A read with the slave flag on a connection without a slave runs on the master.
    fr_sql_shard_t *bare = kt::make_shard("bare", {});
    ASSERT_NE(bare, nullptr);
    fr_sql_conn_t *b = fr_sqlpool_conn_get("bare");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(kt::served_by(b, 1), 1);
    EXPECT_EQ(fr_sql_conn_get_mysql(b), b->master);
    fr_sqlpool_conn_free(b);
    fr_sqlpool_conn_free(c);
}

TEST_F(Query, RowsLostAfterTheStatementRanAreAFailure) {
    // Two large rows go out at once, the last one only after 3 seconds:
    // the statement has started answering when the 1-second read time-out
    // cuts the link.
    fr_sql_shard_t *s = kt::make_shard("main", {}, 0, 1);
    ASSERT_NE(s, nullptr);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "DROP TABLE IF EXISTS q_slow"), 0);
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "CREATE TABLE q_slow (v LONGTEXT)"), 0);
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr,
                                "INSERT INTO q_slow VALUES (REPEAT('x', 200000)), (REPEAT('y', 200000)), ('z')"),
              0);
    fr_sqlpool_verbosity_set(5);
    kt::LogCatcher log;
    MYSQL_RES *res = reinterpret_cast<MYSQL_RES *>(1);
    EXPECT_EQ(fr_sql_conn_query(c, 0, &res, "SELECT v, SLEEP(IF(v = 'z', 3, 0)) FROM q_slow"), -1);
    EXPECT_EQ(res, nullptr);
    auto lines = sqlpool_lines(log);
    EXPECT_TRUE(has_line(lines, "sqlpool: shard `main': connection 0x* got mysql error [2013]: *"))
        << ::testing::PrintToString(lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "sqlpool: shard `main': master failed, bailing out");
    // The same without a result pointer: still a failure.
    EXPECT_EQ(fr_sql_conn_query(c, 0, nullptr, "SELECT v, SLEEP(IF(v = 'z', 3, 0)) FROM q_slow"), -1);
    // The link comes back by itself.
    EXPECT_EQ(kt::served_by(c, 0), 1);
    fr_sqlpool_conn_free(c);
}

TEST_F(Query, AMasterLinkClosedByTheServerWhileIdleIsReopenedBeforeAWrite) {
    MYSQL *peer = kt::raw("primary");
    ASSERT_NE(peer, nullptr);
    kt::rows(peer, "DROP TABLE IF EXISTS q_idle");
    kt::rows(peer, "CREATE TABLE q_idle (v INT)");
    fr_sql_shard_t *s = kt::make_shard("main", {});
    ASSERT_NE(s, nullptr);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "INSERT INTO q_idle VALUES (%d)", round), 0);
        kt::rows(peer, "KILL CONNECTION " + std::to_string(mysql_thread_id(c->master)));
        // Longer than a link counts as known alive: the client checks it,
        // finds it closed and reconnects before sending.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "INSERT INTO q_idle VALUES (3)"), 0);
    auto n = kt::rows(peer, "SELECT COUNT(*), COUNT(DISTINCT v) FROM q_idle");
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0][0], "4");
    EXPECT_EQ(n[0][1], "4");
    fr_sqlpool_conn_free(c);
    mysql_close(peer);
}

TEST_F(Query, KilledReplicaIsMarkedDownAndTheReadMovesOn) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1", "replica2"});
    ASSERT_NE(s, nullptr);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    int first = kt::served_by(c, 1);
    ASSERT_TRUE(first == 2 || first == 3);
    fr_sql_server_t *dead = c->slave_srv;
    const std::string victim = replica_of(first), other = replica_of(5 - first);
    ASSERT_TRUE(kt::control("kill", victim));
    fr_sqlpool_verbosity_set(5);
    kt::LogCatcher log;
    EXPECT_EQ(kt::served_by(c, 1), 5 - first);
    auto lines = sqlpool_lines(log);
    EXPECT_GT(dead->down_since, 0);
    EXPECT_NE(c->slave_srv, dead);
    const std::string d = kt::addr(victim), o = kt::addr(other);
    EXPECT_TRUE(has_line(lines, "sqlpool:  >> [*():#] " + d + " is down at # "))
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(has_line(lines, "sqlpool: shard `main': slave " + d + " failed"));
    EXPECT_TRUE(has_line(lines, "sqlpool: shard `main': trying slave " + o));
    EXPECT_TRUE(has_line(lines, "sqlpool:  >> [*():#] " + o + " is up "));
    EXPECT_FALSE(has_line(lines, "*trying the master"));
    // It stays there, and other connections skip the dead replica.
    log.clear();
    EXPECT_EQ(kt::served_by(c, 1), 5 - first);
    EXPECT_FALSE(has_line(sqlpool_lines(log), "*failed*"));
    for (int i = 0; i < 6; ++i) {
        fr_sql_conn_t *x = fr_sql_conn_get("main");
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(kt::served_by(x, 1), 5 - first);
        fr_sql_conn_free(x);
    }
    fr_sqlpool_conn_free(c);
}

TEST_F(Query, BothReplicasDownReadsGoToTheMaster) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1", "replica2"});
    ASSERT_NE(s, nullptr);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(kt::control("kill", "replica1"));
    ASSERT_TRUE(kt::control("kill", "replica2"));
    fr_sqlpool_verbosity_set(4);
    kt::LogCatcher log;
    EXPECT_EQ(kt::served_by(c, 1), 1);
    auto lines = sqlpool_lines(log);
    EXPECT_TRUE(has_line(lines, "sqlpool: shard `main': all slaves failed, trying the master"))
        << ::testing::PrintToString(lines);
    EXPECT_EQ(fr_sql_conn_get_mysql(c), c->master);
    // New connections find no slave at all and read from the master.
    fr_sql_conn_t *x = fr_sql_conn_get("main");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->slave, nullptr);
    EXPECT_EQ(kt::served_by(x, 1), 1);
    fr_sql_conn_free(x);
    fr_sqlpool_conn_free(c);
}

TEST_F(Query, MasterDownBailsOut) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1"});
    ASSERT_NE(s, nullptr);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(kt::control("kill", "primary"));
    fr_sqlpool_verbosity_set(4);
    kt::LogCatcher log;
    EXPECT_EQ(fr_sql_conn_query(c, 0, nullptr, "SELECT 1"), -1);
    auto lines = sqlpool_lines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "sqlpool: shard `main': master failed, bailing out");
    EXPECT_TRUE(has_line(lines, "sqlpool: shard `main': query failed on master server " + kt::addr("primary")));
    // Reads still work on the replica meanwhile.
    EXPECT_EQ(kt::served_by(c, 1), 2);
    // No new connection without a master.
    log.clear();
    EXPECT_EQ(fr_sqlpool_conn_get("other-thread-would-block"), nullptr);
    fr_sqlpool_conn_free(c);
    std::thread([] { EXPECT_EQ(fr_sql_conn_get("main"), nullptr); }).join();
    // Back up: the same connection reaches it again by itself.
    ASSERT_TRUE(kt::control("restart", "primary"));
    c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(kt::served_by(c, 0), 1);
    fr_sqlpool_conn_free(c);
}

TEST_F(Query, HungReplicaTimesOutAndTheReadMovesOn) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1", "replica2"}, 0, 1);
    ASSERT_NE(s, nullptr);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    int first = kt::served_by(c, 1);
    ASSERT_TRUE(first == 2 || first == 3);
    fr_sql_server_t *hung = c->slave_srv;
    ASSERT_TRUE(kt::control("pause", replica_of(first)));
    EXPECT_EQ(kt::served_by(c, 1), 5 - first);
    EXPECT_GT(hung->down_since, 0);
    ASSERT_TRUE(kt::control("resume", replica_of(first)));
    fr_sqlpool_conn_free(c);
}

TEST_F(Query, NoWriteIsSentTwice) {
    MYSQL *peer = kt::raw("primary");
    ASSERT_NE(peer, nullptr);
    kt::rows(peer, "DROP TABLE IF EXISTS q_once");
    kt::rows(peer, "CREATE TABLE q_once (v INT)");  // no key: a second send would show
    kt::Relay relay(kt::port("primary"));
    fr_sql_shard_t *s = fr_sql_shard_init_api("relay", kt::user().c_str(), kt::password().c_str(),
                                              kt::database().c_str(), 2, 0, nullptr, nullptr);
    ASSERT_EQ(fr_sql_shard_master_set(s, "127.0.0.1", static_cast<int>(relay.port())), 0);
    ASSERT_EQ(fr_sqlpool_shard_add(s), 0);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("relay");
    ASSERT_NE(c, nullptr);
    fr_sqlpool_verbosity_set(5);
    kt::LogCatcher log;
    relay.arm("INSERT INTO q_once");
    EXPECT_EQ(fr_sql_conn_query(c, 0, nullptr, "INSERT INTO q_once VALUES (42)"), -1);
    EXPECT_TRUE(relay.cut_done());
    EXPECT_EQ(relay.marker_seen(), 1);
    auto lines = sqlpool_lines(log);
    EXPECT_FALSE(has_line(lines, "sqlpool: shard `main'*"));
    EXPECT_TRUE(has_line(lines, "sqlpool: shard `relay': connection 0x* got mysql error [2013]: *"))
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(has_line(lines, "sqlpool: shard `relay': failed query was INSERT INTO q_once VALUES (42)"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "sqlpool: shard `relay': master failed, bailing out");
    auto n = kt::rows(peer, "SELECT COUNT(*) FROM q_once WHERE v=42");
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0][0], "1");
    // The connection carries on (the client reconnects by itself).
    ASSERT_EQ(fr_sql_conn_query(c, 0, nullptr, "INSERT INTO q_once VALUES (43)"), 0);
    // A read that loses its link the same way is simply sent again.
    relay.arm("SELECT v FROM q_once");
    MYSQL_RES *res = nullptr;
    ASSERT_EQ(fr_sql_conn_query(c, 1, &res, "SELECT v FROM q_once ORDER BY v"), 0);
    EXPECT_EQ(relay.marker_seen(), 3);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(mysql_num_rows(res), 2u);
    mysql_free_result(res);
    fr_sqlpool_conn_free(c);
    fr_sqlpool_destroy();  // closes the relayed links before the relay goes
    fr_sqlpool_init_api(0, nullptr, nullptr);
    mysql_close(peer);
}

}  // namespace
