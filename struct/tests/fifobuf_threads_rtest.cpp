// FIFO buffer between threads: a writer blocked at the maximum times out,
// producers and consumers exchange every byte.
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>
#include <kivo/fifobuf.h>

namespace {

TEST(FifobufThreads, FullWriterTimesOut) {
    fr_fifobuf_t *b = fr_fifobuf_init(0, 1);
    std::string s(512, 'x');
    ASSERT_EQ(512, fr_fifobuf_write(b, s.data(), 512, 1));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, fr_fifobuf_write(b, "y", 1, 1));
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(secs, 0.95);
    EXPECT_EQ(0, b->waiting_writers);

    // A waiting writer (no time-out) finishes once a reader makes room.
    std::string big(1500, 'z');
    std::thread w([&] { EXPECT_EQ(1500, fr_fifobuf_write(b, big.data(), 1500, 0)); });
    std::string got;
    char buf[256];
    while (got.size() < 2012) {
        int32_t n = fr_fifobuf_read(b, buf, sizeof buf);
        ASSERT_GE(n, 0);
        got.append(buf, n);
        if (n == 0) std::this_thread::yield();
    }
    w.join();
    EXPECT_EQ(s + big, got);
    fr_fifobuf_unref(b);
}

// Four producers write 64-byte chunks of their own byte value; four
// consumers read; every byte arrives exactly once. One producer and one
// consumer over a small buffer keep the byte order.
TEST(FifobufThreads, ProducersAndConsumers) {
    constexpr int kProducers = 4, kChunks = 4000;
    fr_fifobuf_t *b = fr_fifobuf_init(0, 2048);
    std::atomic<long> counts[kProducers] = {};
    std::atomic<long> total{0};
    std::vector<std::thread> ts;
    for (int p = 0; p < kProducers; p++)
        ts.emplace_back([&, p] {
            std::string chunk(64, (char)p);
            for (int i = 0; i < kChunks; i++) ASSERT_EQ(64, fr_fifobuf_write(b, chunk.data(), 64, 0));
        });
    for (int c = 0; c < 4; c++)
        ts.emplace_back([&] {
            char buf[100];
            while (total.load() < (long)kProducers * kChunks * 64) {
                int32_t n = fr_fifobuf_read(b, buf, sizeof buf);
                for (int i = 0; i < n; i++) counts[(int)buf[i]]++;
                total += n;
                if (n == 0) std::this_thread::yield();
            }
        });
    for (auto &t : ts) t.join();
    for (auto &c : counts) EXPECT_EQ(kChunks * 64L, c.load());
    EXPECT_EQ(kProducers * kChunks * 64L, total.load());
    EXPECT_LE(b->capacity, b->maximum);

    std::string sent(200000, '\0');
    for (size_t i = 0; i < sent.size(); i++) sent[i] = (char)(i * 131 % 251);
    std::thread w([&] {
        for (size_t o = 0; o < sent.size(); o += 1000) fr_fifobuf_write(b, sent.data() + o, 1000, 0);
    });
    std::string got;
    char buf[777];
    while (got.size() < sent.size()) {
        int32_t n = fr_fifobuf_read(b, buf, sizeof buf);
        got.append(buf, n);
        if (n == 0) std::this_thread::yield();
    }
    w.join();
    EXPECT_TRUE(got == sent);
    fr_fifobuf_unref(b);
}

}  // namespace
