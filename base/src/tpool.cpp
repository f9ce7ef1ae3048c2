/*
 * Thread pool: detached workers, started on demand up to a maximum, run a
 * callback on each item of the pool's queue. Thread-safe build only. No
 * frame exception crosses this file.
 */
#define KIVO_FILE "tpool"
#include <kivo/aqueue.h>
#include <kivo/memory.h>

#if KIVO_THREADS

#include <csignal>
#include <cstdint>

namespace {

// Wake-up token pushed once per worker at shutdown.
void *const kToken = reinterpret_cast<void *>(static_cast<uintptr_t>(1));

// Called with the queue locked by a worker that stops. The last worker of a
// pool that is shutting down releases the queue and the pool.
void worker_leave(fr_tpool *pool)
{
    fr_aqueue *q = pool->queue;
    if (!pool->running && pool->num_threads == 1) {
        pool->num_threads = 0;
        fr_aqueue_unlock(q);
        fr_aqueue_unref(q);
        free(pool);
        return;
    }
    pool->num_threads--;
    fr_aqueue_unlock(q);
}

} // namespace

extern "C" {

KIVO_API fr_tpool *fr_tpool_new(fr_tpool_callback callback, int max_threads, void *user_data)
{
    FR_CHECK_RETURN(callback != nullptr && max_threads > 0, nullptr);
    auto *pool = static_cast<fr_tpool *>(fr_calloc(1, sizeof(fr_tpool)));
    pool->queue = fr_aqueue_new();
    pool->max_threads = max_threads;
    pool->callback = callback;
    pool->user_data = user_data;
    pool->running = 1;
    return pool;
}

KIVO_API int _fr_tpool_start_thread(fr_tpool *pool)
{
    FR_CHECK_RETURN(pool != nullptr, -1);
    if (pool->num_threads >= pool->max_threads)
        return 0;
    // The new thread inherits a full mask, so no signal reaches it before
    // it sets its own.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, _fr_tpool_proxy, pool);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // Count only a thread that exists: a phantom would never take its
    // shutdown token and the pool would never be released.
    if (rc == 0)
        pool->num_threads++;
    return rc;
}

KIVO_API void *_fr_tpool_proxy(void *arg)
{
    auto *pool = static_cast<fr_tpool *>(arg);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);

    fr_aqueue *q = pool->queue;
    const fr_aqueue_timeout idle_limit = {1, 0};
    fr_aqueue_lock(q);
    for (;;) {
        pool->idle_threads++;
        void *item = fr_aqueue_timed_pop_unlocked(q, idle_limit);
        if (item == nullptr)
            item = fr_aqueue_try_pop_unlocked(q);
        pool->idle_threads--;
        if (item == nullptr) {
            worker_leave(pool);
            return nullptr;
        }
        if (!pool->running) {
            if (!pool->finish) {
                worker_leave(pool);
                return nullptr;
            }
            if (--pool->remaining == 0)
                pool->finish = 0;
        }
        fr_aqueue_unlock(q);
        pool->callback(pool->user_data, item);
        fr_aqueue_lock(q);
    }
}

KIVO_API void fr_tpool_push(fr_tpool *pool, void *item)
{
    FR_CHECK_RETURN_VOID(pool != nullptr && item != nullptr);
    fr_aqueue *q = pool->queue;
    fr_aqueue_lock(q);
    if (pool->running) {
        if (pool->idle_threads == 0)
            _fr_tpool_start_thread(pool);
        fr_aqueue_push_unlocked(q, item);
    }
    fr_aqueue_unlock(q);
}

KIVO_API void fr_tpool_free(fr_tpool *pool, int finish)
{
    FR_CHECK_RETURN_VOID(pool != nullptr);
    fr_aqueue *q = pool->queue;
    fr_aqueue_lock(q);
    if (!pool->running) {
        // Already shutting down: a second shutdown would add stray tokens.
        fr_aqueue_unlock(q);
        FR_CHECK_RETURN_VOID(false);
    }
    pool->running = 0;
    pool->finish = finish != 0;
    pool->remaining = fr_aqueue_length_unlocked(q);
    if (pool->remaining == 0)
        pool->finish = 0;
    if (pool->num_threads == 0) {
        // No worker will come to release the pool: do it here, after running
        // what is queued when asked to finish.
        int run = pool->finish ? pool->remaining : 0;
        pool->finish = 0;
        pool->remaining = 0;
        fr_aqueue_unlock(q);
        for (int i = 0; i < run; i++) {
            void *item = fr_aqueue_try_pop(q);
            if (item == nullptr)
                break;
            pool->callback(pool->user_data, item);
        }
        fr_aqueue_unref(q);
        free(pool);
        return;
    }
    for (int i = 0; i < pool->num_threads; i++)
        fr_aqueue_push_unlocked(q, kToken);
    fr_aqueue_unlock(q);
}

} // extern "C"

#endif // KIVO_THREADS
