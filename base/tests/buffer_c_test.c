/* The buffer, bitset, timer and (thread-safe build) queue and pool headers
 * used from plain C99. Exit status 0 means every check held. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kivo/aqueue.h>
#include <kivo/buffer.h>
#include <kivo/timer.h>

#include "kivo_c_check.h"

#if KIVO_THREADS
static void add_item(void *sum, void *item) { __atomic_add_fetch((long *)sum, (long)item, __ATOMIC_SEQ_CST); }
#endif

int main(void) {
    fr_buffer *b = fr_buffer_new();
    fr_buffer_append(b, "hello, ", 7);
    fr_buffer_append(b, "world", 5);
    char *s = fr_buffer_pop(b, 12);
    CHECK(s != NULL && memcmp(s, "hello, world", 12) == 0);
    free(s);
    CHECK(b->total == 0 && b->count == 0);
    CHECK(fr_buffer_destroy(b) == 1);

    bitset *set = bitset_new(10);
    bitset_set(set, 9);
    bitset_invert(set);
    CHECK(bitset_test(set, 9) == 0 && bitset_test(set, 0) == 1);
    bitset_free(set);

    struct timeval a = {1, 600000}, c = {2, 400000};
    struct timeval r = _tv_add(a, c);
    CHECK(r.tv_sec == 4 && r.tv_usec == 0);

#if KIVO_THREADS
    fr_aqueue *q = fr_aqueue_new();
    fr_aqueue_timeout t = {0, 1000};
    CHECK(fr_aqueue_push(q, (void *)1) == 0);
    CHECK(fr_aqueue_timed_pop(q, t) == (void *)1);
    CHECK(fr_aqueue_timed_pop(q, t) == NULL);
    CHECK(fr_aqueue_unref(q) == 0);

    /* With no worker left, a finishing free runs the queue in this thread. */
    long sum = 0;
    fr_tpool *pool = fr_tpool_new(add_item, 2, &sum);
    fr_aqueue_push(pool->queue, (void *)5);
    fr_aqueue_push(pool->queue, (void *)7);
    fr_tpool_free(pool, 1);
    CHECK(sum == 12);
#endif
    return check_failures != 0;
}
