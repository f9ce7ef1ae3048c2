// Load on the pool from many threads: every query succeeds, a shard never
// holds more connections than its limit (the pool's count and the servers'
// own process lists), no deadlock; then the same while a replica is killed
// and restarted, with every row written landing on the primary once.
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>
#include <kivo/sqlpool.h>
#include "support/mariadb_env.h"

namespace {

constexpr int kThreads = 32;
constexpr int kCycles = 2000;
constexpr int kLimit = 8;

struct Load : ::testing::Test {
    void SetUp() override { fr_sqlpool_init_api(0, nullptr, nullptr); }
    void TearDown() override {
        fr_sqlpool_destroy();
        for (const char *s : {"primary", "replica1", "replica2"}) {
            if (!kt::up(s)) {
                EXPECT_TRUE(kt::control("restart", s)) << s;
            }
        }
        EXPECT_TRUE(kt::control("wait-replicas"));
    }
};

struct Watch {
    std::atomic<bool> stop{false};
    std::atomic<int> max_count{0}, max_primary{0}, max_replica{0};
    std::thread t;
    void start(fr_sql_shard_t *s, int base_primary, int base_r1, int base_r2, bool replicas) {
        t = std::thread([=, this] {
            int round = 0;
            while (!stop) {
                list_count(s);
                if (++round % 4 == 0) {
                    int p = kt::account_connections("primary") - base_primary;
                    if (p > max_primary) max_primary = p;
                    if (replicas) {
                        int r = std::max(kt::account_connections("replica1") - base_r1,
                                         kt::account_connections("replica2") - base_r2);
                        if (r > max_replica) max_replica = r;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    // Connections on the shard pool's list, counted under its lock.
    void list_count(fr_sql_shard_t *s) {
        int n = 0;
        fr_sql_shard_walk(
            s,
            [](fr_sql_shard_t *, fr_sql_conn_t *, void *u) {
                ++*static_cast<int *>(u);
                return 0;
            },
            &n);
        if (n > max_count) max_count = n;
    }
    void finish() {
        stop = true;
        t.join();
    }
};

TEST_F(Load, LimitHoldsAndEveryQuerySucceeds) {
    int b0 = kt::account_connections("primary"), b1 = kt::account_connections("replica1"),
        b2 = kt::account_connections("replica2");
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1", "replica2"}, kLimit);
    ASSERT_NE(s, nullptr);
    Watch w;
    w.start(s, b0, b1, b2, true);
    std::atomic<int> failed{0}, null_conn{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < kThreads; ++i)
        ts.emplace_back([&, i] {
            for (int k = 0; k < kCycles; ++k) {
                fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
                if (!c) {
                    ++null_conn;
                    continue;
                }
                if (fr_sql_conn_query(c, (k + i) % 3 != 0, nullptr, "SELECT %d", k) != 0) ++failed;
                fr_sqlpool_conn_free(c);
            }
        });
    for (auto &t : ts) t.join();
    w.finish();
    EXPECT_EQ(null_conn.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_LE(w.max_count.load(), kLimit);
    EXPECT_GT(w.max_count.load(), 0);
    EXPECT_LE(w.max_primary.load(), kLimit);
    EXPECT_LE(w.max_replica.load(), kLimit);
    EXPECT_LE(s->pool->count, kLimit);
    EXPECT_LE(kt::account_connections("primary") - b0, kLimit);
}

TEST_F(Load, ReplicaKilledAndRestartedMidLoad) {
    MYSQL *peer = kt::raw("primary");
    ASSERT_NE(peer, nullptr);
    kt::rows(peer, "DROP TABLE IF EXISTS load_rows");
    kt::rows(peer, "CREATE TABLE load_rows (t INT, k INT)");
    fr_sql_shard_t *s = kt::make_shard("main", {"replica1", "replica2"}, kLimit, 1);
    ASSERT_NE(s, nullptr);
    fr_sqlpool_down_time_set(1);
    fr_sqlpool_verbosity_set(4);
    kt::LogCatcher log;
    std::atomic<int> failed_reads{0}, failed_writes{0}, null_conn{0}, done{0};
    std::atomic<bool> killed{false}, restarted{false};
    std::thread killer([&] {
        while (done < kThreads * kCycles / 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        killed = kt::control("kill", "replica1");
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        restarted = kt::control("restart", "replica1");
    });
    std::vector<std::thread> ts;
    for (int i = 0; i < kThreads; ++i)
        ts.emplace_back([&, i] {
            for (int k = 0; k < kCycles; ++k) {
                fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
                if (!c) {
                    ++null_conn;
                    continue;
                }
                if (k % 10 == 0 && fr_sql_conn_query(c, 0, nullptr, "INSERT INTO load_rows VALUES (%d, %d)", i, k) != 0)
                    ++failed_writes;
                if (fr_sql_conn_query(c, 1, nullptr, "SELECT %d", k) != 0) ++failed_reads;
                fr_sqlpool_conn_free(c);
                ++done;
            }
        });
    for (auto &t : ts) t.join();
    killer.join();
    EXPECT_TRUE(killed.load());
    EXPECT_TRUE(restarted.load());
    EXPECT_EQ(null_conn.load(), 0);
    EXPECT_EQ(failed_reads.load(), 0);
    EXPECT_EQ(failed_writes.load(), 0);
    EXPECT_LE(s->pool->count, kLimit);
    // Reads really did fail over from the dead replica.
    int failovers = 0;
    for (auto &t : log.texts("kivo_sqlpool"))
        if (t == "sqlpool: shard `main': slave " + kt::addr("replica1") + " failed") ++failovers;
    EXPECT_GT(failovers, 0);
    auto r = kt::rows(peer, "SELECT COUNT(*), COUNT(DISTINCT t, k) FROM load_rows");
    ASSERT_EQ(r.size(), 1u);
    const std::string want = std::to_string(kThreads * kCycles / 10);
    EXPECT_EQ(r[0][0], want);
    EXPECT_EQ(r[0][1], want);
    mysql_close(peer);
}

}  // namespace

// The master moved back and forth between two spellings of the primary's
// address while other threads open stand-alone links and use pooled ones
// (with the messages that name the master on): every link reaches the
// primary and every query succeeds; under the sanitizers, no read of a
// replaced address text.
TEST_F(Load, MasterMovedWhileLinksOpen) {
    fr_sql_shard_t *s = kt::make_shard("main", {}, kLimit);
    ASSERT_NE(s, nullptr);
    fr_sqlpool_verbosity_set(5);
    kt::LogCatcher log;
    const int port = static_cast<int>(kt::port("primary"));
    std::atomic<bool> stop{false};
    std::atomic<int> moves{0}, failed{0};
    std::thread mover([&] {
        for (int k = 0; !stop; ++k) {
            if (fr_sql_shard_master_set(s, k % 2 ? "127.000.000.001" : "127.0.0.1", port) != 0) ++failed;
            ++moves;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&, i] {
            for (int k = 0; k < 150; ++k) {
                bool alone = (k + i) % 2 == 0;
                fr_sql_conn_t *c = alone ? fr_sql_conn_get("main") : fr_sqlpool_conn_get("main");
                if (!c || kt::served_by(c, 0) != 1) ++failed;
                if (c) alone ? fr_sql_conn_free(c) : fr_sqlpool_conn_free(c);
            }
        });
    for (auto &t : ts) t.join();
    stop = true;
    mover.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_GT(moves.load(), 1);
}
