/*
 * FIFO byte buffer: a circular byte queue that grows in 512-byte steps up to
 * a maximum and shrinks when mostly empty. In the thread-safe build a writer
 * facing a buffer full at its maximum waits for a reader (optionally with a
 * time-out); the plain build never waits. Also fr_tree_destroy.
 */
#ifndef KIVO_FIFOBUF_H
#define KIVO_FIFOBUF_H

#include <stdint.h>
#include <kivo/export.h>
#include <kivo/object.h>
#include <pthread.h>

KIVO_BEGIN_DECLS

#define FR_FIFOBUF_EMPTY 0x1           /* state flag in hdr.type_word */
#define FR_FIFOBUF_DEFAULT_MAX 4194304 /* maximum when 0 is given */

typedef struct fr_fifobuf {
    unsigned char *data;
    int32_t write_pos;
    int32_t read_pos;
    int32_t capacity;
    int32_t maximum;
    int32_t waiting_writers;
    pthread_cond_t space; /* signalled by readers (unused in the plain build) */
    fr_alloc_api api;     /* always fr_alloc, fr_calloc, fr_realloc, free */
    fr_object_header hdr;
} fr_fifobuf_t;

/* New buffer (sizes rounded to 512-byte steps; maximum 0 means 4 MiB), or
 * null for negative sizes. Release with fr_fifobuf_unref. */
KIVO_API fr_fifobuf_t *fr_fifobuf_init(int32_t initial_size, int32_t maximum_size);
/* fr_fifobuf_write is the one function whose arguments differ between the
 * two libraries: libkivo_struct_r takes a fourth argument (the time-out),
 * libkivo_struct does not. The form declared here follows KIVO_THREADS, so a
 * program linking libkivo_struct_r must be compiled with KIVO_THREADS=1
 * (pkg-config's and CMake's flags for kivo_struct_r set it); compiled
 * without it, it sees the plain form and passes no time-out. */
#if KIVO_THREADS
/* Writes all len bytes, waiting while the buffer is full at its maximum:
 * without limit when timeout_secs is 0, else up to timeout_secs seconds
 * (a negative time-out does not wait). Returns the bytes written (fewer on
 * time-out); 0 for a null src or len < 1; -1 for a null or block-less buffer.
 * A caller holding fr_fifobuf_lock never waits (no reader could get in):
 * it gets the count written so far, with errno EDEADLK. */
KIVO_API int32_t fr_fifobuf_write(fr_fifobuf_t *b, const void *src, int32_t len, int timeout_secs);
#else
/* Writes as much of len bytes as fits (growing up to the maximum); never
 * waits. Results as in the thread-safe build. */
KIVO_API int32_t fr_fifobuf_write(fr_fifobuf_t *b, const void *src, int32_t len);
#endif
/* Reads up to max_len bytes in write order. Returns the count; 0 for a null
 * destination; -1 for a null or block-less buffer. */
KIVO_API int32_t fr_fifobuf_read(fr_fifobuf_t *b, void *dst, int32_t max_len);
/* Grows the block (up to the maximum) for a write of `wanted` bytes, keeping
 * wrapped content in order. 0, or -1. Call with the lock held. */
KIVO_API int fr_extend(fr_fifobuf_t *b, int32_t wanted);
/* Halves the block: 0; -1 if it is below 1026 bytes or the content does not
 * fit in the first half; -2 if the reallocation failed. */
KIVO_API int fr_shrink(fr_fifobuf_t *b);

KIVO_API fr_fifobuf_t *fr_fifobuf_ref(fr_fifobuf_t *b);
/* 1 once destroyed (or null, or lock failed); 0 while references remain. */
KIVO_API int fr_fifobuf_unref(fr_fifobuf_t *b);
KIVO_API int fr__buf_destroy(fr_fifobuf_t *b);
/* Thread-safe build: 0 on success or for null, 1 if locking failed.
 * Plain build: 1 for a buffer, 0 for null. */
KIVO_API int fr_fifobuf_lock(fr_fifobuf_t *b);
KIVO_API int fr_fifobuf_unlock(fr_fifobuf_t *b);
/* Destroy hook: frees the block and the condition variable. 1. */
KIVO_API int buf_destroy(fr_fifobuf_t *b);

/* A tree node: its children hang off a list head allocated with malloc,
 * linked through each child's sibling link. */
typedef struct fr_tree_link {
    struct fr_tree_link *next;
    struct fr_tree_link *prev;
} fr_tree_link_t;

typedef struct fr_tree_node {
    fr_tree_link_t *children; /* circular list head, or null */
    int linked;               /* the node sits on its parent's list */
    fr_tree_link_t sibling;
} fr_tree_node_t;

/* Destroys the children recursively, frees the list head, unlinks the node
 * and calls release(node) if given. 0; 1 for a null node. */
KIVO_API int fr_tree_destroy(fr_tree_node_t *node, void (*release)(fr_tree_node_t *node));

KIVO_END_DECLS

#endif
