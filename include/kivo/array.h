/*
 * Dynamic array: a growable, contiguous block of fixed-size elements that
 * grows and shrinks in 128-byte steps. fr_array_* functions take the
 * array's lock; the arr_* twins do the same work without it, for callers
 * that hold the lock (fr_array_lock) or own the array alone.
 */
#ifndef KIVO_ARRAY_H
#define KIVO_ARRAY_H

#include <stdint.h>
#include <kivo/export.h>
#include <kivo/object.h>

KIVO_BEGIN_DECLS

/* Called with the address of an element just before the array drops it. */
typedef void (*fr_array_release_t)(void *element);
/* qsort-style comparison; for binary search called as cmp(key, element). */
typedef int (*fr_array_cmp_t)(const void *a, const void *b);

typedef struct fr_array {
    void *data;          /* element block, null until first needed */
    int32_t length;      /* elements in use */
    int32_t capacity;    /* bytes in the block: 0 or a multiple of 128 */
    int32_t element_size;
    fr_array_release_t release;
    fr_alloc_api api;
    fr_object_header hdr;
} fr_array_t;

/* New array of elements of element_size bytes with room for `reserve`
 * elements (the length stays 0); zero != 0 clears the reserved bytes. Null
 * for negative sizes, an incomplete allocator or a failed allocation.
 * Release with fr_array_unref. */
KIVO_API fr_array_t *fr_array_init_sized_api(int32_t element_size, int32_t reserve, fr_array_release_t release,
                                             int zero, const fr_alloc_api *api, const fr_lock_attr *attr);

/* Copies count elements from src to the end. 0, or -1 if refused (negative
 * count) or the block could not grow (the array is left as it was). */
KIVO_API int fr_array_append_many(fr_array_t *a, const void *src, int32_t count);
KIVO_API int arr_append_many(fr_array_t *a, const void *src, int32_t count);
/* Inserts count (> 0) elements at index (0..length). 0, or -1 as above. */
KIVO_API int fr_array_insert_many(fr_array_t *a, int32_t index, const void *src, int32_t count);
KIVO_API int arr_insert_many(fr_array_t *a, int32_t index, const void *src, int32_t count);
/* Appends min(length(src) - start, n) elements of src from index start;
 * returns that number, or -1 if refused or out of memory. */
KIVO_API int fr_array_append_array(fr_array_t *dst, fr_array_t *src, int32_t start, int32_t n);
KIVO_API int arr_append_array(fr_array_t *dst, fr_array_t *src, int32_t start, int32_t n);
/* Removes count elements from start (cut at the end), keeping order. */
KIVO_API void fr_array_remove_range(fr_array_t *a, int32_t start, int32_t count);
KIVO_API void arr_remove_range(fr_array_t *a, int32_t start, int32_t count);
/* Removes one element by moving the last one into its place. */
KIVO_API void fr_array_remove_index_fast(fr_array_t *a, int32_t index);
KIVO_API void arr_remove_index_fast(fr_array_t *a, int32_t index);
/* Drops the elements from new_length (below the length) to the end. */
KIVO_API void fr_array_flush(fr_array_t *a, int32_t new_length);
KIVO_API void arr_flush(fr_array_t *a, int32_t new_length);

/* Address of element index, or null when out of range. */
KIVO_API void *fr_array_get(fr_array_t *a, int32_t index);
/* data + index * element size, unchecked. */
KIVO_API void *fr_array_offset(fr_array_t *a, int32_t index);
KIVO_API void *fr_array_data(fr_array_t *a);
KIVO_API int32_t fr_array_length(fr_array_t *a);
KIVO_API int32_t fr_array_element_size(fr_array_t *a);
/* Capacity in bytes. */
KIVO_API int32_t fr_array_alloc(fr_array_t *a);
KIVO_API void fr_array_sort(fr_array_t *a, fr_array_cmp_t cmp);
/* Index of an element equal to key over the whole sorted array (locked
 * form) or over [lower, upper) (unlocked form); -1 if none. */
KIVO_API int32_t fr_array_binary_search(fr_array_t *a, fr_array_cmp_t cmp, const void *key);
KIVO_API int32_t arr_binary_search(fr_array_t *a, int32_t lower, int32_t upper, fr_array_cmp_t cmp, const void *key);
/* Frees p (if not null) with the array's free function. */
KIVO_API void fr_array_obj_free(fr_array_t *a, void *p);

/* Thread-safe build: 0 on success or for null, 1 if locking failed.
 * Plain build: 1 for an array, 0 for null. */
KIVO_API int fr_array_lock(fr_array_t *a);
/* 0 for null or when no level is held, else the unlock result (plain: 1). */
KIVO_API int fr_array_unlock(fr_array_t *a);
/* Adds a reference; returns a. Aborts on a destroyed array. */
KIVO_API fr_array_t *fr_array_ref(fr_array_t *a);
/* Drop a reference: 1 once destroyed (or null, or lock failed), else 0. */
KIVO_API int fr_array_unref(fr_array_t *a);
KIVO_API int fr__array_destroy(fr_array_t *a);
/* Destroy hook: drops every element and the block, not the record. 0. */
KIVO_API int array_destroy(fr_array_t *a);

KIVO_END_DECLS

#endif
