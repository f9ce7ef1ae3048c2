/*
 * Process-wide software timers on the real-time interval timer (ITIMER_REAL)
 * and SIGALRM. Callbacks run from the SIGALRM handler, with every signal
 * blocked, or in a thread sleeping in fr_timer_sleep_usecs(): keep them
 * short and async-signal-safe. The one call of this interface a callback
 * may make is adding a timer: it takes one of 16 reserved entries (refilled
 * by every add made outside a callback, and by entries whose callback
 * returned 0) and never allocates; with none left it fails with EAGAIN.
 * The list is guarded by signal masking and a spin lock, never held across
 * a callback; with several threads, let one thread take SIGALRM (block it
 * in the others, as pool workers do).
 */
#ifndef KIVO_TIMER_H
#define KIVO_TIMER_H

#include <sys/time.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Returns non-zero to run again after the same interval, 0 to be removed. */
typedef int (*fr_timer_callback)(void *user_data);

typedef struct fr_timer_link {
    struct fr_timer_link *next;
    struct fr_timer_link *prev;
} fr_timer_link;

/* A timer entry; the list is sorted by expiry, earliest first. */
typedef struct fr_timer {
    fr_timer_callback callback;
    struct timeval expiry;
    void *user_data;
    fr_timer_link link;
    struct timeval interval;
} fr_timer;

/* The interval timer is never armed for less than this (10 ms). */
KIVO_API extern const struct timeval minimum_timeout;

/* Installs the SIGALRM handler, saving the previous action for
 * fr_timer_cleanup(). 1 on success (also when already installed), 0 when
 * sigaction fails. fr_timer_add_usecs() calls it when needed. */
KIVO_API int fr_timer_init(void);
/* Runs callback(user_data) after seconds + microseconds (0-999999), and
 * again at that interval while it returns non-zero. 0, or -1 for a null
 * callback or an interval out of range, or (errno EAGAIN) when called from
 * a callback with the reserve of entries used up. */
KIVO_API int fr_timer_add_usecs(fr_timer_callback callback, long seconds, long microseconds,
                                void *user_data);
KIVO_API int fr_timer_add_secs(fr_timer_callback callback, long seconds, void *user_data);
/* Sleeps in the calling thread for the interval while timers keep running
 * (their callbacks then run in this thread). 0, or -1 for a bad interval. */
KIVO_API int fr_timer_sleep_usecs(long seconds, long microseconds);
KIVO_API int fr_timer_sleep_secs(long seconds);
/* Stops the interval timer, restores the SIGALRM action saved by
 * fr_timer_init() and frees every entry. Waits for callbacks running in
 * other threads; none runs or re-arms the timer after it returns. */
KIVO_API void fr_timer_cleanup(void);
/* a + b of two normalised (seconds, microseconds) pairs. */
KIVO_API struct timeval _tv_add(struct timeval a, struct timeval b);
/* -1, 0 or 1 as a < b, a == b, a > b. */
KIVO_API int _COMPARE_INTS(long a, long b);

KIVO_END_DECLS

#endif
