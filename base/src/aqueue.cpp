/*
 * Asynchronous queue: a mutex-guarded list of non-null pointers with
 * blocking, timed and non-blocking pops. Thread-safe build only. No frame
 * exception crosses this file.
 */
#define KIVO_FILE "asyncqueue"
#include <kivo/aqueue.h>
#include <kivo/memory.h>

#if KIVO_THREADS

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace {

enum class Wait { Try, Forever, Timed };

// The list head doubles as the end marker; it is compared, never dereferenced
// as a node.
fr_aqueue_node *head_of(fr_aqueue_list *l) { return reinterpret_cast<fr_aqueue_node *>(l); }

void list_push_tail(fr_aqueue_list *l, fr_aqueue_node *n)
{
    fr_aqueue_node *head = head_of(l);
    n->next = head;
    n->prev = l->last;
    if (l->last == head)
        l->first = n;
    else
        l->last->next = n;
    l->last = n;
}

fr_aqueue_node *list_pop_head(fr_aqueue_list *l)
{
    fr_aqueue_node *head = head_of(l);
    fr_aqueue_node *n = l->first;
    if (n == head)
        return nullptr;
    l->first = n->next;
    if (n->next == head)
        l->last = head;
    else
        n->next->prev = head;
    return n;
}

bool usable(const fr_aqueue *q) { return q != nullptr && q->refcount > 0; }

// Unlinks the first node; the caller frees it (after unlocking, when it can).
fr_aqueue_node *detach_first(fr_aqueue *q)
{
    fr_aqueue_node *n = list_pop_head(&q->items);
    if (n != nullptr)
        q->length--;
    return n;
}

constexpr int kMaxSpare = 1024;

// Takes the item out of a detached node and keeps the node for a later
// push; the queue's mutex is held.
void *item_of(fr_aqueue *q, fr_aqueue_node *n)
{
    if (n == nullptr)
        return nullptr;
    void *item = n->item;
    if (q->spare_count < kMaxSpare) {
        n->next = q->spare;
        q->spare = n;
        q->spare_count++;
    } else {
        free(n);
    }
    return item;
}

// A node for item, from the spare nodes when there is one; mutex held.
fr_aqueue_node *node_for(fr_aqueue *q, void *item)
{
    fr_aqueue_node *n = q->spare;
    if (n != nullptr) {
        q->spare = n->next;
        q->spare_count--;
    } else {
        n = static_cast<fr_aqueue_node *>(fr_alloc(sizeof(fr_aqueue_node)));
    }
    n->item = item;
    return n;
}

// Absolute deadline on the condition's clock (monotonic, so that setting
// the time of day neither stretches nor cuts a wait short).
timespec deadline_after(fr_aqueue_timeout t)
{
    int64_t rel = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    if (rel < 0)
        rel = 0;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ns = now.tv_nsec + rel % 1000000000;
    timespec d;
    d.tv_sec = now.tv_sec + static_cast<time_t>(rel / 1000000000) + static_cast<time_t>(ns / 1000000000);
    d.tv_nsec = static_cast<long>(ns % 1000000000);
    return d;
}

fr_aqueue_node *pop_locked(fr_aqueue *q, Wait mode, fr_aqueue_timeout timeout)
{
    if (q->length > 0)
        return detach_first(q);
    if (mode == Wait::Try)
        return nullptr;
    q->waiting_threads++;
    if (mode == Wait::Forever) {
        while (q->length == 0)
            pthread_cond_wait(&q->cond, &q->mutex);
    } else {
        timespec deadline = deadline_after(timeout);
        int rc = 0;
        while (q->length == 0 && rc != ETIMEDOUT)
            rc = pthread_cond_timedwait(&q->cond, &q->mutex, &deadline);
    }
    q->waiting_threads--;
    return detach_first(q);
}

void *pop_with_lock(fr_aqueue *q, Wait mode, fr_aqueue_timeout timeout)
{
    FR_CHECK_RETURN(q != nullptr, nullptr);
    pthread_mutex_lock(&q->mutex);
    if (!usable(q)) {
        pthread_mutex_unlock(&q->mutex);
        FR_CHECK_RETURN(false, nullptr);
    }
    void *item = item_of(q, pop_locked(q, mode, timeout));
    pthread_mutex_unlock(&q->mutex);
    return item;
}

constexpr fr_aqueue_timeout kNoTimeout = {0, 0};

} // namespace

extern "C" {

KIVO_API void __fr_destroy_queue(fr_aqueue_list *list)
{
    FR_CHECK_RETURN_VOID(list != nullptr);
    fr_aqueue_node *n;
    while ((n = list_pop_head(list)) != nullptr)
        free(n);
}

KIVO_API fr_aqueue *fr_aqueue_new(void)
{
    auto *q = static_cast<fr_aqueue *>(fr_calloc(1, sizeof(fr_aqueue)));
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&q->cond, &ca);
    pthread_condattr_destroy(&ca);
    // Not recursive and not error-checking, like the default kind; the
    // adaptive variant spins a little before sleeping when the mutex is
    // busy, which spares a futex sleep and wake-up per contended push or
    // pop: a queue's critical sections are a few dozen instructions.
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_settype(&ma, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&q->mutex, &ma);
    pthread_mutexattr_destroy(&ma);
    q->items.first = q->items.last = head_of(&q->items);
    q->waiting_threads = 0;
    q->refcount = 1;
    q->length = 0;
    return q;
}

KIVO_API int fr_aqueue_ref(fr_aqueue *q)
{
    FR_CHECK_RETURN(q != nullptr, -1);
    pthread_mutex_lock(&q->mutex);
    if (!usable(q)) {
        pthread_mutex_unlock(&q->mutex);
        FR_CHECK_RETURN(false, -1);
    }
    q->refcount++;
    pthread_mutex_unlock(&q->mutex);
    return 0;
}

KIVO_API int fr_aqueue_unref(fr_aqueue *q)
{
    FR_CHECK_RETURN(q != nullptr, -1);
    fr_aqueue *aqueue = q;
    pthread_mutex_lock(&aqueue->mutex);
    if (!usable(aqueue)) {
        pthread_mutex_unlock(&aqueue->mutex);
        FR_CHECK_RETURN(false, -1);
    }
    if (--aqueue->refcount > 0) {
        pthread_mutex_unlock(&aqueue->mutex);
        return 0;
    }
    FR_ASSERT(aqueue->waiting_threads == 0);
    pthread_mutex_unlock(&aqueue->mutex);
    // A thread that has just left a wait may still be inside the mutex or
    // the condition: retry until they are free.
    while (pthread_mutex_destroy(&aqueue->mutex) == EBUSY)
        sched_yield();
    while (pthread_cond_destroy(&aqueue->cond) == EBUSY)
        sched_yield();
    __fr_destroy_queue(&aqueue->items);
    while (fr_aqueue_node *n = aqueue->spare) {
        aqueue->spare = n->next;
        free(n);
    }
    free(aqueue);
    return 0;
}

KIVO_API int fr_aqueue_lock(fr_aqueue *q)
{
    FR_CHECK_RETURN(q != nullptr, -1);
    // The count only changes under the mutex, so read it there.
    int rc = pthread_mutex_lock(&q->mutex);
    if (rc != 0)
        return rc;
    if (!usable(q)) {
        pthread_mutex_unlock(&q->mutex);
        FR_CHECK_RETURN(false, -1);
    }
    return 0;
}

KIVO_API int fr_aqueue_unlock(fr_aqueue *q)
{
    FR_CHECK_RETURN(usable(q), -1);
    return pthread_mutex_unlock(&q->mutex);
}

KIVO_API int fr_aqueue_push_unlocked(fr_aqueue *q, void *item)
{
    FR_CHECK_RETURN(usable(q) && item != nullptr, -1);
    list_push_tail(&q->items, node_for(q, item));
    q->length++;
    if (q->waiting_threads > 0)
        pthread_cond_signal(&q->cond);
    return 0;
}

KIVO_API int fr_aqueue_push(fr_aqueue *q, void *item)
{
    FR_CHECK_RETURN(q != nullptr && item != nullptr, -1);
    pthread_mutex_lock(&q->mutex);
    if (!usable(q)) {
        pthread_mutex_unlock(&q->mutex);
        FR_CHECK_RETURN(false, -1);
    }
    list_push_tail(&q->items, node_for(q, item));
    q->length++;
    if (q->waiting_threads > 0)
        pthread_cond_signal(&q->cond);
    pthread_mutex_unlock(&q->mutex);
    return 0;
}

KIVO_API void *fr_aqueue_pop(fr_aqueue *q) { return pop_with_lock(q, Wait::Forever, kNoTimeout); }
KIVO_API void *fr_aqueue_try_pop(fr_aqueue *q) { return pop_with_lock(q, Wait::Try, kNoTimeout); }

KIVO_API void *fr_aqueue_timed_pop(fr_aqueue *q, fr_aqueue_timeout timeout)
{
    return pop_with_lock(q, Wait::Timed, timeout);
}

KIVO_API void *fr_aqueue_pop_unlocked(fr_aqueue *q)
{
    FR_CHECK_RETURN(usable(q), nullptr);
    return item_of(q, pop_locked(q, Wait::Forever, kNoTimeout));
}

KIVO_API void *fr_aqueue_try_pop_unlocked(fr_aqueue *q)
{
    FR_CHECK_RETURN(usable(q), nullptr);
    return item_of(q, pop_locked(q, Wait::Try, kNoTimeout));
}

KIVO_API void *fr_aqueue_timed_pop_unlocked(fr_aqueue *q, fr_aqueue_timeout timeout)
{
    FR_CHECK_RETURN(usable(q), nullptr);
    return item_of(q, pop_locked(q, Wait::Timed, timeout));
}

KIVO_API int fr_aqueue_length(fr_aqueue *q)
{
    FR_CHECK_RETURN(q != nullptr, -1);
    pthread_mutex_lock(&q->mutex);
    int n = usable(q) ? q->length : -1;
    pthread_mutex_unlock(&q->mutex);
    FR_CHECK_RETURN(n >= 0, -1);
    return n;
}

KIVO_API int fr_aqueue_length_unlocked(fr_aqueue *q)
{
    FR_CHECK_RETURN(usable(q), -1);
    return q->length;
}

KIVO_API int fr_aqueue_empty(fr_aqueue *q)
{
    int n = fr_aqueue_length(q);
    return n < 0 ? -1 : n == 0;
}

KIVO_API int fr_aqueue_empty_unlocked(fr_aqueue *q)
{
    FR_CHECK_RETURN(usable(q), -1);
    return q->length == 0;
}

} // extern "C"

#endif // KIVO_THREADS
