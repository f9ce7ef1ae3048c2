// One table shared by eight threads and by two processes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>
#include <kivo/hash.h>

namespace {

TEST(HashThreads, EightThreadsDisjointAndSharedKeys) {
    constexpr int kThreads = 8, kKeys = 3000, kShared = 200;
    fr_hash_t *t = fr_hash_init_api(0, nullptr, nullptr, nullptr);
    std::vector<std::thread> ts;
    for (long id = 0; id < kThreads; id++)
        ts.emplace_back([t, id] {
            for (long i = 0; i < kKeys; i++) {
                std::string own = "t" + std::to_string(id) + "-" + std::to_string(i);
                std::string shared = "shared-" + std::to_string(i % kShared);
                long v = id * 1000000 + i;
                ASSERT_EQ(0, fr_hash_add(t, own.data(), (uint32_t)own.size(), &v, sizeof v));
                ASSERT_EQ(0, fr_hash_add(t, shared.data(), (uint32_t)shared.size(), &v, sizeof v));
                // Read the value under the lock: another thread may replace it.
                fr_hash_lock(t);
                long *got = (long *)fr_hash_find(t, own.data(), (uint32_t)own.size());
                ASSERT_TRUE(got && *got == v);
                ASSERT_NE(nullptr, fr_hash_find(t, shared.data(), (uint32_t)shared.size()));
                fr_hash_unlock(t);
                if (i % 2) {
                    std::string prev = "t" + std::to_string(id) + "-" + std::to_string(i - 1);
                    ASSERT_EQ(0, fr_hash_del(t, prev.data(), (uint32_t)prev.size()));
                }
                if (i % 500 == 0) {
                    fr_hash_lock(t);
                    fr_array_t *keys = fr_hash_getkeys(t);
                    EXPECT_EQ((int32_t)t->count, fr_array_length(keys));
                    fr_hash_unlock(t);
                    fr_hash_destroy_keys_array(keys);
                }
            }
        });
    for (auto &th : ts) th.join();
    EXPECT_EQ((uint32_t)(kThreads * kKeys / 2 + kShared), t->count);
    for (long id = 0; id < kThreads; id++)
        for (long i = 0; i < kKeys; i++) {
            std::string own = "t" + std::to_string(id) + "-" + std::to_string(i);
            long *v = (long *)fr_hash_find(t, own.data(), (uint32_t)own.size());
            if (i % 2 == 0) {
                EXPECT_EQ(nullptr, v);
            } else {
                ASSERT_NE(nullptr, v);
                EXPECT_EQ(id * 1000000 + i, *v);
            }
        }
    EXPECT_EQ(0u, t->hdr.lock_depth);
    fr_hash_unref(t);
}

// Bump allocator over a shared mapping; only used under the table's lock.
struct Arena {
    size_t used, size;
    alignas(16) unsigned char bytes[];
};
Arena *arena;
void *a_alloc(size_t n) {
    size_t at = (arena->used + 15) & ~size_t(15);
    if (at + n > arena->size) return nullptr;
    arena->used = at + n;
    return arena->bytes + at;
}
void *a_calloc(size_t n, size_t s) {
    void *p = a_alloc(n * s);
    if (p) memset(p, 0, n * s);
    return p;
}
void *a_realloc(void *, size_t) { return nullptr; }
void a_free(void *) {}

TEST(HashThreads, ProcessSharedTableAcrossFork) {
    const size_t len = 32 << 20;
    void *map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, map);
    arena = (Arena *)map;
    arena->size = len - sizeof(Arena);
    fr_alloc_api api = {a_alloc, a_calloc, a_realloc, a_free};
    fr_lock_attr attr = {PTHREAD_MUTEX_RECURSIVE, 0};
    fr_hash_t *t = fr_hash_init_api(0, nullptr, &api, &attr);
    ASSERT_NE(nullptr, t);
    ASSERT_GE((void *)t, map);  // the record itself sits in the shared mapping

    auto fill = [t](const char *who) {
        for (long i = 0; i < 3000; i++) {
            std::string k = std::string(who) + std::to_string(i);
            if (fr_hash_lock(t) != 0) return false;
            int rc = fr_hash_add(t, k.data(), (uint32_t)k.size(), &i, sizeof i);
            fr_hash_unlock(t);
            if (rc != 0) return false;
        }
        return true;
    };
    pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) _exit(fill("child-") ? 0 : 1);
    bool ok = fill("parent-");
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(6000u, t->count);
    for (const char *who : {"child-", "parent-"})
        for (long i = 0; i < 3000; i++) {
            std::string k = std::string(who) + std::to_string(i);
            long *v = (long *)fr_hash_find(t, k.data(), (uint32_t)k.size());
            ASSERT_NE(nullptr, v) << k;
            EXPECT_EQ(i, *v);
        }
    fr_hash_unref(t);
    munmap(map, len);
}

}  // namespace
