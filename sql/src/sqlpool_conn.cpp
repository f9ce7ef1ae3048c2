/*
 * Pooled connections: opening links to the master and a random eligible
 * slave, the per-thread table, the idle list and semaphore with the shard's
 * limit, stand-alone connections and the give-back rules. A connection is
 * used by its owner thread only; the shared parts are the idle list (shard
 * lock), the connection list and count (shard-pool lock) and the slave
 * array (its own lock). No frame exception crosses this file.
 */
#define KIVO_FILE "kivo_sqlpool"
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include "pool_internal.h"

using namespace kivo::sql;

namespace kivo::sql {

MYSQL *conn_init_mysql(fr_sql_shard_t *shard, fr_sql_server_t *srv) {
    MYSQL *h = mysql_init(nullptr);
    if (!h) {
        POOL_PRECOND("conn_init_mysql");
        return nullptr;
    }
    unsigned int ct = shard->conn_timeout;
    unsigned int rt = shard->read_timeout ? shard->read_timeout : ct;
    unsigned int wt = shard->write_timeout ? shard->write_timeout : ct;
    mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, &ct);
    mysql_options(h, MYSQL_OPT_READ_TIMEOUT, &rt);
    mysql_options(h, MYSQL_OPT_WRITE_TIMEOUT, &wt);
    my_bool one = 1;
    if (mysql_options(h, MYSQL_OPT_RECONNECT, &one) != 0) {
        mysql_close(h);
        return nullptr;
    }
    constexpr unsigned long kFlags = CLIENT_FOUND_ROWS | CLIENT_MULTI_STATEMENTS | CLIENT_REMEMBER_OPTIONS;
    static_assert(kFlags == 0x80010002ul, "client flags");
    const char *host;
    int port;
    {
        /* Host and port as one pair, against a concurrent move of the
         * master; the text read stays valid after the lock is left. */
        kivo::Locked lk(&srv->hdr);
        host = srv->host;
        port = srv->port;
    }
    if (!mysql_real_connect(h, host, shard->user, shard->password, shard->database, static_cast<unsigned int>(port),
                            nullptr, kFlags)) {
        mysql_close(h);
        return nullptr;
    }
    if (mysql_set_character_set(h, "utf8") != 0) {
        POOL_MSG(5, 3, "sqlpool: shard `%s': failed to select character set <%s> on connection.", shard->name, "utf8");
        mysql_close(h);
        return nullptr;
    }
    drain_more(h);
    return h;
}

}  // namespace kivo::sql

namespace {
/* A connection in a caller's hands holds a reference to its shard, so a
 * shard replaced in the pool (or the pool destroyed) stays until its busy
 * connections are given back; the type word records it. */
constexpr uint32_t kConnHoldsShard = 1;
void conn_hold_shard(fr_sql_conn_t *c, fr_sql_shard_t *shard) {
    ShardObj::ref(shard);
    c->shard = shard;
    c->hdr.type_word |= kConnHoldsShard;
}

}  // namespace

int kivo_sql_conn_destroy(fr_sql_conn_t *c) {
    /* A connection that never went back to the idle list (stand-alone, or
     * one whose opening failed) still holds its shard. */
    fr_sql_shard_t *held = (c->hdr.type_word & kConnHoldsShard) ? c->shard : nullptr;
    c->hdr.type_word &= ~kConnHoldsShard;
    /* Only the sweeper and the shard's destruction drop the last
     * reference of a connection that may be idle, and both hold the shard
     * lock; a swept connection given back late never rejoins the list. */
    if (c->pooled) link_remove(&c->idle_link);
    if (c->master) mysql_close(c->master);
    if (c->slave) mysql_close(c->slave);
    c->master = c->slave = c->last = nullptr;
    if (held) ShardObj::unref(held);
    return 0;
}

namespace {

/* --- the per-thread table: shard name -> connection pointer --- */
#if KIVO_THREADS
pthread_key_t g_key;
pthread_once_t g_key_once = PTHREAD_ONCE_INIT;
void drop_table(void *t) { fr_hash_unref(static_cast<fr_hash_t *>(t)); }
void make_key() { pthread_key_create(&g_key, drop_table); }
fr_hash_t *table_get() {
    pthread_once(&g_key_once, make_key);
    return static_cast<fr_hash_t *>(pthread_getspecific(g_key));
}
void table_set(fr_hash_t *t) { pthread_setspecific(g_key, t); }
#else
__thread fr_hash_t *t_table = nullptr;
fr_hash_t *table_get() { return t_table; }
void table_set(fr_hash_t *t) { t_table = t; }
#endif

fr_hash_t *table_create() {
    fr_hash_t *t = table_get();
    if (t) return t;
    t = fr_hash_init_api(5, nullptr, nullptr, nullptr);
    if (!t) return nullptr;
    table_set(t);
    POOL_MSG(5, 7, "sqlpool: TLS initialized");
    return t;
}

fr_sql_conn_t *table_find(fr_hash_t *t, const char *name, uint32_t len) {
    fr_sql_conn_t **v = static_cast<fr_sql_conn_t **>(fr_hash_find(t, name, len));
    return v ? *v : nullptr;
}

/* The plain build drops an empty table (it has no thread-end hook to do
 * it later); the next acquisition makes a new one. */
void table_drop_if_empty() {
#if !KIVO_THREADS
    fr_hash_t *t = table_get();
    if (t && fr_hash_empty(t)) {
        table_set(nullptr);
        fr_hash_unref(t);
    }
#endif
}

void table_forget(fr_sql_shard_t *shard) {
    fr_hash_t *t = table_get();
    if (!t) return;
    fr_hash_del(t, shard->name, static_cast<uint32_t>(strlen(shard->name) + 1));
    table_drop_if_empty();
}

int usage_of(const fr_sql_conn_t *c) { return __atomic_load_n(&c->usage, __ATOMIC_ACQUIRE); }

/* Chooses and opens the connection's slave link, from a random start,
 * marking the slaves that cannot be reached down. */
void conn_pick_slave(fr_sql_conn_t *c, fr_sql_shard_t *shard) {
    if (!shard->slaves) return;
    fr_array_lock(shard->slaves);
    int32_t n = shard_slave_count(shard);
    if (n <= 0) {
        fr_array_unlock(shard->slaves);
        POOL_MSG(5, 7, "sqlpool: shard `%s': could not get a slave.", shard->name);
        return;
    }
    int32_t start = static_cast<int32_t>(random() % n);
    int32_t first = -1;
    fr_sql_server_t *srv = nullptr;
    for (int32_t k = 0; k < n && !srv; ++k) {
        int32_t i = (start + k) % n;
        srv = shard_slave_pick_nth(shard, i);
        if (srv) first = i;
    }
    fr_array_unlock(shard->slaves);
    if (!srv) {
        POOL_MSG(5, 7, "sqlpool: shard `%s': could not get a slave.", shard->name);
        return;
    }
    POOL_MSG(5, 7, "sqlpool: shard `%s': got slave %s:%d.", shard->name, server_host(srv), server_port(srv));
    MYSQL *link = conn_init_mysql(shard, srv);
    int32_t cur = first;
    while (!link) {
        if (srv) server_mark_down(srv, __func__, __LINE__);
        cur = (cur + 1) % n;
        if (cur == first) break;
        srv = shard_slave_pick_nth(shard, cur);
        if (srv) link = conn_init_mysql(shard, srv);
    }
    if (link) {
        server_mark_up(srv, __func__, __LINE__);
        c->slave = link;
        c->slave_srv = srv;
    }
}

fr_sql_conn_t *conn_init(fr_sql_shard_t *shard) {
    fr_sql_server_t *master = shard_master(shard);
    if (!master) {
        POOL_PRECOND("conn_init");
        return nullptr;
    }
    fr_lock_attr attr = {0, 0};
    if (shard->hdr.flags & kivo::kObjLockAttrGiven) attr = shard->hdr.lock_attr;
    fr_sql_conn_t *c = ConnObj::create(&shard->api, &attr);
    if (!c) {
        POOL_PRECOND("conn_init");
        return nullptr;
    }
    link_init(&c->pool_link);
    link_init(&c->idle_link);
    conn_hold_shard(c, shard);
    c->master_srv = master;
    c->master = conn_init_mysql(shard, master);
    if (!c->master) {
        POOL_PRECOND("conn_init");
        ConnObj::unref(c);
        return nullptr;
    }
    c->last = c->master;
    c->last_use = now();
    c->owner = self_id();
    conn_pick_slave(c, shard);
    return c;
}

/* Takes the oldest idle connection for the calling thread (shard locked
 * by the caller); null when the idle list is empty. */
fr_sql_conn_t *idle_take(fr_sql_shard_t *shard) {
    if (link_empty(&shard->idle)) return nullptr;
    fr_sql_conn_t *c = of_link<fr_sql_conn_t>(shard->idle.next, offsetof(fr_sql_conn_t, idle_link));
    link_remove(&c->idle_link);
    ConnObj::ref(c);
    __atomic_store_n(&c->usage, usage_of(c) + 1, __ATOMIC_RELEASE);
    c->owner = self_id();
    return c;
}

fr_sql_conn_t *reuse_idle(fr_sql_shard_t *shard, fr_hash_t *table, uint32_t keylen) {
    kivo::header_lock(&shard->hdr);
    fr_sql_conn_t *c = idle_take(shard);
    kivo::header_unlock(&shard->hdr);
    if (!c) return nullptr;
    /* Outside the shard's lock, which may be of a non-recursive kind; the
     * acquiring caller holds the shard meanwhile. */
    conn_hold_shard(c, shard);
    if (table) fr_hash_add(table, shard->name, keylen, &c, sizeof c);
    POOL_MSG(5, 7, "sqlpool: Connection for %s ADDED in TLS", shard->name);
    POOL_MSG(5, 7, "sqlpool: shard `%s': reusing connection %p to master %s:%d and slave %s:%d with usage %d.",
             shard->name, static_cast<void *>(c), master_host(c), master_port(c), slave_host(c), slave_port(c),
             usage_of(c));
    return c;
}

fr_sql_conn_t *standalone(fr_sql_shard_t *shard) {
    fr_sql_conn_t *c = conn_init(shard);
    if (!c) {
        POOL_MSG(1, 5, "sqlpool: shard `%s': Cannot create connection.", shard->name);
        return nullptr;
    }
    c->pooled = 0;
    c->usage = 1;
    c->owner = self_id();
    return c;
}

void shard_pool_conn_append(fr_sql_shard_pool_t *sp, fr_sql_conn_t *c) {
    kivo::Locked lk(&sp->hdr);
    link_append(&sp->conns, &c->pool_link);
    /* The slot was reserved before the connection was made. */
    POOL_MSG(5, 7,
             "sqlpool: shard `%s': created new connection %p to master server %s:%d and slave server %s:%d (%d/%d "
             "used)",
             sp->shard->name, static_cast<void *>(c), master_host(c), master_port(c), slave_host(c), slave_port(c),
             sp->count, sp->limit);
}

fr_sql_conn_t *pooled_get(fr_sql_shard_t *shard, fr_hash_t *table) {
    uint32_t keylen = static_cast<uint32_t>(strlen(shard->name) + 1);
    fr_sql_conn_t *c = reuse_idle(shard, table, keylen);
    if (c) return c;
    fr_sql_shard_pool_t *sp = shard->pool;
    for (;;) {
        if (sem_trywait(&sp->idle) != 0) {
            int e = errno;
            if (e == EINTR) continue;
            if (e != EAGAIN) {
                POOL_MSG(5, 5, "sqlpool:  sem_trywait failed with error code %d", e);
                return standalone(shard);
            }
            /* At zero: make a connection if the limit allows, reserving
             * its place first so racing threads never pass the limit. */
            int32_t count, limit;
            bool reserved = false;
            {
                kivo::Locked lk(&sp->hdr);
                count = sp->count;
                limit = sp->limit;
                if (count < limit) {
                    sp->count += 1;
                    reserved = true;
                }
            }
            if (reserved) {
                c = conn_init(shard);
                if (!c) {
                    {
                        kivo::Locked lk(&sp->hdr);
                        sp->count -= 1;
                        count = sp->count;
                        limit = sp->limit;
                    }
                    /* A waiter may be able to use the freed place. */
                    sem_post(&sp->idle);
                    POOL_MSG(1, 5, "sqlpool: shard `%s': Cannot create connection (%d/%d used).", shard->name, count,
                             limit);
                    return nullptr;
                }
                c->pooled = 1;
                c->usage = 1;
                c->owner = self_id();
                ConnObj::ref(c); /* the list's reference */
                shard_pool_conn_append(sp, c);
                if (table) fr_hash_add(table, shard->name, keylen, &c, sizeof c);
                POOL_MSG(5, 7, "sqlpool: Connection for %s ADDED in TLS", shard->name);
                POOL_MSG(5, 7,
                         "sqlpool: shard `%s': added new connection %p to master %s:%d and slave %s:%dwith usage %d.",
                         shard->name, static_cast<void *>(c), master_host(c), master_port(c), slave_host(c),
                         slave_port(c), usage_of(c));
                c->sqlpool = pool_get();
                return c;
            }
            POOL_MSG(5, 5, "sqlpool: shard `%s': Cannot create any more connections (%d/%d used). Waiting!",
                     shard->name, count, limit);
            while (sem_wait(&sp->idle) != 0) {
                if (errno != EINTR) {
                    POOL_MSG(5, 5, "sqlpool:  sem_trywait failed with error code %d", errno);
                    return standalone(shard);
                }
            }
        }
        c = reuse_idle(shard, table, keylen);
        if (c) return c;
    }
}

fr_sql_conn_t *sqlpool_conn_get(const char *name, bool pooled) {
    if (!name) name = "main";
    uint32_t keylen = static_cast<uint32_t>(strlen(name) + 1);
    fr_hash_t *table = nullptr;
    if (pooled) {
        table = table_create();
        fr_sql_conn_t *c = table ? table_find(table, name, keylen) : nullptr;
        if (c) {
            POOL_MSG(5, 7, "sqlpool: Connection for %s FOUND in TLS", name);
            if (c->owner != self_id()) abort();
            ConnObj::ref(c);
            __atomic_store_n(&c->usage, usage_of(c) + 1, __ATOMIC_RELEASE);
            POOL_MSG(5, 7,
                     "sqlpool: shard `%s': reusing connection %p from TLS to master %s:%d and slave %s:%d with usage "
                     "%d.",
                     name, static_cast<void *>(c), master_host(c), master_port(c), slave_host(c), slave_port(c),
                     usage_of(c));
            return c;
        }
        POOL_MSG(5, 7, "sqlpool: Connection for %s NOT found in TLS", name);
    }
    fr_sqlpool_t *p = pool_get();
    fr_sql_shard_t *shard = nullptr;
    if (p && p->shards) {
        fr_hash_lock(p->shards);
        fr_sql_shard_t **v = static_cast<fr_sql_shard_t **>(fr_hash_find(p->shards, name, keylen));
        shard = v ? *v : nullptr;
        if (shard) ShardObj::ref(shard);
        fr_hash_unlock(p->shards);
    }
    if (!shard || !shard->pool) {
        if (shard) ShardObj::unref(shard);
        POOL_PRECOND("sqlpool_conn_get");
        if (pooled) table_drop_if_empty();
        return nullptr;
    }
    fr_sql_conn_t *c = pooled ? pooled_get(shard, table) : standalone(shard);
    ShardObj::unref(shard);
    if (pooled && !c) table_drop_if_empty();
    return c;
}

int conn_give_back(fr_sql_conn_t *c) {
    if (!c) return -1;
    int u = usage_of(c) - 1;
    if (u < 0) abort();
    /* Last use first: a sweeper that sees the usage at 0 must also see a
     * fresh time. */
    __atomic_store_n(&c->last_use, now(), __ATOMIC_RELAXED);
    __atomic_store_n(&c->usage, u, __ATOMIC_RELEASE);
    fr_sql_shard_t *shard = c->shard;
    POOL_MSG(5, 7, "sqlpool: shard `%s': connection %p to master %s:%d and slave %s:%d released (usage: %d)",
             shard ? shard->name : "n/a", static_cast<void *>(c), master_host(c), master_port(c), slave_host(c),
             slave_port(c), u);
    if (c->pooled && u == 0 && shard) {
        if (c->owner != self_id()) abort();
        c->owner = 0;
        table_forget(shard);
        kivo::header_lock(&shard->hdr);
        /* An idle connection does not hold its shard (the shard holds it);
         * the bit goes before another thread can take it. */
        bool held = (c->hdr.type_word & kConnHoldsShard) != 0;
        c->hdr.type_word &= ~kConnHoldsShard;
        /* Unless the sweeper took it off the shard pool's list meanwhile.
         * The list link is read under the shard pool's lock (taken after
         * the shard's, as the sweeper does): a thread adding a new
         * connection writes this link when it is the list's last. */
        fr_sql_shard_pool_t *sp = shard->pool;
        if (sp) kivo::header_lock(&sp->hdr);
        bool listed = c->pool_link.next != &c->pool_link;
        if (sp) kivo::header_unlock(&sp->hdr);
        if (listed) link_append(&shard->idle, &c->idle_link);
        kivo::header_unlock(&shard->hdr);
        if (shard->pool) sem_post(&shard->pool->idle);
        ConnObj::unref(c);
        /* Last: a shard replaced or dropped from the pool meanwhile goes
         * now, closing its idle connections. */
        if (held) ShardObj::unref(shard);
        return 0;
    }
    ConnObj::unref(c);
    return 0;
}

}  // namespace

KIVO_API fr_sql_conn_t *fr_sqlpool_conn_get(const char *shard) { return sqlpool_conn_get(shard, true); }
KIVO_API fr_sql_conn_t *fr_sql_conn_get(const char *shard) { return sqlpool_conn_get(shard, false); }
KIVO_API int fr_sqlpool_conn_free(fr_sql_conn_t *c) { return conn_give_back(c); }
KIVO_API int fr_sql_conn_free(fr_sql_conn_t *c) { return conn_give_back(c); }

KIVO_API int fr_sqlpool_conn_destroy(fr_sql_conn_t *c) {
    if (!c) return -1;
    ConnObj::unref(c);
    return 0;
}
KIVO_API int fr_sql_conn_destroy(fr_sql_conn_t *c) { return fr_sqlpool_conn_destroy(c); }
KIVO_API fr_sql_conn_t *fr_sql_conn_ref(fr_sql_conn_t *c) { return ConnObj::ref(c); }
KIVO_API int fr_sql_conn_unref(fr_sql_conn_t *c) { return ConnObj::unref(c); }

KIVO_API MYSQL *fr_sql_conn_get_mysql(fr_sql_conn_t *c) {
    if (!c) {
        POOL_PRECOND("fr_sql_conn_get_mysql");
        return nullptr;
    }
    return c->last;
}
KIVO_API unsigned long fr_sql_conn_get_tid(fr_sql_conn_t *c) { return c ? c->owner : 0; }
KIVO_API int fr_sql_conn_get_usage(fr_sql_conn_t *c) { return c ? usage_of(c) : -1; }
KIVO_API int64_t fr_sql_conn_get_last_use(fr_sql_conn_t *c) {
    return c ? __atomic_load_n(&c->last_use, __ATOMIC_RELAXED) : -1;
}

KIVO_API char *fr_sql_conn_real_escape(fr_sql_conn_t *c, const char *text) {
    if (!c || !text) return nullptr;
    MYSQL *h = c->master ? c->master : c->slave;
    if (!h) return nullptr;
    size_t len = strlen(text);
    char *out = static_cast<char *>(c->api.calloc(2 * len + 1, 1));
    if (!out) return nullptr;
    unsigned long n = mysql_real_escape_string(h, out, text, len);
    if (n == static_cast<unsigned long>(-1) || n < len) {
        c->api.free(out);
        return nullptr;
    }
    return out;
}
