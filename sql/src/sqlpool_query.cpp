/*
 * Query routing on a pooled connection: master or slave, retries of lost
 * links, failover from slave to slave to the master. A statement meant for
 * the master is never sent a second time once it may have reached the
 * server. No frame exception crosses this file.
 */
#define KIVO_FILE "kivo_sqlpool"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "pool_internal.h"

using namespace kivo::sql;

namespace {

constexpr unsigned kServerGone = 2006;    /* could not send: the statement never ran */
constexpr unsigned kLostDuring = 2013;    /* lost while running: it may have run */
constexpr unsigned kOutOfSync = 2014;     /* refused before sending */
constexpr unsigned kCantConnectSock = 2002;
constexpr unsigned kCantConnectTcp = 2003;

bool lost_link(unsigned e) { return e == kServerGone || e == kLostDuring || e == kOutOfSync; }
/* The server refused the statement itself: not a client error (2000-2999,
 * and the MariaDB client's own 5000-5999). Newer servers number beyond
 * 2999 too (3000s, 4000s), so "below 2000" alone would send such a
 * refused read on to every other server. */
bool server_error(unsigned e) { return e > 0 && !(e >= 2000 && e <= 2999) && !(e >= 5000 && e <= 5999); }
bool cant_connect(unsigned e) { return e == kCantConnectSock || e == kCantConnectTcp; }

/* With automatic reconnect on, the client checks each link with a poll()
 * before every statement, which costs about as much CPU as the rest of a
 * primary-key SELECT's client side. A link that finished a statement less
 * than half a second ago is taken as alive and sent to without that check;
 * after any failure, and on links not used lately, the client checks and
 * reconnects as before. Kept per thread: a pooled connection is used by
 * its owner thread only. */
constexpr int64_t kAliveWindowNs = 500 * 1000 * 1000;
struct RecentLink {
    MYSQL *link;
    int64_t at;
};
__thread RecentLink t_recent[8];

int64_t mono_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
RecentLink &recent_slot(MYSQL *link) {
    uintptr_t h = reinterpret_cast<uintptr_t>(link);
    return t_recent[(h >> 6 ^ h >> 12) & 7];
}
bool recently_alive(MYSQL *link, int64_t now) {
    RecentLink &r = recent_slot(link);
    return r.link == link && now - r.at < kAliveWindowNs;
}
void note_alive(MYSQL *link, int64_t now) { recent_slot(link) = RecentLink{link, now}; }
void forget_alive(MYSQL *link) {
    RecentLink &r = recent_slot(link);
    if (r.link == link) r.link = nullptr;
}
void set_reconnect(MYSQL *link, my_bool on) { mysql_options(link, MYSQL_OPT_RECONNECT, &on); }

/* Slaves tried during one call. */
class Tried {
public:
    explicit Tried(int32_t n) : n_(n) {
        if (n > 64) many_ = static_cast<unsigned char *>(calloc(static_cast<size_t>(n), 1));
    }
    ~Tried() { free(many_); }
    Tried(const Tried &) = delete;
    Tried &operator=(const Tried &) = delete;
    void add(int32_t i) {
        if (i < 0 || i >= n_) return;
        if (many_)
            many_[i] = 1;
        else if (i < 64)
            bits_ |= uint64_t{1} << i;
    }
    bool has(int32_t i) const {
        if (i < 0 || i >= n_) return true;
        if (many_) return many_[i] != 0;
        return i < 64 ? (bits_ >> i) & 1 : true;
    }

private:
    int32_t n_;
    uint64_t bits_ = 0;
    unsigned char *many_ = nullptr;
};

}  // namespace

KIVO_API int fr_sql_conn_query_blob(fr_sql_conn_t *c, int slave, MYSQL_RES **result, const char *stmt,
                                    unsigned long len) {
    if (!c) return -1;
    if (result) *result = nullptr;
    fr_sql_shard_t *shard = c->shard;
    const char *sname = shard && shard->name ? shard->name : "n/a";
    if (!stmt) return -1;
    /* Reads may be sent again; anything else only while it surely has not
     * reached the server. */
    const bool is_read = slave != 0;
    int32_t n = shard ? shard_slave_count(shard) : 0;
    int32_t a = 0, b = 0;
    if (n > 0 && c->slave_srv) {
        b = c->slave_srv->index;
        a = b + 1 < n ? b + 1 : 0;
    } else {
        slave = 0;
    }
    if (!slave && !c->master) {
        POOL_MSG(5, 4, "sqlpool: shard `%s': tried to query with connection %p with no master", sname,
                 static_cast<void *>(c));
        return -1;
    }
    Tried tried(n);
    if (slave) tried.add(b);

    for (;;) {
        MYSQL *link = slave ? c->slave : c->master;
        fr_sql_server_t *srv = slave ? c->slave_srv : c->master_srv;
        unsigned err = 0;
        for (int r = 0; link; ++r) {
            drain_more(link);
            int64_t t = mono_ns();
            bool skip_check = recently_alive(link, t);
            if (skip_check) set_reconnect(link, 0);
            bool ok = mysql_real_query(link, stmt, len) == 0;
            if (skip_check) set_reconnect(link, 1);
            MYSQL_RES *res = nullptr;
            if (ok && mysql_field_count(link) != 0) {
                res = mysql_store_result(link);
                /* Rows lost on the way are a failed statement, never an
                 * empty success. */
                if (!res && mysql_errno(link) != 0) ok = false;
            }
            if (ok) {
                /* A result nobody asked for is read and dropped, so the
                 * link stays in step. */
                if (result)
                    *result = res;
                else if (res)
                    mysql_free_result(res);
                c->last = link;
                note_alive(link, t);
                return 0;
            }
            forget_alive(link);
            err = mysql_errno(link);
            POOL_MSG(5, 5, "sqlpool: shard `%s': connection %p got mysql error [%d]: %s", sname,
                     static_cast<void *>(c), static_cast<int>(err), mysql_error(link));
            if (lost_link(err) && r <= 2 && (is_read || err != kLostDuring)) {
                if (err == kOutOfSync) {
                    POOL_MSG(5, 4, "sqlpool: shard `%s': connection %p got commands out of sync error", sname,
                             static_cast<void *>(c));
                    drain_more(link);
                }
                continue;
            }
            /* A slave that keeps losing its link, or that cannot be
             * reached at all, is marked down for everybody. */
            if (slave && srv && (lost_link(err) || cant_connect(err))) server_mark_down(srv, __func__, __LINE__);
            break;
        }

        POOL_MSG(3, 5, "sqlpool: shard `%s': query failed on %s server %s:%d", sname, slave ? "slave" : "master",
                 srv ? server_host(srv) : "n/a", srv ? server_port(srv) : 0);
        if (link) {
            POOL_MSG(3, 5, "sqlpool: shard `%s': MySQL error: %s", sname, mysql_error(link));
            POOL_MSG(3, 5, "sqlpool: shard `%s': failed query was %s", sname, stmt);
            if (server_error(err)) {
                POOL_PRECOND("fr_sql_conn_query_blob");
                c->last = link;
                return -1;
            }
        }
        if (!slave) {
            POOL_MSG(4, 5, "sqlpool: shard `%s': master failed, bailing out", sname);
            c->last = link ? link : c->master;
            return -1;
        }

        /* Fail over: the next eligible slave not tried yet, then the master. */
        fr_sql_server_t *failing = srv;
        MYSQL *failed_link = link;
        bool moved = false;
        while (!moved) {
            POOL_MSG(4, 5, "sqlpool: shard `%s': slave %s:%d failed", sname, failing ? server_host(failing) : "n/a",
                     failing ? server_port(failing) : 0);
            fr_sql_server_t *next = nullptr;
            for (int32_t k = 0; k < n && !next; ++k) {
                int32_t i = (a + k) % n;
                if (i == b && k > 0) break;
                if (tried.has(i)) continue;
                next = shard_slave_pick_nth(shard, i);
            }
            if (!next) {
                POOL_MSG(4, 5, "sqlpool: shard `%s': all slaves failed, trying the master", sname);
                if (!c->master) {
                    POOL_MSG(4, 5, "sqlpool: shard `%s': master failed too, bailing out", sname);
                    c->last = failed_link ? failed_link : c->master;
                    return -1;
                }
                slave = 0;
                moved = true;
                break;
            }
            tried.add(next->index);
            c->slave_srv = next;
            POOL_MSG(4, 7, "sqlpool: shard `%s': trying slave %s:%d", sname, server_host(next), server_port(next));
            if (c->slave) {
                if (c->last == c->slave) c->last = c->master;
                if (failed_link == c->slave) failed_link = nullptr;
                mysql_close(c->slave);
                c->slave = nullptr;
            }
            c->slave = conn_init_mysql(shard, next);
            if (c->slave) {
                server_mark_up(next, __func__, __LINE__);
                slave = 1;
                moved = true;
            } else {
                server_mark_down(next, __func__, __LINE__);
                failing = next;
            }
        }
    }
}

KIVO_API int fr_sql_conn_query_va(fr_sql_conn_t *c, int slave, MYSQL_RES **result, const char *format, va_list ap) {
    if (result) *result = nullptr;
    if (!c || !format) return -1;
    /* Most statements fit on the stack: no allocation per query. */
    char buf[512];
    va_list again;
    va_copy(again, ap);
    int len = vsnprintf(buf, sizeof buf, format, ap);
    if (len >= 0 && static_cast<size_t>(len) < sizeof buf) {
        va_end(again);
        return fr_sql_conn_query_blob(c, slave, result, buf, strlen(buf));
    }
    char *stmt = nullptr;
    len = vasprintf(&stmt, format, again);
    va_end(again);
    if (len < 0) return -1;
    int rc = fr_sql_conn_query_blob(c, slave, result, stmt, strlen(stmt));
    free(stmt);
    return rc;
}

KIVO_API int fr_sql_conn_query(fr_sql_conn_t *c, int slave, MYSQL_RES **result, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int rc = fr_sql_conn_query_va(c, slave, result, format, ap);
    va_end(ap);
    return rc;
}
