// Hash table: hash values, bucket sizing and rehash points, ordering,
// duplicates, key export, release hooks, refusals, caller allocators.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include <kivo/hash.h>
#include "support/struct_support.h"

namespace {

uint32_t J(const char *s) { return fr_hash_func_jenkins(s, (uint32_t)strlen(s)); }
int add(fr_hash_t *t, const std::string &k, long v) { return fr_hash_add(t, k.data(), (uint32_t)k.size(), &v, sizeof v); }
long *find(fr_hash_t *t, const std::string &k) { return (long *)fr_hash_find(t, k.data(), (uint32_t)k.size()); }
int del(fr_hash_t *t, const std::string &k) { return fr_hash_del(t, k.data(), (uint32_t)k.size()); }

std::vector<std::string> keys_of(fr_hash_t *t) {
    std::vector<std::string> out;
    fr_array_t *a = fr_hash_getkeys(t);
    for (int32_t i = 0; a && i < fr_array_length(a); i++) {
        auto *p = (fr_hash_key_t *)fr_array_get(a, i);
        out.emplace_back((const char *)p->key, p->len);
    }
    EXPECT_EQ(1, fr_hash_destroy_keys_array(a));
    return out;
}

TEST(Hash, JenkinsWorkedValuesReadBytesAsSigned) {
    EXPECT_EQ(0x251E4793u, J("abc"));
    EXPECT_EQ(0xFA1ECF51u, J("abcdefghijklmnop"));
    unsigned char e9 = 0xE9;
    EXPECT_EQ(0x68D974CDu, fr_hash_func_jenkins(&e9, 1));
    // The word-at-a-time reads (whole blocks and whole tail words) must
    // agree with a byte-by-byte signed reading for every tail length, with
    // bytes on both sides of 0x80.
    unsigned char k[40];
    for (int i = 0; i < 40; i++) k[i] = (unsigned char)(0x7B + 9 * i);
    auto reference = [&](uint32_t len) {
        uint32_t a = 0x9e3779b9u, b = a, c = 0;
        auto s = [&](uint32_t i) { return (uint32_t)(int32_t)(signed char)k[i]; };
        auto mix = [&] {
            a -= b; a -= c; a ^= (c >> 13); b -= c; b -= a; b ^= (a << 8); c -= a; c -= b; c ^= (b >> 13);
            a -= b; a -= c; a ^= (c >> 12); b -= c; b -= a; b ^= (a << 16); c -= a; c -= b; c ^= (b >> 5);
            a -= b; a -= c; a ^= (c >> 3); b -= c; b -= a; b ^= (a << 10); c -= a; c -= b; c ^= (b >> 15);
        };
        uint32_t o = 0;
        for (; len - o >= 12; o += 12) {
            a += s(o) + (s(o + 1) << 8) + (s(o + 2) << 16) + (s(o + 3) << 24);
            b += s(o + 4) + (s(o + 5) << 8) + (s(o + 6) << 16) + (s(o + 7) << 24);
            c += s(o + 8) + (s(o + 9) << 8) + (s(o + 10) << 16) + (s(o + 11) << 24);
            mix();
        }
        c += len;
        uint32_t *word[] = {&a, &a, &a, &a, &b, &b, &b, &b, &c, &c, &c};
        for (uint32_t i = 0; o + i < len; i++) *word[i] += s(o + i) << (i < 8 ? 8 * (i % 4) : 8 * (i - 7));
        mix();
        return c;
    };
    for (uint32_t len = 1; len <= 40; len++) EXPECT_EQ(reference(len), fr_hash_func_jenkins(k, len)) << len;
}

TEST(Hash, BucketCountsAndRehashPoints) {
    struct { uint32_t hint, size; } cases[] = {{0, 8}, {8, 8}, {9, 16}, {16, 16}, {255, 256}, {1024, 1024}};
    for (auto c : cases) {
        fr_hash_t *t = fr_hash_init_api(c.hint, nullptr, nullptr, nullptr);
        EXPECT_EQ(c.size, t->size) << c.hint;
        EXPECT_EQ(c.size - 1, t->mask);
        fr_hash_unref(t);
    }
    // 8 -> 16 on the insertion that makes the count 6.
    fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
    for (int i = 0; i < 5; i++) add(t, "k" + std::to_string(i), i);
    EXPECT_EQ(8u, t->size);
    add(t, "k5", 5);
    EXPECT_EQ(16u, t->size);
    fr_hash_unref(t);

    // 64 buckets: deletions leaving 19, 18, 17 find the rule met but 64 still
    // the right size, so the chains stay as they are; 16 shrinks to 32. An
    // explicit fr_rehash always rebuilds.
    t = fr_hash_init_api(64, nullptr, nullptr, nullptr);
    for (int i = 0; i < 20; i++) add(t, "key" + std::to_string(i), i);
    ASSERT_EQ(64u, t->size);
    EXPECT_EQ(-1, del(t, "absent"));
    EXPECT_EQ(64u, t->size);
    for (int left = 19; left >= 16; left--) {
        auto *before = t->buckets;
        ASSERT_EQ(0, del(t, "key" + std::to_string(left)));
        EXPECT_EQ(left == 16, before != t->buckets) << left;
        EXPECT_EQ(left == 16 ? 32u : 64u, t->size) << left;
    }
    auto *before = t->buckets;
    EXPECT_EQ(0, fr_rehash(t));
    EXPECT_NE(before, t->buckets);
    EXPECT_EQ(32u, t->size);
    for (int i = 0; i < 16; i++) EXPECT_EQ(i, *find(t, "key" + std::to_string(i)));
    fr_hash_unref(t);
}

TEST(Hash, ReplaceKeepsOrderAndDuplicatesGoTogether) {
    fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
    EXPECT_EQ(1, fr_hash_empty(t));
    {
        LogCapture log;
        EXPECT_EQ(nullptr, fr_hash_getkeys(t));
        EXPECT_EQ(1, log.conditional("fr_hash_getkeys"));
    }
    add(t, "a", 1), add(t, "b", 2), add(t, "c", 3);
    EXPECT_EQ(0, add(t, "a", 10));
    EXPECT_EQ(3u, t->count);
    EXPECT_EQ(10, *find(t, "a"));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), keys_of(t));

    long one = 100, two = 200;
    EXPECT_EQ(0, fr_hash_force_add(t, "d", 1, &one, sizeof one));
    long *second = (long *)fr_hash_force_add_return(t, "d", 1, &two, sizeof two);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(200, *second);
    EXPECT_EQ(5u, t->count);
    EXPECT_EQ(100, *find(t, "d"));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "d", "d"}), keys_of(t));
    EXPECT_EQ(0, del(t, "d"));
    EXPECT_EQ(nullptr, find(t, "d"));
    EXPECT_EQ(3u, t->count);

    // A new hash function rebuilds the table; null restores lookup2.
    EXPECT_EQ(0, fr_hash_setfunc(t, [](const void *, uint32_t n) { return n; }));
    EXPECT_EQ(1u, h_value(t, "zz", 1));
    EXPECT_EQ(10, *find(t, "a"));
    EXPECT_EQ(0, fr_hash_setfunc(t, nullptr));
    EXPECT_EQ(fr_hash_func_jenkins, t->hash_func);
    EXPECT_EQ(J("abc"), fr_hash_value(t, "abc", 3));
    for (auto k : {"a", "b", "c"}) EXPECT_NE(nullptr, find(t, k));
    EXPECT_EQ(0, fr_rehash(t));

    static std::string printed;
    printed.clear();
    EXPECT_EQ(-1, fr_hash_print(t));
    fr_hash_setprinter(t, [](const void *k, void *v) {
        printed += std::string((const char *)k, 1) + std::to_string(*(long *)v);
        return 0;
    });
    EXPECT_EQ(0, fr_hash_print(t));
    EXPECT_EQ("a10b2c3", printed);
    fr_hash_unref(t);
}

TEST(Hash, ReleaseHookDecidesWhoFrees) {
    static std::vector<long> released;
    static std::vector<void *> owned;
    static int keep;
    released.clear();
    CountingAlloc::reset();
    for (keep = 0; keep <= 1; keep++) {
        fr_hash_t *t = fr_hash_init_api(0, [](void *v) {
            released.push_back(*(long *)v);
            if (keep) owned.push_back(v);
            return keep;
        },
                                        &CountingAlloc::api, nullptr);
        add(t, "x", 1), add(t, "x", 2), add(t, "y", 3), add(t, "z", 4);
        del(t, "y");
        EXPECT_EQ(1, fr_hash_unref(t));
        // Hook returning nonzero owns the three copies the table dropped.
        EXPECT_EQ(keep ? 4 : 0, CountingAlloc::live);
        for (void *v : owned) CountingAlloc::api.free(v);
        owned.clear();
    }
    EXPECT_EQ((std::vector<long>{1, 3, 2, 4, 1, 3, 2, 4}), released);
}

TEST(Hash, RefusalsAndReports) {
    LogCapture log;
    fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
    long v = 1;
    EXPECT_EQ(-1, fr_hash_add(nullptr, "a", 1, &v, sizeof v));
    EXPECT_EQ(-1, fr_hash_add(t, nullptr, 1, &v, sizeof v));
    EXPECT_EQ(-1, fr_hash_add(t, "a", 0, &v, sizeof v));
    EXPECT_EQ(-1, fr_hash_add(t, "a", 1, nullptr, 0));
    EXPECT_EQ(-1, fr_hash_force_add(t, "a", 0, &v, sizeof v));
    EXPECT_EQ(nullptr, fr_hash_find(t, "a", 0));
    EXPECT_EQ(-1, fr_hash_del(t, "a", 0));
    EXPECT_EQ(-1, fr_hash_setfunc(nullptr, nullptr));
    EXPECT_EQ(-1, fr_hash_setthresholds(nullptr, 0.1f, 0.9f));
    EXPECT_EQ(-1, fr_rehash(nullptr));
    EXPECT_TRUE(log.reports().empty());
    EXPECT_EQ(0u, t->count);
    // Zero-size values are stored (a one-byte block behind the scenes).
    EXPECT_NE(nullptr, fr_hash_force_add_return(t, "e", 1, &v, 0));

    // Without a hash function every keyed operation reports its own name.
    t->hash_func = nullptr;
    EXPECT_EQ(-1, fr_hash_add(t, "a", 1, &v, sizeof v));
    EXPECT_EQ(-1, fr_hash_force_add(t, "a", 1, &v, sizeof v));
    EXPECT_EQ(nullptr, fr_hash_force_add_return(t, "a", 1, &v, sizeof v));
    EXPECT_EQ(nullptr, fr_hash_find(t, "a", 1));
    EXPECT_EQ(-1, fr_hash_del(t, "a", 1));
    EXPECT_EQ(-1, fr_rehash(t));
    EXPECT_EQ(nullptr, fr_hash_getkeys(t));
    EXPECT_EQ(0, hash_destroy(nullptr));
    for (auto f : {"fr_hash_add", "fr_hash_find", "fr_hash_del", "fr_rehash", "fr_hash_getkeys", "hash_destroy"})
        EXPECT_EQ(1, log.conditional(f)) << f;
    EXPECT_EQ(2, log.conditional("hash_force_add"));
    EXPECT_EQ(std::string("hash"), log.reports()[0].file);
    fr_hash_unref(t);
}

// Every allocation of an operation is made to fail in turn; the operation
// must report failure and leave the table exactly as it was.
TEST(Hash, FailingCallerAllocatorLeavesTableIntact) {
    CountingAlloc::reset();
    fr_hash_t *t = fr_hash_init_api(0, nullptr, &CountingAlloc::api, nullptr);
    ASSERT_NE(nullptr, t);
    int failures = 0;
    for (int i = 0; i < 300; i++) {
        std::string k = "key" + std::to_string(i);
        for (long n = 0;; n++) {
            std::vector<std::string> before = t->count ? keys_of(t) : std::vector<std::string>{};
            long live = CountingAlloc::live;
            CountingAlloc::fail_after(n);
            int rc = (i % 3 == 2) ? del(t, "key" + std::to_string(i - 1)) : add(t, k, i);
            bool failed = CountingAlloc::fail_in < 0;  // the armed failure was used
            CountingAlloc::fail_after(-1);
            if (!failed) {
                ASSERT_EQ(0, rc);
                break;
            }
            if (rc == 0) break;  // failed inside a rehash: the operation itself stands
            failures++;
            EXPECT_EQ(live, CountingAlloc::live);
            EXPECT_EQ(before, t->count ? keys_of(t) : std::vector<std::string>{});
        }
        for (int j = 0; j <= i; j++) {
            long *v = find(t, "key" + std::to_string(j));
            bool deleted = (j % 3 == 1 && j + 1 <= i);
            if (deleted) EXPECT_EQ(nullptr, v) << j;
            else if (j % 3 != 2) { ASSERT_NE(nullptr, v) << j; EXPECT_EQ(j, *v); }
        }
    }
    EXPECT_GT(failures, 300);
    CountingAlloc::fail_after(0);
    EXPECT_EQ(nullptr, fr_hash_getkeys(t));
    CountingAlloc::fail_after(3);
    EXPECT_EQ(nullptr, fr_hash_getkeys(t));
    CountingAlloc::fail_after(-1);
    // A failed rebuild under a new function keeps the old one and the chains.
    fr_hash_func_t weak = [](const void *, uint32_t n) { return n * 7u; };
    ASSERT_EQ(0, fr_hash_setfunc(t, weak));
    CountingAlloc::fail_after(0);
    EXPECT_EQ(-1, fr_hash_setfunc(t, nullptr));
    CountingAlloc::fail_after(-1);
    EXPECT_EQ(weak, t->hash_func);
    for (int j = 0; j < 300; j += 3) EXPECT_NE(nullptr, find(t, "key" + std::to_string(j))) << j;
    ASSERT_EQ(0, fr_hash_setfunc(t, nullptr));
    for (int j = 0; j < 300; j += 3) EXPECT_NE(nullptr, find(t, "key" + std::to_string(j))) << j;
    EXPECT_EQ(1, fr_hash_unref(t));
    EXPECT_EQ(0, CountingAlloc::live);
    EXPECT_EQ(CountingAlloc::calls, CountingAlloc::frees);
}

}  // namespace
