// Long random operation sequences on the hash table and the array, checked
// step by step against simple reference models.
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <utility>
#include <vector>
#include <kivo/array.h>
#include <kivo/hash.h>

namespace {

TEST(Model, HashTableMatchesInsertionOrderedMultimap) {
    std::mt19937 rng(12345);
    fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
    std::vector<std::pair<std::string, long>> model;  // insertion order
    std::vector<std::string> pool;
    for (int i = 0; i < 150; i++) {
        std::string k(1 + rng() % 20, '\0');
        for (char &c : k) c = (char)(rng() % 256);  // high bytes included
        pool.push_back(k);
    }
    auto first = [&](const std::string &k) {
        for (auto &e : model)
            if (e.first == k) return &e;
        return (std::pair<std::string, long> *)nullptr;
    };
    for (long step = 0; step < 40000; step++) {
        const std::string &k = pool[rng() % pool.size()];
        uint32_t n = (uint32_t)k.size();
        switch (rng() % 8) {
        case 0: case 1: case 2: {
            ASSERT_EQ(0, fr_hash_add(t, k.data(), n, &step, sizeof step));
            if (auto *e = first(k)) e->second = step;
            else model.emplace_back(k, step);
            break;
        }
        case 3:
            ASSERT_EQ(0, fr_hash_force_add(t, k.data(), n, &step, sizeof step));
            model.emplace_back(k, step);
            break;
        case 4: case 5: {
            size_t before = model.size();
            std::erase_if(model, [&](auto &e) { return e.first == k; });
            ASSERT_EQ(before != model.size() ? 0 : -1, fr_hash_del(t, k.data(), n));
            break;
        }
        case 6: {
            long *v = (long *)fr_hash_find(t, k.data(), n);
            auto *e = first(k);
            ASSERT_EQ(e != nullptr, v != nullptr) << step;
            if (e) {
                ASSERT_EQ(e->second, *v);
            }
            break;
        }
        case 7:
            if (step % 97 == 0) {
                fr_hash_func_t weak = [](const void *p, uint32_t len) {
                    return len * 2654435761u ^ *(const unsigned char *)p;
                };
                ASSERT_EQ(0, fr_hash_setfunc(t, step % 2 ? nullptr : weak));
            }
            break;
        }
        ASSERT_EQ(model.size(), t->count);
        ASSERT_EQ(model.empty(), fr_hash_empty(t) == 1);
        if (step % 500 == 0 && !model.empty()) {
            fr_array_t *keys = fr_hash_getkeys(t);
            ASSERT_EQ((int32_t)model.size(), fr_array_length(keys));
            for (size_t i = 0; i < model.size(); i++) {
                auto *p = (fr_hash_key_t *)fr_array_get(keys, (int32_t)i);
                ASSERT_EQ(model[i].first, std::string((char *)p->key, p->len));
            }
            fr_hash_destroy_keys_array(keys);
            // Load stays within the thresholds the table keeps.
            ASSERT_LE((double)t->count / t->size, 0.7 + 1e-9);
        }
    }
    fr_hash_unref(t);
}

TEST(Model, ArrayMatchesVector) {
    std::mt19937 rng(777);
    fr_array_t *a = fr_array_init_sized_api(8, 0, nullptr, 0, nullptr, nullptr);
    std::vector<long> model;
    for (long step = 0; step < 40000; step++) {
        int len = (int)model.size();
        long src[40];
        int cnt = 1 + rng() % 40;
        for (int i = 0; i < cnt; i++) src[i] = step * 100 + i;
        switch (rng() % 6) {
        case 0:
            ASSERT_EQ(0, fr_array_append_many(a, src, cnt));
            model.insert(model.end(), src, src + cnt);
            break;
        case 1: {
            int at = rng() % (len + 1);
            ASSERT_EQ(0, fr_array_insert_many(a, at, src, cnt));
            model.insert(model.begin() + at, src, src + cnt);
            break;
        }
        case 2:
            if (len) {
                int at = rng() % len, n = rng() % 60;
                fr_array_remove_range(a, at, n);
                model.erase(model.begin() + at, model.begin() + std::min(len, at + n));
            }
            break;
        case 3:
            if (len) {
                int at = rng() % len;
                fr_array_remove_index_fast(a, at);
                model[at] = model.back();
                model.pop_back();
            }
            break;
        case 4:
            if (len > 1 && rng() % 4 == 0) {
                int to = rng() % len;
                fr_array_flush(a, to);
                model.resize(to);
            }
            break;
        case 5:
            if (len) {
                int i = rng() % len;
                ASSERT_EQ(model[i], *(long *)fr_array_get(a, i));
            }
            break;
        }
        ASSERT_EQ((int32_t)model.size(), fr_array_length(a));
        int32_t cap = fr_array_alloc(a);
        ASSERT_EQ(0, cap % 128);
        ASSERT_GE(cap, (int32_t)model.size() * 8);
        if (step % 200 == 0) {
            ASSERT_TRUE(std::equal(model.begin(), model.end(), (long *)fr_array_data(a)));
        }
    }
    fr_array_unref(a);
}

}  // namespace
