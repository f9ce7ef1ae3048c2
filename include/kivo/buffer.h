/*
 * Chunked FIFO byte buffer and a small bitset. Neither has a lock: callers
 * serialise access to one object.
 */
#ifndef KIVO_BUFFER_H
#define KIVO_BUFFER_H

#include <stdint.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Link of a circular doubly linked list; a list head is a link too, and an
 * empty list's head points at itself. */
typedef struct fr_buffer_link {
    struct fr_buffer_link *next;
    struct fr_buffer_link *prev;
} fr_buffer_link;

/* One chunk: a zeroed data block whose capacity is a power of two (>= 2). */
typedef struct fr_buffer_chunk {
    unsigned char *data;
    int32_t used;
    int32_t capacity;
    fr_buffer_link link;
} fr_buffer_chunk;

typedef struct fr_buffer {
    fr_buffer_link chunks; /* next: first chunk, prev: last chunk */
    int32_t total;         /* bytes held */
    int32_t count;         /* chunks in the list */
} fr_buffer;

/* New empty buffer; release with fr_buffer_destroy(). Never null. */
KIVO_API fr_buffer *fr_buffer_new(void);
/* Appends a copy of length bytes. Ignores a null buffer, null data, a length
 * <= 0, and an append that would take the total past INT32_MAX. */
KIVO_API void fr_buffer_append(fr_buffer *buffer, const void *data, int length);
/* Copy of the first size bytes in a new block (caller frees with free());
 * the buffer is unchanged. Null for a null buffer, size <= 0 or size > total. */
KIVO_API void *fr_buffer_get(fr_buffer *buffer, int size);
/* As fr_buffer_get(), but the bytes are removed from the buffer. */
KIVO_API void *fr_buffer_pop(fr_buffer *buffer, int size);
/* Appends the first size bytes of src to dst: copied (move == 0) or moved
 * (move != 0). Nothing for a null buffer, size <= 0 or size > src's total.
 * dst and src may be the same buffer (a move then rotates it). */
KIVO_API void fr_buffer_append_buffer(fr_buffer *dst, fr_buffer *src, int size, int move);
/* Frees every chunk and the buffer. 1, or 0 for a null buffer. */
KIVO_API int fr_buffer_destroy(fr_buffer *buffer);

/* New unlinked chunk holding a copy of length bytes; null for null data or
 * length <= 0. Release with chunk_destroy(). */
KIVO_API fr_buffer_chunk *chunk_new(const void *data, int length);
/* Frees the chunk's data and the chunk. 1, or 0 for a null chunk. */
KIVO_API int chunk_destroy(fr_buffer_chunk *chunk);
/* Drops the first consumed bytes of the chunk: the rest moves into a new
 * block sized for it. At least one byte must remain (else the process ends). */
KIVO_API void adjust_chunk(fr_buffer_chunk *chunk, int consumed);

/* Bitset of n bits stored in 64-bit words, bit i in word i / 64 at position
 * i % 64. Bits at positions >= n in the last word are kept clear. */
typedef struct bitset {
    uint64_t *bits;
    int32_t n;
} bitset;

/* New set of n bits (n >= 0), all clear; null for a negative n.
 * Release with bitset_free(). */
KIVO_API bitset *bitset_new(int n);
/* Independent copy, or null for a null set. */
KIVO_API bitset *bitset_clone(const bitset *set);
KIVO_API void bitset_free(bitset *set);
KIVO_API void bitset_fill(bitset *set);
KIVO_API void bitset_clear(bitset *set);
KIVO_API void bitset_invert(bitset *set);
/* Combine other into set over the bits both sets have. */
KIVO_API void bitset_or(bitset *set, const bitset *other);
KIVO_API void bitset_and(bitset *set, const bitset *other);
KIVO_API void bitset_xor(bitset *set, const bitset *other);
/* Resizes to n bits (n >= 0), keeping the existing bits; new bits are clear. */
KIVO_API void bitset_realloc(bitset *set, int n);
/* Single bits. set/unset ignore an index outside 0..n-1; bitset_test gives
 * 1 or 0, and -1 for a null set or an index out of range. */
KIVO_API void bitset_set(bitset *set, int i);
KIVO_API void bitset_unset(bitset *set, int i);
KIVO_API int bitset_test(const bitset *set, int i);

KIVO_END_DECLS

#endif
