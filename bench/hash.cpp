// Hash table against std::unordered_map<std::string, std::string> and GLib's
// GHashTable (g_strdup keys, g_memdup2 values): one million distinct 16-byte
// keys with 8-byte values; insert all, find all, find absent, delete all.
// Lookups run in a shuffled order, the same for all three. The program
// links the thread-safe build; the plain build (no locks) is loaded from
// the build tree next to it and measured as kivo_plain_*.
//
// find_kivo_plain_mulhash is a diagnostic, not a comparison: the same plain
// table rehashed under a two-multiply hash of the key's first and last
// eight bytes. Lookups of a table this size wait on memory, and the time
// the default lookup2 hash takes decides how far consecutive lookups'
// cache misses overlap; this row shows how much of find is the hash.
#include <dlfcn.h>
#include <glib.h>
#include <libgen.h>
#include <limits.h>
#include <unistd.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>
#include <benchmark/benchmark.h>
#include <kivo/hash.h>

namespace {

constexpr int kKeys = 1000000;

struct Keys {
    std::vector<std::string> present, absent, shuffled;
    Keys() {
        std::mt19937_64 rng(42);
        char buf[32];
        for (int i = 0; i < kKeys; i++) {
            snprintf(buf, sizeof buf, "%016llx", (unsigned long long)(rng() | 1));
            present.emplace_back(buf, 16);
            snprintf(buf, sizeof buf, "%016llx", (unsigned long long)(rng() & ~1ull));
            absent.emplace_back(buf, 16);
        }
        shuffled = present;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
    }
};
const Keys &keys() {
    static Keys k;
    return k;
}

// --- kivo -------------------------------------------------------------------
fr_hash_t *kivo_fill() {
    fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
    long v = 0;
    for (const std::string &k : keys().present) fr_hash_add(t, k.data(), 16, &v, sizeof v), v++;
    return t;
}
void kivo_insert(benchmark::State &st) {
    for (auto _ : st) {
        fr_hash_t *t = kivo_fill();
        st.PauseTiming();
        fr_hash_unref(t);
        st.ResumeTiming();
    }
    st.SetItemsProcessed(st.iterations() * kKeys);
}
void kivo_find(benchmark::State &st, const std::vector<std::string> &ks) {
    fr_hash_t *t = kivo_fill();
    for (auto _ : st)
        for (const std::string &k : ks) benchmark::DoNotOptimize(fr_hash_find(t, k.data(), 16));
    st.SetItemsProcessed(st.iterations() * kKeys);
    fr_hash_unref(t);
}
void kivo_delete(benchmark::State &st) {
    for (auto _ : st) {
        st.PauseTiming();
        fr_hash_t *t = kivo_fill();
        st.ResumeTiming();
        for (const std::string &k : keys().shuffled) fr_hash_del(t, k.data(), 16);
        st.PauseTiming();
        fr_hash_unref(t);
        st.ResumeTiming();
    }
    st.SetItemsProcessed(st.iterations() * kKeys);
}

// --- kivo, plain build ---------------------------------------------------------
// The plain library is opened with RTLD_DEEPBIND so that its own calls stay
// inside it rather than binding to the thread-safe build already loaded.
struct Plain {
    fr_hash_t *(*init)(uint32_t, fr_hash_release_t, const fr_alloc_api *, const fr_lock_attr *);
    int (*add)(fr_hash_t *, const void *, uint32_t, const void *, uint32_t);
    void *(*find)(fr_hash_t *, const void *, uint32_t);
    int (*del)(fr_hash_t *, const void *, uint32_t);
    int (*unref)(fr_hash_t *);
    int (*setfunc)(fr_hash_t *, fr_hash_func_t);
    bool ok = false;
    Plain() {
        char exe[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return;
        exe[n] = 0;
        std::string path = std::string(dirname(exe)) + "/../struct/libkivo_struct.so";
        void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
        if (!h) return;
        init = (decltype(init))dlsym(h, "fr_hash_init_api");
        add = (decltype(add))dlsym(h, "fr_hash_add");
        find = (decltype(find))dlsym(h, "fr_hash_find");
        del = (decltype(del))dlsym(h, "fr_hash_del");
        unref = (decltype(unref))dlsym(h, "fr_hash_unref");
        setfunc = (decltype(setfunc))dlsym(h, "fr_hash_setfunc");
        ok = init && add && find && del && unref && setfunc;
    }
};
const Plain &plain() {
    static Plain p;
    return p;
}
fr_hash_t *plain_fill() {
    fr_hash_t *t = plain().init(0, nullptr, nullptr, nullptr);
    long v = 0;
    for (const std::string &k : keys().present) plain().add(t, k.data(), 16, &v, sizeof v), v++;
    return t;
}
void kivo_plain_insert(benchmark::State &st) {
    if (!plain().ok) return st.SkipWithError("plain build not found");
    for (auto _ : st) {
        fr_hash_t *t = plain_fill();
        st.PauseTiming();
        plain().unref(t);
        st.ResumeTiming();
    }
    st.SetItemsProcessed(st.iterations() * kKeys);
}
// Finds ks in a plain table of the present keys, rehashed under `func`
// first when one is given.
void kivo_plain_find_keys(benchmark::State &st, const std::vector<std::string> &ks, fr_hash_func_t func = nullptr) {
    if (!plain().ok) return st.SkipWithError("plain build not found");
    fr_hash_t *t = plain_fill();
    if (func && plain().setfunc(t, func) != 0) {
        plain().unref(t);
        return st.SkipWithError("rehash failed");
    }
    for (auto _ : st)
        for (const std::string &k : ks) benchmark::DoNotOptimize(plain().find(t, k.data(), 16));
    st.SetItemsProcessed(st.iterations() * kKeys);
    plain().unref(t);
}
uint32_t mulhash(const void *key, uint32_t len) {
    if (len < 8) return fr_hash_func_jenkins(key, len);
    uint64_t first, last;
    memcpy(&first, key, 8);
    memcpy(&last, static_cast<const char *>(key) + len - 8, 8);
    return static_cast<uint32_t>(((first * 0x9E3779B97F4A7C15ull) ^ (last * 0xC2B2AE3D27D4EB4Full)) >> 32);
}
void kivo_plain_delete(benchmark::State &st) {
    if (!plain().ok) return st.SkipWithError("plain build not found");
    for (auto _ : st) {
        st.PauseTiming();
        fr_hash_t *t = plain_fill();
        st.ResumeTiming();
        for (const std::string &k : keys().shuffled) plain().del(t, k.data(), 16);
        st.PauseTiming();
        plain().unref(t);
        st.ResumeTiming();
    }
    st.SetItemsProcessed(st.iterations() * kKeys);
}

// --- std::unordered_map -------------------------------------------------------
using Map = std::unordered_map<std::string, std::string>;
Map *std_fill() {
    Map *m = new Map;
    long v = 0;
    for (const std::string &k : keys().present) m->emplace(k, std::string((const char *)&v, sizeof v)), v++;
    return m;
}
void std_insert(benchmark::State &st) {
    for (auto _ : st) {
        Map *m = std_fill();
        st.PauseTiming();
        delete m;
        st.ResumeTiming();
    }
    st.SetItemsProcessed(st.iterations() * kKeys);
}
void std_find(benchmark::State &st, const std::vector<std::string> &ks) {
    Map *m = std_fill();
    for (auto _ : st)
        for (const std::string &k : ks) {
            auto it = m->find(k);
            benchmark::DoNotOptimize(it == m->end() ? nullptr : it->second.data());
        }
    st.SetItemsProcessed(st.iterations() * kKeys);
    delete m;
}
void std_delete(benchmark::State &st) {
    for (auto _ : st) {
        st.PauseTiming();
        Map *m = std_fill();
        st.ResumeTiming();
        for (const std::string &k : keys().shuffled) m->erase(k);
        st.PauseTiming();
        delete m;
        st.ResumeTiming();
    }
    st.SetItemsProcessed(st.iterations() * kKeys);
}

// --- GHashTable ---------------------------------------------------------------
GHashTable *glib_fill() {
    GHashTable *h = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    long v = 0;
    for (const std::string &k : keys().present) g_hash_table_insert(h, g_strdup(k.c_str()), g_memdup2(&v, sizeof v)), v++;
    return h;
}
void glib_insert(benchmark::State &st) {
    for (auto _ : st) {
        GHashTable *h = glib_fill();
        st.PauseTiming();
        g_hash_table_destroy(h);
        st.ResumeTiming();
    }
    st.SetItemsProcessed(st.iterations() * kKeys);
}
void glib_find(benchmark::State &st, const std::vector<std::string> &ks) {
    GHashTable *h = glib_fill();
    for (auto _ : st)
        for (const std::string &k : ks) benchmark::DoNotOptimize(g_hash_table_lookup(h, k.c_str()));
    st.SetItemsProcessed(st.iterations() * kKeys);
    g_hash_table_destroy(h);
}
void glib_delete(benchmark::State &st) {
    for (auto _ : st) {
        st.PauseTiming();
        GHashTable *h = glib_fill();
        st.ResumeTiming();
        for (const std::string &k : keys().shuffled) g_hash_table_remove(h, k.c_str());
        st.PauseTiming();
        g_hash_table_destroy(h);
        st.ResumeTiming();
    }
    st.SetItemsProcessed(st.iterations() * kKeys);
}

void find_kivo(benchmark::State &st) { kivo_find(st, keys().shuffled); }
void find_std(benchmark::State &st) { std_find(st, keys().shuffled); }
void find_kivo_plain(benchmark::State &st) { kivo_plain_find_keys(st, keys().shuffled); }
void absent_kivo_plain(benchmark::State &st) { kivo_plain_find_keys(st, keys().absent); }
void find_kivo_plain_mulhash(benchmark::State &st) { kivo_plain_find_keys(st, keys().shuffled, mulhash); }
void find_glib(benchmark::State &st) { glib_find(st, keys().shuffled); }
void absent_kivo(benchmark::State &st) { kivo_find(st, keys().absent); }
void absent_std(benchmark::State &st) { std_find(st, keys().absent); }
void absent_glib(benchmark::State &st) { glib_find(st, keys().absent); }

#define RUN(f) BENCHMARK(f)->Unit(benchmark::kMillisecond)->Iterations(5)
RUN(kivo_insert);
RUN(kivo_plain_insert);
RUN(std_insert);
RUN(glib_insert);
RUN(find_kivo);
RUN(find_kivo_plain);
RUN(find_std);
RUN(find_glib);
RUN(find_kivo_plain_mulhash);
RUN(absent_kivo);
RUN(absent_kivo_plain);
RUN(absent_std);
RUN(absent_glib);
RUN(kivo_delete);
RUN(kivo_plain_delete);
RUN(std_delete);
RUN(glib_delete);

}  // namespace
