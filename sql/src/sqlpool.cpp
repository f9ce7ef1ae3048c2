/*
 * The process-wide pool and its shards: creation and configuration, server
 * records, shard pools, the message log, the walks and the sweeper thread.
 * No frame exception crosses this file.
 */
#define KIVO_FILE "kivo_sqlpool"
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <kivo/strings.h>
#include "pool_internal.h"

namespace kivo::sql {

fr_sqlpool_t *g_pool = nullptr;

void sqlpool_message(int level, const char *function, int line, const char *format, ...) {
    char *text = nullptr;
    va_list ap;
    va_start(ap, format);
    int n = vasprintf(&text, format, ap);
    va_end(ap);
    if (n < 0) return;
    /* Handed on as plain text, never as a further format. */
    fr_log_impl(KIVO_FILE, line, function, 0, level, "%s", text);
    free(text);
}

void server_mark_down(fr_sql_server_t *s, const char *function, int line) {
    int64_t t = now();
    __atomic_store_n(&s->down_since, t, __ATOMIC_RELAXED);
    if (msg_on(5))
        sqlpool_message(7, function, line, "sqlpool:  >> [%s():%d] %s:%d is down at %d ", function, line,
                        server_host(s), server_port(s), static_cast<int>(t));
}

void server_mark_up(fr_sql_server_t *s, const char *function, int line) {
    __atomic_store_n(&s->down_since, int64_t{0}, __ATOMIC_RELAXED);
    if (msg_on(5))
        sqlpool_message(7, function, line, "sqlpool:  >> [%s():%d] %s:%d is up ", function, line, server_host(s),
                        server_port(s));
}

int32_t shard_slave_count(fr_sql_shard_t *shard) { return shard->slaves ? fr_array_length(shard->slaves) : 0; }

fr_sql_server_t *shard_slave_pick_nth(fr_sql_shard_t *shard, int32_t n) {
    if (!shard->slaves) return nullptr;
    /* The pointer is read under the array's lock: a slave added meanwhile
     * may move the element block. */
    fr_array_t *arr = shard->slaves;
    fr_array_lock(arr);
    fr_sql_server_t *s = nullptr;
    if (n >= 0 && n < arr->length) s = static_cast<fr_sql_server_t **>(arr->data)[n];
    fr_array_unlock(arr);
    if (!s) return nullptr;
    int64_t since = down_since(s);
    if (since <= 0) return s;
    fr_sqlpool_t *p = pool_get();
    int64_t down = p ? __atomic_load_n(&p->down_time, __ATOMIC_RELAXED) : 60;
    int64_t t = now();
    if (t - since >= down) return s;
    POOL_MSG(5, 7, "sqlpool: shard `%s': slave %s:%d is still down for %ld seconds.", shard->name, server_host(s),
             server_port(s),
             static_cast<long>(since + down - t));
    return nullptr;
}

}  // namespace kivo::sql

using namespace kivo::sql;

namespace {

constexpr int32_t kDefaultLimit = 512;
constexpr int32_t kIdleTimeout = 60;

/* A copy made with the record's allocator. */
char *dup_api(const fr_alloc_api &api, const char *s) {
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    char *c = static_cast<char *>(api.calloc(1, n));
    if (c) memcpy(c, s, n);
    return c;
}

/* The pool's own code takes the locks of its records inside one another
 * (the shards table around a lookup, the slave array around an append):
 * a caller's lock attributes keep their carried word and process sharing,
 * but the kind is always recursive, or an ordinary mutex would hang on its
 * first nested use. */
const fr_lock_attr *nesting_attr(const fr_lock_attr *attr, fr_lock_attr *out) {
    if (!attr) return nullptr;
    *out = *attr;
    out->kind = PTHREAD_MUTEX_RECURSIVE;
    return out;
}

/* The table's value release hook: the pool's reference to a shard. */
int release_shard(void *value) {
    fr_sql_shard_t *s = *static_cast<fr_sql_shard_t **>(value);
    if (s) ShardObj::unref(s);
    return 0;
}

/* The slave array's element release hook. */
void release_slave(void *element) {
    fr_sql_server_t *s = *static_cast<fr_sql_server_t **>(element);
    if (s) ServerObj::unref(s);
}

fr_sql_server_t *server_new(fr_sql_shard_t *shard, int kind, const char *host, int port, int index) {
    const fr_lock_attr *attr = (shard->hdr.flags & kivo::kObjLockAttrGiven) ? &shard->hdr.lock_attr : nullptr;
    fr_sql_server_t *s = ServerObj::create(&shard->api, attr);
    if (!s) return nullptr;
    s->kind = kind;
    s->host = dup_api(s->api, host);
    s->port = port;
    s->index = index;
    if (!s->host) {
        ServerObj::unref(s);
        return nullptr;
    }
    return s;
}

/* Shard found by name with a reference taken, or null. */
fr_sql_shard_t *shard_lookup(fr_sqlpool_t *p, const char *name) {
    if (!p || !p->shards || !name) return nullptr;
    fr_hash_lock(p->shards);
    fr_sql_shard_t **v = static_cast<fr_sql_shard_t **>(fr_hash_find(p->shards, name, strlen(name) + 1));
    fr_sql_shard_t *s = v ? *v : nullptr;
    if (s) ShardObj::ref(s);
    fr_hash_unlock(p->shards);
    return s;
}

#if KIVO_THREADS
pthread_mutex_t g_sweep_mu = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_sweep_cv = PTHREAD_COND_INITIALIZER;

bool pool_stopping(fr_sqlpool_t *p) {
    fr_sqlpool_lock();
    bool stop = p->stop || (p->hdr.flags & FR_OBJ_DESTROYING);
    fr_sqlpool_unlock();
    return stop;
}

void sweep_shard(fr_sql_shard_t *shard) {
    /* Shard first, then its pool: the order a shard's destruction takes
     * them in. */
    kivo::header_lock(&shard->hdr);
    fr_sql_shard_pool_t *sp = shard->pool;
    if (!sp || (sp->hdr.flags & FR_OBJ_DESTROYING)) {
        kivo::header_unlock(&shard->hdr);
        return;
    }
    kivo::header_lock(&sp->hdr);
    int64_t t = now();
    fr_sql_link_t *l = sp->conns.next;
    while (l != &sp->conns) {
        fr_sql_link_t *next = l->next;
        fr_sql_conn_t *c = of_link<fr_sql_conn_t>(l, offsetof(fr_sql_conn_t, pool_link));
        if (__atomic_load_n(&c->usage, __ATOMIC_ACQUIRE) == 0 &&
            t - __atomic_load_n(&c->last_use, __ATOMIC_RELAXED) > sp->idle_timeout) {
            link_remove(&c->pool_link);
            /* Off the idle list too, so nobody takes it while another
             * holder keeps it alive. */
            link_remove(&c->idle_link);
            sp->count -= 1;
            POOL_MSG(5, 7,
                     "sqlpool: shard `%s': connection %p to master %s:%d and slave %s:%d removed(%d/%d used in this "
                     "shard's pool).",
                     shard->name, static_cast<void *>(c), master_host(c), master_port(c), slave_host(c), slave_port(c), sp->count, sp->limit);
            ConnObj::unref(c);
        }
        l = next;
    }
    kivo::header_unlock(&sp->hdr);
    kivo::header_unlock(&shard->hdr);
}

void *shard_pool_sweep(void *arg) {
    fr_sqlpool_t *p = static_cast<fr_sqlpool_t *>(arg);
    while (!pool_stopping(p)) {
        fr_hash_lock(p->shards);
        fr_array_t *keys = fr_hash_getkeys(p->shards);
        int32_t n = keys ? fr_array_length(keys) : 0;
        for (int32_t i = 0; i < n; ++i) {
            fr_hash_key_t *k = static_cast<fr_hash_key_t *>(fr_array_get(keys, i));
            fr_sql_shard_t **v = static_cast<fr_sql_shard_t **>(fr_hash_find(p->shards, k->key, k->len));
            if (v && *v) sweep_shard(*v);
        }
        fr_hash_unlock(p->shards);
        if (keys) fr_hash_destroy_keys_array(keys);

        /* Sleep the interval; fr_sqlpool_destroy cuts it short. */
        double iv = p->sweep_interval;
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        long whole = static_cast<long>(iv);
        long nanos = static_cast<long>((iv - static_cast<double>(whole)) * 1e9);
        until.tv_sec += whole;
        until.tv_nsec += nanos;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        pthread_mutex_lock(&g_sweep_mu);
        while (!__atomic_load_n(&p->stop, __ATOMIC_ACQUIRE)) {
            if (pthread_cond_timedwait(&g_sweep_cv, &g_sweep_mu, &until) == ETIMEDOUT) break;
        }
        pthread_mutex_unlock(&g_sweep_mu);
    }
    /* Give back what the thread held, so the pool can be freed. */
    fr_hash_unref(p->shards);
    PoolObj::unref(p);
    return nullptr;
}
#endif

/* Host texts a moved master no longer uses. Threads may still be reading
 * one (messages, or a link being opened), so each stays allocated until its
 * server is destroyed; a text set again is taken back from here, which
 * keeps the list to the distinct addresses a master ever had. */
struct RetiredHost {
    fr_sql_server_t *srv;
    char *text;
    RetiredHost *next;
};
RetiredHost *g_retired = nullptr;
#if KIVO_THREADS
pthread_mutex_t g_retired_lock = PTHREAD_MUTEX_INITIALIZER;
void retired_lock() { pthread_mutex_lock(&g_retired_lock); }
void retired_unlock() { pthread_mutex_unlock(&g_retired_lock); }
#else
void retired_lock() {}
void retired_unlock() {}
#endif

/* The retired text of `srv` equal to `host`, with `old` kept in its place;
 * null if there is none. */
char *retired_swap(fr_sql_server_t *srv, const char *host, char *old) {
    retired_lock();
    char *text = nullptr;
    for (RetiredHost *r = g_retired; r; r = r->next) {
        if (r->srv == srv && strcmp(r->text, host) == 0) {
            text = r->text;
            r->text = old;
            break;
        }
    }
    retired_unlock();
    return text;
}

bool retired_keep(fr_sql_server_t *srv, char *text) {
    RetiredHost *r = static_cast<RetiredHost *>(malloc(sizeof(RetiredHost)));
    if (!r) return false;
    *r = RetiredHost{srv, text, nullptr};
    retired_lock();
    r->next = g_retired;
    g_retired = r;
    retired_unlock();
    return true;
}

void retired_free(fr_sql_server_t *srv) {
    retired_lock();
    for (RetiredHost **r = &g_retired; *r;) {
        if ((*r)->srv == srv) {
            RetiredHost *gone = *r;
            *r = gone->next;
            srv->api.free(gone->text);
            free(gone);
        } else {
            r = &(*r)->next;
        }
    }
    retired_unlock();
}

}  // namespace

/* --- records' destroy hooks --- */

int kivo_sql_server_destroy(fr_sql_server_t *s) {
    retired_free(s);
    s->api.free(s->host);
    s->host = nullptr;
    return 0;
}

int kivo_sql_shard_pool_destroy(fr_sql_shard_pool_t *p) {
    while (!link_empty(&p->conns)) {
        fr_sql_conn_t *c = of_link<fr_sql_conn_t>(p->conns.next, offsetof(fr_sql_conn_t, pool_link));
        link_remove(&c->pool_link);
        p->count -= 1;
        ConnObj::unref(c);
    }
    sem_destroy(&p->idle);
    return 0;
}

int kivo_sqlpool_destroy_hook(fr_sqlpool_t *p) {
    if (p->shards) fr_hash_unref(p->shards);
    p->shards = nullptr;
    __atomic_compare_exchange_n(&g_pool, &p, static_cast<fr_sqlpool_t *>(nullptr), false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
    return 0;
}

/* --- the pool --- */

KIVO_API void fr_sqlpool_init_api(float sweep_interval, const fr_alloc_api *api, const fr_lock_attr *given) {
    fr_lock_attr rec;
    const fr_lock_attr *attr = nesting_attr(given, &rec);
    if (pool_get()) {
        /* One pool per process. */
        POOL_PRECOND("fr_sqlpool_init_api");
        return;
    }
    fr_sqlpool_t *p = PoolObj::create(api, attr);
    if (!p) {
        POOL_PRECOND("fr_sqlpool_init_api");
        return;
    }
    p->sweep_interval = sweep_interval;
    p->down_time = 60;
    p->sweeper = static_cast<unsigned long>(-1);
    p->shards = fr_hash_init_api(255, release_shard, api, attr);
    if (!p->shards) {
        PoolObj::destroy_unsafe(p);
        POOL_PRECOND("fr_sqlpool_init_api");
        return;
    }
    __atomic_store_n(&g_pool, p, __ATOMIC_RELEASE);
#if KIVO_THREADS
    if (sweep_interval > 0) {
        PoolObj::ref(p);
        fr_hash_ref(p->shards);
        pthread_t th;
        if (pthread_create(&th, nullptr, shard_pool_sweep, p) == 0) {
            p->sweeper = static_cast<unsigned long>(th);
        } else {
            fr_hash_unref(p->shards);
            PoolObj::unref(p);
        }
    }
#endif
}

KIVO_API int fr_sqlpool_destroy(void) {
    fr_sqlpool_t *p = pool_get();
    if (!p) return 0;
    fr_sqlpool_lock();
    __atomic_store_n(&p->stop, 1, __ATOMIC_RELEASE);
    unsigned long th = p->sweeper;
    p->sweeper = static_cast<unsigned long>(-1);
    fr_sqlpool_unlock();
#if KIVO_THREADS
    if (th != static_cast<unsigned long>(-1)) {
        pthread_mutex_lock(&g_sweep_mu);
        pthread_cond_broadcast(&g_sweep_cv);
        pthread_mutex_unlock(&g_sweep_mu);
        if (static_cast<pthread_t>(th) != pthread_self()) pthread_join(static_cast<pthread_t>(th), nullptr);
    }
#else
    (void)th;
#endif
    PoolObj::unref(p);
    return 0;
}

KIVO_API int fr_sqlpool_ref(void) {
    fr_sqlpool_t *p = pool_get();
    if (!p) return -1;
    PoolObj::ref(p);
    return 0;
}

KIVO_API int fr_sqlpool_unref(void) {
    fr_sqlpool_t *p = pool_get();
    return p ? PoolObj::unref(p, 0) : 1;
}

KIVO_API int fr_sqlpool_lock(void) { return PoolObj::lock(pool_get()); }
KIVO_API int fr_sqlpool_unlock(void) { return PoolObj::unlock(pool_get()); }

KIVO_API int fr_sqlpool_verbosity_set(int verbosity) {
    fr_sqlpool_t *p = pool_get();
    if (p) __atomic_store_n(&p->verbosity, verbosity, __ATOMIC_RELAXED);
    return 0;
}

KIVO_API int fr_sqlpool_down_time_set(int seconds) {
    fr_sqlpool_t *p = pool_get();
    if (p) __atomic_store_n(&p->down_time, seconds, __ATOMIC_RELAXED);
    return 0;
}

KIVO_API int fr_sqlpool_shard_add(fr_sql_shard_t *shard) {
    fr_sqlpool_t *p = pool_get();
    if (!p || !shard || !shard->name) {
        POOL_PRECOND("fr_sqlpool_shard_add");
        return -1;
    }
    PoolObj::ref(p);
    fr_hash_t *t = fr_hash_ref(p->shards);
    int rc = fr_hash_add(t, shard->name, static_cast<uint32_t>(strlen(shard->name) + 1), &shard, sizeof shard);
    if (rc != 0) {
        POOL_PRECOND("fr_sqlpool_shard_add");
    } else {
        shard->sqlpool = p;
    }
    fr_hash_unref(t);
    PoolObj::unref(p);
    return rc == 0 ? 0 : -1;
}

KIVO_API int fr_sqlpool_walk(fr_sqlpool_walk_fn fn, void *user) {
    fr_sqlpool_t *p = pool_get();
    if (!p || !fn) return -1;
    PoolObj::ref(p);
    fr_sqlpool_lock();
    int rc = -1;
    if (!p->stop && !(p->hdr.flags & FR_OBJ_DESTROYING)) {
        fr_hash_lock(p->shards);
        fr_array_t *keys = fr_hash_getkeys(p->shards);
        int32_t n = keys ? fr_array_length(keys) : 0;
        for (int32_t i = 0; i < n; ++i) {
            fr_hash_key_t *k = static_cast<fr_hash_key_t *>(fr_array_get(keys, i));
            fr_sql_shard_t **v = static_cast<fr_sql_shard_t **>(fr_hash_find(p->shards, k->key, k->len));
            if (v && *v) fn(*v, user);
        }
        fr_hash_unlock(p->shards);
        if (keys) fr_hash_destroy_keys_array(keys);
        rc = 0;
    }
    fr_sqlpool_unlock();
    PoolObj::unref(p);
    return rc;
}

/* --- shards --- */

KIVO_API fr_sql_shard_t *fr_sql_shard_init_api(const char *name, const char *user, const char *password,
                                              const char *database, uint32_t timeout, int32_t limit,
                                              const fr_alloc_api *api, const fr_lock_attr *given) {
    fr_lock_attr rec;
    const fr_lock_attr *attr = nesting_attr(given, &rec);
    if (!name) {
        POOL_PRECOND("fr_sql_shard_init_api");
        return nullptr;
    }
    /* Both creators install the full destroy hook, so a shard made here
     * frees its contents too. */
    fr_sql_shard_t *s = ShardObj::create(api, attr);
    if (!s) {
        POOL_PRECOND("fr_sql_shard_init_api");
        return nullptr;
    }
    link_init(&s->idle);
    s->name = dup_api(s->api, name);
    s->user = dup_api(s->api, user);
    s->password = dup_api(s->api, password);
    s->database = dup_api(s->api, database);
    s->conn_timeout = s->read_timeout = s->write_timeout = timeout;
    s->slaves = fr_array_init_sized_api(static_cast<int32_t>(sizeof(fr_sql_server_t *)), 0, release_slave, 0, api,
                                        attr);
    fr_sql_shard_pool_t *sp = ShardPoolObj::create(api, attr);
    if (sp) {
        link_init(&sp->conns);
        sp->idle_timeout = kIdleTimeout;
        sp->limit = limit > 0 ? limit : kDefaultLimit;
        sp->shard = s;
        if (sem_init(&sp->idle, 0, 0) != 0) {
            ShardPoolObj::discard(sp);
            sp = nullptr;
        }
    }
    s->pool = sp;
    if (!s->name || !s->slaves || !sp || (user && !s->user) || (password && !s->password) ||
        (database && !s->database)) {
        ShardObj::unref(s);
        POOL_PRECOND("fr_sql_shard_init_api");
        return nullptr;
    }
    return s;
}

KIVO_API fr_sql_shard_t *fr_sql_shard_init_api_simple(const char *name, const fr_alloc_api *api,
                                                     const fr_lock_attr *attr) {
    return fr_sql_shard_init_api(name, nullptr, nullptr, nullptr, 0, kDefaultLimit, api, attr);
}

KIVO_API fr_sql_shard_t *fr_sql_shard_parse_info(const char *info) {
    if (!info) return nullptr;
    const char *c1 = strchr(info, ':');
    const char *c2 = c1 ? strchr(c1 + 1, ':') : nullptr;
    const char *c3 = c2 ? strchr(c2 + 1, ':') : nullptr;
    if (!c3) return nullptr;
    char *name = strndup(info, static_cast<size_t>(c1 - info));
    char *user = strndup(c1 + 1, static_cast<size_t>(c2 - c1 - 1));
    char *pass = strndup(c2 + 1, static_cast<size_t>(c3 - c2 - 1));
    fr_sql_shard_t *s = nullptr;
    if (name && user && pass) {
        s = fr_sql_shard_init_api_simple(name, nullptr, nullptr);
        if (s) {
            fr_sql_shard_set_user(s, user);
            fr_sql_shard_set_pass(s, pass);
            fr_sql_shard_set_db(s, c3 + 1);
        }
    }
    free(name);
    free(user);
    free(pass);
    return s;
}

namespace {
int replace_text(fr_sql_shard_t *s, char *fr_sql_shard_t::*field, const char *text) {
    if (!s) return -1;
    kivo::Locked lk(&s->hdr);
    char *copy = dup_api(s->api, text);
    s->api.free(s->*field);
    s->*field = copy;
    return 0;
}
}  // namespace

KIVO_API int fr_sql_shard_set_user(fr_sql_shard_t *s, const char *v) { return replace_text(s, &fr_sql_shard_t::user, v); }
KIVO_API int fr_sql_shard_set_pass(fr_sql_shard_t *s, const char *v) {
    return replace_text(s, &fr_sql_shard_t::password, v);
}
KIVO_API int fr_sql_shard_set_db(fr_sql_shard_t *s, const char *v) {
    return replace_text(s, &fr_sql_shard_t::database, v);
}
KIVO_API void fr_sql_shard_set_conn_timeout(fr_sql_shard_t *s, uint32_t v) {
    if (s) s->conn_timeout = v;
}
KIVO_API void fr_sql_shard_set_read_timeout(fr_sql_shard_t *s, uint32_t v) {
    if (s) s->read_timeout = v;
}
KIVO_API void fr_sql_shard_set_write_timeout(fr_sql_shard_t *s, uint32_t v) {
    if (s) s->write_timeout = v;
}

KIVO_API void fr_sql_shard_set_conn_max(fr_sql_shard_t *s, int32_t limit) {
    if (!s || !s->pool) {
        POOL_PRECOND("fr_sql_shard_set_conn_max");
        return;
    }
    kivo::Locked lk(&s->pool->hdr);
    s->pool->limit = limit > 0 ? limit : kDefaultLimit;
}

KIVO_API int fr_sql_shard_master_set(fr_sql_shard_t *s, const char *host, int port) {
    if (!s || !host) {
        POOL_PRECOND("fr_sql_shard_master_set");
        return -1;
    }
    {
        kivo::Locked lk(&s->hdr);
        fr_sql_server_t *m = s->master;
        if (m) {
            kivo::Locked lm(&m->hdr);
            if (strcmp(m->host, host) != 0) {
                /* The old text may be in use by readers without the lock;
                 * it is retired, not freed. */
                char *copy = retired_swap(m, host, m->host);
                if (!copy) {
                    copy = dup_api(m->api, host);
                    if (!copy || !retired_keep(m, m->host)) {
                        if (copy) m->api.free(copy);
                        POOL_PRECOND("fr_sql_shard_master_set");
                        return -1;
                    }
                }
                __atomic_store_n(&m->host, copy, __ATOMIC_RELEASE);
            }
            __atomic_store_n(&m->port, port, __ATOMIC_RELAXED);
        } else {
            m = server_new(s, 0, host, port, 0);
            if (!m) {
                POOL_PRECOND("fr_sql_shard_master_set");
                return -1;
            }
            __atomic_store_n(&s->master, m, __ATOMIC_RELEASE);
        }
    }
    POOL_MSG(5, 7, "sqlpool: shard `%s': master setup as %s:%d.", s->name, host, port);
    return 0;
}

KIVO_API int fr_sql_shard_slave_add(fr_sql_shard_t *s, const char *host, int port) {
    if (!s || !host || !s->slaves) {
        POOL_PRECOND("fr_sql_shard_slave_add");
        return -1;
    }
    fr_array_lock(s->slaves);
    fr_sql_server_t *srv = server_new(s, 1, host, port, fr_array_length(s->slaves));
    int rc = srv ? fr_array_append_many(s->slaves, &srv, 1) : -1;
    fr_array_unlock(s->slaves);
    if (rc != 0) {
        if (srv) ServerObj::unref(srv);
        POOL_PRECOND("fr_sql_shard_slave_add");
        return -1;
    }
    POOL_MSG(5, 7, "sqlpool: shard `%s': added slave %s:%d.", s->name, host, port);
    return 0;
}

namespace {

constexpr size_t kMaxLine = 255;
constexpr size_t kMaxWord = 99;

bool parse_number(const char *s, long lo, long hi, long *out) {
    if (!s || !*s) return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

/* One line of the connection-info file; true when it set a master. */
bool info_line(fr_sqlpool_t *p, char *line, int skip_slaves, int accept_limit) {
    char *hash = strchr(line, '#');
    if (hash) *hash = '\0';
    const char *ws = " \t\r\n\v\f";
    char *save = nullptr;
    char *key = strtok_r(line, ws, &save);
    char *value = key ? strtok_r(nullptr, ws, &save) : nullptr;
    if (!key || !value || strlen(key) > kMaxWord || strlen(value) > kMaxWord) return false;

    char **parts = nullptr;
    int n = 0;
    if (fr_explode(value, ':', &parts, &n) < 0 || n < 1) return false;
    bool set_master = false;
    fr_sql_shard_t *s = shard_lookup(p, parts[0]);
    if (s) {
        bool is_master = strcmp(key, "DB_MASTER") == 0;
        long num = 0;
        if (is_master || strcmp(key, "DB_SLAVE") == 0) {
            if (n >= 3 && (is_master || !skip_slaves) && parse_number(parts[n - 1], 0, 65535, &num)) {
                char *host = n == 3 ? parts[1] : fr_implode(parts + 1, n - 2, ':');
                if (host && *host) {
                    if (is_master)
                        set_master = fr_sql_shard_master_set(s, host, static_cast<int>(num)) == 0;
                    else
                        fr_sql_shard_slave_add(s, host, static_cast<int>(num));
                }
                if (n != 3) free(host);
            }
        } else if (n >= 2 && parse_number(parts[1], 0, 0x7fffffffL, &num)) {
            if (strcmp(key, "DB_TIMEOUT") == 0)
                fr_sql_shard_set_conn_timeout(s, static_cast<uint32_t>(num));
            else if (strcmp(key, "DB_READ_TIMEOUT") == 0)
                fr_sql_shard_set_read_timeout(s, static_cast<uint32_t>(num));
            else if (strcmp(key, "DB_WRITE_TIMEOUT") == 0)
                fr_sql_shard_set_write_timeout(s, static_cast<uint32_t>(num));
            else if (strcmp(key, "DB_CONCONNECT") == 0 && accept_limit)
                fr_sql_shard_set_conn_max(s, static_cast<int32_t>(num));
        }
        ShardObj::unref(s);
    }
    fr_explode_free(&parts, n);
    return set_master;
}

}  // namespace

KIVO_API int fr_sql_shard_parse_connection_info(const char *path, int skip_slaves, int accept_limit) {
    fr_sqlpool_t *p = pool_get();
    if (!path || !p) return -1;
    FILE *f = fopen(path, "re");
    if (!f) return -1;
    PoolObj::ref(p);
    bool any_master = false;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, f)) >= 0) {
        size_t body = static_cast<size_t>(len);
        if (body > 0 && line[body - 1] == '\n') --body;
        /* An over-long line is skipped whole rather than read in pieces
         * whose tails would pass for lines of their own. */
        if (body > kMaxLine) continue;
        line[body] = '\0';
        if (info_line(p, line, skip_slaves, accept_limit)) any_master = true;
    }
    free(line);
    fclose(f);
    PoolObj::unref(p);
    return any_master ? 0 : -1;
}

KIVO_API const char *fr_sql_shard_get_name(fr_sql_shard_t *s) { return s ? s->name : nullptr; }

KIVO_API int fr_sql_shard_walk(fr_sql_shard_t *s, fr_sql_shard_walk_fn fn, void *user) {
    if (!s || !fn || !s->pool) return -1;
    ShardObj::ref(s);
    fr_sql_shard_pool_t *sp = s->pool;
    kivo::header_lock(&sp->hdr);
    fr_sql_link_t *l = sp->conns.next;
    while (l != &sp->conns) {
        fr_sql_conn_t *c = of_link<fr_sql_conn_t>(l, offsetof(fr_sql_conn_t, pool_link));
        ConnObj::ref(c);
        fn(s, c, user);
        fr_sql_link_t *next = l->next;
        ConnObj::unref(c);
        l = next;
    }
    kivo::header_unlock(&sp->hdr);
    ShardObj::unref(s);
    return 0;
}

KIVO_API fr_sql_shard_t *fr_sql_shard_ref(fr_sql_shard_t *s) { return ShardObj::ref(s); }
KIVO_API int fr_sql_shard_unref(fr_sql_shard_t *s) { return ShardObj::unref(s); }

KIVO_API int fr_sql_shard_destroy(fr_sql_shard_t *s) {
    if (!s) return 1;
    /* Connections first: their hooks still use the shard's idle list. */
    if (s->pool) ShardPoolObj::unref(s->pool);
    s->pool = nullptr;
    fr_alloc_api &a = s->api;
    a.free(s->name);
    a.free(s->user);
    a.free(s->password);
    a.free(s->database);
    s->name = s->user = s->password = s->database = nullptr;
    if (s->master) ServerObj::unref(s->master);
    s->master = nullptr;
    if (s->slaves) fr_array_unref(s->slaves);
    s->slaves = nullptr;
    return 1;
}
