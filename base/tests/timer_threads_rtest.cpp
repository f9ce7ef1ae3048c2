// Interval timer with threads: the clean-up racing a SIGALRM handler that
// runs in another thread.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>
#include <kivo/timer.h>

namespace {

std::atomic<int> entered{0};

// Repeats every 20 ms; the first run takes half a second.
int slow_repeat(void *)
{
    if (entered.exchange(1) == 0) {
        timespec ts = {0, 500 * 1000 * 1000};
        while (nanosleep(&ts, &ts) != 0) {
        }
    }
    return 1;
}

void *take_alarms(void *)
{
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &s, nullptr);
    for (;;)
        pause();
    return nullptr;
}

// This thread blocks SIGALRM; another takes it. The clean-up here runs
// while the handler there is inside a callback that asks to run again.
int cleanup_during_handler()
{
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &s, nullptr);
    pthread_t t;
    if (pthread_create(&t, nullptr, take_alarms, nullptr) != 0)
        return 2;
    if (fr_timer_add_usecs(slow_repeat, 0, 20000, nullptr) != 0)
        return 3;
    for (int i = 0; i < 5000 && !entered.load(); i++)
        usleep(1000);
    if (!entered.load())
        return 4;
    fr_timer_cleanup();
    // Were the timer armed again, SIGALRM would now meet the default
    // action and end the process.
    timespec ts = {1, 0};
    while (nanosleep(&ts, &ts) != 0) {
    }
    return 0;
}

} // namespace

TEST(TimerThreads, CleanupWaitsForAHandlerInAnotherThread)
{
    EXPECT_EXIT(_exit(cleanup_during_handler()), testing::ExitedWithCode(0), "");
}
