// Data structures under misuse and contention: thresholds that cannot work,
// a printer that edits the table it prints, a writer that must wait while
// it holds the buffer's lock, and two arrays appended into each other from
// two threads. Hangs are caught by running the case in a child with an
// alarm.
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>
#include <kivo/array.h>
#include <kivo/fifobuf.h>
#include <kivo/hash.h>

namespace {

int add(fr_hash_t *t, const std::string &k, long v) { return fr_hash_add(t, k.data(), (uint32_t)k.size(), &v, sizeof v); }

TEST(StructHardening, ThresholdsThatCannotWorkAreRefused) {
    struct Case {
        float shrink, grow;
        int rc;
    };
    const Case cases[] = {
        {0.0f, 0.0f, -1}, {0.5f, 0.5f, -1}, {0.6f, 0.5f, -1}, {0.0f, -1.0f, -1}, {NAN, 0.7f, -1},
        {0.3f, NAN, -1},  {-0.5f, 0.7f, -1}, {0.3f, INFINITY, -1}, {0.3f, 0.7f, 0}, {0.0f, 1.0f, 0},
        {0.2f, 2.0f, 0},
    };
    for (const Case &c : cases) {
        fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
        ASSERT_EQ(c.rc, fr_hash_setthresholds(t, c.shrink, c.grow)) << c.shrink << " " << c.grow;
        if (c.rc != 0) {
            // Refused: the defaults still rule (8 buckets grow to 16 at the sixth key).
            EXPECT_FLOAT_EQ(0.7f, t->grow_threshold);
            EXPECT_FLOAT_EQ(0.3f, t->shrink_threshold);
            for (int i = 0; i < 6; i++) ASSERT_EQ(0, add(t, "k" + std::to_string(i), i));
            EXPECT_EQ(16u, t->size);
        }
        fr_hash_unref(t);
    }
    EXPECT_EQ(-1, fr_hash_setthresholds(nullptr, 0.3f, 0.7f));
}

// The printer of the table under print: deletes what it is shown, or adds.
fr_hash_t *printing;
std::vector<std::string> printed;
std::vector<int> del_results;
bool printer_adds;
int editing_printer(const void *key, void *) {
    std::string k((const char *)key, 2);
    printed.push_back(k);
    if (printer_adds)
        add(printing, "n" + std::to_string(printed.size()), 0);
    else
        del_results.push_back(fr_hash_del(printing, k.data(), 2));
    return 0;
}

TEST(StructHardening, PrinterThatEditsTheTable) {
    for (bool adds : {false, true}) {
        fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
        for (const char *k : {"k1", "k2", "k3"}) ASSERT_EQ(0, add(t, k, 1));
        printing = t;
        printed.clear();
        del_results.clear();
        printer_adds = adds;
        fr_hash_setprinter(t, editing_printer);
        EXPECT_EQ(0, fr_hash_print(t));
        // Every entry present at the start is printed once, nothing more.
        EXPECT_EQ((std::vector<std::string>{"k1", "k2", "k3"}), printed) << (adds ? "adding" : "deleting");
        if (adds) {
            EXPECT_EQ(6u, t->count);
        } else {
            // Deleting the table under print is refused; afterwards it works.
            EXPECT_EQ((std::vector<int>{-1, -1, -1}), del_results);
            EXPECT_EQ(3u, t->count);
            EXPECT_EQ(0, fr_hash_del(t, "k2", 2));
            EXPECT_EQ(2u, t->count);
        }
        fr_hash_unref(t);
    }
}

#if KIVO_THREADS
// Runs body in a child that must exit 0 within `secs` seconds.
template <class F>
void in_child_within(int secs, F body) {
    EXPECT_EXIT(
        {
            alarm(secs);
            body();
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(StructHardeningDeathTest, LockedWriterOfAFullBufferDoesNotHang) {
    in_child_within(10, [] {
        fr_fifobuf_t *b = fr_fifobuf_init(0, 1);
        std::string full(512, 'x');
        if (fr_fifobuf_write(b, full.data(), 512, 0) != 512) _exit(3);
        fr_fifobuf_lock(b);
        // Nobody can read while this thread holds the lock: no wait.
        if (fr_fifobuf_write(b, "y", 1, 0) != 0) _exit(4);
        fr_fifobuf_unlock(b);
        char buf[600];
        if (fr_fifobuf_read(b, buf, sizeof buf) != 512) _exit(5);
        fr_fifobuf_unref(b);
    });
}

TEST(StructHardeningDeathTest, CrossedArrayAppendsDoNotDeadlock) {
    in_child_within(30, [] {
        fr_array_t *a = fr_array_init_sized_api(sizeof(long), 0, nullptr, 0, nullptr, nullptr);
        fr_array_t *b = fr_array_init_sized_api(sizeof(long), 0, nullptr, 0, nullptr, nullptr);
        long one = 1;
        fr_array_append_many(a, &one, 1);
        fr_array_append_many(b, &one, 1);
        auto crossed = [](fr_array_t *dst, fr_array_t *src) {
            for (int i = 0; i < 200000; i++) {
                if (fr_array_append_array(dst, src, 0, 1) != 1) _exit(6);
                if (i % 1000 == 999) fr_array_flush(dst, 1);
            }
        };
        std::thread t1(crossed, a, b), t2(crossed, b, a);
        t1.join();
        t2.join();
        if (fr_array_append_array(a, a, 0, 1) != 1) _exit(7); // one array both ways
        fr_array_unref(a);
        fr_array_unref(b);
    });
}
#endif

}  // namespace
