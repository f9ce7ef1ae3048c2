/*
 * What the pool's files share: the pool pointer, the message gate, list
 * links, record glue and the internal steps named in the messages. No frame
 * exception crosses the pool.
 */
#ifndef KIVO_SQL_POOL_INTERNAL_H
#define KIVO_SQL_POOL_INTERNAL_H

#include <pthread.h>
#include <time.h>
#include <kivo/sqlpool.h>
#include "object_impl.h"
#include "sql_internal.h"

int kivo_sql_server_destroy(fr_sql_server_t *s);
int kivo_sql_shard_pool_destroy(fr_sql_shard_pool_t *p);
int kivo_sql_conn_destroy(fr_sql_conn_t *c);
int kivo_sqlpool_destroy_hook(fr_sqlpool_t *p);

namespace kivo::sql {

using PoolObj = kivo::Object<fr_sqlpool_t, kivo_sqlpool_destroy_hook>;
using ShardObj = kivo::Object<fr_sql_shard_t, fr_sql_shard_destroy>;
using ServerObj = kivo::Object<fr_sql_server_t, kivo_sql_server_destroy>;
using ShardPoolObj = kivo::Object<fr_sql_shard_pool_t, kivo_sql_shard_pool_destroy>;
using ConnObj = kivo::Object<fr_sql_conn_t, kivo_sql_conn_destroy>;

extern fr_sqlpool_t *g_pool;

inline fr_sqlpool_t *pool_get() { return __atomic_load_n(&g_pool, __ATOMIC_ACQUIRE); }

inline bool msg_on(int min) {
    fr_sqlpool_t *p = pool_get();
    return p && __atomic_load_n(&p->verbosity, __ATOMIC_RELAXED) >= min;
}
void sqlpool_message(int level, const char *function, int line, const char *format, ...) KIVO_PRINTF(4, 5);

/* A message of the pool's table: minimum verbosity, syslog level, text. */
#define POOL_MSG(min, level, ...)                                                 \
    do {                                                                          \
        if (kivo::sql::msg_on(min)) kivo::sql::sqlpool_message(level, __func__, __LINE__, __VA_ARGS__); \
    } while (0)
#define POOL_PRECOND(fn) kivo::sql::precondition("kivo_sqlpool", __LINE__, fn)

inline void link_init(fr_sql_link_t *l) { l->next = l->prev = l; }
inline bool link_empty(const fr_sql_link_t *head) { return head->next == head; }
inline void link_append(fr_sql_link_t *head, fr_sql_link_t *l) {
    l->prev = head->prev;
    l->next = head;
    head->prev->next = l;
    head->prev = l;
}
inline void link_remove(fr_sql_link_t *l) {
    l->prev->next = l->next;
    l->next->prev = l->prev;
    link_init(l);
}
template <class T>
inline T *of_link(fr_sql_link_t *l, size_t offset) {
    return reinterpret_cast<T *>(reinterpret_cast<char *>(l) - offset);
}

inline int64_t now() { return static_cast<int64_t>(time(nullptr)); }
inline unsigned long self_id() { return static_cast<unsigned long>(pthread_self()); }

inline int64_t down_since(fr_sql_server_t *s) { return __atomic_load_n(&s->down_since, __ATOMIC_RELAXED); }
/* Marks a slave down (now) or up (0); plain stores, no lock. */
void server_mark_down(fr_sql_server_t *s, const char *function, int line);
void server_mark_up(fr_sql_server_t *s, const char *function, int line);

/* Slave n if it exists and is eligible (up, or down for at least the
 * pool's down time), else null. */
fr_sql_server_t *shard_slave_pick_nth(fr_sql_shard_t *shard, int32_t n);
int32_t shard_slave_count(fr_sql_shard_t *shard);
/* Opens one link to a server with the shard's settings; null on failure. */
MYSQL *conn_init_mysql(fr_sql_shard_t *shard, fr_sql_server_t *srv);
/* A server's host text and port as they stand. The master's may be moved
 * at run time: the pointer is swapped atomically and a replaced text stays
 * allocated until the server is destroyed, so a pointer read here is always
 * readable. Opening a link reads both under the server's lock instead, so
 * host and port belong together. */
inline const char *server_host(const fr_sql_server_t *s) { return __atomic_load_n(&s->host, __ATOMIC_ACQUIRE); }
inline int server_port(const fr_sql_server_t *s) { return __atomic_load_n(&s->port, __ATOMIC_RELAXED); }
/* Text for "master/slave %s:%d" in messages. */
inline const char *master_host(const fr_sql_conn_t *c) { return c->master_srv ? server_host(c->master_srv) : "n/a"; }
inline int master_port(const fr_sql_conn_t *c) { return c->master_srv ? server_port(c->master_srv) : 0; }
inline const char *slave_host(const fr_sql_conn_t *c) { return c->slave_srv ? server_host(c->slave_srv) : "n/a"; }
inline int slave_port(const fr_sql_conn_t *c) { return c->slave_srv ? server_port(c->slave_srv) : 0; }
/* The shard's master record (set once, then only its address moves). */
inline fr_sql_server_t *shard_master(const fr_sql_shard_t *s) { return __atomic_load_n(&s->master, __ATOMIC_ACQUIRE); }

}  // namespace kivo::sql

#endif
