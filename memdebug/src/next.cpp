// Finding the allocator we stand in front of, surviving our own bootstrap
// (calls that arrive before or while it is looked up), and the fatal
// messages. No frame exceptions exist in this library.
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include "checker.h"

namespace memdbg {

next_allocator next;
__thread int reentry __attribute__((tls_model("initial-exec")));
__thread pthread_t self_id __attribute__((tls_model("initial-exec")));
const unsigned char marker[32] = {'m', 'e', 'm', 'd', 'b', 'g'};

namespace {

// dlsym and the first backtrace allocate a little; other libraries'
// constructors may allocate before ours runs. 256 KiB is far more than the
// loader needs before the next allocator is known.
constexpr size_t kArenaSize = 256 * 1024;
alignas(16) char arena[kArenaSize];
std::atomic<size_t> arena_used{0};

void write_all(const char *s, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(2, s, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        s += w;
        n -= static_cast<size_t>(w);
    }
}

char *put_text(char *at, const char *s) {
    while (*s)
        *at++ = *s++;
    return at;
}

char *put_hex(char *at, uintptr_t v) {
    at = put_text(at, "0x");
    char digits[2 * sizeof v];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v);
    while (n)
        *at++ = digits[--n];
    return at;
}

char *put_dec(char *at, size_t v) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n)
        *at++ = digits[--n];
    return at;
}

[[noreturn]] void not_found() {
    static const char msg[] = "memdbg: Required allocator not found!\n";
    write_all(msg, sizeof msg - 1);
    abort();
}

} // namespace

void *arena_alloc(size_t bytes) {
    size_t need = (bytes + 15) & ~size_t{15};
    if (need < bytes)
        return nullptr;
    size_t at = arena_used.fetch_add(need, std::memory_order_relaxed);
    if (at > kArenaSize || need > kArenaSize - at) {
        errno = ENOMEM;
        return nullptr;
    }
    return arena + at;
}

bool in_arena(const void *p) {
    auto a = reinterpret_cast<uintptr_t>(arena);
    auto q = reinterpret_cast<uintptr_t>(p);
    return q >= a && q < a + kArenaSize;
}

const char *arena_end() { return arena + kArenaSize; }

bool resolve() {
    if (next.malloc.load(std::memory_order_acquire))
        return true;
    if (reentry)
        return false;
    // Several threads may race here at start; they all find the same
    // functions, so the stores agree.
    reentry = 1;
    auto m = reinterpret_cast<malloc_fn>(dlsym(RTLD_NEXT, "malloc"));
    auto c = reinterpret_cast<calloc_fn>(dlsym(RTLD_NEXT, "calloc"));
    auto r = reinterpret_cast<realloc_fn>(dlsym(RTLD_NEXT, "realloc"));
    auto f = reinterpret_cast<free_fn>(dlsym(RTLD_NEXT, "free"));
    auto u = reinterpret_cast<usable_fn>(dlsym(RTLD_NEXT, "malloc_usable_size"));
    reentry = 0;
    if (!m || !c || !r || !f)
        not_found();
    next.usable_size.store(u, std::memory_order_relaxed);
    next.calloc.store(c, std::memory_order_relaxed);
    next.realloc.store(r, std::memory_order_relaxed);
    next.free.store(f, std::memory_order_relaxed);
    next.malloc.store(m, std::memory_order_release);
    return true;
}

void die(const char *what, const void *p, const char *why, size_t n, bool with_n) {
    char line[256];
    char *at = put_text(line, "memdbg: ");
    at = put_text(at, what);
    at = put_text(at, "(");
    at = put_hex(at, reinterpret_cast<uintptr_t>(p));
    at = put_text(at, "): ");
    at = put_text(at, why);
    if (with_n) {
        at = put_dec(at, n);
        at = put_text(at, " bytes");
    }
    *at++ = '\n';
    write_all(line, static_cast<size_t>(at - line));
    abort();
}

namespace {
// Resolve at load time as well, so that the common path never has to. The
// unwinder is loaded here too, with the guard raised: loading it allocates.
__attribute__((constructor)) void load_time_init() {
    resolve();
    reentry = 1;
    load_unwinder();
    reentry = 0;
}
} // namespace

} // namespace memdbg
