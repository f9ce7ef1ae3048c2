/*
 * Interval timer: one process-wide list of software timers multiplexed on
 * ITIMER_REAL and SIGALRM. The list is changed only with every signal
 * blocked in the changing thread and under a spin lock (a signal handler in
 * another thread may run at the same time); the lock is never held across a
 * callback. Callbacks run inside the signal handler, so the one thing they
 * may do with this file is add a timer: such an add takes an entry from a
 * reserve that adds made outside callbacks refill, and never allocates;
 * with the reserve used up it is refused (EAGAIN). Times come from the
 * monotonic clock, so setting the time of day does not stall or rush the
 * timers. The clean-up waits for handlers running in other threads and
 * keeps them from arming the timer again before it restores the previous
 * SIGALRM action. No frame exception crosses this file.
 */
#define KIVO_FILE "timer"
#include <kivo/timer.h>
#include <kivo/memory.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <ctime>
#if KIVO_THREADS
#include <pthread.h>
#endif

extern "C" KIVO_API const struct timeval minimum_timeout = {0, 10000};

namespace {

fr_timer_link g_list = {&g_list, &g_list};
// Entries whose callback returned 0: the handler may not call free(), so
// they wait here to be reused by the next add or freed by the clean-up.
fr_timer_link g_spare = {&g_spare, &g_spare};
int g_spare_count; // entries on g_spare; lock held
// Spare entries kept for adds from callbacks.
constexpr int kReserve = 16;
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
struct sigaction g_previous;
std::atomic<bool> g_installed{false};
// Set by fr_timer_cleanup(): expiries do nothing and arm nothing.
std::atomic<bool> g_stopping{false};
// Expiry passes running now, in any thread.
std::atomic<int> g_running{0};
// Expiry passes running in this thread (a callback is running when > 0).
__thread int t_expiring __attribute__((tls_model("initial-exec")));

void list_lock()
{
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
}

void list_unlock() { g_lock.clear(std::memory_order_release); }

void block_all(sigset_t *old)
{
    sigset_t all;
    sigfillset(&all);
#if KIVO_THREADS
    pthread_sigmask(SIG_SETMASK, &all, old);
#else
    sigprocmask(SIG_SETMASK, &all, old);
#endif
}

void restore_mask(const sigset_t *old)
{
#if KIVO_THREADS
    pthread_sigmask(SIG_SETMASK, old, nullptr);
#else
    sigprocmask(SIG_SETMASK, old, nullptr);
#endif
}

fr_timer *timer_of(fr_timer_link *l)
{
    return reinterpret_cast<fr_timer *>(reinterpret_cast<char *>(l) - offsetof(fr_timer, link));
}

timeval now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    timeval tv;
    tv.tv_sec = ts.tv_sec;
    tv.tv_usec = ts.tv_nsec / 1000;
    return tv;
}

int tv_cmp(const timeval &a, const timeval &b)
{
    int c = _COMPARE_INTS(a.tv_sec, b.tv_sec);
    return c ? c : _COMPARE_INTS(a.tv_usec, b.tv_usec);
}

// a - b, normalised; negative results come out with negative seconds.
timeval tv_sub(const timeval &a, const timeval &b)
{
    timeval d;
    d.tv_sec = a.tv_sec - b.tv_sec;
    d.tv_usec = a.tv_usec - b.tv_usec;
    if (d.tv_usec < 0) {
        d.tv_usec += 1000000;
        d.tv_sec -= 1;
    }
    return d;
}

// Before the first entry whose expiry is later than or equal to t's: among
// equal expiries the newest runs first. Lock held.
void insert_sorted(fr_timer *t)
{
    fr_timer_link *l = g_list.next;
    while (l != &g_list && tv_cmp(timer_of(l)->expiry, t->expiry) < 0)
        l = l->next;
    t->link.next = l;
    t->link.prev = l->prev;
    l->prev->next = &t->link;
    l->prev = &t->link;
}

void unlink_timer(fr_timer *t)
{
    t->link.prev->next = t->link.next;
    t->link.next->prev = t->link.prev;
    t->link.next = t->link.prev = nullptr;
}

// Lock held.
void push_spare(fr_timer *t)
{
    t->link.next = &g_spare;
    t->link.prev = g_spare.prev;
    g_spare.prev->next = &t->link;
    g_spare.prev = &t->link;
    g_spare_count++;
}

// Lock held.
fr_timer *take_spare()
{
    if (g_spare.next == &g_spare)
        return nullptr;
    fr_timer *t = timer_of(g_spare.next);
    unlink_timer(t);
    g_spare_count--;
    return t;
}

// Outside callbacks only: tops the spare entries up to the reserve.
void refill_reserve()
{
    for (;;) {
        list_lock();
        bool enough = g_spare_count >= kReserve;
        list_unlock();
        if (enough)
            return;
        auto *t = static_cast<fr_timer *>(fr_alloc(sizeof(fr_timer)));
        list_lock();
        push_spare(t);
        list_unlock();
    }
}

void stop_timer()
{
    itimerval zero;
    memset(&zero, 0, sizeof zero);
    if (setitimer(ITIMER_REAL, &zero, nullptr) != 0)
        fr_log_impl(KIVO_FILE, __LINE__, "_stop_timer", 2, 4, "Stopping timer:%s", strerror(errno));
}

// One-shot arming for the first entry; under the lock so that the last
// thread to arm always sees the current head of the list.
void arm_timer()
{
    list_lock();
    if (g_list.next != &g_list && !g_stopping.load()) {
        timeval delay = tv_sub(timer_of(g_list.next)->expiry, now());
        if (tv_cmp(delay, minimum_timeout) <= 0)
            delay = minimum_timeout;
        itimerval it;
        memset(&it, 0, sizeof it);
        it.it_value = delay;
        setitimer(ITIMER_REAL, &it, nullptr);
    }
    list_unlock();
}

// Runs every entry due when it starts, each at most once: an entry re-armed
// for a short interval waits for the next expiry instead of spinning here.
void expire()
{
    // Counted before the test, so that the clean-up either sees this pass
    // and waits for it, or this pass sees the clean-up and stays out.
    g_running.fetch_add(1);
    if (g_stopping.load()) {
        g_running.fetch_sub(1);
        return;
    }
    t_expiring++;
    stop_timer();
    const timeval start = now();
    for (;;) {
        list_lock();
        fr_timer_link *first = g_list.next;
        if (first == &g_list || tv_cmp(timer_of(first)->expiry, start) > 0) {
            list_unlock();
            break;
        }
        fr_timer *t = timer_of(first);
        unlink_timer(t);
        list_unlock();
        if (t->callback(t->user_data) == 0) {
            list_lock();
            push_spare(t);
            list_unlock();
            continue;
        }
        t->expiry = _tv_add(now(), t->interval);
        if (tv_cmp(t->expiry, start) <= 0)
            t->expiry = _tv_add(start, timeval{0, 1});
        list_lock();
        insert_sorted(t);
        list_unlock();
    }
    arm_timer();
    t_expiring--;
    g_running.fetch_sub(1);
}

void on_alarm(int) 
{
    int saved = errno;
    expire();
    errno = saved;
}

fr_timer *add_timer(fr_timer_callback callback, long seconds, long microseconds, void *user_data)
{
    if (!g_installed.load() && !fr_timer_init())
        return nullptr;
    sigset_t old;
    block_all(&old);
    bool in_callback = t_expiring > 0;
    list_lock();
    fr_timer *t = take_spare();
    list_unlock();
    if (t == nullptr) {
        if (in_callback) { // no allocation inside a signal handler
            restore_mask(&old);
            errno = EAGAIN;
            return nullptr;
        }
        t = static_cast<fr_timer *>(fr_alloc(sizeof(fr_timer)));
    }
    if (!in_callback)
        refill_reserve();
    stop_timer();
    t->callback = callback;
    t->user_data = user_data;
    t->interval.tv_sec = seconds;
    t->interval.tv_usec = microseconds;
    t->expiry = _tv_add(now(), t->interval);
    list_lock();
    insert_sorted(t);
    list_unlock();
    arm_timer();
    restore_mask(&old);
    return t;
}

bool valid_interval(long seconds, long microseconds)
{
    return seconds >= 0 && microseconds >= 0 && microseconds < 1000000;
}

int wake_sleeper(void *flag)
{
    static_cast<std::atomic<int> *>(flag)->store(0);
    return 0;
}

bool still_listed(const fr_timer *t)
{
    bool found = false;
    list_lock();
    for (fr_timer_link *l = g_list.next; l != &g_list && !found; l = l->next)
        found = timer_of(l) == t;
    list_unlock();
    return found;
}

} // namespace

extern "C" {

KIVO_API struct timeval _tv_add(struct timeval a, struct timeval b)
{
    timeval r;
    r.tv_usec = a.tv_usec + b.tv_usec;
    r.tv_sec = a.tv_sec + b.tv_sec;
    if (r.tv_usec >= 1000000) {
        r.tv_usec %= 1000000;
        r.tv_sec += 1;
    }
    return r;
}

KIVO_API int _COMPARE_INTS(long a, long b) { return (a > b) - (a < b); }

KIVO_API int fr_timer_init(void)
{
    sigset_t old;
    block_all(&old);
    int ok = 1;
    // A second init must not save our own handler as the one to restore.
    if (!g_installed.load()) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_alarm;
        sigfillset(&sa.sa_mask);
        sa.sa_flags = 0;
        if (sigaction(SIGALRM, &sa, &g_previous) == 0)
            g_installed.store(true);
        else
            ok = 0;
    }
    if (ok && t_expiring == 0)
        refill_reserve();
    restore_mask(&old);
    return ok;
}

KIVO_API int fr_timer_add_usecs(fr_timer_callback callback, long seconds, long microseconds,
                                void *user_data)
{
    FR_CHECK_RETURN(callback != nullptr && valid_interval(seconds, microseconds), -1);
    return add_timer(callback, seconds, microseconds, user_data) ? 0 : -1;
}

KIVO_API int fr_timer_add_secs(fr_timer_callback callback, long seconds, void *user_data)
{
    return fr_timer_add_usecs(callback, seconds, 0, user_data);
}

KIVO_API int fr_timer_sleep_usecs(long seconds, long microseconds)
{
    FR_CHECK_RETURN(valid_interval(seconds, microseconds), -1);
    // The flag is this call's own, so two sleeping threads do not wake
    // each other.
    std::atomic<int> sleeping{1};
    sigset_t old;
    block_all(&old);
    fr_timer *mine = add_timer(wake_sleeper, seconds, microseconds, &sleeping);
    if (mine == nullptr) {
        restore_mask(&old);
        return -1;
    }
    const timeval deadline = _tv_add(now(), timeval{seconds, microseconds});
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    while (sleeping.load()) {
        // Bounded waits: another thread may take the signal and run our
        // callback, and then no SIGALRM comes here.
        timespec slice = {0, 100 * 1000 * 1000};
        int sig = sigtimedwait(&alarm, nullptr, &slice);
        if (sig == SIGALRM) {
            expire();
            continue;
        }
        timeval late = tv_sub(now(), deadline);
        if (late.tv_sec < 0 || !sleeping.load())
            continue;
        expire();
        // Removed by fr_timer_cleanup() meanwhile: nothing will wake us.
        if (late.tv_sec >= 1 && sleeping.load() && !still_listed(mine))
            break;
    }
    restore_mask(&old);
    return 0;
}

KIVO_API int fr_timer_sleep_secs(long seconds) { return fr_timer_sleep_usecs(seconds, 0); }

KIVO_API void fr_timer_cleanup(void)
{
    sigset_t old;
    block_all(&old);
    // Keep handlers in other threads from running callbacks or arming the
    // timer again, and wait for those already running (not for this
    // thread's own, when called from a callback).
    g_stopping.store(true);
    while (g_running.load() > t_expiring) {
        timespec pause = {0, 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    stop_timer();
    if (g_installed.load()) {
        // An expiry that came in while signals were blocked would otherwise
        // reach the restored action (by default: end the process).
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        timespec zero = {0, 0};
        while (sigtimedwait(&alarm, nullptr, &zero) == SIGALRM) {
        }
        if (sigaction(SIGALRM, &g_previous, nullptr) != 0)
            fr_log_impl(KIVO_FILE, __LINE__, __func__, 2, 4, "Restoring previos SIGALRM handler:%s",
                        strerror(errno));
        g_installed.store(false);
    }
    fr_log_impl(KIVO_FILE, __LINE__, __func__, 2, 7, "Destroying timer list");
    list_lock();
    while (g_list.next != &g_list) {
        fr_timer *t = timer_of(g_list.next);
        unlink_timer(t);
        free(t);
    }
    while (fr_timer *t = take_spare())
        free(t);
    list_unlock();
    g_stopping.store(false);
    restore_mask(&old);
}

} // extern "C"
