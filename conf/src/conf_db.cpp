// The configuration store's database half: reading a param/value table and
// writing a configuration table back with UPDATE and INSERT statements.
// Safe-string faults pass through: nothing here holds an object with a
// destructor, and what a function holds is released in an exit section.
#define KIVO_FILE "conf"

#include <mysql.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <kivo/conf.h>
#include <kivo/exceptions.h>
#include <kivo/hash.h>
#include <kivo/log.h>
#include <kivo/memory.h>
#include <kivo/safestr.h>
#include <kivo/sql.h>

#include "conf_impl.h"
#include "object_impl.h"


// The connection's last error text, once more, as the store's warning.
#define CONF_SQL_WARN(sql)                                                                         \
    do {                                                                                           \
        const char *e__ = fr_sql_error(sql);                                                       \
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, LOG_WARNING, "%s", e__ ? e__ : ""); \
    } while (0)

using namespace kivo::conf;

namespace {

struct read_state {
    MYSQL_RES *result;
    keyset *keys;
    fr_hash_t *table;
    safestr_t pending;
    int failed;
};

__attribute__((noinline)) void read_body(read_state *s, fr_sql_t *sql, safestr_t name, const char **keys) {
    if (keys) {
        s->keys = keyset_new(keys);
        FR_CHECK_RETURN_VOID(s->keys != nullptr);
    }
    size_t n = s->keys ? s->keys->count + 1 : 0;
    s->table = fr_conf_init(static_cast<int>(n < 0x7FFFFFFF ? n : 0x7FFFFFFF));
    if (!s->table) return;
    if (fr_sql_query(sql, &s->result, "SELECT param, value FROM %s", name) != 0) {
        CONF_SQL_WARN(sql);
        s->failed = 1;
        return;
    }
    FR_CHECK_RETURN_VOID(s->result != nullptr && mysql_num_fields(s->result) >= 2);
    char **row;
    while ((row = fr_sql_fetchrow(s->result)) != nullptr) {
        unsigned long *len = mysql_fetch_lengths(s->result);
        // A row without a key has nothing to be found under: skipped. A
        // NULL value reads as an empty string.
        if (!row[0] || !len) continue;
        size_t klen = len[0];
        if (s->keys && !keyset_has(s->keys, row[0], klen)) continue;
        s->pending = make_value(row[1] ? row[1] : "", row[1] ? len[1] : 0);
        // The client terminates every column, so the key is followed by
        // its zero.
        if (add_pair(s->table, row[0], klen, s->pending) != 0) {
            s->failed = 1;
            FR_LOG_CONDITIONAL_RETURN();
            return;
        }
        s->pending = nullptr;
    }
}

struct write_state {
    fr_hash_t *conf;
    bool locked;
    fr_hash_t *existing;
    fr_array_t *keys;
    int failures;
    int result;
};

} // namespace

extern "C" {

KIVO_API fr_hash_t *fr_conf_read_db(fr_sql_t *sql, safestr_t table, const char **keys) {
    FR_CHECK_RETURN(table != nullptr, nullptr);
    safestr_reference(table);
    if (!sql) {
        CONF_RELEASE(table);
        FR_LOG_CONDITIONAL_RETURN();
        return nullptr;
    }
    read_state s = {};
    volatile int done = 0;
    XXL_BLOCK {
        read_body(&s, sql, table, keys);
        done = 1;
    }
    XXL_ON_EXIT {
        if (s.pending) {
            XXL_BLOCK {
                safestr_free(s.pending);
            }
            FR_LOG_EXCEPTION XXL_BLOCK_END;
        }
        if (s.result) mysql_free_result(s.result);
        keyset_free(s.keys);
        if ((!done || s.failed) && s.table) {
            fr_hash_unref(s.table);
            s.table = nullptr;
        }
        CONF_RELEASE(table);
    }
    XXL_BLOCK_END;
    return s.table;
}

KIVO_API int fr_conf_update_db(fr_sql_t *sql, safestr_t key, safestr_t value, safestr_t table) {
    if (key) safestr_reference(key);
    if (value) safestr_reference(value);
    if (table) safestr_reference(table);
    int rc = -1;
    if (!sql || !key || !value || !table) {
        FR_LOG_CONDITIONAL_RETURN();
    } else if (fr_sql_query(sql, nullptr, "UPDATE %s SET value=\"%s\" WHERE param=\"%s\"", table, value, key) != 0) {
        CONF_SQL_WARN(sql);
    } else {
        rc = 0;
    }
    CONF_RELEASE(key);
    CONF_RELEASE(value);
    CONF_RELEASE(table);
    return rc;
}

KIVO_API int fr_conf_add_db(fr_sql_t *sql, safestr_t key, safestr_t value, safestr_t table) {
    if (key) safestr_reference(key);
    if (value) safestr_reference(value);
    if (table) safestr_reference(table);
    int rc = -1;
    if (!sql || !key || !value || !table) {
        FR_LOG_CONDITIONAL_RETURN();
    } else if (fr_sql_query(sql, nullptr, "INSERT INTO %s (param, value) VALUES (\"%s\", \"%s\")", table, key,
                            value) != 0) {
        CONF_SQL_WARN(sql);
    } else {
        rc = 0;
    }
    CONF_RELEASE(key);
    CONF_RELEASE(value);
    CONF_RELEASE(table);
    return rc;
}

} // extern "C"

namespace {

__attribute__((noinline)) void write_body(write_state *s, fr_sql_t *sql, safestr_t name) {
    s->existing = fr_conf_read_db(sql, name, nullptr);
    FR_CHECK_RETURN_VOID(s->existing != nullptr);
    s->locked = kivo::header_lock(&s->conf->hdr) == 0;
    each_pair(s->conf, &s->keys, [s, sql, name](fr_hash_key_t *k, safestr_t value) {
        const char *key = static_cast<const char *>(k->key);
        safestr_t tkey = safestr_create(key, SAFESTR_F_TEMPORARY | SAFESTR_F_READONLY);
        int rc = fr_hash_find(s->existing, k->key, k->len) ? fr_conf_update_db(sql, tkey, value, name)
                                                             : fr_conf_add_db(sql, tkey, value, name);
        if (rc != 0) s->failures++;
        return true;
    });
    s->result = s->failures ? -1 : 0;
}

} // namespace

extern "C" {

KIVO_API int fr_conf_write_db(fr_sql_t *sql, safestr_t table, fr_hash_t *conf) {
    FR_CHECK_RETURN(table != nullptr, -1);
    safestr_reference(table);
    if (!sql || !conf) {
        CONF_RELEASE(table);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    write_state s = {};
    s.conf = conf;
    s.result = -1;
    XXL_BLOCK {
        write_body(&s, sql, table);
    }
    XXL_ON_EXIT {
        if (s.locked) kivo::header_unlock(&conf->hdr);
        if (s.keys) fr_hash_destroy_keys_array(s.keys);
        if (s.existing) fr_hash_unref(s.existing);
        CONF_RELEASE(table);
    }
    XXL_BLOCK_END;
    return s.result;
}

} // extern "C"
