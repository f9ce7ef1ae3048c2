/*
 * The process-wide SQL pool: named shards, each with one master and any
 * number of read slaves, pooled connections reused per thread, a limit per
 * shard, an optional sweeper thread for idle connections, and queries that
 * go to the master or fail over from slave to slave to the master.
 *
 * Create the pool first (fr_sqlpool_init_api), then shards
 * (fr_sql_shard_init_api_simple + fr_sqlpool_shard_add), then read the
 * connection-info file (fr_sql_shard_parse_connection_info). Connection-info
 * lines are "KEY value" with "#" comments, at most 255 characters a line and
 * 99 a word (longer lines and words are skipped):
 *   DB_MASTER shard:host:port     DB_SLAVE shard:host:port (hosts may hold ':')
 *   DB_TIMEOUT, DB_READ_TIMEOUT, DB_WRITE_TIMEOUT shard:seconds
 *   DB_CONCONNECT shard:limit (only with the accept-limit flag)
 *
 * Writes are never sent twice: a statement for the master whose link is
 * lost while it runs (client error 2013, the server may have executed it)
 * fails with -1 and is not resent. Only reads (slave flag set) and errors
 * where the statement cannot have run (2006 while sending, 2014) are sent
 * again. A slave that cannot be reached (2002, 2003) or keeps losing its
 * link is marked down for the pool's down time and the read moves on. An
 * error of the server itself (any number outside the client's 2000-2999 and
 * 5000-5999) fails at once on the server that gave it. A statement whose
 * rows are lost on the way fails like one that could not be sent; it never
 * returns 0 with a missing result.
 *
 * Links reconnect by themselves: before a statement the client checks that
 * the link is still open and reconnects if the server closed it. A link
 * that finished a statement less than half a second earlier is taken as
 * open without that check (it costs a system call per statement); should
 * the server have dropped it within that moment, the statement fails as a
 * lost link under the rules above.
 *
 * A connection holds its shard while a caller has it: replacing a shard in
 * the pool (fr_sqlpool_shard_add with the same name) or destroying the pool
 * leaves busy connections working until they are given back.
 */
#ifndef KIVO_SQLPOOL_H
#define KIVO_SQLPOOL_H

#include <semaphore.h>
#include <stdarg.h>
#include <stdint.h>
#include <kivo/array.h>
#include <kivo/export.h>
#include <kivo/hash.h>
#include <kivo/object.h>

KIVO_BEGIN_DECLS

struct st_mysql;
struct st_mysql_res;

/* Membership of a circular list; a lone link points at itself. */
typedef struct fr_sql_link {
    struct fr_sql_link *next;
    struct fr_sql_link *prev;
} fr_sql_link_t;

typedef struct fr_sqlpool {
    fr_hash_t *shards;        /* name with its zero byte -> fr_sql_shard_t pointer */
    float sweep_interval;     /* seconds; no sweeper unless above 0 */
    int32_t verbosity;        /* message gate, 0 at creation */
    int32_t down_time;        /* seconds a failed slave is skipped, 60 */
    int32_t stop;             /* set by fr_sqlpool_destroy */
    unsigned long sweeper;    /* thread id, (unsigned long)-1 when none */
    fr_alloc_api api;
    fr_object_header hdr;
} fr_sqlpool_t;

typedef struct fr_sql_server {
    int32_t kind;             /* 0 master, 1 slave */
    char *host;
    int32_t port;
    int32_t index;            /* position in the slave array; 0 for the master */
    int64_t down_since;       /* time marked down; 0 or less: up */
    fr_alloc_api api;
    fr_object_header hdr;
} fr_sql_server_t;

struct fr_sql_shard;

typedef struct fr_sql_shard_pool {
    sem_t idle;               /* posted once per connection made idle */
    fr_sql_link_t conns;      /* every pooled connection, busy or idle */
    int32_t idle_timeout;     /* seconds; idle longer than this is swept (60) */
    int32_t limit;            /* most pooled connections (512 if given <= 0) */
    int32_t count;            /* connections on the list */
    struct fr_sql_shard *shard;
    fr_alloc_api api;
    fr_object_header hdr;
} fr_sql_shard_pool_t;

typedef struct fr_sql_shard {
    char *name;
    char *user;
    char *password;
    char *database;
    uint32_t conn_timeout;
    uint32_t read_timeout;    /* 0: the connect time-out */
    uint32_t write_timeout;   /* 0: the connect time-out */
    fr_array_t *slaves;       /* fr_sql_server_t pointers, in the order added */
    fr_sql_server_t *master;
    fr_sql_shard_pool_t *pool;
    fr_sqlpool_t *sqlpool;    /* set by fr_sqlpool_shard_add */
    fr_sql_link_t idle;       /* idle pooled connections, oldest first */
    fr_alloc_api api;
    fr_object_header hdr;
} fr_sql_shard_t;

typedef struct fr_sql_conn {
    struct st_mysql *master;  /* link to the master, or null */
    struct st_mysql *slave;   /* link to the current slave, or null */
    struct st_mysql *last;    /* the link that ran the latest statement */
    int32_t usage;            /* acquisitions not yet given back */
    fr_sql_link_t pool_link;  /* on the shard pool's connection list */
    int64_t last_use;         /* creation or latest give-back (epoch seconds) */
    unsigned long owner;      /* owning thread; 0 while idle */
    fr_sql_shard_t *shard;
    fr_sql_server_t *master_srv;
    fr_sql_server_t *slave_srv; /* null: no slave */
    int32_t pooled;           /* 1 pooled, 0 stand-alone */
    fr_sqlpool_t *sqlpool;
    fr_sql_link_t idle_link;  /* on the shard's idle list */
    fr_alloc_api api;
    fr_object_header hdr;
} fr_sql_conn_t;

typedef int (*fr_sqlpool_walk_fn)(fr_sql_shard_t *shard, void *user);
typedef int (*fr_sql_shard_walk_fn)(fr_sql_shard_t *shard, fr_sql_conn_t *conn, void *user);

/* Lock attributes given to the pool and shard creators keep their carried
 * word and make the mutexes process-shared; their kind is always recursive,
 * as the pool takes its records' locks inside one another. */

/* --- the pool --- */
/* Creates the process-wide pool; with an interval above 0 (thread-safe
 * build) a sweeper closes connections idle past their shard's time-out. */
KIVO_API void fr_sqlpool_init_api(float sweep_interval, const fr_alloc_api *api, const fr_lock_attr *attr);
/* Stops the sweeper (promptly, waiting for it) and drops the creator's
 * reference; the pool and its shards go with the last reference. 0. */
KIVO_API int fr_sqlpool_destroy(void);
/* Reference to the pool (aborts if it is being destroyed): 0, -1 without one. */
KIVO_API int fr_sqlpool_ref(void);
/* 1 when the pool is gone (or there was none), else 0. */
KIVO_API int fr_sqlpool_unref(void);
KIVO_API int fr_sqlpool_lock(void);
KIVO_API int fr_sqlpool_unlock(void);
/* Message gate: 0 nothing, 1 connection failures, 3 query failures, 4
 * failover, 5 everything. 0. */
KIVO_API int fr_sqlpool_verbosity_set(int verbosity);
/* Seconds a slave marked down is skipped. 0. */
KIVO_API int fr_sqlpool_down_time_set(int seconds);
/* Adds the shard under its name, taking over the caller's reference; a
 * shard of the same name is replaced. 0, or -1. */
KIVO_API int fr_sqlpool_shard_add(fr_sql_shard_t *shard);
/* fn(shard, user) for every shard in insertion order. 0; -1 while the pool
 * is being destroyed or without a pool. */
KIVO_API int fr_sqlpool_walk(fr_sqlpool_walk_fn fn, void *user);

/* --- shards --- */
/* New shard (limit <= 0 gives 512), one reference; null on failure. */
KIVO_API fr_sql_shard_t *fr_sql_shard_init_api(const char *name, const char *user, const char *password,
                                              const char *database, uint32_t timeout, int32_t limit,
                                              const fr_alloc_api *api, const fr_lock_attr *attr);
KIVO_API fr_sql_shard_t *fr_sql_shard_init_api_simple(const char *name, const fr_alloc_api *api,
                                                     const fr_lock_attr *attr);
/* "name:user:password:database" (the database keeps further colons); null
 * with fewer than three colons. */
KIVO_API fr_sql_shard_t *fr_sql_shard_parse_info(const char *info);
/* Replace the text (the old copy is freed). 0; -1 for a null shard. */
KIVO_API int fr_sql_shard_set_user(fr_sql_shard_t *shard, const char *user);
KIVO_API int fr_sql_shard_set_pass(fr_sql_shard_t *shard, const char *password);
KIVO_API int fr_sql_shard_set_db(fr_sql_shard_t *shard, const char *database);
KIVO_API void fr_sql_shard_set_conn_timeout(fr_sql_shard_t *shard, uint32_t seconds);
KIVO_API void fr_sql_shard_set_read_timeout(fr_sql_shard_t *shard, uint32_t seconds);
KIVO_API void fr_sql_shard_set_write_timeout(fr_sql_shard_t *shard, uint32_t seconds);
/* Connection limit; <= 0 gives 512. */
KIVO_API void fr_sql_shard_set_conn_max(fr_sql_shard_t *shard, int32_t limit);
/* Sets (or moves) the master. 0, or -1. */
KIVO_API int fr_sql_shard_master_set(fr_sql_shard_t *shard, const char *host, int port);
/* Appends a slave. 0, or -1. */
KIVO_API int fr_sql_shard_slave_add(fr_sql_shard_t *shard, const char *host, int port);
/* Reads a connection-info file into the shards already in the pool. 0 if
 * at least one master line set a master, else -1 (also for a file that
 * cannot be read). */
KIVO_API int fr_sql_shard_parse_connection_info(const char *path, int skip_slaves, int accept_limit);
KIVO_API const char *fr_sql_shard_get_name(fr_sql_shard_t *shard);
/* fn(shard, conn, user) for every pooled connection of the shard. 0. */
KIVO_API int fr_sql_shard_walk(fr_sql_shard_t *shard, fr_sql_shard_walk_fn fn, void *user);
KIVO_API fr_sql_shard_t *fr_sql_shard_ref(fr_sql_shard_t *shard);
/* 1 when the shard is gone, else 0. */
KIVO_API int fr_sql_shard_unref(fr_sql_shard_t *shard);
/* Destroy hook: frees the texts, servers and the shard pool. 1. */
KIVO_API int fr_sql_shard_destroy(fr_sql_shard_t *shard);

/* --- connections --- */
/* Pooled connection to the shard (null name: "main"), reused by the calling
 * thread until every acquisition is given back; blocks while the shard's
 * limit is reached. Null on failure. */
KIVO_API fr_sql_conn_t *fr_sqlpool_conn_get(const char *shard);
/* Stand-alone connection, closed when given back. Null on failure. */
KIVO_API fr_sql_conn_t *fr_sql_conn_get(const char *shard);
/* Gives one acquisition back (by the owner thread only; more give-backs
 * than acquisitions abort). 0; -1 for null. */
KIVO_API int fr_sqlpool_conn_free(fr_sql_conn_t *conn);
KIVO_API int fr_sql_conn_free(fr_sql_conn_t *conn);
/* Drop one reference. 0; -1 for null. */
KIVO_API int fr_sqlpool_conn_destroy(fr_sql_conn_t *conn);
KIVO_API int fr_sql_conn_destroy(fr_sql_conn_t *conn);
KIVO_API fr_sql_conn_t *fr_sql_conn_ref(fr_sql_conn_t *conn);
/* 1 when the connection is gone, else 0. */
KIVO_API int fr_sql_conn_unref(fr_sql_conn_t *conn);
/* The link that ran the latest statement (insert id, affected rows). */
KIVO_API struct st_mysql *fr_sql_conn_get_mysql(fr_sql_conn_t *conn);
KIVO_API unsigned long fr_sql_conn_get_tid(fr_sql_conn_t *conn);
KIVO_API int fr_sql_conn_get_usage(fr_sql_conn_t *conn);
KIVO_API int64_t fr_sql_conn_get_last_use(fr_sql_conn_t *conn);
/* New escaped copy (free it with the shard's free function), or null. */
KIVO_API char *fr_sql_conn_real_escape(fr_sql_conn_t *conn, const char *text);

/* --- queries --- */
/* Runs a statement on the slave (slave != 0, a read) or the master. A
 * statement with fields stores its result in *result when given (free it
 * with mysql_free_result). 0, or -1. */
KIVO_API int fr_sql_conn_query_blob(fr_sql_conn_t *conn, int slave, struct st_mysql_res **result,
                                    const char *stmt, unsigned long len);
KIVO_API int fr_sql_conn_query(fr_sql_conn_t *conn, int slave, struct st_mysql_res **result, const char *format,
                               ...) KIVO_PRINTF(4, 5);
KIVO_API int fr_sql_conn_query_va(fr_sql_conn_t *conn, int slave, struct st_mysql_res **result,
                                  const char *format, va_list ap) KIVO_PRINTF(4, 0);

KIVO_END_DECLS

#endif
