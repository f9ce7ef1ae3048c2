// Test helpers for the safe strings: running code inside a protected block
// and reporting the exception, and memory hooks that count, fail on demand
// and check that every freed block was wiped.
#ifndef KIVO_SAFESTR_TESTING_H
#define KIVO_SAFESTR_TESTING_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>
#include <kivo/exceptions.h>
#include <kivo/safestr.h>

namespace sstest {

struct caught {
    int code;
    void *data;
    const char *file;
};

// Runs f inside a protected block. f must hold no object with a destructor
// that matters: an exception leaves it by longjmp.
template <class F> caught run(F &&f) {
    volatile int code = 0;
    void *volatile data = nullptr;
    const char *volatile file = nullptr;
    XXL_BLOCK {
        f();
    }
    XXL_ON_ANY {
        code = xxl_current_error_code();
        data = xxl_current_error_data();
        file = xxl_current_error_file();
    }
    XXL_BLOCK_END;
    return caught{code, data, file};
}

template <class F> int code_of(F &&f) { return run(static_cast<F &&>(f)).code; }

inline safestr_header_t *hdr(safestr_t s) { return reinterpret_cast<safestr_header_t *>(const_cast<char *>(s)) - 1; }

// Counting hooks. fail_at = k makes the k-th allocation (1-based, malloc and
// realloc alike) return null; 0 never fails. Every freed block must be
// wiped: its header and text bytes all zero (blocks that are not safe
// strings are recognised by the caller through raw_blocks). The hooks hand
// out zeroed memory, so a byte found set at the free is one the library
// wrote and left behind.
struct hooks {
    long allocations = 0;
    long live = 0;
    long fail_at = 0;
    long unwiped = 0;
    long frees = 0;
    bool check_wipe = true;
};
inline hooks &H() {
    static hooks h;
    return h;
}

inline void *count_malloc(size_t size, const char *, int) {
    long n = ++H().allocations;
    if (H().fail_at && n == H().fail_at)
        return nullptr;
    // Track the size in front of the block so the free hook can check it.
    auto *p = static_cast<size_t *>(calloc(1, size + 16));
    if (!p)
        return nullptr;
    p[0] = size;
    H().live++;
    return reinterpret_cast<char *>(p) + 16;
}

inline void *count_realloc(void *memory, size_t size, const char *, int) {
    long n = ++H().allocations;
    if (H().fail_at && n == H().fail_at)
        return nullptr;
    if (!memory)
        return count_malloc(size, nullptr, 0);
    size_t old = static_cast<size_t *>(memory)[-2];
    auto *p = static_cast<size_t *>(realloc(static_cast<char *>(memory) - 16, size + 16));
    if (!p)
        return nullptr;
    if (size > old)
        memset(reinterpret_cast<char *>(p) + 16 + old, 0, size - old);
    p[0] = size;
    return reinterpret_cast<char *>(p) + 16;
}

// Blocks freed by the library: a safe string block (first 20 bytes were a
// header) must be all zero. Raw arrays are told apart by size: a safe string
// block is always a multiple of 128 bytes.
inline void count_free(void *memory, const char *, int) {
    if (!memory)
        return;
    auto *base = reinterpret_cast<size_t *>(static_cast<char *>(memory) - 16);
    size_t size = base[0];
    if (H().check_wipe && size % 128 == 0) {
        const unsigned char *b = static_cast<const unsigned char *>(memory);
        for (size_t i = 0; i < size; i++)
            if (b[i]) {
                H().unwiped++;
                break;
            }
    }
    H().frees++;
    H().live--;
    free(base);
}

// Installs the counting hooks for the life of the object.
struct counting {
    counting() {
        H() = hooks();
        safestr_setmemfns(count_malloc, count_realloc, count_free);
    }
    ~counting() { safestr_setmemfns(nullptr, nullptr, nullptr); }
};

// A fixture that counts every block and checks, after each test, that none
// is left and every freed one was wiped.
struct CountingTest : ::testing::Test {
    counting hooks_installed;
    void TearDown() override {
        EXPECT_EQ(H().live, 0) << "blocks leaked";
        EXPECT_EQ(H().unwiped, 0);
    }
};

// A writable string holding exactly s (which may contain zero bytes).
inline safestr_t make(const std::string &s, uint32_t flags = 0) {
    safestr_t r = nullptr;
    code_of([&] {
        r = safestr_alloc(uint32_t(s.size()), flags);
        memcpy(const_cast<char *>(r), s.data(), s.size());
        hdr(r)->length = uint32_t(s.size());
    });
    return r;
}
inline std::string str(safestr_t s) { return std::string(s, hdr(s)->length); }
inline void release(safestr_t s) { code_of([&] { safestr_free(s); }); }

} // namespace sstest

#endif
