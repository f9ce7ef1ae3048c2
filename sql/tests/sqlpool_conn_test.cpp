// Pooled and stand-alone connections: reuse per thread, the idle list, the
// limit hand-over between threads, the sweeper (thread-safe build) or its
// absence (plain build), process lists of the real servers, and the aborts
// on misuse.
#include <gtest/gtest.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <kivo/sqlpool.h>
#include "support/mariadb_env.h"

namespace {

struct Conn : ::testing::Test {
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // The server drops the connections of the last test a moment after
        // they were closed; counts taken before that would be off by them.
        kt::connections_settle("primary", 0);
        fr_sqlpool_init_api(0, nullptr, nullptr);
    }
    void TearDown() override { fr_sqlpool_destroy(); }
};

TEST_F(Conn, SameThreadReusesUntilEveryUseIsGivenBack) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1", "replica2"});
    ASSERT_NE(s, nullptr);
    int before = kt::account_connections("primary");
    fr_sql_conn_t *a = fr_sqlpool_conn_get(nullptr);  // null selects "main"
    ASSERT_NE(a, nullptr);
    fr_sql_conn_t *b = fr_sqlpool_conn_get("main");
    EXPECT_EQ(a, b);
    EXPECT_EQ(fr_sql_conn_get_usage(a), 2);
    EXPECT_EQ(fr_sql_conn_get_tid(a), static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(kt::account_connections("primary"), before + 1);
    EXPECT_EQ(fr_sqlpool_conn_free(b), 0);
    EXPECT_EQ(fr_sql_conn_get_usage(a), 1);  // still busy
    EXPECT_EQ(fr_sql_conn_get_tid(a), static_cast<unsigned long>(pthread_self()));
    EXPECT_TRUE(s->idle.next == &s->idle);
    EXPECT_EQ(fr_sqlpool_conn_free(a), 0);
    EXPECT_EQ(fr_sql_conn_get_usage(a), 0);  // idle, kept by the shard pool
    EXPECT_EQ(fr_sql_conn_get_tid(a), 0ul);
    EXPECT_TRUE(s->idle.next == &a->idle_link);
    EXPECT_GE(fr_sql_conn_get_last_use(a), time(nullptr) - 1);
    // The next acquisition takes it from the idle list; nothing new opens.
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    EXPECT_EQ(c, a);
    EXPECT_EQ(s->pool->count, 1);
    EXPECT_EQ(kt::account_connections("primary"), before + 1);
    EXPECT_EQ(kt::served_by(c, 0), 1);
    int sid = kt::served_by(c, 1);
    EXPECT_TRUE(sid == 2 || sid == 3) << sid;
    char *e = fr_sql_conn_real_escape(c, "it's \\ \"x\"");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "it\\'s \\\\ \\\"x\\\"");
    s->api.free(e);
    EXPECT_EQ(fr_sql_conn_real_escape(c, nullptr), nullptr);
    fr_sqlpool_conn_free(c);
    // Walk sees the one pooled connection, idle.
    int seen = 0;
    fr_sql_shard_walk(
        s,
        [](fr_sql_shard_t *, fr_sql_conn_t *conn, void *u) {
            *static_cast<int *>(u) += 1 + 10 * fr_sql_conn_get_usage(conn);
            return 0;
        },
        &seen);
    EXPECT_EQ(seen, 1);
    // Destroying the pool closes it on the server.
    fr_sqlpool_destroy();
    EXPECT_EQ(kt::connections_settle("primary", before), before);
    fr_sqlpool_init_api(0, nullptr, nullptr);
}

TEST_F(Conn, StandAloneConnectionsBypassThePerThreadTable) {
    fr_sql_shard_t *s = kt::make_shard("main", {});
    ASSERT_NE(s, nullptr);
    fr_sqlpool_verbosity_set(5);
    kt::LogCatcher log;
    fr_sql_conn_t *pooled = fr_sqlpool_conn_get("main");
    ASSERT_NE(pooled, nullptr);
    // No slaves: shown as n/a and 0.
    bool na = false;
    for (auto &t : log.texts())
        if (t.find("and slave n/a:0with usage 1.") != std::string::npos) na = true;
    EXPECT_TRUE(na);
    EXPECT_TRUE(log.contains("sqlpool: shard `main': could not get a slave."));
    EXPECT_EQ(pooled->slave, nullptr);
    EXPECT_EQ(kt::served_by(pooled, 1), 1);  // a read without a slave runs on the master
    // A format vasprintf cannot render (a wide character the C locale
    // cannot encode) fails before anything is sent.
    EXPECT_EQ(fr_sql_conn_query(pooled, 0, nullptr, "SELECT '%ls'", L"\x20AC"), -1);
    EXPECT_EQ(kt::served_by(pooled, 0), 1);

    int before = kt::account_connections("primary");
    log.clear();
    fr_sql_conn_t *alone = fr_sql_conn_get("main");
    ASSERT_NE(alone, nullptr);
    EXPECT_NE(alone, pooled);
    EXPECT_EQ(alone->pooled, 0);
    EXPECT_EQ(fr_sql_conn_get_usage(alone), 1);
    for (auto &t : log.texts()) EXPECT_EQ(t.find("TLS"), std::string::npos) << t;
    EXPECT_EQ(kt::account_connections("primary"), before + 1);
    // The per-thread table still gives the pooled one.
    fr_sql_conn_t *again = fr_sqlpool_conn_get("main");
    EXPECT_EQ(again, pooled);
    fr_sqlpool_conn_free(again);
    EXPECT_EQ(fr_sql_conn_free(alone), 0);
    EXPECT_EQ(kt::connections_settle("primary", before), before);  // closed on give-back
    EXPECT_EQ(s->pool->count, 1);
    fr_sqlpool_conn_free(pooled);
}

TEST_F(Conn, ReplacingAShardKeepsItsBusyConnectionsWorking) {
    // A daemon reloading its settings adds a new shard of the same name
    // while requests still hold connections of the old one.
    fr_sql_shard_t *old_shard = kt::make_shard("main", {"replica1"});
    ASSERT_NE(old_shard, nullptr);
    int before = kt::account_connections("primary");
    fr_sql_conn_t *pooled = fr_sqlpool_conn_get("main");
    fr_sql_conn_t *alone = fr_sql_conn_get("main");
    ASSERT_NE(pooled, nullptr);
    ASSERT_NE(alone, nullptr);
    fr_sql_shard_t *fresh = kt::make_shard("main", {"replica2"});
    ASSERT_NE(fresh, nullptr);
    ASSERT_NE(fresh, old_shard);
    EXPECT_EQ(kt::served_by(pooled, 1), 2);
    EXPECT_EQ(kt::served_by(alone, 0), 1);
    // Still the old one for this thread until it is given back.
    EXPECT_EQ(fr_sqlpool_conn_get("main"), pooled);
    EXPECT_EQ(fr_sqlpool_conn_free(pooled), 0);
    EXPECT_EQ(fr_sqlpool_conn_free(pooled), 0);
    EXPECT_EQ(fr_sql_conn_free(alone), 0);
    // The old shard went with its last connection, and closed it.
    EXPECT_EQ(kt::connections_settle("primary", before), before);
    fr_sql_conn_t *next = fr_sqlpool_conn_get("main");
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->shard, fresh);
    EXPECT_EQ(kt::served_by(next, 1), 3);
    // The pool going away under a busy connection is the same case.
    fr_sqlpool_destroy();
    EXPECT_EQ(kt::served_by(next, 0), 1);
    EXPECT_EQ(fr_sqlpool_conn_free(next), 0);
    EXPECT_EQ(kt::connections_settle("primary", before), before);
    fr_sqlpool_init_api(0, nullptr, nullptr);
}

TEST_F(Conn, OrdinaryMutexKindsWork) {
    // A caller asking for ordinary (non-recursive) mutexes, e.g. only to
    // have them process-shared: nothing may hang on a lock it already holds.
    fr_sqlpool_destroy();
    fr_lock_attr attr = {PTHREAD_MUTEX_NORMAL, 7};
    fr_sqlpool_init_api(0.05f, nullptr, &attr);
    fr_sql_shard_t *s = fr_sql_shard_init_api("main", kt::user().c_str(), kt::password().c_str(),
                                              kt::database().c_str(), 2, 2, nullptr, &attr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->hdr.lock_attr.carry, 7u);
    ASSERT_EQ(fr_sql_shard_master_set(s, "127.0.0.1", static_cast<int>(kt::port("primary"))), 0);
    ASSERT_EQ(fr_sql_shard_slave_add(s, "127.0.0.1", static_cast<int>(kt::port("replica1"))), 0);
    ASSERT_EQ(fr_sqlpool_shard_add(s), 0);
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(fr_sqlpool_conn_get("main"), c);
    EXPECT_EQ(kt::served_by(c, 1), 2);
    fr_sqlpool_conn_free(c);
    fr_sqlpool_conn_free(c);
    fr_sql_conn_t *alone = fr_sql_conn_get("main");
    ASSERT_NE(alone, nullptr);
    EXPECT_EQ(kt::served_by(alone, 0), 1);
    fr_sql_conn_free(alone);
    int shards = 0;
    EXPECT_EQ(fr_sqlpool_walk(
                  [](fr_sql_shard_t *, void *u) {
                      ++*static_cast<int *>(u);
                      return 0;
                  },
                  &shards),
              0);
    EXPECT_EQ(shards, 1);
    fr_sqlpool_destroy();
    fr_sqlpool_init_api(0, nullptr, nullptr);
}

TEST_F(Conn, BadNamesAndShardsWithoutMaster) {
    kt::LogCatcher log;
    EXPECT_EQ(fr_sqlpool_conn_get("nosuch"), nullptr);
    EXPECT_EQ(fr_sql_conn_get("nosuch"), nullptr);
    EXPECT_EQ(fr_sqlpool_conn_get(nullptr), nullptr);  // no shard "main" here
    fr_sql_shard_t *s = fr_sql_shard_init_api_simple("nomaster", nullptr, nullptr);
    ASSERT_EQ(fr_sqlpool_shard_add(s), 0);
    EXPECT_EQ(fr_sqlpool_conn_get("nomaster"), nullptr);
    EXPECT_EQ(fr_sql_conn_get("nomaster"), nullptr);
    EXPECT_EQ(s->pool->count, 0);  // the reserved place was given back
    EXPECT_EQ(fr_sqlpool_conn_free(nullptr), -1);
    EXPECT_EQ(fr_sql_conn_free(nullptr), -1);
    EXPECT_EQ(fr_sql_conn_destroy(nullptr), -1);
    EXPECT_EQ(fr_sql_conn_get_mysql(nullptr), nullptr);
    EXPECT_EQ(fr_sql_conn_query(nullptr, 0, nullptr, "SELECT 1"), -1);
    EXPECT_EQ(fr_sqlpool_shard_add(nullptr), -1);
    int reports = 0;
    for (auto &l : log.lines())
        if (l.text.find(":conditional return") != std::string::npos) ++reports;
    EXPECT_GE(reports, 5);
}

TEST_F(Conn, MisuseAborts) {
    fr_sql_shard_t *s = kt::make_shard("main", {});
    ASSERT_NE(s, nullptr);
    EXPECT_DEATH(
        {
            fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
            fr_sqlpool_conn_free(c);
            fr_sqlpool_conn_free(c);  // once more than acquired
        },
        "");
    EXPECT_DEATH(
        {
            fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
            // Given back by a thread that does not own it.
            std::thread([c] { fr_sqlpool_conn_free(c); }).join();
        },
        "");
    EXPECT_DEATH(
        {
            fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
            c->owner = 1;  // the table's entry is someone else's
            fr_sqlpool_conn_get("main");
        },
        "");
    // The survivor: a connection given back properly is fine.
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(fr_sqlpool_conn_free(c), 0);
}

#if KIVO_THREADS
TEST_F(Conn, LimitOneHandsTheConnectionOver) {
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1"}, 1);
    ASSERT_NE(s, nullptr);
    fr_sqlpool_verbosity_set(5);
    kt::LogCatcher log;
    fr_sql_conn_t *mine = fr_sqlpool_conn_get("main");
    ASSERT_NE(mine, nullptr);
    std::atomic<fr_sql_conn_t *> theirs{nullptr};
    std::atomic<bool> done{false};
    std::thread t([&] {
        fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
        theirs = c;
        done = true;
        EXPECT_EQ(kt::served_by(c, 0), 1);
        EXPECT_EQ(fr_sql_conn_get_tid(c), static_cast<unsigned long>(pthread_self()));
        fr_sqlpool_conn_free(c);
    });
    // Until the limit message shows, the other thread has not blocked yet.
    for (int i = 0; i < 500 && !log.contains("sqlpool: shard `main': Cannot create any more connections (1/1 used). "
                                             "Waiting!");
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(log.contains("sqlpool: shard `main': Cannot create any more connections (1/1 used). Waiting!"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    fr_sqlpool_conn_free(mine);
    t.join();
    EXPECT_EQ(theirs.load(), mine);
    EXPECT_EQ(s->pool->count, 1);
}

TEST_F(Conn, SweeperClosesIdleConnections) {
    fr_sqlpool_destroy();
    fr_sqlpool_init_api(0.2f, nullptr, nullptr);
    fr_sql_shard_t *s = kt::make_shard("main", {"replica2"});
    ASSERT_NE(s, nullptr);
    s->pool->idle_timeout = 1;
    int before = kt::account_connections("primary");
    int before_r2 = kt::account_connections("replica2");
    std::vector<std::thread> ts;
    std::atomic<int> ready{0}, go{0};
    for (int i = 0; i < 3; ++i)
        ts.emplace_back([&] {
            fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
            EXPECT_NE(c, nullptr);
            ++ready;
            while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            fr_sqlpool_conn_free(c);
        });
    while (ready < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(kt::account_connections("primary"), before + 3);
    EXPECT_EQ(kt::account_connections("replica2"), before_r2 + 3);
    // Busy connections are never swept, however old.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(s->pool->count, 3);
    go = 1;
    for (auto &t : ts) t.join();
    EXPECT_EQ(kt::connections_settle("primary", before), before);
    EXPECT_EQ(kt::connections_settle("replica2", before_r2), before_r2);
    fr_sqlpool_lock();
    EXPECT_EQ(s->pool->count, 0);
    fr_sqlpool_unlock();
    // The semaphore still counts them: the next acquisition goes round and
    // makes a new connection.
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(kt::served_by(c, 0), 1);
    fr_sqlpool_conn_free(c);
    // Destroy ends the sweeper at once even with a long interval.
    fr_sqlpool_destroy();
    fr_sqlpool_init_api(3600.0f, nullptr, nullptr);
    ASSERT_NE(kt::make_shard("main", {}), nullptr);
}
#else
TEST_F(Conn, PlainBuildKeepsIdleConnectionsUntilTheShardGoes) {
    fr_sqlpool_destroy();
    fr_sqlpool_init_api(0.2f, nullptr, nullptr);  // stored, nobody sweeps
    fr_sql_shard_t *s = kt::make_shard("main", {"replica2"});
    ASSERT_NE(s, nullptr);
    s->pool->idle_timeout = 0;
    int before = kt::account_connections("primary");
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    ASSERT_NE(c, nullptr);
    fr_sqlpool_conn_free(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(kt::account_connections("primary"), before + 1);
    EXPECT_EQ(s->pool->count, 1);
    fr_sqlpool_destroy();
    EXPECT_EQ(kt::connections_settle("primary", before), before);
    fr_sqlpool_init_api(0, nullptr, nullptr);
}
#endif

}  // namespace
