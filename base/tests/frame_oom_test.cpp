// The frame's fatal messages when it cannot get a record from the system
// allocator. In the dying child the data segment limit is set to zero and
// the heap's free space is used up first, so malloc really returns null;
// the frame must then print its message and abort.
#include <gtest/gtest.h>
#include <kivo/exceptions.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

// Under a sanitizer malloc is the sanitizer's own and dies rather than
// return null: nothing to observe there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KIVO_REAL_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KIVO_REAL_MALLOC 0
#endif
#endif
#ifndef KIVO_REAL_MALLOC
#define KIVO_REAL_MALLOC 1
#endif

#if KIVO_REAL_MALLOC
namespace {

// From here on the data segment cannot grow (brk and private mappings fail
// with ENOMEM); then what the heap still holds is taken, large pieces
// first. The blocks are never freed: the child dies soon after.
void exhaust_memory()
{
    struct rlimit none = {0, 0};
    if (setrlimit(RLIMIT_DATA, &none) != 0)
        _exit(2);
    static const size_t sizes[] = {1 << 16, 4096, 512, 128, 64, 32, 16, 1};
    for (size_t size : sizes)
        while (malloc(size) != nullptr) {
        }
}

} // namespace

TEST(FrameOutOfMemory, NoRecordForAContextOrAnAsset)
{
    // Recycled records are used first; the loop ends in the frame's abort.
    EXPECT_EXIT(
        {
            exhaust_memory();
            for (int i = 0; i < 1000000; i++)
                xxl_push_context(nullptr);
            _exit(0);
        },
        testing::KilledBySignal(SIGABRT), "^XXL: Insufficient memory to allocate a new context!\n$");
    static int marker;
    EXPECT_EXIT(
        {
            xxl_push_context(nullptr);
            exhaust_memory();
            for (int i = 0; i < 1000000; i++)
                xxl_push_asset(&marker, nullptr, nullptr, XXL_ASSET_ALWAYS);
            _exit(0);
        },
        testing::KilledBySignal(SIGABRT), "^XXL: Insufficient memory to allocate a new asset record!\n$");
}

#if KIVO_THREADS
namespace {
int go[2];
void *first_use(void *)
{
    char c;
    while (read(go[0], &c, 1) == -1 && errno == EINTR) {
    }
    xxl_current_error_code(); // the thread's first call: its record is made now
    return nullptr;
}
} // namespace

TEST(FrameOutOfMemory, NoRecordForANewThread)
{
    EXPECT_EXIT(
        {
            if (pipe(go) != 0)
                _exit(2);
            pthread_t t;
            if (pthread_create(&t, nullptr, first_use, nullptr) != 0)
                _exit(3);
            exhaust_memory();
            if (write(go[1], "x", 1) != 1)
                _exit(4);
            pthread_join(t, nullptr);
            _exit(0);
        },
        testing::KilledBySignal(SIGABRT), "^XXL: Insufficient memory to allocate thread-specific data!\n$");
}
#endif
#endif
