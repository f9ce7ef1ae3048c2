/*
 * The hash table: entries with inline keys on per-bucket circular chains and
 * on one insertion-order list. A bucket slot points straight at the first
 * entry of its circular chain (null when empty) rather than at a separate
 * head block, which saves a dependent cache miss on every probe and an
 * allocation per bucket; private value copies, load-factor driven
 * rehashing. Allocation failures of a caller allocator leave the table as it
 * was. No frame exception crosses this file.
 */
#define KIVO_FILE "hash"
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <kivo/hash.h>
#include "jenkins.h"
#include "object_impl.h"

namespace {

using HashObj = kivo::Object<fr_hash_t, hash_destroy>;
using kivo::Locked;

constexpr uint32_t kMinBuckets = 8;
constexpr uint64_t kMaxBuckets = 1ull << 31;
constexpr size_t kEntrySize = offsetof(fr_hash_entry_t, key);
/* Private object flag: fr_hash_print is walking the entries. */
constexpr uint32_t kPrinting = 0x200;

inline fr_hash_entry_t *of_bucket(fr_hash_link_t *l) {
    return reinterpret_cast<fr_hash_entry_t *>(reinterpret_cast<char *>(l) - offsetof(fr_hash_entry_t, bucket));
}
inline fr_hash_entry_t *of_order(fr_hash_link_t *l) {
    return reinterpret_cast<fr_hash_entry_t *>(reinterpret_cast<char *>(l) - offsetof(fr_hash_entry_t, order));
}
inline void link_init(fr_hash_link_t *l) { l->next = l->prev = l; }
inline void link_append(fr_hash_link_t *head, fr_hash_link_t *l) {
    l->prev = head->prev;
    l->next = head;
    head->prev->next = l;
    head->prev = l;
}
inline void link_remove(fr_hash_link_t *l) {
    l->prev->next = l->next;
    l->next->prev = l->prev;
}

/* Bucket slots. A slot holds the address of the chain's first entry and,
 * in its top 16 bits (above every user-space address on x86-64), a filter
 * of the chain's hashes: bit (hash >> 28) of each entry. A lookup whose bit
 * is clear knows the chain holds no entry of its hash without touching the
 * entries. An entry address that does not fit under the filter (never seen
 * with the system allocator) switches the table to plain slots for good. */
constexpr uint32_t kPlainSlots = 0x400; /* private object flag */
#if defined(__x86_64__)
constexpr unsigned kFilterShift = 48;
constexpr uintptr_t kAddressMask = (uintptr_t(1) << kFilterShift) - 1;
inline bool filtered(const fr_hash_t *t) { return !(t->hdr.flags & kPlainSlots); }
#else
constexpr unsigned kFilterShift = 0;
constexpr uintptr_t kAddressMask = ~uintptr_t(0);
inline bool filtered(const fr_hash_t *) { return false; }
#endif
inline uintptr_t filter_bit(uint32_t h) { return uintptr_t(1) << (h >> 28); }

inline uintptr_t slot_value(fr_hash_entry_t *const *slot) { return reinterpret_cast<uintptr_t>(*slot); }
inline fr_hash_entry_t *slot_first(const fr_hash_t *t, uintptr_t v) {
    return reinterpret_cast<fr_hash_entry_t *>(filtered(t) ? (v & kAddressMask) : v);
}
/* May the chain of slot value v hold an entry of hash h? */
inline bool slot_may_hold(const fr_hash_t *t, uintptr_t v, uint32_t h) {
    if (!v) return false;
    return !filtered(t) || ((v >> kFilterShift) & filter_bit(h));
}
inline void slot_store(const fr_hash_t *t, fr_hash_entry_t **slot, fr_hash_entry_t *first, uintptr_t filter) {
    uintptr_t v = reinterpret_cast<uintptr_t>(first);
    if (first && filtered(t)) v |= filter << kFilterShift;
    *slot = reinterpret_cast<fr_hash_entry_t *>(v);
}
/* The filter of a whole chain. */
inline uintptr_t chain_filter(fr_hash_entry_t *first) {
    uintptr_t f = 0;
    if (!first) return 0;
    fr_hash_entry_t *e = first;
    do {
        f |= filter_bit(e->hash);
        e = of_bucket(e->bucket.next);
    } while (e != first);
    return f;
}
/* Whether e can sit under a filter; if not, every slot becomes plain. */
inline void admit_address(fr_hash_t *t, fr_hash_entry_t *e) {
    if (!filtered(t) || (reinterpret_cast<uintptr_t>(e) & ~kAddressMask) == 0) return;
    for (uint32_t i = 0; i < t->size; i++) {
        uintptr_t v = slot_value(&t->buckets[i]);
        t->buckets[i] = reinterpret_cast<fr_hash_entry_t *>(v & kAddressMask);
    }
    t->hdr.flags |= kPlainSlots;
}

/* Bucket chains: circular through the entries' bucket links, appended at
 * the tail (just before the first entry). */
inline void chain_append(fr_hash_t *t, fr_hash_entry_t **slot, fr_hash_entry_t *e) {
    uintptr_t v = slot_value(slot);
    fr_hash_entry_t *first = slot_first(t, v);
    if (!first) {
        link_init(&e->bucket);
        first = e;
    } else {
        link_append(&first->bucket, &e->bucket);
    }
    slot_store(t, slot, first, (filtered(t) ? v >> kFilterShift : 0) | filter_bit(e->hash));
}

/* 8 up to 8, else the smallest power of two not below n. */
inline uint32_t buckets_for(uint64_t n) {
    if (n <= kMinBuckets) return kMinBuckets;
    if (n >= kMaxBuckets) return static_cast<uint32_t>(kMaxBuckets);
    uint32_t s = 16;
    while (s < n) s <<= 1;
    return s;
}

inline fr_hash_entry_t *new_sentinel(fr_hash_t *t) {
    fr_hash_entry_t *h = static_cast<fr_hash_entry_t *>(t->api.alloc(kEntrySize));
    if (h) {
        memset(h, 0, kEntrySize);
        link_init(&h->bucket);
        link_init(&h->order);
    }
    return h;
}

inline void release_value(fr_hash_t *t, void *v) {
    if (t->release && t->release(v)) return;
    t->api.free(v);
}

/* Private object flag: the table keeps each value copy in its entry's own
 * block, after the key (16-byte aligned), so an entry costs one allocation
 * and one free. Set at creation for tables with the default allocator and
 * no release hook. Every entry of such a table has that room, so a value
 * is in place exactly when it sits at its address: a copy made by a later
 * fr_hash_add of the key is a block of its own, which cannot start inside
 * the entry's block. */
constexpr uint32_t kValuesInPlace = 0x800;
inline size_t in_place_offset(uint32_t key_len) { return (kEntrySize + key_len + 15) & ~size_t(15); }
inline bool value_in_place(const fr_hash_t *t, const fr_hash_entry_t *e) {
    return (t->hdr.flags & kValuesInPlace) &&
           e->value == reinterpret_cast<const char *>(e) + in_place_offset(e->key_len);
}

/* Frees an entry and its value copy (through the hook, if any; a value in
 * place goes with its entry whatever the hook answers: such a table had no
 * hook when it was made). */
inline void free_entry(fr_hash_t *t, fr_hash_entry_t *e) {
    if (value_in_place(t, e)) {
        if (t->release) t->release(e->value);
    } else {
        release_value(t, e->value);
    }
    t->api.free(e);
}

inline void *copy_value(fr_hash_t *t, const void *value, uint32_t size) {
    void *v = t->api.alloc(size ? size : 1);
    if (v && size) memcpy(v, value, size);
    return v;
}

/* The key's hash under the table's function; the default one inline. */
inline uint32_t hash_of(const fr_hash_t *t, const void *key, uint32_t len) {
    return t->hash_func == fr_hash_func_jenkins ? kivo::jenkins(key, len) : t->hash_func(key, len);
}

/* Key bytes equal; short keys are compared in place, 8 bytes at a time. */
inline bool same_bytes(const unsigned char *a, const void *bv, uint32_t len) {
    const unsigned char *b = static_cast<const unsigned char *>(bv);
    if (len > 32) return memcmp(a, b, len) == 0;
    uint64_t x, y;
    for (; len >= 8; a += 8, b += 8, len -= 8) {
        memcpy(&x, a, 8);
        memcpy(&y, b, 8);
        if (x != y) return false;
    }
    for (; len; a++, b++, len--)
        if (*a != *b) return false;
    return true;
}

/* First entry with an equal key in the bucket chain (the earliest inserted). */
inline fr_hash_entry_t *lookup(fr_hash_t *t, uint32_t h, const void *key, uint32_t len) {
    uintptr_t v = slot_value(&t->buckets[h & t->mask]);
    if (!slot_may_hold(t, v, h)) return nullptr;
    fr_hash_entry_t *first = slot_first(t, v);
    fr_hash_entry_t *e = first;
    do {
        if (e->hash == h && e->key_len == len && same_bytes(e->key, key, len)) return e;
        e = of_bucket(e->bucket.next);
    } while (e != first);
    return nullptr;
}

/* Bucket count for the current count: 2 x count / (grow + shrink). */
uint32_t target_size(const fr_hash_t *t) {
    long double target = (2.0L * t->count) / (static_cast<long double>(t->grow_threshold) + t->shrink_threshold);
    uint64_t want = 0;
    if (target >= static_cast<long double>(kMaxBuckets))
        want = kMaxBuckets;
    else if (target > 0)
        want = static_cast<uint64_t>(target);
    return buckets_for(want);
}

/* Relinks every chain for the current count, recomputing the hashes first
 * when `recompute` is set. Only the new bucket array is allocated, so a
 * failure leaves the table exactly as it was. 0 or -1. */
int rehash_impl(fr_hash_t *t, bool recompute) {
    uint32_t size = target_size(t);
    uint32_t mask = size - 1;
    fr_hash_entry_t **nb = static_cast<fr_hash_entry_t **>(t->api.calloc(size, sizeof(fr_hash_entry_t *)));
    if (!nb) return -1;
    fr_hash_link_t *end = &t->order->order;
    for (fr_hash_link_t *l = end->next; l != end; l = l->next) {
        fr_hash_entry_t *e = of_order(l);
        if (recompute) e->hash = hash_of(t, e->key, e->key_len);
        chain_append(t, &nb[e->hash & mask], e);
    }
    t->api.free(t->buckets);
    t->buckets = nb;
    t->size = size;
    t->mask = mask;
    return 0;
}

/* The automatic rebuild after an insertion or deletion. A rebuild to the
 * same bucket count under the same function would recreate exactly the
 * chains in place (they are in insertion order either way), so it is
 * skipped: otherwise a large table whose load sits between a quarter and
 * the shrink threshold is rebuilt in full on every deletion. */
void resize(fr_hash_t *t) {
    if (target_size(t) != t->size) rehash_impl(t, false);
}

/* The insertion step of add and force add: entry and value copy, then the
 * links; a failed allocation undoes the other. */
fr_hash_entry_t *insert(fr_hash_t *t, uint32_t h, const void *key, uint32_t len, const void *value,
                        uint32_t value_size) {
    bool in_place = t->hdr.flags & kValuesInPlace;
    size_t bytes = in_place ? in_place_offset(len) + (value_size ? value_size : 1) : kEntrySize + len;
    fr_hash_entry_t *e = static_cast<fr_hash_entry_t *>(t->api.alloc(bytes));
    if (!e) return nullptr;
    e->hash = h;
    e->key_len = len;
    memcpy(e->key, key, len);
    if (in_place) {
        e->value = reinterpret_cast<char *>(e) + in_place_offset(len);
        if (value_size) memcpy(e->value, value, value_size);
    } else {
        e->value = copy_value(t, value, value_size);
        if (!e->value) {
            t->api.free(e);
            return nullptr;
        }
    }
    admit_address(t, e);
    chain_append(t, &t->buckets[h & t->mask], e);
    link_append(&t->order->order, &e->order);
    t->count += 1;
    /* count / size > grow, exactly: size is a power of two. */
    if (static_cast<double>(t->count) > static_cast<double>(t->grow_threshold) * t->size) resize(t);
    return e;
}

inline bool usable(const fr_hash_t *t) { return t->buckets && t->order; }

/* Shared by both force-add functions; reports under this name. */
void *hash_force_add(fr_hash_t *t, const void *key, uint32_t key_len, const void *value, uint32_t value_size) {
    if (!t || !key || !key_len || !value) return nullptr;
    Locked g(&t->hdr);
    FR_CHECK_RETURN(t->hash_func, nullptr);
    if (!usable(t)) return nullptr;
    fr_hash_entry_t *e = insert(t, hash_of(t, key, key_len), key, key_len, value, value_size);
    return e ? e->value : nullptr;
}

}  // namespace

extern "C" {

KIVO_API fr_hash_t *fr_hash_init_api(uint32_t size_hint, fr_hash_release_t release, const fr_alloc_api *api,
                                     const fr_lock_attr *attr) {
    fr_hash_t *t = HashObj::create(api, attr);
    if (!t) return nullptr;
    t->size = buckets_for(size_hint);
    t->mask = t->size - 1;
    t->count = 0;
    t->hash_func = fr_hash_func_jenkins;
    t->grow_threshold = 0.7f;
    t->shrink_threshold = 0.3f;
    t->release = release;
    t->printer = nullptr;
    if (!api && !release) t->hdr.flags |= kValuesInPlace;
    t->buckets = static_cast<fr_hash_entry_t **>(t->api.calloc(t->size, sizeof(fr_hash_entry_t *)));
    t->order = t->buckets ? new_sentinel(t) : nullptr;
    if (!t->order) {
        if (t->buckets) t->api.free(t->buckets);
        HashObj::discard(t);
        return nullptr;
    }
    return t;
}

KIVO_API int fr_hash_add(fr_hash_t *t, const void *key, uint32_t key_len, const void *value, uint32_t value_size) {
    if (!t || !key || !key_len || !value) return -1;
    Locked g(&t->hdr);
    FR_CHECK_RETURN(t->hash_func, -1);
    if (!usable(t)) return -1;
    uint32_t h = hash_of(t, key, key_len);
    fr_hash_entry_t *e = lookup(t, h, key, key_len);
    if (!e) return insert(t, h, key, key_len, value, value_size) ? 0 : -1;
    void *v = copy_value(t, value, value_size);
    if (!v) return -1;
    if (!value_in_place(t, e)) release_value(t, e->value);
    else if (t->release) t->release(e->value);
    e->value = v;
    return 0;
}

KIVO_API int fr_hash_force_add(fr_hash_t *t, const void *key, uint32_t key_len, const void *value,
                               uint32_t value_size) {
    return hash_force_add(t, key, key_len, value, value_size) ? 0 : -1;
}

KIVO_API void *fr_hash_force_add_return(fr_hash_t *t, const void *key, uint32_t key_len, const void *value,
                                        uint32_t value_size) {
    return hash_force_add(t, key, key_len, value, value_size);
}

KIVO_API void *fr_hash_find(fr_hash_t *t, const void *key, uint32_t key_len) {
    if (!t || !key || !key_len) return nullptr;
    Locked g(&t->hdr);
    FR_CHECK_RETURN(t->hash_func, nullptr);
    if (!usable(t)) return nullptr;
    fr_hash_entry_t *e = lookup(t, hash_of(t, key, key_len), key, key_len);
    return e ? e->value : nullptr;
}

KIVO_API int fr_hash_del(fr_hash_t *t, const void *key, uint32_t key_len) {
    if (!t || !key || !key_len) return -1;
    Locked g(&t->hdr);
    FR_CHECK_RETURN(t->hash_func, -1);
    FR_CHECK_RETURN(!(t->hdr.flags & kPrinting), -1);
    if (!usable(t)) return -1;
    uint32_t h = hash_of(t, key, key_len);
    fr_hash_entry_t **slot = &t->buckets[h & t->mask];
    uintptr_t v = slot_value(slot);
    if (!slot_may_hold(t, v, h)) return -1;
    fr_hash_entry_t *first = slot_first(t, v);
    int removed = 0;
    fr_hash_entry_t *e = first, *last = of_bucket(first->bucket.prev);
    for (;;) {
        fr_hash_entry_t *next = of_bucket(e->bucket.next);
        bool at_end = e == last;
        if (e->hash == h && e->key_len == key_len && memcmp(e->key, key, key_len) == 0) {
            if (e->bucket.next == &e->bucket) {
                first = nullptr;
            } else {
                if (first == e) first = next;
                link_remove(&e->bucket);
            }
            link_remove(&e->order);
            free_entry(t, e);
            t->count -= 1;
            removed++;
        }
        if (at_end) break;
        e = next;
    }
    if (!removed) return -1;
    slot_store(t, slot, first, chain_filter(first));
    if (t->size > kMinBuckets && static_cast<double>(t->count) < static_cast<double>(t->shrink_threshold) * t->size)
        resize(t);
    return 0;
}

KIVO_API int fr_rehash(fr_hash_t *t) {
    if (!t) return -1;
    Locked g(&t->hdr);
    FR_CHECK_RETURN(t->hash_func, -1);
    if (!usable(t)) return -1;
    return rehash_impl(t, true);
}

KIVO_API int fr_hash_setfunc(fr_hash_t *t, fr_hash_func_t func) {
    if (!t) return -1;
    Locked g(&t->hdr);
    if (!usable(t)) return -1;
    fr_hash_func_t old = t->hash_func ? t->hash_func : fr_hash_func_jenkins;
    t->hash_func = func ? func : fr_hash_func_jenkins;
    int rc = rehash_impl(t, true);
    if (rc != 0) t->hash_func = old;
    return rc;
}

KIVO_API int fr_hash_setthresholds(fr_hash_t *t, float shrink, float grow) {
    if (!t) return -1;
    /* Thresholds that cannot work are refused: a grow threshold at or
     * below the shrink one (or at or below 0) sizes the table for an
     * unbounded number of buckets or rebuilds it on every change. */
    if (!(grow > 0.0f) || !(shrink >= 0.0f) || !(grow > shrink) || !__builtin_isfinite(grow)) return -1;
    Locked g(&t->hdr);
    t->shrink_threshold = shrink;
    t->grow_threshold = grow;
    return 0;
}

KIVO_API int fr_hash_setprinter(fr_hash_t *t, fr_hash_printer_t printer) {
    if (!t) return -1;
    Locked g(&t->hdr);
    t->printer = printer;
    return 0;
}

KIVO_API int fr_hash_print(fr_hash_t *t) {
    if (!t) return -1;
    Locked g(&t->hdr);
    FR_CHECK_RETURN(t->printer, -1);
    if (!usable(t)) return 0;
    /* While the printer runs the table refuses deletions (the walk holds
     * the current entry), and the walk ends with the entry that was last
     * when it began, so a printer that adds cannot make it run forever. */
    bool nested = t->hdr.flags & kPrinting;
    t->hdr.flags |= kPrinting;
    fr_hash_link_t *end = &t->order->order;
    fr_hash_link_t *last = end->prev;
    for (fr_hash_link_t *l = end->next; l != end;) {
        fr_hash_entry_t *e = of_order(l);
        t->printer(e->key, e->value);
        if (l == last) break;
        l = l->next;
    }
    if (!nested) t->hdr.flags &= ~kPrinting;
    return 0;
}

KIVO_API int fr_hash_empty(fr_hash_t *t) { return !t || t->count == 0; }

KIVO_API int fr_hash_empty_safe(fr_hash_t *t) {
    if (!t) return 1;
    Locked g(&t->hdr);
    return t->count == 0;
}

KIVO_API uint32_t h_value(fr_hash_t *t, const void *key, uint32_t key_len) {
    if (!t || !t->hash_func) return 0;
    return hash_of(t, key, key_len);
}

KIVO_API uint32_t fr_hash_value(fr_hash_t *t, const void *key, uint32_t key_len) {
    if (!t) return 0;
    Locked g(&t->hdr);
    return h_value(t, key, key_len);
}

KIVO_API fr_array_t *fr_hash_getkeys(fr_hash_t *t) {
    if (!t) return nullptr;
    Locked g(&t->hdr);
    FR_CHECK_RETURN(t->hash_func && t->count > 0 && usable(t), nullptr);
    /* A table made without lock attributes hands out a key array with the
     * default (recursive, private) mutex. */
    const fr_lock_attr *attr = (t->hdr.flags & kivo::kObjLockAttrGiven) ? &t->hdr.lock_attr : nullptr;
    fr_array_t *keys = fr_array_init_sized_api(sizeof(fr_hash_key_t), 0, nullptr, 0, &t->api, attr);
    if (!keys) return nullptr;
    fr_hash_link_t *end = &t->order->order;
    for (fr_hash_link_t *l = end->next; l != end; l = l->next) {
        fr_hash_entry_t *e = of_order(l);
        fr_hash_key_t pair;
        pair.len = e->key_len;
        pair.key = t->api.alloc(e->key_len);
        if (pair.key) memcpy(pair.key, e->key, e->key_len);
        if (!pair.key || arr_append_many(keys, &pair, 1) != 0) {
            if (pair.key) t->api.free(pair.key);
            fr_hash_destroy_keys_array(keys);
            return nullptr;
        }
    }
    return keys;
}

KIVO_API int fr_hash_destroy_keys_array(fr_array_t *keys) {
    if (!keys) return 1;
    int32_t n = fr_array_length(keys);
    for (int32_t i = 0; i < n; i++) {
        fr_hash_key_t *pair = static_cast<fr_hash_key_t *>(fr_array_get(keys, i));
        if (pair) fr_array_obj_free(keys, pair->key);
    }
    fr__array_destroy(keys);
    return 1;
}

KIVO_API int hash_destroy(fr_hash_t *t) {
    FR_CHECK_RETURN(t, 0);
    if (t->order) {
        fr_hash_link_t *end = &t->order->order;
        for (fr_hash_link_t *l = end->next, *next; l != end; l = next) {
            next = l->next;
            fr_hash_entry_t *e = of_order(l);
            link_remove(&e->order); /* the chains go with the bucket array */
            free_entry(t, e);
            t->count -= 1;
        }
        t->api.free(t->order);
        t->order = nullptr;
    }
    if (t->buckets) {
        t->api.free(t->buckets);
        t->buckets = nullptr;
    }
    return 0;
}

KIVO_API fr_hash_t *fr_hash_ref(fr_hash_t *t) { return HashObj::ref(t); }
KIVO_API int fr_hash_unref(fr_hash_t *t) { return HashObj::unref(t); }
KIVO_API int fr__hash_destroy(fr_hash_t *t) {
    HashObj::unref(t);
    return 1;
}
KIVO_API int fr__hash_destroy_unsafe(fr_hash_t *t) { return HashObj::destroy_unsafe(t); }
KIVO_API int fr_hash_lock(fr_hash_t *t) { return HashObj::lock(t); }
KIVO_API int fr_hash_unlock(fr_hash_t *t) { return HashObj::unlock(t); }

}  // extern "C"
