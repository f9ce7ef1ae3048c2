/*
 * The one implementation of the object header rules (creation, lock, unlock,
 * ref, unref, destroy) behind every lockable object of the suite. Header
 * only, so any library can use it: add struct/src to the library's
 * PRIVATE_INCLUDES and include "object_impl.h". A record type T qualifies
 * when it has an `fr_alloc_api api` member and an `fr_object_header hdr`
 * member; its exported lock/ref/unref functions are then one-line calls of
 * kivo::Object<T, Hook>.
 *
 * No frame exception crosses this code; the RAII guard is safe to use in
 * functions that do not call the exception frame.
 */
#ifndef KIVO_STRUCT_OBJECT_IMPL_H
#define KIVO_STRUCT_OBJECT_IMPL_H

#include <stdlib.h>
#include <string.h>
#include <kivo/memory.h>
#include <kivo/object.h>

namespace kivo {

/* Private flag: the creator passed lock attributes (the mutex is of the
 * caller's kind and process-shared). */
constexpr uint32_t kObjLockAttrGiven = 0x100;

inline void default_free(void *p) { free(p); }

/* A caller record must have all four functions. */
inline bool alloc_api_ok(const fr_alloc_api *api) {
    return api == nullptr || (api->alloc && api->calloc && api->realloc && api->free);
}

/* The record to copy into an object: the caller's or the default one. */
inline fr_alloc_api alloc_api_or_default(const fr_alloc_api *api) {
    if (api) return *api;
    fr_alloc_api d;
    d.alloc = fr_alloc;
    d.calloc = fr_calloc;
    d.realloc = fr_realloc;
    d.free = default_free;
    return d;
}

#if KIVO_THREADS
inline uint32_t depth_get(const fr_object_header *h) { return __atomic_load_n(&h->lock_depth, __ATOMIC_RELAXED); }
/* Only the thread holding the mutex changes the depth, so a plain
 * read-modify-write is enough; it is atomic for the benefit of unlockers
 * that do not hold the mutex, and avoids a locked instruction per call. */
inline void depth_add(fr_object_header *h, int d) {
    __atomic_store_n(&h->lock_depth, depth_get(h) + static_cast<uint32_t>(d), __ATOMIC_RELAXED);
}
#endif

/* Fills the header: lock attributes, mutex, count 1, depth 0, flags 0.
 * Returns 0, or -1 when the mutex cannot be set up (an unknown kind). */
inline int header_init(fr_object_header *h, const fr_lock_attr *attr, int (*destroy)(void *)) {
    memset(h, 0, sizeof(*h));
    if (attr) {
        h->lock_attr = *attr;
        h->flags = kObjLockAttrGiven;
    }
#if KIVO_THREADS
    if (pthread_mutexattr_init(&h->mutex_attr) != 0) return -1;
    int rc;
    if (attr) {
        rc = pthread_mutexattr_settype(&h->mutex_attr, static_cast<int>(attr->kind));
        if (rc == 0) rc = pthread_mutexattr_setpshared(&h->mutex_attr, PTHREAD_PROCESS_SHARED);
    } else {
        rc = pthread_mutexattr_settype(&h->mutex_attr, PTHREAD_MUTEX_RECURSIVE);
    }
    if (rc == 0) rc = pthread_mutex_init(&h->mutex, &h->mutex_attr);
    pthread_mutexattr_destroy(&h->mutex_attr);
    if (rc != 0) return -1;
#endif
    h->refcount = 1;
    h->destroy = destroy;
    return 0;
}

/* 0 when the mutex was taken, else the pthread error (also kept in the
 * header's last lock status). Plain build: always 0. */
inline int header_lock(fr_object_header *h) {
#if KIVO_THREADS
    int rc = pthread_mutex_lock(&h->mutex);
    if (rc == 0) {
        h->lock_status = 0;
        depth_add(h, 1);
    } else {
        __atomic_store_n(&h->lock_status, rc, __ATOMIC_RELAXED);
    }
    return rc;
#else
    (void)h;
    return 0;
#endif
}

/* Releases one level: 0 when none is held, else the unlock result. */
inline int header_unlock(fr_object_header *h) {
#if KIVO_THREADS
    if (depth_get(h) == 0) return 0;
    depth_add(h, -1);
    int rc = pthread_mutex_unlock(&h->mutex);
    if (rc != 0) depth_add(h, 1); /* not ours to release: keep the count true */
    return rc;
#else
    (void)h;
    return 0;
#endif
}

#if KIVO_THREADS
/* Drops every level the calling thread holds (it holds the mutex). */
inline void header_unlock_all(fr_object_header *h) {
    /* Counted first: once the last level is released another thread may
     * free the object, so it is not read again. */
    for (uint32_t n = depth_get(h); n > 0; --n) {
        if (header_unlock(h) != 0) break;
    }
}
#endif

/* Held for one ordinary operation. A failed lock lets the operation go on
 * unlocked and skips the unlock at its end. */
class Locked {
public:
#if KIVO_THREADS
    explicit Locked(fr_object_header *h) : h_(h) { held_ = header_lock(h) == 0; }
    ~Locked() {
        if (held_) header_unlock(h_);
    }
#else
    explicit Locked(fr_object_header *) {}
#endif
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

#if KIVO_THREADS
private:
    fr_object_header *h_;
    bool held_ = false;
#endif
};

/* Reference-count misuse is a broken program: stop here. */
inline void header_ref(fr_object_header *h) {
#if KIVO_THREADS
    bool held = header_lock(h) == 0;
#endif
    if ((h->flags & FR_OBJ_DESTROYING) || h->refcount < 1) abort();
    h->refcount += 1;
#if KIVO_THREADS
    if (held) header_unlock(h);
#endif
}

/* The end of an object: hook, every lock level, mutex, record. */
inline void header_finish(fr_object_header *h, void *record, void (*free_fn)(void *), bool locked) {
    h->flags |= FR_OBJ_DESTROYING;
    if (h->destroy) h->destroy(record);
#if KIVO_THREADS
    if (locked) header_unlock_all(h);
    pthread_mutex_destroy(&h->mutex);
#else
    (void)locked;
#endif
    if (!(h->flags & FR_OBJ_NOT_OWNED)) free_fn(record);
}

/* Drops one reference; 1 when the object is gone (or could not be locked),
 * else `remaining` (0 for most types). */
inline int header_unref(fr_object_header *h, void *record, void (*free_fn)(void *), int remaining) {
#if KIVO_THREADS
    if (header_lock(h) != 0) return 1;
    h->refcount -= 1;
    if (h->refcount < 0) abort();
    if (h->refcount > 0) {
        header_unlock_all(h);
        return remaining;
    }
    header_finish(h, record, free_fn, true);
    return 1;
#else
    if (h->refcount < 1) abort();
    if (--h->refcount > 0) return remaining;
    header_finish(h, record, free_fn, false);
    return 1;
#endif
}

/* Destroys at once, ignoring the count and taking no lock. */
inline void header_destroy_unsafe(fr_object_header *h, void *record, void (*free_fn)(void *)) {
    header_finish(h, record, free_fn, false);
}

/* Public lock/unlock results: thread-safe build 0 (or 1 for a failed lock),
 * plain build 1 for an object and 0 for null. */
inline int header_public_lock(fr_object_header *h) {
#if KIVO_THREADS
    return h ? (header_lock(h) == 0 ? 0 : 1) : 0;
#else
    return h ? 1 : 0;
#endif
}
inline int header_public_unlock(fr_object_header *h) {
#if KIVO_THREADS
    return h ? header_unlock(h) : 0;
#else
    return h ? 1 : 0;
#endif
}

/* Per-type glue. T has `api` (fr_alloc_api) and `hdr` (fr_object_header);
 * Hook is the type's destroy hook. */
template <class T, int (*Hook)(T *)>
struct Object {
    static int destroy_hook(void *o) { return Hook(static_cast<T *>(o)); }

    /* Allocates a zeroed record with the caller's allocator (or the default
     * one), checks the record and sets up the header; null on failure. */
    static T *create(const fr_alloc_api *api, const fr_lock_attr *attr) {
        if (!alloc_api_ok(api)) return nullptr;
        fr_alloc_api a = alloc_api_or_default(api);
        T *o = static_cast<T *>(a.calloc(1, sizeof(T)));
        if (!o) return nullptr;
        o->api = a;
        if (header_init(&o->hdr, attr, destroy_hook) != 0) {
            a.free(o);
            return nullptr;
        }
        return o;
    }
    /* Undoes create() for an object nobody has seen yet (no hook). */
    static void discard(T *o) {
#if KIVO_THREADS
        pthread_mutex_destroy(&o->hdr.mutex);
#endif
        o->api.free(o);
    }

    static int lock(T *o) { return header_public_lock(o ? &o->hdr : nullptr); }
    static int unlock(T *o) { return header_public_unlock(o ? &o->hdr : nullptr); }
    static T *ref(T *o) {
        if (o) header_ref(&o->hdr);
        return o;
    }
    static int unref(T *o, int remaining = 0) {
        return o ? header_unref(&o->hdr, o, o->api.free, remaining) : 1;
    }
    static int destroy_unsafe(T *o) {
        if (o) header_destroy_unsafe(&o->hdr, o, o->api.free);
        return 1;
    }
};

}  // namespace kivo

#endif
