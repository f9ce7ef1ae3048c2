/*
 * Hash table of byte-string keys with private copies of keys and values,
 * iterated in insertion order. Lockable and reference-counted (object.h).
 */
#ifndef KIVO_HASH_H
#define KIVO_HASH_H

#include <stdint.h>
#include <kivo/array.h>
#include <kivo/export.h>
#include <kivo/object.h>

KIVO_BEGIN_DECLS

typedef uint32_t (*fr_hash_func_t)(const void *key, uint32_t key_len);
/* Called with a stored value copy before the table frees it; nonzero means
 * the hook disposed of it and the table must not free it. */
typedef int (*fr_hash_release_t)(void *value);
/* Called as printer(key bytes, value copy) per entry; the result is ignored. */
typedef int (*fr_hash_printer_t)(const void *key, void *value);

typedef struct fr_hash_link {
    struct fr_hash_link *next;
    struct fr_hash_link *prev;
} fr_hash_link_t;

/* One entry; the key bytes (no terminator) follow the fixed fields. */
typedef struct fr_hash_entry {
    uint32_t hash;
    uint32_t key_len;
    void *value;
    fr_hash_link_t bucket;
    fr_hash_link_t order;
    unsigned char key[];
} fr_hash_entry_t;

typedef struct fr_hash {
    fr_hash_entry_t **buckets; /* size chains: first entry, or null */
    uint32_t mask;
    uint32_t size;             /* power of two, at least 8 */
    uint32_t count;
    fr_hash_entry_t *order;    /* sentinel of the insertion-order list */
    float grow_threshold;      /* 0.7 */
    float shrink_threshold;    /* 0.3 */
    fr_hash_func_t hash_func;
    fr_hash_release_t release;
    fr_hash_printer_t printer;
    fr_alloc_api api;
    fr_object_header hdr;
} fr_hash_t;

/* Element of the array from fr_hash_getkeys. */
typedef struct fr_hash_key {
    void *key;
    uint32_t len;
} fr_hash_key_t;

/* New table with at least size_hint buckets (8 minimum, a power of two).
 * Null for an incomplete allocator or a failed allocation. Release with
 * fr_hash_unref. */
KIVO_API fr_hash_t *fr_hash_init_api(uint32_t size_hint, fr_hash_release_t release, const fr_alloc_api *api,
                                     const fr_lock_attr *attr);
/* Insert, or replace the value of an existing key in place. 0 or -1. */
KIVO_API int fr_hash_add(fr_hash_t *t, const void *key, uint32_t key_len, const void *value, uint32_t value_size);
/* Insert even if the key is present (duplicates kept). 0 or -1. */
KIVO_API int fr_hash_force_add(fr_hash_t *t, const void *key, uint32_t key_len, const void *value,
                               uint32_t value_size);
/* Same; returns the stored value copy, or null. */
KIVO_API void *fr_hash_force_add_return(fr_hash_t *t, const void *key, uint32_t key_len, const void *value,
                                        uint32_t value_size);
/* Stored value copy of the earliest-inserted equal key, or null. Owned by
 * the table. */
KIVO_API void *fr_hash_find(fr_hash_t *t, const void *key, uint32_t key_len);
/* Removes every entry with the key: 0, or -1 if none. */
KIVO_API int fr_hash_del(fr_hash_t *t, const void *key, uint32_t key_len);
/* New array of fr_hash_key_t in insertion order (copies of the keys), or
 * null for an empty table. Give it back with fr_hash_destroy_keys_array. */
KIVO_API fr_array_t *fr_hash_getkeys(fr_hash_t *t);
/* Frees the key copies and the array. Returns 1. */
KIVO_API int fr_hash_destroy_keys_array(fr_array_t *keys);
/* 1 if the table has no entries (or is null), else 0. The first form takes
 * no lock. */
KIVO_API int fr_hash_empty(fr_hash_t *t);
KIVO_API int fr_hash_empty_safe(fr_hash_t *t);
/* The key's hash under the table's hash function, locked and unlocked. */
KIVO_API uint32_t fr_hash_value(fr_hash_t *t, const void *key, uint32_t key_len);
KIVO_API uint32_t h_value(fr_hash_t *t, const void *key, uint32_t key_len);
/* Sets the hash function (null: fr_hash_func_jenkins) and rehashes; the
 * rehash result, or -1 (the old function is kept when the rehash fails). */
KIVO_API int fr_hash_setfunc(fr_hash_t *t, fr_hash_func_t func);
/* Load factors for shrinking and growing. 0, or -1 (nothing changed) for a
 * null table or thresholds that cannot work: grow not above 0 or not above
 * shrink, a negative shrink, a value that is not finite. */
KIVO_API int fr_hash_setthresholds(fr_hash_t *t, float shrink, float grow);
KIVO_API int fr_hash_setprinter(fr_hash_t *t, fr_hash_printer_t printer);
/* Calls the printer for every entry in insertion order. 0, or -1. While it
 * runs, fr_hash_del on the table is refused (-1) and entries the printer
 * adds are not visited. */
KIVO_API int fr_hash_print(fr_hash_t *t);
/* Rebuilds the buckets for the current count. 0, or -1. */
KIVO_API int fr_rehash(fr_hash_t *t);

KIVO_API fr_hash_t *fr_hash_ref(fr_hash_t *t);
/* 1 once destroyed (or null, or lock failed); 0 while references remain. */
KIVO_API int fr_hash_unref(fr_hash_t *t);
/* As fr_hash_unref but returns 1 in every case. */
KIVO_API int fr__hash_destroy(fr_hash_t *t);
/* Destroys at once, ignoring other references and the lock. 1. */
KIVO_API int fr__hash_destroy_unsafe(fr_hash_t *t);
/* Thread-safe build: 0 on success or for null, 1 if locking failed.
 * Plain build: 1 for a table, 0 for null. */
KIVO_API int fr_hash_lock(fr_hash_t *t);
/* 0 for null or when no level is held, else the unlock result (plain: 1). */
KIVO_API int fr_hash_unlock(fr_hash_t *t);
/* Destroy hook: frees every entry, value copy and bucket; not the record. */
KIVO_API int hash_destroy(fr_hash_t *t);
/* Jenkins' lookup2 hash (initval 0) with key bytes read as signed. */
KIVO_API uint32_t fr_hash_func_jenkins(const void *key, uint32_t key_len);

KIVO_END_DECLS

#endif
