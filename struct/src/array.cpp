/*
 * The dynamic array: one block of fixed-size elements, grown and shrunk in
 * 128-byte steps; locked fr_array_* functions over unlocked arr_* twins.
 * A caller allocator that fails leaves the array as it was. No frame
 * exception crosses this file.
 */
#define KIVO_FILE "array"
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <kivo/array.h>
#include "object_impl.h"

namespace {

using ArrayObj = kivo::Object<fr_array_t, array_destroy>;
using kivo::Locked;

constexpr int64_t kStep = 128;

/* Capacity for a need of n bytes: always one step beyond it. */
inline int64_t step_capacity(int64_t n) { return (n / kStep) * kStep + kStep; }

inline char *elem(fr_array_t *a, int64_t i) { return static_cast<char *>(a->data) + i * a->element_size; }

/* The block behind a capacity. With a caller's allocator it is the
 * capacity itself: the caller sees every step. With the default one, a
 * capacity of 4 KiB and more sits in a block of the next power of two, so
 * that an array appended to one element at a time reallocates a few dozen
 * times rather than every 128 bytes (each time a system call once the block
 * is large). The capacity, and the rules that set it, stay the same. */
constexpr int64_t kRoomyFrom = 4096;
inline int64_t block_size(const fr_array_t *a, int64_t cap) {
    if (cap < kRoomyFrom || a->api.realloc != fr_realloc) return cap;
    return int64_t(1) << (64 - __builtin_clzll(static_cast<uint64_t>(cap - 1)));
}

/* Makes room for `extra` more elements. 0, or -1 (nothing changed). Kept
 * out of line: the appends inline only the test for room. */
__attribute__((noinline)) int grow(fr_array_t *a, int64_t extra) {
    if (static_cast<int64_t>(a->length) + extra > INT32_MAX) return -1;
    int64_t need = (static_cast<int64_t>(a->length) + extra) * a->element_size;
    if (need <= a->capacity) return 0;
    int64_t cap = step_capacity(need);
    if (cap > INT32_MAX) return -1;
    int64_t block = block_size(a, cap);
    if (!a->data || block != block_size(a, a->capacity)) {
        void *p = a->api.realloc(a->data, static_cast<size_t>(block));
        if (!p) return -1;
        a->data = p;
    }
    a->capacity = static_cast<int32_t>(cap);
    return 0;
}

/* Gives memory back once the array has fallen to 15 % of its block. */
void shrink(fr_array_t *a) {
    int64_t cap = step_capacity(static_cast<int64_t>(a->length) * a->element_size);
    if (!a->data || !(a->capacity * 0.15 >= static_cast<double>(cap))) return;
    /* The last flush of a dying array: its block is freed next. Cutting a
     * large block down first would hand the allocator a small block to
     * free instead of a large one, and keep it from learning to serve
     * blocks of that size from memory it keeps (every large array would
     * then be mapped and faulted in afresh). */
    if ((a->hdr.flags & FR_OBJ_DESTROYING) && a->api.realloc == fr_realloc) {
        a->capacity = static_cast<int32_t>(cap);
        return;
    }
    int64_t block = block_size(a, cap);
    if (block != block_size(a, a->capacity)) {
        void *p = a->api.realloc(a->data, static_cast<size_t>(block));
        if (!p) return; /* keeping the bigger block is harmless */
        a->data = p;
    }
    a->capacity = static_cast<int32_t>(cap);
}

/* Range-checked element access; refusals are reported as fr_array_get. */
void *get_checked(fr_array_t *a, int32_t index, int line) {
    if (a && index >= 0 && index < a->length) return elem(a, index);
    fr_log_impl(KIVO_FILE, line, "fr_array_get", FR_LOG_SYSLOG, 7, "%s:%d:conditional return", KIVO_FILE, line);
    return nullptr;
}

/* The append once the arguments are checked: with room in the block it is
 * a test and a copy (one of the usual element sizes copied inline). A
 * zero element size always takes the slow path, which checks the length. */
inline int append_many(fr_array_t *a, const void *src, int32_t count) {
    if (count == 0) return 0;
    int64_t bytes = static_cast<int64_t>(count) * a->element_size;
    int64_t used = static_cast<int64_t>(a->length) * a->element_size;
    if (bytes == 0 || used + bytes > a->capacity) {
        if (grow(a, count) != 0) return -1;
    }
    char *dst = bytes ? static_cast<char *>(a->data) + used : nullptr; /* no block for size 0 */
    switch (bytes) {
    case 0: break;
    case 4: memcpy(dst, src, 4); break;
    case 8: memcpy(dst, src, 8); break;
    case 16: memcpy(dst, src, 16); break;
    default: memcpy(dst, src, static_cast<size_t>(bytes)); break;
    }
    a->length += count;
    return 0;
}

void release_range(fr_array_t *a, int32_t from, int32_t to) {
    if (!a->release) return;
    for (int32_t i = from; i < to; i++) a->release(elem(a, i));
}

}  // namespace

extern "C" {

KIVO_API fr_array_t *fr_array_init_sized_api(int32_t element_size, int32_t reserve, fr_array_release_t release,
                                             int zero, const fr_alloc_api *api, const fr_lock_attr *attr) {
    FR_CHECK_RETURN(element_size >= 0 && reserve >= 0, nullptr);
    fr_array_t *a = ArrayObj::create(api, attr);
    if (!a) return nullptr;
    a->element_size = element_size;
    if (reserve && grow(a, reserve) != 0) {
        ArrayObj::discard(a);
        return nullptr;
    }
    if (zero && a->data) memset(a->data, 0, static_cast<size_t>(reserve) * element_size);
    a->release = release;
    return a;
}

KIVO_API int arr_append_many(fr_array_t *a, const void *src, int32_t count) {
    FR_CHECK_RETURN(a && count >= 0 && (src || count == 0), -1);
    return append_many(a, src, count);
}

KIVO_API int fr_array_append_many(fr_array_t *a, const void *src, int32_t count) {
    /* Refusals are reported under the unlocked form's name. */
    if (!a || count < 0 || (!src && count)) return arr_append_many(a, src, count);
    Locked g(&a->hdr);
    return append_many(a, src, count);
}

KIVO_API int arr_insert_many(fr_array_t *a, int32_t index, const void *src, int32_t count) {
    FR_CHECK_RETURN(a && src && index >= 0 && count > 0 && index <= a->length, -1);
    if (grow(a, count) != 0) return -1;
    if (a->element_size == 0) {
        a->length += count;
        return 0;
    }
    if (index < a->length)
        memmove(elem(a, static_cast<int64_t>(index) + count), elem(a, index),
                static_cast<size_t>(a->length - index) * a->element_size);
    memcpy(elem(a, index), src, static_cast<size_t>(count) * a->element_size);
    a->length += count;
    return 0;
}

KIVO_API int fr_array_insert_many(fr_array_t *a, int32_t index, const void *src, int32_t count) {
    if (!a) return arr_insert_many(a, index, src, count);
    Locked g(&a->hdr);
    return arr_insert_many(a, index, src, count);
}

KIVO_API int arr_append_array(fr_array_t *dst, fr_array_t *src, int32_t start, int32_t n) {
    FR_CHECK_RETURN(dst && src && start >= 0 && n >= start && src->length > start && src->length >= n &&
                        dst->element_size == src->element_size,
                    -1);
    int32_t take = src->length - start < n ? src->length - start : n;
    if (take == 0) return 0;
    if (grow(dst, take) != 0) return -1;
    if (dst->element_size == 0) {
        dst->length += take;
        return take;
    }
    /* Read the source after growing: it may be the destination itself. */
    memcpy(elem(dst, dst->length), elem(src, start), static_cast<size_t>(take) * dst->element_size);
    dst->length += take;
    return take;
}

KIVO_API int fr_array_append_array(fr_array_t *dst, fr_array_t *src, int32_t start, int32_t n) {
    if (!dst || !src) return arr_append_array(dst, src, start, n);
    /* Two threads appending a to b and b to a must not each hold one lock
     * and wait for the other: the locks are taken in address order. */
    fr_array_t *first = dst < src ? dst : src;
    fr_array_t *second = dst < src ? src : dst;
    Locked g1(&first->hdr);
    Locked g2(&second->hdr);
    return arr_append_array(dst, src, start, n);
}

KIVO_API void arr_remove_range(fr_array_t *a, int32_t start, int32_t count) {
    FR_CHECK_RETURN_VOID(a && start >= 0 && count >= 0 && start < a->length);
    if (count > a->length - start) count = a->length - start;
    release_range(a, start, start + count);
    int32_t tail = a->length - start - count;
    if (tail > 0 && a->element_size)
        memmove(elem(a, start), elem(a, static_cast<int64_t>(start) + count),
                static_cast<size_t>(tail) * a->element_size);
    a->length -= count;
    shrink(a);
}

KIVO_API void fr_array_remove_range(fr_array_t *a, int32_t start, int32_t count) {
    if (!a) return arr_remove_range(a, start, count);
    Locked g(&a->hdr);
    arr_remove_range(a, start, count);
}

KIVO_API void arr_remove_index_fast(fr_array_t *a, int32_t index) {
    FR_CHECK_RETURN_VOID(index >= 0 && a && index < a->length);
    void *e = get_checked(a, index, __LINE__);
    if (!e) return;
    if (a->release) a->release(e);
    if (index != a->length - 1 && a->element_size) memcpy(e, elem(a, a->length - 1), a->element_size);
    a->length -= 1;
    shrink(a);
}

KIVO_API void fr_array_remove_index_fast(fr_array_t *a, int32_t index) {
    if (!a) return arr_remove_index_fast(a, index);
    Locked g(&a->hdr);
    arr_remove_index_fast(a, index);
}

KIVO_API void arr_flush(fr_array_t *a, int32_t new_length) {
    FR_CHECK_RETURN_VOID(a && new_length >= 0 && new_length < a->length);
    release_range(a, new_length, a->length);
    a->length = new_length;
    shrink(a);
}

KIVO_API void fr_array_flush(fr_array_t *a, int32_t new_length) {
    if (!a) return arr_flush(a, new_length);
    Locked g(&a->hdr);
    arr_flush(a, new_length);
}

KIVO_API void *fr_array_get(fr_array_t *a, int32_t index) {
    FR_CHECK_RETURN(a, nullptr);
    Locked g(&a->hdr);
    FR_CHECK_RETURN(index >= 0 && index < a->length, nullptr);
    return elem(a, index);
}

KIVO_API void *fr_array_offset(fr_array_t *a, int32_t index) {
    if (!a) return nullptr;
    Locked g(&a->hdr);
    return static_cast<char *>(a->data) + static_cast<int64_t>(index) * a->element_size;
}

KIVO_API void *fr_array_data(fr_array_t *a) {
    if (!a) return nullptr;
    Locked g(&a->hdr);
    return a->data;
}

KIVO_API int32_t fr_array_length(fr_array_t *a) {
    if (!a) return 0;
    Locked g(&a->hdr);
    return a->length;
}

KIVO_API int32_t fr_array_element_size(fr_array_t *a) {
    if (!a) return 0;
    Locked g(&a->hdr);
    return a->element_size;
}

KIVO_API int32_t fr_array_alloc(fr_array_t *a) {
    if (!a) return 0;
    Locked g(&a->hdr);
    return a->capacity;
}

KIVO_API void fr_array_sort(fr_array_t *a, fr_array_cmp_t cmp) {
    if (!a || !cmp) return;
    Locked g(&a->hdr);
    if (a->length > 1 && a->element_size > 0) qsort(a->data, a->length, a->element_size, cmp);
}

KIVO_API int32_t arr_binary_search(fr_array_t *a, int32_t lower, int32_t upper, fr_array_cmp_t cmp,
                                   const void *key) {
    /* An empty or inverted range would never narrow: refuse it. */
    FR_CHECK_RETURN(a && cmp && lower < upper, -1);
    int32_t lo = lower, hi = upper, last = hi - 1;
    while (last != lo) {
        int32_t mid = lo + (hi - lo) / 2;
        void *e = get_checked(a, mid, __LINE__);
        if (!e) return -1;
        int c = cmp(key, e);
        if (c < 0) {
            hi = mid;
            last = mid - 1;
        } else if (c > 0) {
            lo = mid;
        } else {
            return mid;
        }
    }
    void *e = get_checked(a, lo, __LINE__);
    return e && cmp(key, e) == 0 ? lo : -1;
}

KIVO_API int32_t fr_array_binary_search(fr_array_t *a, fr_array_cmp_t cmp, const void *key) {
    FR_CHECK_RETURN(a && cmp, -1);
    Locked g(&a->hdr);
    FR_CHECK_RETURN(a->length > 0, -1);
    return arr_binary_search(a, 0, a->length, cmp, key);
}

KIVO_API void fr_array_obj_free(fr_array_t *a, void *p) {
    if (a && p) a->api.free(p);
}

KIVO_API int array_destroy(fr_array_t *a) {
    FR_CHECK_RETURN(a, 0);
    arr_flush(a, 0);
    if (a->data) a->api.free(a->data);
    a->data = nullptr;
    a->capacity = 0;
    a->length = 0;
    return 0;
}

KIVO_API fr_array_t *fr_array_ref(fr_array_t *a) { return ArrayObj::ref(a); }
KIVO_API int fr_array_unref(fr_array_t *a) { return ArrayObj::unref(a); }
KIVO_API int fr__array_destroy(fr_array_t *a) { return ArrayObj::unref(a); }
KIVO_API int fr_array_lock(fr_array_t *a) { return ArrayObj::lock(a); }
KIVO_API int fr_array_unlock(fr_array_t *a) { return ArrayObj::unlock(a); }

}  // extern "C"
