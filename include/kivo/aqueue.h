/*
 * Asynchronous queue of non-null pointers shared between threads, and a
 * thread pool fed by one. The functions exist in the thread-safe library
 * (the _r build) only; the declarations are the same for every caller.
 */
#ifndef KIVO_AQUEUE_H
#define KIVO_AQUEUE_H

#include <stdint.h>
#include <pthread.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* One queued item; a list head has the same two leading links, and an empty
 * list's head points at itself. */
typedef struct fr_aqueue_node {
    struct fr_aqueue_node *next;
    struct fr_aqueue_node *prev;
    void *item;
} fr_aqueue_node;

typedef struct fr_aqueue_list {
    fr_aqueue_node *first;
    fr_aqueue_node *last;
} fr_aqueue_list;

typedef struct fr_aqueue {
    pthread_cond_t cond;    /* signalled once per push while threads wait */
    pthread_mutex_t mutex;  /* default kind: not recursive */
    fr_aqueue_list items;
    int waiting_threads;
    int refcount;           /* usable while above 0 */
    int length;
    /* Nodes of popped items kept for the next pushes (at most 1024): a busy
     * queue allocates nothing in steady state. */
    fr_aqueue_node *spare;
    int spare_count;
} fr_aqueue;

/* Relative timeout of a timed pop. */
typedef struct fr_aqueue_timeout {
    int32_t tv_sec;
    int32_t tv_nsec;
} fr_aqueue_timeout;

/* Every function below fails (returns -1, or 0 for the pops) and does nothing
 * for a null queue or one whose reference count is not above 0. */

/* New queue with one reference; released by the last fr_aqueue_unref(). */
KIVO_API fr_aqueue *fr_aqueue_new(void);
/* Reference counting: 0 or -1. The last unref frees the queue and its nodes
 * (not the items); doing so while a thread waits in a pop ends the process. */
KIVO_API int fr_aqueue_ref(fr_aqueue *q);
KIVO_API int fr_aqueue_unref(fr_aqueue *q);
/* Take / release the queue's mutex for the _unlocked forms: 0, the mutex
 * error, or -1 for an invalid queue. */
KIVO_API int fr_aqueue_lock(fr_aqueue *q);
KIVO_API int fr_aqueue_unlock(fr_aqueue *q);
/* Appends item at the tail: 0, or -1 (nothing stored) for a null item. */
KIVO_API int fr_aqueue_push(fr_aqueue *q, void *item);
KIVO_API int fr_aqueue_push_unlocked(fr_aqueue *q, void *item);
/* Removes and returns the head item. fr_aqueue_pop waits as long as needed,
 * fr_aqueue_try_pop returns 0 at once when empty, fr_aqueue_timed_pop returns
 * 0 when the timeout (relative to now) passes with the queue still empty. */
KIVO_API void *fr_aqueue_pop(fr_aqueue *q);
KIVO_API void *fr_aqueue_try_pop(fr_aqueue *q);
KIVO_API void *fr_aqueue_timed_pop(fr_aqueue *q, fr_aqueue_timeout timeout);
KIVO_API void *fr_aqueue_pop_unlocked(fr_aqueue *q);
KIVO_API void *fr_aqueue_try_pop_unlocked(fr_aqueue *q);
KIVO_API void *fr_aqueue_timed_pop_unlocked(fr_aqueue *q, fr_aqueue_timeout timeout);
/* Number of items, or -1. */
KIVO_API int fr_aqueue_length(fr_aqueue *q);
KIVO_API int fr_aqueue_length_unlocked(fr_aqueue *q);
/* 1 when empty, 0 when not, -1 for an invalid queue. */
KIVO_API int fr_aqueue_empty(fr_aqueue *q);
KIVO_API int fr_aqueue_empty_unlocked(fr_aqueue *q);
/* Unlinks and frees every node of an item list (not the items). */
KIVO_API void __fr_destroy_queue(fr_aqueue_list *list);

/* Thread pool: runs callback(user_data, item) for each pushed item in at
 * most max_threads detached worker threads, which block every signal. A
 * worker idle for one second ends; the next push starts a new one. */
typedef void (*fr_tpool_callback)(void *user_data, void *item);

typedef struct fr_tpool {
    fr_aqueue *queue;  /* its mutex guards every field below */
    int max_threads;
    int num_threads;   /* started and not yet ended */
    int remaining;     /* items still to run after a finishing shutdown */
    fr_tpool_callback callback;
    void *user_data;
    int running;
    int finish;
    int idle_threads;
} fr_tpool;

/* New pool (no thread yet), or null for a null callback or max_threads < 1. */
KIVO_API fr_tpool *fr_tpool_new(fr_tpool_callback callback, int max_threads, void *user_data);
/* Queues item (non-null), starting a worker when none is idle and fewer
 * than the maximum exist. After fr_tpool_free the item is dropped. */
KIVO_API void fr_tpool_push(fr_tpool *pool, void *item);
/* Shuts the pool down. finish != 0: every item queued before the call runs,
 * then the workers end; finish == 0: queued items never run (they are
 * dropped, not freed). The last worker frees the pool. A pool with no
 * worker is freed before this returns, its queued items run first in the
 * calling thread when finish is set. Either way the caller must not use
 * the pool afterwards unless it knows a worker is still busy in a callback. */
KIVO_API void fr_tpool_free(fr_tpool *pool, int finish);
/* Starts one more worker when fewer than the maximum exist: 0, or the
 * pthread_create error (the thread is then not counted). Lock held. */
KIVO_API int _fr_tpool_start_thread(fr_tpool *pool);
/* Worker thread body; the argument is the pool. */
KIVO_API void *_fr_tpool_proxy(void *pool);

KIVO_END_DECLS

#endif
