// Pool and shard configuration: the connection-info file, shard texts,
// message gating by verbosity, and slaves marked down.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <kivo/sqlpool.h>
#include "support/mariadb_env.h"

namespace {

struct Pool : ::testing::Test {
    void SetUp() override { fr_sqlpool_init_api(0, nullptr, nullptr); }
    void TearDown() override { fr_sqlpool_destroy(); }
};

std::string write_temp(const std::string &body) {
    char path[] = "/tmp/kivo_sql_info_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
    close(fd);
    return path;
}

std::vector<std::string> slave_list(fr_sql_shard_t *s) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < fr_array_length(s->slaves); ++i) {
        fr_sql_server_t *srv = *static_cast<fr_sql_server_t **>(fr_array_get(s->slaves, i));
        out.push_back(std::string(srv->host) + "/" + std::to_string(srv->port) + "#" + std::to_string(srv->index));
    }
    return out;
}

TEST_F(Pool, ConnectionInfoFile) {
    struct Case {
        const char *what;
        std::string body;
        int skip_slaves, accept_limit;
        int rc;
        const char *master;  // "host/port" of shard main, or "" for none
        std::vector<std::string> slaves;
        uint32_t conn_to, read_to, write_to;
        int32_t limit;
    } cases[] = {
        {"typical", "# pool\nDB_MASTER main:10.0.0.1:3306\nDB_SLAVE main:10.0.0.2:3306 # second\n"
                    "DB_SLAVE\tmain:10.0.0.3:3307\nDB_TIMEOUT main:5\nDB_READ_TIMEOUT main:6\nDB_WRITE_TIMEOUT main:7\n",
         0, 0, 0, "10.0.0.1/3306", {"10.0.0.2/3306#0", "10.0.0.3/3307#1"}, 5, 6, 7, 512},
        {"ipv6 host keeps its colons", "DB_MASTER main:fe80::1:3306\nDB_SLAVE main:::1:3310\n", 0, 0, 0,
         "fe80::1/3306", {"::1/3310#0"}, 0, 0, 0, 512},
        {"unknown shards skipped", "DB_MASTER other:1.2.3.4:1\nDB_SLAVE other:1.2.3.5:1\n", 0, 0, -1, "", {}, 0, 0,
         0, 512},
        {"skip-slaves flag", "DB_MASTER main:h:1\nDB_SLAVE main:s:2\n", 1, 0, 0, "h/1", {}, 0, 0, 0, 512},
        {"limit only when accepted", "DB_MASTER main:h:1\nDB_CONCONNECT main:20\n", 0, 0, 0, "h/1", {}, 0, 0, 0, 512},
        {"limit accepted", "DB_MASTER main:h:1\nDB_CONCONNECT main:20\n", 0, 1, 0, "h/1", {}, 0, 0, 0, 20},
        {"keys are case-sensitive", "db_master main:h:1\nDB_MASTER main:h\nDB_MASTER main\n", 0, 0, -1, "", {}, 0,
         0, 0, 512},
        {"missing and junk parts", "DB_MASTER\nDB_MASTER main:h:port\nDB_MASTER main:h:99999\nDB_TIMEOUT main\n"
                                   "DB_TIMEOUT main:x\nDB_SLAVE main::5\n   \n#only\n",
         0, 0, -1, "", {}, 0, 0, 0, 512},
        {"comment cuts the value", "DB_MASTER main:h:1#:2\n", 0, 0, 0, "h/1", {}, 0, 0, 0, 512},
        {"over-long line skipped whole",
         "DB_MASTER main:h:1 " + std::string(300, 'x') + " DB_SLAVE main:evil:6\nDB_SLAVE main:ok:7\n", 0, 0, -1, "",
         {"ok/7#0"}, 0, 0, 0, 512},
        {"over-long word skipped", "DB_MASTER main:" + std::string(120, 'h') + ":1\nDB_MASTER main:short:2\n", 0,
         0, 0, "short/2", {}, 0, 0, 0, 512},
        {"binary junk", std::string("\x01\x02\xff DB_MASTER\0main:h:1\n\xfe\xfe:::\n", 29) + "DB_MASTER main:b:9\n",
         0, 0, 0, "b/9", {}, 0, 0, 0, 512},
        {"second master line moves the master", "DB_MASTER main:a:1\nDB_MASTER main:b:2\n", 0, 0, 0, "b/2", {}, 0,
         0, 0, 512},
        {"no newline at the end", "DB_MASTER main:h:4", 0, 0, 0, "h/4", {}, 0, 0, 0, 512},
    };
    for (const Case &c : cases) {
        fr_sql_shard_t *s = fr_sql_shard_init_api_simple("main", nullptr, nullptr);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(fr_sqlpool_shard_add(s), 0);  // replaces the previous case's shard
        std::string path = write_temp(c.body);
        EXPECT_EQ(fr_sql_shard_parse_connection_info(path.c_str(), c.skip_slaves, c.accept_limit), c.rc) << c.what;
        unlink(path.c_str());
        std::string master = s->master ? std::string(s->master->host) + "/" + std::to_string(s->master->port) : "";
        EXPECT_EQ(master, c.master) << c.what;
        EXPECT_EQ(slave_list(s), c.slaves) << c.what;
        EXPECT_EQ(s->conn_timeout, c.conn_to) << c.what;
        EXPECT_EQ(s->read_timeout, c.read_to) << c.what;
        EXPECT_EQ(s->write_timeout, c.write_to) << c.what;
        EXPECT_EQ(s->pool->limit, c.limit) << c.what;
    }
    // Files that cannot be read.
    EXPECT_EQ(fr_sql_shard_parse_connection_info("/nonexistent/kivo/info", 0, 0), -1);
    char dir[] = "/tmp/kivo_sql_dir_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    EXPECT_EQ(fr_sql_shard_parse_connection_info(dir, 0, 0), -1);
    rmdir(dir);
    EXPECT_EQ(fr_sql_shard_parse_connection_info(nullptr, 0, 0), -1);
}

TEST_F(Pool, ShardTextsAndLimits) {
    fr_sql_shard_t *s = fr_sql_shard_parse_info("db1:u:p:name:with:colons");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(fr_sql_shard_get_name(s), "db1");
    EXPECT_STREQ(s->user, "u");
    EXPECT_STREQ(s->password, "p");
    EXPECT_STREQ(s->database, "name:with:colons");
    // Setters replace (and free) the old copies.
    EXPECT_EQ(fr_sql_shard_set_user(s, "u2"), 0);
    EXPECT_EQ(fr_sql_shard_set_user(s, "u3"), 0);
    EXPECT_EQ(fr_sql_shard_set_pass(s, nullptr), 0);
    EXPECT_EQ(fr_sql_shard_set_db(s, "d"), 0);
    EXPECT_STREQ(s->user, "u3");
    EXPECT_EQ(s->password, nullptr);
    EXPECT_EQ(fr_sql_shard_set_user(nullptr, "x"), -1);
    EXPECT_EQ(s->pool->limit, 512);
    fr_sql_shard_set_conn_max(s, 0);
    EXPECT_EQ(s->pool->limit, 512);
    fr_sql_shard_set_conn_max(s, 3);
    EXPECT_EQ(s->pool->limit, 3);
    EXPECT_EQ(fr_sql_shard_master_set(s, "a", 1), 0);
    EXPECT_EQ(fr_sql_shard_master_set(s, "bb", 2), 0);
    EXPECT_STREQ(s->master->host, "bb");
    EXPECT_EQ(fr_sql_shard_unref(s), 1);

    for (const char *bad : {"a:b:c", "", "nocolon", ":::"}) {
        fr_sql_shard_t *t = fr_sql_shard_parse_info(bad);
        EXPECT_EQ(t != nullptr, strcmp(bad, ":::") == 0) << bad;
        if (t) fr_sql_shard_unref(t);
    }
    EXPECT_EQ(fr_sql_shard_parse_info(nullptr), nullptr);
    // The full creator: limit 0 gives 512, its contents freed with it.
    fr_sql_shard_t *f = fr_sql_shard_init_api("full", "u", "p", "d", 3, 0, nullptr, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->pool->limit, 512);
    EXPECT_EQ(f->read_timeout, 3u);
    EXPECT_EQ(fr_sql_shard_slave_add(f, "s", 1), 0);
    EXPECT_EQ(fr_sql_shard_unref(f), 1);
    EXPECT_EQ(fr_sql_shard_init_api(nullptr, "u", "p", "d", 3, 0, nullptr, nullptr), nullptr);

    // Walk: every shard once, in the order added.
    fr_sql_shard_t *x = fr_sql_shard_init_api_simple("x", nullptr, nullptr);
    fr_sql_shard_t *y = fr_sql_shard_init_api_simple("y", nullptr, nullptr);
    ASSERT_EQ(fr_sqlpool_shard_add(x), 0);
    ASSERT_EQ(fr_sqlpool_shard_add(y), 0);
    std::string seen;
    EXPECT_EQ(fr_sqlpool_walk(
                  [](fr_sql_shard_t *sh, void *u) {
                      *static_cast<std::string *>(u) += fr_sql_shard_get_name(sh);
                      return 0;
                  },
                  &seen),
              0);
    EXPECT_EQ(seen, "xy");
}

// Messages of one typical acquisition, line by line, at each verbosity.
TEST_F(Pool, MessagesAreGatedByVerbosity) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1"}, 8);
    ASSERT_NE(s, nullptr);
    fr_sql_shard_t *dead = fr_sql_shard_init_api_simple("dead", nullptr, nullptr);
    ASSERT_EQ(fr_sql_shard_master_set(dead, "127.0.0.1", 1), 0);
    ASSERT_EQ(fr_sqlpool_shard_add(dead), 0);
    const std::string m = kt::addr("primary"), sl = kt::addr("replica1");

    ASSERT_NE(kt::make_shard("quiet", {"replica1"}, 8), nullptr);
    auto run = [&](int verbosity, const char *name) {
        fr_sqlpool_verbosity_set(verbosity);
        kt::LogCatcher log;
        // A fresh thread starts without a per-thread table.
        std::thread([&] {
            fr_sql_conn_t *c = fr_sqlpool_conn_get(name);
            ASSERT_NE(c, nullptr);
            fr_sql_conn_t *again = fr_sqlpool_conn_get(name ? name : "main");
            EXPECT_EQ(again, c);
            fr_sqlpool_conn_free(again);
            fr_sqlpool_conn_free(c);
            EXPECT_EQ(fr_sqlpool_conn_get("dead"), nullptr);
            EXPECT_EQ(fr_sql_conn_get("dead"), nullptr);
        }).join();
        std::vector<std::string> out;
        for (auto &l : log.lines())
            if (l.file == "kivo_sqlpool" && l.text.rfind("sqlpool:", 0) == 0) out.push_back(l.text);
        return std::make_pair(out, log.lines());
    };

    EXPECT_TRUE(run(0, "quiet").first.empty());
    EXPECT_EQ(run(1, "quiet").first, (std::vector<std::string>{"sqlpool: shard `dead': Cannot create connection (0/512 used).",
                                                      "sqlpool: shard `dead': Cannot create connection."}));

    auto [lines, raw] = run(5, nullptr);
    // The connection's address is only known from its own messages.
    ASSERT_GE(lines.size(), 5u);
    size_t at = lines[4].find("connection 0x");
    ASSERT_NE(at, std::string::npos) << ::testing::PrintToString(lines);
    at += strlen("connection ");
    const std::string p = lines[4].substr(at, lines[4].find(' ', at) - at);
    std::vector<std::string> want = {
        "sqlpool: TLS initialized",
        "sqlpool: Connection for main NOT found in TLS",
        "sqlpool: shard `main': got slave " + sl + ".",
        "UP",
        "sqlpool: shard `main': created new connection " + p + " to master server " + m + " and slave server " + sl +
            " (1/8 used)",
        "sqlpool: Connection for main ADDED in TLS",
        "sqlpool: shard `main': added new connection " + p + " to master " + m + " and slave " + sl +
            "with usage 1.",
        "sqlpool: Connection for main FOUND in TLS",
        "sqlpool: shard `main': reusing connection " + p + " from TLS to master " + m + " and slave " + sl +
            " with usage 2.",
        "sqlpool: shard `main': connection " + p + " to master " + m + " and slave " + sl + " released (usage: 1)",
        "sqlpool: shard `main': connection " + p + " to master " + m + " and slave " + sl + " released (usage: 0)",
        "sqlpool: TLS initialized",
        "sqlpool: Connection for dead NOT found in TLS",
        "sqlpool: shard `dead': Cannot create connection (0/512 used).",
        "sqlpool: shard `dead': Cannot create connection.",
    };
#if KIVO_THREADS
    // The thread-safe build keeps the (now empty) table until the thread ends.
    want.erase(want.begin() + 11);
#endif
    ASSERT_EQ(lines.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i] == "UP") {
            EXPECT_TRUE(kt::like("sqlpool:  >> [*():#] " + sl + " is up ", lines[i]))
                << lines[i];
        } else {
            EXPECT_EQ(lines[i], want[i]) << "line " << i;
        }
    }
    for (auto &l : raw) {
        if (l.file == "kivo_sqlpool" && l.text.rfind("sqlpool:", 0) == 0) {
            EXPECT_EQ(l.level, l.text.find("Cannot create") != std::string::npos ? 5 : 7) << l.text;
        }
    }

    // The reuse from the idle list, on the main thread.
    kt::LogCatcher log;
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(log.contains("sqlpool: shard `main': reusing connection " + p + " to master " + m + " and slave " +
                             sl + " with usage 1."));
    fr_sqlpool_conn_free(c);
}

TEST_F(Pool, SlaveMarkedDownIsSkippedForTheDownTime) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1", "replica2"});
    ASSERT_NE(s, nullptr);
    fr_sqlpool_down_time_set(2);
    fr_sql_server_t *r1 = *static_cast<fr_sql_server_t **>(fr_array_get(s->slaves, 0));
    r1->down_since = time(nullptr);
    fr_sqlpool_verbosity_set(5);
    kt::LogCatcher log;
    for (int i = 0; i < 12; ++i) {
        fr_sql_conn_t *c = fr_sql_conn_get("main");
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->slave_srv, *static_cast<fr_sql_server_t **>(fr_array_get(s->slaves, 1)));
        EXPECT_EQ(kt::served_by(c, 1), 3);
        fr_sql_conn_free(c);
    }
    bool still_down = false;
    for (auto &t : log.texts())
        if (kt::like("sqlpool: shard `main': slave " + kt::addr("replica1") + " is still down for # seconds.", t))
            still_down = true;
    EXPECT_TRUE(still_down);
    // Once the down time has passed it is picked again.
    r1->down_since = time(nullptr) - 2;
    int on_r1 = 0;
    for (int i = 0; i < 30; ++i) {
        fr_sql_conn_t *c = fr_sql_conn_get("main");
        ASSERT_NE(c, nullptr);
        if (kt::served_by(c, 1) == 2) ++on_r1;
        fr_sql_conn_free(c);
    }
    EXPECT_GT(on_r1, 0);
    // Reaching it cleared the mark.
    EXPECT_LE(r1->down_since, 0);

    // An unreachable slave is marked down when a connection is made.
    fr_sql_shard_t *t = kt::make_shard("withdead", {"replica2"});
    ASSERT_EQ(fr_sql_shard_slave_add(t, "127.0.0.1", 1), 0);
    for (int i = 0; i < 8; ++i) {
        fr_sql_conn_t *c = fr_sql_conn_get("withdead");
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(kt::served_by(c, 1), 3);
        fr_sql_conn_free(c);
    }
    fr_sql_server_t *bad = *static_cast<fr_sql_server_t **>(fr_array_get(t->slaves, 1));
    EXPECT_GT(bad->down_since, 0);
}

}  // namespace
