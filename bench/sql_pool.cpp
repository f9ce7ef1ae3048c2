// The SQL pool side by side with libzdb's connection pool and the raw
// client library, on throwaway MariaDB servers started for the run:
//   acquire + give back (from the per-thread table and from the idle list),
//   a primary-key SELECT, 8 threads on a limit of 4, and the time from a
//   replica's death to the first read served by the other replica.
#include <benchmark/benchmark.h>
#include <mysql.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <string>
#include <kivo/sqlpool.h>
#include <zdb.h>

namespace {

std::string g_state = KIVO_MARIADB_BENCH_STATE;
unsigned g_port[3];
const char *kNames[3] = {"primary", "replica1", "replica2"};

std::string read_line(const std::string &f) {
    FILE *fp = fopen((g_state + "/" + f).c_str(), "r");
    char buf[256] = "";
    if (fp) {
        if (!fgets(buf, sizeof buf, fp)) buf[0] = 0;
        fclose(fp);
    }
    buf[strcspn(buf, "\n")] = 0;
    return buf;
}
int control(const char *cmd, const char *name = "") {
    std::string c = std::string(KIVO_MARIADB_SCRIPT) + " " + cmd + " " + g_state + " " + name + " >/dev/null";
    return system(c.c_str());
}

struct Servers {
    Servers() {
        if (control("start") != 0) {
            fprintf(stderr, "cannot start MariaDB\n");
            exit(1);
        }
        for (int i = 0; i < 3; ++i) g_port[i] = static_cast<unsigned>(atoi(read_line(std::string(kNames[i]) + ".port").c_str()));
        MYSQL *m = mysql_init(nullptr);
        if (!mysql_real_connect(m, "127.0.0.1", "kivo", "kivo", "kivo_test", g_port[0], nullptr, CLIENT_MULTI_STATEMENTS))
            exit(1);
        const char *setup =
            "CREATE TABLE bench_t (id INT PRIMARY KEY, v VARCHAR(32));"
            "INSERT INTO bench_t SELECT seq, CONCAT('value ', seq) FROM seq_1_to_1000";
        if (mysql_query(m, setup) != 0) {
            fprintf(stderr, "%s\n", mysql_error(m));
            exit(1);
        }
        while (mysql_next_result(m) == 0) {
        }
        mysql_close(m);
        control("wait-replicas");

        fr_sqlpool_init_api(0, nullptr, nullptr);
        add_shard("main", 512, {1, 2}, 2);
        add_shard("limit4", 4, {}, 2);
        add_shard("failover", 0, {1, 2}, 1);

        zdb_url = URL_new(("mysql://127.0.0.1:" + std::to_string(g_port[0]) +
                           "/kivo_test?user=kivo&password=kivo").c_str());
        zdb = ConnectionPool_new(zdb_url);
        ConnectionPool_setInitialConnections(zdb, 1);
        ConnectionPool_setMaxConnections(zdb, 64);
        ConnectionPool_start(zdb);
        zdb4 = ConnectionPool_new(zdb_url);
        ConnectionPool_setInitialConnections(zdb4, 1);
        ConnectionPool_setMaxConnections(zdb4, 4);
        ConnectionPool_start(zdb4);
    }
    ~Servers() {
        ConnectionPool_free(&zdb);
        ConnectionPool_free(&zdb4);
        URL_free(&zdb_url);
        fr_sqlpool_destroy();
        control("stop");
    }
    static void add_shard(const char *name, int limit, std::initializer_list<int> slaves, unsigned timeout) {
        fr_sql_shard_t *s = fr_sql_shard_init_api(name, "kivo", "kivo", "kivo_test", timeout, limit, nullptr, nullptr);
        fr_sql_shard_master_set(s, "127.0.0.1", static_cast<int>(g_port[0]));
        for (int i : slaves) fr_sql_shard_slave_add(s, "127.0.0.1", static_cast<int>(g_port[i]));
        fr_sqlpool_shard_add(s);
    }
    URL_T zdb_url;
    ConnectionPool_T zdb, zdb4;
};

Servers &servers() {
    static Servers s;
    return s;
}

void BM_Kivo_AcquireRelease_CacheHit(benchmark::State &st) {
    servers();
    fr_sql_conn_t *outer = fr_sqlpool_conn_get("main");
    for (auto _ : st) {
        fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
        benchmark::DoNotOptimize(c);
        fr_sqlpool_conn_free(c);
    }
    fr_sqlpool_conn_free(outer);
}
BENCHMARK(BM_Kivo_AcquireRelease_CacheHit);

void BM_Kivo_AcquireRelease_IdleList(benchmark::State &st) {
    servers();
    for (auto _ : st) {
        fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
        benchmark::DoNotOptimize(c);
        fr_sqlpool_conn_free(c);
    }
}
BENCHMARK(BM_Kivo_AcquireRelease_IdleList);

void BM_Zdb_GetConnection_Close(benchmark::State &st) {
    ConnectionPool_T p = servers().zdb;
    for (auto _ : st) {
        Connection_T c = ConnectionPool_getConnection(p);
        benchmark::DoNotOptimize(c);
        Connection_close(c);
    }
}
BENCHMARK(BM_Zdb_GetConnection_Close);

void BM_Kivo_SelectPK(benchmark::State &st) {
    servers();
    fr_sql_conn_t *c = fr_sqlpool_conn_get("main");
    int id = 0;
    for (auto _ : st) {
        MYSQL_RES *res = nullptr;
        if (fr_sql_conn_query(c, 0, &res, "SELECT v FROM bench_t WHERE id=%d", id++ % 1000 + 1) != 0) st.SkipWithError("query");
        MYSQL_ROW row = mysql_fetch_row(res);
        benchmark::DoNotOptimize(row);
        mysql_free_result(res);
    }
    fr_sqlpool_conn_free(c);
}
BENCHMARK(BM_Kivo_SelectPK);

void raw_select_pk(benchmark::State &st, bool pool_options) {
    servers();
    MYSQL *m = mysql_init(nullptr);
    if (pool_options) {
        // What every pooled link carries: time-outs and automatic reconnect,
        // which makes the client check the link before each statement.
        unsigned t = 2;
        my_bool one = 1;
        mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &t);
        mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &t);
        mysql_options(m, MYSQL_OPT_WRITE_TIMEOUT, &t);
        mysql_options(m, MYSQL_OPT_RECONNECT, &one);
    }
    mysql_real_connect(m, "127.0.0.1", "kivo", "kivo", "kivo_test", g_port[0], nullptr, 0x80010002);
    mysql_set_character_set(m, "utf8");
    int id = 0;
    char q[96];
    for (auto _ : st) {
        int n = snprintf(q, sizeof q, "SELECT v FROM bench_t WHERE id=%d", id++ % 1000 + 1);
        if (mysql_real_query(m, q, static_cast<unsigned long>(n)) != 0) st.SkipWithError("query");
        MYSQL_RES *res = mysql_store_result(m);
        MYSQL_ROW row = mysql_fetch_row(res);
        benchmark::DoNotOptimize(row);
        mysql_free_result(res);
    }
    mysql_close(m);
}
void BM_Raw_SelectPK(benchmark::State &st) { raw_select_pk(st, false); }
BENCHMARK(BM_Raw_SelectPK);
void BM_RawPoolOptions_SelectPK(benchmark::State &st) { raw_select_pk(st, true); }
BENCHMARK(BM_RawPoolOptions_SelectPK);

void BM_Zdb_SelectPK(benchmark::State &st) {
    Connection_T c = ConnectionPool_getConnection(servers().zdb);
    int id = 0;
    for (auto _ : st) {
        ResultSet_T r = Connection_executeQuery(c, "SELECT v FROM bench_t WHERE id=%d", id++ % 1000 + 1);
        if (ResultSet_next(r)) benchmark::DoNotOptimize(ResultSet_getString(r, 1));
    }
    Connection_close(c);
}
BENCHMARK(BM_Zdb_SelectPK);

// 8 threads sharing 4 connections: acquire, primary-key SELECT, give back.
void BM_Kivo_8Threads_Limit4(benchmark::State &st) {
    servers();
    int id = st.thread_index();
    for (auto _ : st) {
        fr_sql_conn_t *c = fr_sqlpool_conn_get("limit4");
        MYSQL_RES *res = nullptr;
        if (!c || fr_sql_conn_query(c, 0, &res, "SELECT v FROM bench_t WHERE id=%d", id++ % 1000 + 1) != 0)
            st.SkipWithError("query");
        if (res) mysql_free_result(res);
        fr_sqlpool_conn_free(c);
    }
    st.counters["qps"] = benchmark::Counter(static_cast<double>(st.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Kivo_8Threads_Limit4)->Threads(8)->UseRealTime();

void BM_Zdb_8Threads_Limit4(benchmark::State &st) {
    ConnectionPool_T p = servers().zdb4;
    int id = st.thread_index();
    for (auto _ : st) {
        Connection_T c;
        // libzdb gives null while all four are out; ask again.
        while (!(c = ConnectionPool_getConnection(p))) sched_yield();
        ResultSet_T r = Connection_executeQuery(c, "SELECT v FROM bench_t WHERE id=%d", id++ % 1000 + 1);
        if (ResultSet_next(r)) benchmark::DoNotOptimize(ResultSet_getString(r, 1));
        Connection_close(c);
    }
    st.counters["qps"] = benchmark::Counter(static_cast<double>(st.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Zdb_8Threads_Limit4)->Threads(8)->UseRealTime();

// From SIGKILL of the replica a connection reads from to the first read
// served by the other replica (1-second client time-outs).
void BM_Kivo_FailoverAfterReplicaDeath(benchmark::State &st) {
    servers();
    fr_sqlpool_down_time_set(1);
    for (auto _ : st) {
        fr_sql_conn_t *c = fr_sql_conn_get("failover");
        const char *victim = c->slave_srv && c->slave_srv->port == static_cast<int>(g_port[1]) ? "replica1" : "replica2";
        pid_t pid = static_cast<pid_t>(atoi(read_line(std::string(victim) + ".pid").c_str()));
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        if (pid <= 0 || kill(pid, SIGKILL) != 0) st.SkipWithError("no replica to kill");
        MYSQL_RES *res = nullptr;
        if (fr_sql_conn_query(c, 1, &res, "SELECT @@server_id") != 0) st.SkipWithError("failover read failed");
        clock_gettime(CLOCK_MONOTONIC, &t1);
        if (res) mysql_free_result(res);
        st.SetIterationTime(static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9);
        fr_sql_conn_free(c);
        st.PauseTiming();
        control("kill", victim);
        control("restart", victim);
        struct timespec pause = {1, 100000000};
        nanosleep(&pause, nullptr);
        st.ResumeTiming();
    }
}
BENCHMARK(BM_Kivo_FailoverAfterReplicaDeath)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
