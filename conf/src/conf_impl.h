// Helpers shared by the file and database halves of the configuration
// store.
#ifndef KIVO_CONF_IMPL_H
#define KIVO_CONF_IMPL_H

#include <stddef.h>
#include <stdint.h>
#include <kivo/array.h>
#include <kivo/hash.h>
#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/safestr.h>

// Drops one reference to s; a fault is logged under the calling function's
// name and otherwise ignored.
#define CONF_RELEASE(s)                                                                            \
    do {                                                                                           \
        if (s) {                                                                                   \
            XXL_BLOCK {                                                                            \
                safestr_free(s);                                                                   \
            }                                                                                      \
            FR_LOG_EXCEPTION XXL_BLOCK_END;                                                        \
        }                                                                                          \
    } while (0)

namespace kivo::conf {

// A caller's key list, looked up ignoring (ASCII) case: an open-addressing
// table of the list's own strings, which live as long as the call.
struct keyset {
    const char **slot; // null or a key of the list
    uint32_t *length;
    size_t mask;
    size_t count;
};

keyset *keyset_new(const char **keys);
bool keyset_has(keyset *ks, const char *key, size_t len);
void keyset_free(keyset *ks);

// A set of addresses (the value slots of a configuration table).
struct ptrset {
    const void **slot;
    size_t mask;
    size_t count;
};
void ptrset_add(ptrset *ps, const void *p);
bool ptrset_has(const ptrset *ps, const void *p);
void ptrset_clear(ptrset *ps);

// Blank bytes as the safe-string trim sees them.
void trim(const char *p, size_t *start, size_t *end);
// Index of the first space or tab in [start, end), else end.
size_t separator(const char *p, size_t start, size_t end);
// A new string of exactly these bytes (zero bytes allowed).
safestr_t make_value(const char *p, size_t n);
// Adds key (klen bytes followed by a zero) -> value with fr_hash_force_add.
int add_pair(fr_hash_t *t, const char *key, size_t klen, safestr_t value);

// Calls f(key record, value) for every pair of the table whose value is
// set, stopping at the first false f returns (the result is then false).
// The table's key list is left in *keys for the caller to release.
template <class F> bool each_pair(fr_hash_t *t, fr_array_t **keys, F f) {
    *keys = fr_hash_getkeys(t);
    int32_t n = *keys ? fr_array_length(*keys) : 0;
    for (int32_t i = 0; i < n; i++) {
        auto *k = static_cast<fr_hash_key_t *>(fr_array_get(*keys, i));
        if (!k || k->len == 0) continue;
        auto *slot = static_cast<safestr_t *>(fr_hash_find(t, k->key, k->len));
        if (slot && *slot && !f(k, *slot)) return false;
    }
    return true;
}

} // namespace kivo::conf

#endif
