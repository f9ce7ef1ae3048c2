// Dynamic array: step growth, the 15 % shrink rule, removal forms, binary
// search, refusals and failing caller allocators.
#include <gtest/gtest.h>
#include <string.h>
#include <vector>
#include <kivo/array.h>
#include "support/struct_support.h"

namespace {

std::vector<int> contents(fr_array_t *a) {
    int *d = (int *)fr_array_data(a);
    return std::vector<int>(d, d + fr_array_length(a));
}
fr_array_t *ints(std::vector<int> v, fr_array_release_t rel = nullptr) {
    fr_array_t *a = fr_array_init_sized_api(4, 0, rel, 0, nullptr, nullptr);
    fr_array_append_many(a, v.data(), (int32_t)v.size());
    return a;
}
int cmp_int(const void *a, const void *b) { return *(const int *)a - *(const int *)b; }

TEST(Array, CapacityStepsAndShrinkRule) {
    fr_array_t *a = fr_array_init_sized_api(4, 10, nullptr, 1, nullptr, nullptr);
    EXPECT_EQ(0, fr_array_length(a));
    EXPECT_EQ(128, fr_array_alloc(a));
    EXPECT_EQ(std::vector<char>(40, 0), std::vector<char>((char *)a->data, (char *)a->data + 40));
    fr_array_unref(a);

    std::vector<int> v(300);
    for (int i = 0; i < 300; i++) v[i] = i;
    a = ints(std::vector<int>(v.begin(), v.begin() + 32));
    EXPECT_EQ(256, fr_array_alloc(a));  // need 128 takes the next step
    fr_array_append_many(a, v.data(), 32);
    EXPECT_EQ(256, fr_array_alloc(a));  // need 256 still fits
    fr_array_unref(a);
    a = ints(std::vector<int>(v.begin(), v.begin() + 64));
    EXPECT_EQ(384, fr_array_alloc(a));  // a growth for 256 bytes gets 384
    fr_array_unref(a);

    // Capacity 1024: down to 32 elements keeps it, 31 shrinks to 128.
    a = ints(std::vector<int>(v.begin(), v.begin() + 250));
    ASSERT_EQ(1024, fr_array_alloc(a));
    fr_array_remove_range(a, 32, 1000);  // cut at the end
    EXPECT_EQ(32, fr_array_length(a));
    EXPECT_EQ(1024, fr_array_alloc(a));
    fr_array_remove_index_fast(a, 0);
    EXPECT_EQ(31, fr_array_length(a));
    EXPECT_EQ(128, fr_array_alloc(a));
    EXPECT_EQ(31, contents(a)[0]);  // the last element took index 0
    fr_array_remove_index_fast(a, 30);  // the last one: only shortens
    std::vector<int> now = contents(a);
    EXPECT_EQ((std::vector<int>{31, 1, 2}), std::vector<int>(now.begin(), now.begin() + 3));
    EXPECT_EQ(30, fr_array_length(a));
    fr_array_unref(a);
}

TEST(Array, EditingOperations) {
    static std::vector<int> released;
    released.clear();
    fr_array_t *a = ints({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, [](void *e) { released.push_back(*(int *)e); });
    int ins[] = {100, 101};
    EXPECT_EQ(0, fr_array_insert_many(a, 2, ins, 2));
    EXPECT_EQ(0, fr_array_insert_many(a, 12, ins, 1));  // at the length: appends
    EXPECT_EQ((std::vector<int>{0, 1, 100, 101, 2, 3, 4, 5, 6, 7, 8, 9, 100}), contents(a));
    fr_array_remove_range(a, 1, 3);
    EXPECT_EQ((std::vector<int>{1, 100, 101}), released);
    fr_array_flush(a, 7);
    EXPECT_EQ((std::vector<int>{0, 2, 3, 4, 5, 6, 7}), contents(a));
    EXPECT_EQ(6u, released.size());

    fr_array_t *src = ints({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_EQ(5, fr_array_append_array(a, src, 2, 5));
    EXPECT_EQ(2, contents(a)[7]);
    EXPECT_EQ(6, contents(a)[11]);
    EXPECT_EQ(3, fr_array_append_array(a, src, 7, 9));  // only to the end
    EXPECT_EQ(4, fr_array_append_array(src, src, 6, 10));  // from itself
    std::vector<int> grown = contents(src);
    EXPECT_EQ((std::vector<int>{6, 7, 8, 9}), std::vector<int>(grown.begin() + 10, grown.end()));

    fr_array_t *s = ints({7, 1, 5, 3});
    fr_array_sort(s, cmp_int);
    EXPECT_EQ((std::vector<int>{1, 3, 5, 7}), contents(s));
    for (int k = 0; k <= 8; k++)
        EXPECT_EQ(k % 2 ? (k - 1) / 2 : -1, fr_array_binary_search(s, cmp_int, &k)) << k;
    fr_array_unref(s);
    fr_array_unref(src);
    released.clear();
    fr_array_unref(a);
    EXPECT_EQ(15u, released.size());  // destruction releases every element
}

TEST(Array, RefusalsAreReportedAndChangeNothing) {
    LogCapture log;
    EXPECT_EQ(nullptr, fr_array_init_sized_api(-1, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(nullptr, fr_array_init_sized_api(4, -1, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(2, log.conditional("fr_array_init_sized_api"));
    fr_array_t *a = ints({1, 2, 3});
    fr_array_t *b8 = fr_array_init_sized_api(8, 0, nullptr, 0, nullptr, nullptr);
    int x = 9;
    EXPECT_EQ(-1, fr_array_append_many(a, &x, -1));
    EXPECT_EQ(0, fr_array_append_many(a, &x, 0));
    EXPECT_EQ(-1, fr_array_insert_many(a, 0, &x, 0));
    EXPECT_EQ(-1, fr_array_insert_many(a, 4, &x, 1));
    EXPECT_EQ(-1, fr_array_insert_many(a, -1, &x, 1));
    EXPECT_EQ(-1, fr_array_append_array(a, b8, 0, 0));
    EXPECT_EQ(-1, fr_array_append_array(a, a, 3, 3));
    EXPECT_EQ(-1, fr_array_append_array(a, nullptr, 0, 1));
    fr_array_remove_range(a, 3, 1);
    fr_array_remove_range(a, -1, 1);
    fr_array_remove_index_fast(a, 3);
    fr_array_remove_index_fast(nullptr, 0);
    fr_array_flush(a, 3);
    fr_array_flush(a, -1);
    EXPECT_EQ(nullptr, fr_array_get(a, -1));
    EXPECT_EQ(nullptr, fr_array_get(a, 3));
    EXPECT_EQ(-1, arr_binary_search(a, 2, 2, cmp_int, &x));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), contents(a));
    EXPECT_EQ(1, log.conditional("arr_append_many"));
    EXPECT_EQ(3, log.conditional("arr_insert_many"));
    EXPECT_EQ(3, log.conditional("arr_append_array"));
    EXPECT_EQ(2, log.conditional("arr_remove_range"));
    EXPECT_EQ(2, log.conditional("arr_remove_index_fast"));
    EXPECT_EQ(2, log.conditional("arr_flush"));
    EXPECT_EQ(2, log.conditional("fr_array_get"));
    fr_array_flush(a, 0);
    EXPECT_EQ(-1, fr_array_binary_search(a, cmp_int, &x));
    EXPECT_EQ(1, log.conditional("fr_array_binary_search"));
    // An empty array's destruction reports its flush refusal once.
    log.clear();
    fr_array_unref(a);
    fr_array_unref(b8);
    EXPECT_EQ(2, log.conditional("arr_flush"));
    EXPECT_EQ(2u, log.reports().size());
    EXPECT_EQ("array", log.reports()[0].file);
}

TEST(Array, FailingCallerAllocatorLeavesArrayIntact) {
    CountingAlloc::reset();
    fr_array_t *a = fr_array_init_sized_api(8, 0, nullptr, 0, &CountingAlloc::api, nullptr);
    std::vector<long> model;
    for (long i = 0; i < 200; i++) {
        CountingAlloc::fail_after(i % 2 ? 0 : -1);
        long v[3] = {i, i, i};
        int rc = (i % 3) ? fr_array_append_many(a, v, 3) : fr_array_insert_many(a, 0, v, 3);
        bool failed = CountingAlloc::fail_in < 0 && i % 2;
        CountingAlloc::fail_after(-1);
        if (rc == 0) model.insert((i % 3) ? model.end() : model.begin(), 3, i);
        if (!failed) {
            EXPECT_EQ(0, rc);
        }
        ASSERT_EQ((int32_t)model.size(), fr_array_length(a));
        ASSERT_EQ(0, memcmp(model.data(), fr_array_data(a), model.size() * 8));
        ASSERT_GE(fr_array_alloc(a), (int32_t)model.size() * 8);
    }
    fr_array_unref(a);
    EXPECT_EQ(0, CountingAlloc::live);
    EXPECT_EQ(CountingAlloc::calls, CountingAlloc::frees);
}

}  // namespace
