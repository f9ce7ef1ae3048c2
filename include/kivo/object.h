/*
 * Allocator record, lock attributes and the object header shared by every
 * lockable, reference-counted object of the suite (hash tables, arrays,
 * FIFO buffers, SQL records, templates, mail records).
 */
#ifndef KIVO_OBJECT_H
#define KIVO_OBJECT_H

#include <stddef.h>
#include <stdint.h>
#include <pthread.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Caller-supplied allocator, copied into the object at creation. When one is
 * given, all four functions must be set or creation fails; without one the
 * object uses fr_alloc, fr_calloc, fr_realloc and free. */
typedef struct fr_alloc_api {
    void *(*alloc)(size_t size);
    void *(*calloc)(size_t count, size_t size);
    void *(*realloc)(void *ptr, size_t size);
    void (*free)(void *ptr);
} fr_alloc_api;

/* Caller-supplied lock attributes, copied into the object. When given, the
 * object's mutex gets `kind` (a pthread mutex type) and is process-shared;
 * `carry` is stored and handed on unread to objects created on the caller's
 * behalf. Without them the mutex is recursive and private. */
typedef struct fr_lock_attr {
    uint32_t kind;
    uint32_t carry;
} fr_lock_attr;

/* Object flags. */
#define FR_OBJ_NOT_OWNED 0x2  /* destruction releases the contents, not the record */
#define FR_OBJ_DESTROYING 0x4 /* the last reference is gone */

/* The trailing fields of every lockable object, after its allocator record.
 * One layout for both builds: the plain build leaves the mutex fields unused. */
typedef struct fr_object_header {
    fr_lock_attr lock_attr;
    pthread_mutexattr_t mutex_attr;
    pthread_mutex_t mutex;
    uint32_t lock_depth;  /* lock levels held by the owning thread */
    int32_t refcount;     /* 1 at creation */
    uint32_t type_word;   /* per type: FIFO state flags, SQL client flags, else 0 */
    uint32_t flags;       /* FR_OBJ_* (bits from 0x100 up are the type's own) */
    int lock_status;      /* result of the latest pthread_mutex_lock */
    int (*destroy)(void *object); /* releases the contents at the last reference */
} fr_object_header;

KIVO_END_DECLS

#endif
