// Safe strings: the process-wide data (cookie, length limit, memory hooks,
// case maps), raw memory through the hooks, the block size rule and the
// creators. Frame exceptions start and pass here.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "safestr_internal.h"

namespace {

constexpr unsigned char make_map(int i, int kind) {
    if (kind == 1 && i >= 'a' && i <= 'z')
        return static_cast<unsigned char>(i - 'a' + 'A');
    if (kind == 2 && i >= 'A' && i <= 'Z')
        return static_cast<unsigned char>(i - 'A' + 'a');
    return static_cast<unsigned char>(i);
}

struct casemap {
    unsigned char map[256];
    constexpr explicit casemap(int kind) : map() {
        for (int i = 0; i < 256; i++)
            map[i] = make_map(i, kind);
    }
};

constexpr casemap map_none(0), map_upper(1), map_lower(2);

void free_raw(void *memory, void *) { safestr_free_fn(memory, SAFESTR_SOURCE, __LINE__); }

// Reads the cookie from /dev/urandom once. Two threads racing here agree on
// the first value stored.
void make_cookie() {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        SAFESTR_THROW(SAFESTR_E_NO_RANDOM, nullptr);
    uint32_t value = 0;
    do {
        ssize_t r;
        do
            r = read(fd, &value, sizeof value);
        while (r < 0 && errno == EINTR);
        if (r != static_cast<ssize_t>(sizeof value)) {
            value = 255;
            break;
        }
    } while (value == 0);
    ::close(fd);
    uint32_t expected = 0;
    __atomic_compare_exchange_n(&safestr_cookie, &expected, value, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}

} // namespace

extern "C" {

KIVO_API uint32_t safestr_cookie = 0;
KIVO_API uint64_t safestr_maxlength = 0xFFFFFFECu;

KIVO_API void *safestr_default_malloc(size_t size, const char *, int) { return malloc(size); }
KIVO_API void *safestr_default_realloc(void *memory, size_t size, const char *, int) { return realloc(memory, size); }
KIVO_API void safestr_default_free(void *memory, const char *, int) { free(memory); }

KIVO_API safestr_malloc_fn_t safestr_malloc_fn = safestr_default_malloc;
KIVO_API safestr_realloc_fn_t safestr_realloc_fn = safestr_default_realloc;
KIVO_API safestr_free_fn_t safestr_free_fn = safestr_default_free;

}

// The tables are filled at compile time from the constexpr maps above.
#define KIVO_MAP_ROW(m, r)                                                                                      \
    m.map[r + 0], m.map[r + 1], m.map[r + 2], m.map[r + 3], m.map[r + 4], m.map[r + 5], m.map[r + 6],        \
        m.map[r + 7], m.map[r + 8], m.map[r + 9], m.map[r + 10], m.map[r + 11], m.map[r + 12], m.map[r + 13], \
        m.map[r + 14], m.map[r + 15]
#define KIVO_MAP(m)                                                                                           \
    {KIVO_MAP_ROW(m, 0),   KIVO_MAP_ROW(m, 16),  KIVO_MAP_ROW(m, 32),  KIVO_MAP_ROW(m, 48),                   \
     KIVO_MAP_ROW(m, 64),  KIVO_MAP_ROW(m, 80),  KIVO_MAP_ROW(m, 96),  KIVO_MAP_ROW(m, 112),                  \
     KIVO_MAP_ROW(m, 128), KIVO_MAP_ROW(m, 144), KIVO_MAP_ROW(m, 160), KIVO_MAP_ROW(m, 176),                  \
     KIVO_MAP_ROW(m, 192), KIVO_MAP_ROW(m, 208), KIVO_MAP_ROW(m, 224), KIVO_MAP_ROW(m, 240)}

extern "C" {
// Visibility comes from the declarations in the header.
const unsigned char safestr_casemap_none[256] = KIVO_MAP(map_none);
const unsigned char safestr_casemap_upper[256] = KIVO_MAP(map_upper);
const unsigned char safestr_casemap_lower[256] = KIVO_MAP(map_lower);

KIVO_API void safestr_setmemfns(safestr_malloc_fn_t malloc_fn, safestr_realloc_fn_t realloc_fn,
                                safestr_free_fn_t free_fn) {
    safestr_malloc_fn = malloc_fn ? malloc_fn : safestr_default_malloc;
    safestr_realloc_fn = realloc_fn ? realloc_fn : safestr_default_realloc;
    safestr_free_fn = free_fn ? free_fn : safestr_default_free;
}

KIVO_API void *safestr_malloc(size_t size, unsigned int disposition, const char *file, int line) {
    void *p = safestr_malloc_fn(size, file, line);
    if (!p)
        SAFESTR_THROW(ENOMEM, nullptr);
    xxl_push_asset(p, free_raw, nullptr, disposition);
    return p;
}

KIVO_API void *safestr_realloc(void *memory, size_t size, const char *file, int line) {
    uintptr_t old_key = reinterpret_cast<uintptr_t>(memory); // compared by value only
    void *p = safestr_realloc_fn(memory, size, file, line);
    if (!p)
        SAFESTR_THROW(ENOMEM, nullptr);
    if (reinterpret_cast<uintptr_t>(p) != old_key)
        xxl_update_asset(reinterpret_cast<void *>(old_key), p);
    return p;
}

KIVO_API char *safestr_do_strdup(const char *text, const char *file, int line) {
    if (!text)
        SAFESTR_THROW(EINVAL, nullptr);
    size_t n = strlen(text) + 1;
    char *p = static_cast<char *>(safestr_malloc(n, 0, file, line));
    memcpy(p, text, n);
    return p;
}

KIVO_API void safestr_memzero(void *buffer, size_t count) {
    if (!buffer || !count)
        return;
    memset(buffer, 0, count);
    // The compiler must assume the zeroes are read: a wipe before free stays.
    __asm__ __volatile__("" : : "r"(buffer) : "memory");
}

KIVO_API safestr_t safestr_do_alloc(uint32_t length, uint32_t flags, const char *file, int line) {
    safestr_header_t *h = kivo::ss::make(length, flags & kivo::ss::stored_flags, file, line);
    // The caller may write the text directly: hand it a zeroed text area.
    memset(kivo::ss::text(h), 0, size_t(h->capacity) + 1);
    kivo::ss::register_mode(h, flags);
    return kivo::ss::handle(h);
}

KIVO_API safestr_t safestr_do_create(const char *text, uint32_t flags, const char *file, int line) {
    if (!text)
        SAFESTR_THROW(EINVAL, nullptr);
    safestr_header_t *h = kivo::ss::make_copy(text, strlen(text), flags & kivo::ss::stored_flags, file, line);
    kivo::ss::register_mode(h, flags);
    return kivo::ss::handle(h);
}

KIVO_API safestr_t safestr_do_clone(safestr_t s, uint32_t flags, const char *file, int line) {
    xxl_context_t *ctx = kivo::ss::open();
    safestr_header_t *src = kivo::ss::take(ctx, s, SAFESTR_GET_READONLY);
    uint32_t keep = (src->flags & SAFESTR_F_TRUSTED) | (flags & (SAFESTR_F_TEMPORARY | SAFESTR_F_READONLY));
    safestr_header_t *h = kivo::ss::make_copy(kivo::ss::text(src), src->length, keep, file, line);
    kivo::ss::close();
    // Registered after the close, so that it lands in the caller's context.
    kivo::ss::register_mode(h, flags);
    return kivo::ss::handle(h);
}

KIVO_API safestr_t safestr_do_slice(safestr_t s, uint32_t start, uint32_t end, const char *file, int line) {
    xxl_context_t *ctx = kivo::ss::open();
    safestr_header_t *src = kivo::ss::take(ctx, s, SAFESTR_GET_READONLY);
    uint32_t len = src->length;
    if (start >= len)
        start = end = len;
    else if (end > len || end < start)
        end = len;
    safestr_header_t *h = kivo::ss::make_copy(kivo::ss::text(src) + start, end - start,
                                              src->flags & SAFESTR_F_TRUSTED, file, line);
    kivo::ss::close();
    return kivo::ss::handle(h);
}

} // extern "C"

namespace kivo::ss {

void check_length(uint64_t length) {
    if (too_long(length))
        SAFESTR_THROW(SAFESTR_E_TOO_LONG, nullptr);
}

// Size rule: header + length + 1 rounded up to 128 bytes, i.e. (length + 148)
// rounded down; the capacity is what is left after the header and the zero.
// The text area is left for the caller to fill.
static safestr_header_t *allocate(uint64_t length, uint32_t flags, const char *file, int line) {
    check_length(length);
    if (!cookie())
        make_cookie();
    uint64_t block = (length + header_size + 128) & ~uint64_t(127);
    uint64_t capacity = block - header_size - 1;
    if (capacity > max_length) {
        capacity = max_length;
        block = capacity + header_size + 1;
    }
    auto *h = static_cast<safestr_header_t *>(safestr_malloc_fn(static_cast<size_t>(block), file, line));
    if (!h)
        SAFESTR_THROW(ENOMEM, nullptr);
    h->capacity = static_cast<uint32_t>(capacity);
    h->length = 0;
    h->flags = flags;
    h->refs = 1;
    h->cookie = cookie();
    return h;
}

// Only the zero is written: a large block is not touched (and its pages not
// faulted in) before its text arrives.
safestr_header_t *make(uint64_t length, uint32_t flags, const char *file, int line) {
    safestr_header_t *h = allocate(length, flags, file, line);
    text(h)[0] = 0;
    return h;
}

safestr_header_t *make_copy(const char *bytes, uint64_t n, uint32_t flags, const char *file, int line) {
    safestr_header_t *h = allocate(n, flags, file, line);
    memcpy(text(h), bytes, static_cast<size_t>(n));
    set_length(h, n);
    return h;
}

void register_mode(safestr_header_t *h, uint32_t flags) {
    unsigned disposition;
    switch (flags & SAFESTR_F_ASSET_MASK) {
    case SAFESTR_F_ASSET_ALWAYS: disposition = XXL_ASSET_ALWAYS; break;
    case SAFESTR_F_ASSET_ON_ERROR: disposition = XXL_ASSET_ON_ERROR; break;
    case SAFESTR_F_ASSET_ON_SUCCESS: disposition = XXL_ASSET_ON_SUCCESS; break;
    default: return;
    }
    h->flags |= flag_registered;
    xxl_push_asset(const_cast<char *>(handle(h)), safestr_cleanup_asset, nullptr, disposition);
}

} // namespace kivo::ss
