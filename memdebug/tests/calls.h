// The allocation functions reached through volatile pointers, so that the
// compiler cannot fold, merge or drop the calls these tests are about.
#ifndef KIVO_MEMDEBUG_TEST_CALLS_H
#define KIVO_MEMDEBUG_TEST_CALLS_H

#include <malloc.h>
#include <stdlib.h>

namespace md_test {
inline void *(*volatile M)(size_t) = malloc;
inline void *(*volatile C)(size_t, size_t) = calloc;
inline void *(*volatile R)(void *, size_t) = realloc;
inline void (*volatile F)(void *) = free;
inline size_t (*volatile U)(void *) = malloc_usable_size;
inline void *(*volatile RA)(void *, size_t, size_t) = reallocarray;
inline void *(*volatile MA)(size_t, size_t) = memalign;

// A store the compiler must keep even into a block about to be freed.
inline void poke(void *p, long offset, unsigned char v) {
    volatile unsigned char *volatile at = static_cast<unsigned char *>(p);
    at[offset] = v;
}
} // namespace md_test

#endif
