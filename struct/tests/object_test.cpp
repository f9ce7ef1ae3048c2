// Object header rules shared by the hash table, the array and the FIFO:
// lock depth, reference counting, destruction, caller allocators and lock
// attributes.
#include <gtest/gtest.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <thread>
#include <vector>
#include <kivo/array.h>
#include <kivo/fifobuf.h>
#include <kivo/hash.h>
#include "support/struct_support.h"

namespace {

#if KIVO_THREADS
// Whether another thread could take the mutex right now.
bool free_for_others(pthread_mutex_t *m) {
    bool ok = false;
    std::thread([&] {
        if (pthread_mutex_trylock(m) == 0) {
            ok = true;
            pthread_mutex_unlock(m);
        }
    }).join();
    return ok;
}
#endif

TEST(Object, LockLevelsNeedMatchingUnlocks) {
    fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
    fr_array_t *a = fr_array_init_sized_api(4, 0, nullptr, 0, nullptr, nullptr);
#if KIVO_THREADS
    EXPECT_EQ(0, fr_hash_lock(t));
    EXPECT_EQ(0, fr_hash_lock(t));
    EXPECT_EQ(2u, t->hdr.lock_depth);
    EXPECT_EQ(0, fr_hash_unlock(t));
    EXPECT_FALSE(free_for_others(&t->hdr.mutex));
    EXPECT_EQ(0, fr_hash_unlock(t));
    EXPECT_TRUE(free_for_others(&t->hdr.mutex));
    EXPECT_EQ(0, fr_hash_unlock(t));  // no level held
    // Unref releases every level the caller holds, even with references left.
    fr_array_ref(a);
    fr_array_lock(a), fr_array_lock(a), fr_array_lock(a);
    EXPECT_EQ(0, fr_array_unref(a));
    EXPECT_EQ(0u, a->hdr.lock_depth);
    EXPECT_TRUE(free_for_others(&a->hdr.mutex));
#else
    EXPECT_EQ(1, fr_hash_lock(t));
    EXPECT_EQ(1, fr_hash_unlock(t));
    EXPECT_EQ(1, fr_array_lock(a));
    fr_array_ref(a);
    EXPECT_EQ(0, fr_array_unref(a));
#endif
    EXPECT_EQ(0, fr_hash_lock(nullptr));
    EXPECT_EQ(0, fr_hash_unlock(nullptr));
    EXPECT_EQ(0, fr_array_lock(nullptr));
    EXPECT_EQ(1, fr_hash_unref(t));
    EXPECT_EQ(1, fr_array_unref(a));
}

TEST(Object, ReferenceCounting) {
    CountingAlloc::reset();
    fr_hash_t *t = fr_hash_init_api(0, nullptr, &CountingAlloc::api, nullptr);
    long v = 5;
    fr_hash_add(t, "k", 1, &v, sizeof v);
    EXPECT_EQ(t, fr_hash_ref(t));
    EXPECT_EQ(0, fr_hash_unref(t));
    EXPECT_EQ(5, *(long *)fr_hash_find(t, "k", 1));  // still usable
    EXPECT_EQ(1, fr_hash_unref(t));
    EXPECT_EQ(0, CountingAlloc::live);

    // fr__hash_destroy says 1 even when references remain; the others 0.
    t = fr_hash_init_api(0, nullptr, &CountingAlloc::api, nullptr);
    fr_hash_ref(t);
    EXPECT_EQ(1, fr__hash_destroy(t));
    EXPECT_EQ(1, fr__hash_destroy(t));
    fr_array_t *a = fr_array_init_sized_api(8, 3, nullptr, 0, &CountingAlloc::api, nullptr);
    fr_array_ref(a);
    EXPECT_EQ(0, fr__array_destroy(a));
    EXPECT_EQ(1, fr__array_destroy(a));
    fr_fifobuf_t *b = fr_fifobuf_init(0, 0);
    fr_fifobuf_ref(b);
    EXPECT_EQ(0, fr__buf_destroy(b));
    EXPECT_EQ(1, fr_fifobuf_unref(b));
    EXPECT_EQ(0, CountingAlloc::live);
    EXPECT_EQ(CountingAlloc::calls, CountingAlloc::frees);

    t = fr_hash_init_api(0, nullptr, &CountingAlloc::api, nullptr);
    fr_hash_add(t, "k", 1, &v, sizeof v);
    fr_hash_ref(t);
    EXPECT_EQ(1, fr__hash_destroy_unsafe(t));  // ignores the extra reference
    EXPECT_EQ(0, CountingAlloc::live);
    EXPECT_EQ(1, fr_hash_unref(nullptr));
    EXPECT_EQ(1, fr_array_unref(nullptr));
    EXPECT_EQ(nullptr, fr_hash_ref(nullptr));
}

// Freed blocks are kept alive until the end of the test so that the header
// can be inspected after the last reference is gone.
std::vector<void *> kept;
void keep(void *p) { kept.push_back(p); }

TEST(ObjectDeathTest, RefAfterLastUnrefAborts) {
    fr_alloc_api api = {malloc, calloc, realloc, keep};
    fr_hash_t *t = fr_hash_init_api(0, nullptr, &api, nullptr);
    fr_array_t *a = fr_array_init_sized_api(4, 0, nullptr, 0, &api, nullptr);
    EXPECT_EQ(1, fr_hash_unref(t));
    EXPECT_EQ(1, fr_array_unref(a));
    EXPECT_DEATH(fr_hash_ref(t), "");
    EXPECT_DEATH(fr_array_ref(a), "");
    for (void *p : kept) free(p);
    kept.clear();
}

TEST(Object, CallerAllocatorRecordMustBeComplete) {
    fr_alloc_api api = CountingAlloc::api;
    api.realloc = nullptr;
    EXPECT_EQ(nullptr, fr_hash_init_api(0, nullptr, &api, nullptr));
    EXPECT_EQ(nullptr, fr_array_init_sized_api(4, 0, nullptr, 0, &api, nullptr));
    CountingAlloc::reset();
    for (long n = 0; n < 3; n++) {  // record, bucket array, order sentinel
        CountingAlloc::fail_after(n);
        EXPECT_EQ(nullptr, fr_hash_init_api(0, nullptr, &CountingAlloc::api, nullptr));
        EXPECT_EQ(0, CountingAlloc::live);
    }
    CountingAlloc::fail_after(1);
    EXPECT_EQ(nullptr, fr_array_init_sized_api(4, 10, nullptr, 0, &CountingAlloc::api, nullptr));
    EXPECT_EQ(0, CountingAlloc::live);
    CountingAlloc::fail_after(-1);
}

#if KIVO_THREADS
TEST(Object, LockAttributesGiveTheMutexKind) {
    fr_lock_attr attr = {PTHREAD_MUTEX_ERRORCHECK, 77};
    fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, &attr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(0, fr_hash_lock(t));
    EXPECT_EQ(1, fr_hash_lock(t));  // error-checking: no second level
    EXPECT_EQ(EDEADLK, t->hdr.lock_status);
    // Operations inside the held lock go on without a second level.
    long v = 1;
    EXPECT_EQ(0, fr_hash_add(t, "k", 1, &v, sizeof v));
    EXPECT_EQ(0, fr_hash_unlock(t));
    EXPECT_EQ(0, fr_hash_unlock(t));
    // The key array inherits the attributes, carried word included.
    fr_array_t *keys = fr_hash_getkeys(t);
    EXPECT_EQ(77u, keys->hdr.lock_attr.carry);
    EXPECT_EQ(0, fr_array_lock(keys));
    EXPECT_EQ(1, fr_array_lock(keys));
    fr_array_unlock(keys);
    fr_hash_destroy_keys_array(keys);
    fr_hash_unref(t);
    // Without attributes both the table and its key array are recursive.
    t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
    fr_hash_add(t, "k", 1, &v, sizeof v);
    keys = fr_hash_getkeys(t);
    EXPECT_EQ(0, fr_array_lock(keys));
    EXPECT_EQ(0, fr_array_lock(keys));
    fr_array_unlock(keys), fr_array_unlock(keys);
    fr_hash_destroy_keys_array(keys);
    fr_hash_unref(t);
    attr.kind = 99;  // not a mutex type
    EXPECT_EQ(nullptr, fr_hash_init_api(0, nullptr, nullptr, &attr));
}
#endif

}  // namespace
