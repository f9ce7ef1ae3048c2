// Interval timer: firing order, repetition, the minimum arming time,
// sleeping while timers run, clean-up restoring the previous SIGALRM
// action, its log lines, and refused arguments. Callbacks run in the signal
// handler, so they only touch atomics. Time checks assert order and lower
// bounds; upper bounds are loose (shared, noisy machines).
#include <signal.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <string>
#include <vector>

#include <errno.h>
#include <gtest/gtest.h>
#include <kivo/log.h>
#include <kivo/timer.h>

namespace {

int64_t now_us()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

template <class F> bool wait_for(F pred, int64_t limit_us = 10000000)
{
    int64_t end = now_us() + limit_us;
    while (!pred()) {
        if (now_us() > end)
            return false;
        timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr); // SIGALRM may cut it short: fine
    }
    return true;
}

// Records up to 64 firing times, and keeps firing while `left` is positive.
struct Probe {
    std::atomic<int> count{0};
    std::atomic<int> left{0};
    std::atomic<int64_t> at[64];
    std::atomic<int> *order_log = nullptr;
    std::atomic<int> *order_next = nullptr;
    int id = 0;

    static int fire(void *p)
    {
        auto *self = static_cast<Probe *>(p);
        int n = self->count.fetch_add(1);
        if (n < 64)
            self->at[n].store(now_us());
        if (self->order_log)
            self->order_log[self->order_next->fetch_add(1)].store(self->id);
        return self->left.fetch_sub(1) > 1;
    }
};

class Timer : public testing::Test {
  protected:
    void TearDown() override { fr_timer_cleanup(); }
};

TEST_F(Timer, TimeArithmetic)
{
    timeval r = _tv_add(timeval{1, 600000}, timeval{2, 400000});
    EXPECT_EQ(r.tv_sec, 4);
    EXPECT_EQ(r.tv_usec, 0);
    r = _tv_add(timeval{0, 999999}, timeval{0, 2});
    EXPECT_EQ(r.tv_sec, 1);
    EXPECT_EQ(r.tv_usec, 1);
    r = _tv_add(timeval{5, 1}, timeval{0, 0});
    EXPECT_EQ(r.tv_sec, 5);
    EXPECT_EQ(r.tv_usec, 1);
    EXPECT_EQ(_COMPARE_INTS(1, 2), -1);
    EXPECT_EQ(_COMPARE_INTS(2, 2), 0);
    EXPECT_EQ(_COMPARE_INTS(3, -2), 1);
    EXPECT_EQ(minimum_timeout.tv_sec, 0);
    EXPECT_EQ(minimum_timeout.tv_usec, 10000);
}

TEST_F(Timer, ShorterTimerFiresFirst)
{
    std::atomic<int> log[4];
    std::atomic<int> next{0};
    Probe a, b;
    a.id = 100;
    b.id = 50;
    a.order_log = b.order_log = log;
    a.order_next = b.order_next = &next;
    int64_t t0 = now_us();
    ASSERT_EQ(fr_timer_add_usecs(Probe::fire, 0, 100000, &a), 0);
    ASSERT_EQ(fr_timer_add_usecs(Probe::fire, 0, 50000, &b), 0);
    ASSERT_TRUE(wait_for([&] { return next.load() == 2; }));
    EXPECT_EQ(log[0].load(), 50);
    EXPECT_EQ(log[1].load(), 100);
    EXPECT_GE(b.at[0].load() - t0, 50000);
    EXPECT_GE(a.at[0].load() - t0, 100000);
    EXPECT_LT(a.at[0].load() - t0, 5000000);
}

TEST_F(Timer, RepeatingTimerFiresAtItsIntervalUntilItStops)
{
    Probe p;
    p.left = 5;
    int64_t t0 = now_us();
    ASSERT_EQ(fr_timer_add_usecs(Probe::fire, 0, 200000, &p), 0);
    ASSERT_TRUE(wait_for([&] { return p.count.load() >= 5; }, 20000000));
    EXPECT_GE(p.at[0].load() - t0, 200000);
    for (int i = 1; i < 5; i++) {
        int64_t gap = p.at[i].load() - p.at[i - 1].load();
        EXPECT_GE(gap, 200000) << i;
        EXPECT_LT(gap, 3000000) << i;
    }
    // It returned 0 on the fifth run: no sixth.
    timespec ts = {0, 600000000};
    while (nanosleep(&ts, &ts) != 0) {
    }
    EXPECT_EQ(p.count.load(), 5);
}

TEST_F(Timer, NeverArmedForLessThanTheMinimum)
{
    Probe p;
    int64_t t0 = now_us();
    ASSERT_EQ(fr_timer_add_usecs(Probe::fire, 0, 1000, &p), 0);
    ASSERT_TRUE(wait_for([&] { return p.count.load() == 1; }));
    EXPECT_GE(p.at[0].load() - t0, 10000);
    // A zero interval that keeps returning 1 runs once per expiry, not in a
    // loop inside the handler: 20 runs take at least 19 minimum periods.
    Probe z;
    z.left = 20;
    ASSERT_EQ(fr_timer_add_usecs(Probe::fire, 0, 0, &z), 0);
    ASSERT_TRUE(wait_for([&] { return z.count.load() == 20; }));
    EXPECT_GE(z.at[19].load() - z.at[0].load(), 19 * 10000);
}

TEST_F(Timer, SleepLetsOtherTimersRun)
{
    Probe tick;
    tick.left = 1000;
    ASSERT_EQ(fr_timer_add_usecs(Probe::fire, 0, 100000, &tick), 0);
    int64_t t0 = now_us();
    EXPECT_EQ(fr_timer_sleep_secs(1), 0);
    int64_t slept = now_us() - t0;
    EXPECT_GE(slept, 1000000);
    EXPECT_LT(slept, 10000000);
    EXPECT_GE(tick.count.load(), 5);
    int before = tick.count.load();
    EXPECT_EQ(fr_timer_sleep_usecs(0, 300000), 0);
    EXPECT_GT(tick.count.load(), before);
    EXPECT_GE(now_us() - t0, 1300000);
}

volatile sig_atomic_t g_user_alarms;
void user_handler(int) { g_user_alarms = g_user_alarms + 1; }

std::vector<std::string> g_lines;
void keep_line(const char *file, int, const char *function, int level, const char *message)
{
    g_lines.push_back(std::string(file) + "|" + function + "|" + std::to_string(level) + "|" +
                      message);
}

TEST_F(Timer, CleanupRestoresThePreviousAction)
{
    struct sigaction mine, seen;
    memset(&mine, 0, sizeof mine);
    mine.sa_handler = user_handler;
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &mine, nullptr), 0);

    ASSERT_EQ(fr_timer_init(), 1);
    ASSERT_EQ(fr_timer_init(), 1); // a second init keeps the saved action
    sigaction(SIGALRM, nullptr, &seen);
    EXPECT_NE(seen.sa_handler, user_handler);
    Probe p;
    ASSERT_EQ(fr_timer_add_secs(Probe::fire, 30, &p), 0);
    itimerval it;
    getitimer(ITIMER_REAL, &it);
    EXPECT_GT(it.it_value.tv_sec + it.it_value.tv_usec, 0);

    fr_log_init_custom(keep_line);
    g_lines.clear();
    fr_timer_cleanup();
    fr_log_setlogger(nullptr);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0], "timer|fr_timer_cleanup|7|Destroying timer list");

    sigaction(SIGALRM, nullptr, &seen);
    EXPECT_EQ(seen.sa_handler, user_handler);
    getitimer(ITIMER_REAL, &it);
    EXPECT_EQ(it.it_value.tv_sec, 0);
    EXPECT_EQ(it.it_value.tv_usec, 0);
    EXPECT_EQ(g_user_alarms, 0);
    EXPECT_EQ(p.count.load(), 0);

    // Adding a timer installs the handler again; the user's is back after.
    ASSERT_EQ(fr_timer_add_usecs(Probe::fire, 0, 20000, &p), 0);
    ASSERT_TRUE(wait_for([&] { return p.count.load() == 1; }));
    fr_timer_cleanup();
    sigaction(SIGALRM, nullptr, &seen);
    EXPECT_EQ(seen.sa_handler, user_handler);
    EXPECT_EQ(g_user_alarms, 0);
    signal(SIGALRM, SIG_DFL);
}

TEST_F(Timer, RefusedArguments)
{
    Probe p;
    EXPECT_EQ(fr_timer_add_usecs(nullptr, 0, 10, &p), -1);
    EXPECT_EQ(fr_timer_add_usecs(Probe::fire, 0, 1000000, &p), -1);
    EXPECT_EQ(fr_timer_add_usecs(Probe::fire, 0, -1, &p), -1);
    EXPECT_EQ(fr_timer_add_usecs(Probe::fire, -1, 0, &p), -1);
    EXPECT_EQ(fr_timer_add_secs(nullptr, 1, &p), -1);
    EXPECT_EQ(fr_timer_sleep_usecs(0, 1000000), -1);
    EXPECT_EQ(fr_timer_sleep_secs(-1), -1);
    itimerval it;
    getitimer(ITIMER_REAL, &it);
    EXPECT_EQ(it.it_value.tv_sec + it.it_value.tv_usec, 0); // nothing armed
    fr_timer_cleanup(); // with nothing installed: harmless
    fr_timer_cleanup();
}

} // namespace

namespace {

struct Adder {
    std::atomic<int> added{0}, refused{0}, other_errors{0}, done{0};
    static int never(void *) { return 0; }
    // Runs in the signal handler: adds 40 far-off timers.
    static int fire(void *p)
    {
        auto *self = static_cast<Adder *>(p);
        for (int i = 0; i < 40; i++) {
            if (fr_timer_add_usecs(never, 100, 0, nullptr) == 0)
                self->added++;
            else if (errno == EAGAIN)
                self->refused++;
            else
                self->other_errors++;
        }
        self->done.store(1);
        return 0;
    }
};

} // namespace

// A callback runs in the signal handler, where allocating could deadlock:
// its adds take entries from a reserve of 16 and are refused (EAGAIN) once
// it is used up; an add made outside a callback refills it.
TEST_F(Timer, CallbacksAddOnlyFromTheReserve)
{
    for (int round = 0; round < 2; round++) {
        Adder a;
        ASSERT_EQ(0, fr_timer_add_usecs(Adder::fire, 0, 1000, &a));
        ASSERT_TRUE(wait_for([&] { return a.done.load() == 1; })) << "round " << round;
        EXPECT_EQ(16, a.added.load()) << "round " << round;
        EXPECT_EQ(24, a.refused.load()) << "round " << round;
        EXPECT_EQ(0, a.other_errors.load()) << "round " << round;
    }
}
