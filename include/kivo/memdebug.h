/* Allocation checker: a preloadable library that puts guards around every
 * heap block and records every allocation call in a ring for a debugger.
 *
 * Load it in front of libc (LD_PRELOAD=libkivo_memdebug_r.so.0, or link it
 * before libc). It exports malloc, calloc, realloc and free, and also
 * posix_memalign, aligned_alloc, memalign, valloc, pvalloc and
 * malloc_usable_size so that no block of the program bypasses the guards.
 * Nothing here needs to be called: the data below is for inspection.
 *
 * Block layout: [size_t size][guard word][user data][trailer guard word];
 * the user pointer keeps the malloc alignment (16 bytes on x86_64). free,
 * realloc and malloc_usable_size check both guards first and call abort()
 * with one line on standard error when a guard is damaged or the pointer
 * was not allocated here; nothing is freed in that case.
 * A request whose size plus the guards overflows, and a calloc whose
 * count * size overflows, return null with errno ENOMEM.
 */
#ifndef KIVO_MEMDEBUG_H
#define KIVO_MEMDEBUG_H

#include <stddef.h>
#include <pthread.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Number of records in the ring and of return addresses in a record. */
#define FR_MEMDBG_RING_SIZE 65536
#define FR_MEMDBG_FRAMES 15

/* One allocation call. op: 'm' malloc, 'c' calloc, 'r' realloc (and
 * reallocarray), 'f' free, 'a' an aligned allocation (posix_memalign,
 * aligned_alloc, memalign, valloc, pvalloc). size is the requested size
 * (0 for free; (size_t)-1 for a calloc whose product overflowed). old_ptr is
 * the pointer passed in (realloc, free), new_ptr the pointer returned (null
 * on failure). backtrace holds return addresses, innermost first, starting
 * at the caller of the allocation function: a backtrace of FR_MEMDBG_FRAMES
 * frames is taken inside the checker and its own frame (the interposed
 * function) is left out. Only the first `frames` entries are meaningful.
 * seq is the low 32 bits of the call number + 1, written last: a record
 * whose seq differs is being written or was overwritten. */
typedef struct fr_memdbg_record {
    char op;
    unsigned char frames;
    unsigned int seq;
    size_t size;
    void *old_ptr;
    void *new_ptr;
    pthread_t thread;
    void *backtrace[FR_MEMDBG_FRAMES];
} fr_memdbg_record;

/* Debugger entry point: call n (counting from 0) is recorded in
 * fr_memdbg_ring[n % FR_MEMDBG_RING_SIZE]; fr_memdbg_calls is the number of
 * calls so far (taken atomically, so the newest record is at
 * (fr_memdbg_calls - 1) % FR_MEMDBG_RING_SIZE). A free is recorded before its
 * block is released, an allocation after its block is obtained. In gdb:
 *   p fr_memdbg_ring[(fr_memdbg_calls - 1) % 65536]
 * Records are written without a lock; a record may change while read. */
extern KIVO_API fr_memdbg_record fr_memdbg_ring[FR_MEMDBG_RING_SIZE];
extern KIVO_API unsigned long fr_memdbg_calls;

/* Backtrace switch: 1 (the default) records up to FR_MEMDBG_FRAMES return
 * addresses per call, 0 records none (frames = 0), which makes the checker
 * much cheaper. Set it from the program (through dlsym when preloaded) or
 * from a debugger at any time. */
extern KIVO_API volatile int fr_memdbg_backtrace;

KIVO_END_DECLS

#endif
