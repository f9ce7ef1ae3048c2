/*
 * The four destinations of the safe-string format engine (a replaced safe
 * string, a new safe string, standard output, a stream) and the exported
 * safestr_*printf functions. Each call is one operation: it opens an asset
 * block, takes its strings through safestr_get, runs the engine and closes
 * the block. Frame exceptions cross every function here; nothing has a
 * destructor, and every buffer is an asset of the operation's block.
 */
#define KIVO_FILE "safestr"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "safestr_format.h"
#include "safestr_internal.h"

namespace kivo_fmt {

namespace {

constexpr const char *kFile = SAFESTR_SOURCE;

inline char *text_of(safestr_header_t *h)
{
    return reinterpret_cast<char *>(h + 1);
}

// Appends into a safe string under construction. The header's length is
// only brought up to date when the block must grow and at the end.
struct StringSink {
    safestr_header_t *h;
    char *buf;
    size_t len;
    size_t cap;

    void init(safestr_header_t *header)
    {
        h = header;
        buf = text_of(header);
        len = header->length;
        cap = header->capacity;
    }

    // Grows so that n more characters fit. The block doubles (up to the
    // length limit) so that long outputs are copied a bounded number of times.
    __attribute__((noinline)) void grow(size_t n)
    {
        size_t need = len + n;
        if (need < len || need > (size_t)UINT32_MAX - 1)
            fail(SAFESTR_E_TOO_LONG, __LINE__);
        size_t target = need;
        size_t doubled = 2 * cap + 1;
        uint64_t limit = safestr_maxlength;
        bool limited = (limit >> 32) == 0;
        if (doubled > need && doubled <= (size_t)UINT32_MAX - 1 && (!limited || doubled + 1 <= limit))
            target = doubled;
        // The block is copied up to its recorded length.
        buf[len] = '\0';
        h->length = (uint32_t)len;
        h = safestr_resize(h, (uint32_t)target);
        buf = text_of(h);
        cap = h->capacity;
    }

    void put(const char *p, size_t n)
    {
        if (n > cap - len)
            grow(n);
        memcpy(buf + len, p, n);
        len += n;
    }

    void fill(char c, size_t n)
    {
        if (n > cap - len)
            grow(n);
        memset(buf + len, c, n);
        len += n;
    }

    char *space(size_t n)
    {
        if (n > cap - len)
            grow(n);
        return buf + len;
    }

    void commit(size_t n) { len += n; }

    // Sets the final length and the terminating zero.
    safestr_header_t *finish()
    {
        h = safestr_resize(h, (uint32_t)len);
        return h;
    }

    size_t count() const { return len; }
};

// Writes to a stream: one write per piece; a failed write throws errno.
struct StreamSink {
    FILE *f;
    size_t total;
    char block[kDirect];

    void write(const char *p, size_t n)
    {
        if (n == 0)
            return;
        errno = 0;
        if (fwrite(p, 1, n, f) != n)
            fail(errno ? errno : EIO, __LINE__);
        total += n;
    }

    void put(const char *p, size_t n) { write(p, n); }

    // Padding wider than the block goes out in block-sized writes, so a
    // huge width never needs a buffer of its size.
    void fill(char c, size_t n)
    {
        size_t chunk = n < sizeof block ? n : sizeof block;
        memset(block, c, chunk);
        while (n) {
            size_t k = n < chunk ? n : chunk;
            write(block, k);
            n -= k;
        }
    }

    char *space(size_t) { return block; } // callers ask for at most kDirect
    void commit(size_t n) { write(block, n); }
    size_t count() const { return total; }
};

inline void start_args(Args *a, va_list ap)
{
    va_copy(a->ap, ap);
    a->nread = 0;
    a->counter = 0;
    a->scanned = false;
    a->scratch = nullptr;
    a->scratch_size = 0;
}

inline int result(size_t n)
{
    if (n > (size_t)INT_MAX)
        fail(EOVERFLOW, __LINE__);
    return (int)n;
}

inline void set_trust(safestr_header_t *h, bool trusted)
{
    if (trusted)
        h->flags |= SAFESTR_F_TRUSTED;
    else
        h->flags &= ~(uint32_t)SAFESTR_F_TRUSTED;
}

// Runs the engine into a string taken for writing and ends the edit;
// returns the handle that now holds the result.
safestr_t format_into(safestr_header_t *h, safestr_header_t *hf, va_list ap, bool trusted, size_t *count)
{
    StringSink out;
    out.init(h);
    Args a;
    start_args(&a, ap);
    run(out, text_of(hf), hf->length, &a);
    va_end(a.ap);
    *count = out.count();
    result(*count);
    safestr_header_t *last = out.finish();
    set_trust(last, trusted);
    return safestr_complete(h, last);
}

int format_stream(FILE *stream, safestr_t format, va_list ap)
{
    xxl_push_context(nullptr);
    safestr_header_t *hf = safestr_get(format, SAFESTR_GET_READONLY);
    if (!stream)
        fail(EINVAL, __LINE__);
    StreamSink out;
    out.f = stream;
    out.total = 0;
    Args a;
    start_args(&a, ap);
    run(out, text_of(hf), hf->length, &a);
    va_end(a.ap);
    int n = result(out.count());
    xxl_pop_context();
    return n;
}

} // namespace

Text take_string(void *handle)
{
    safestr_t s = static_cast<safestr_t>(handle);
    if (!s)
        s = safestr_do_create("(null)", SAFESTR_F_TEMPORARY | SAFESTR_F_READONLY | SAFESTR_F_TRUSTED, kFile,
                              __LINE__);
    // Taken in the operation's block: the reference is given back when the
    // operation ends, however it ends, and a temporary argument is freed
    // then (also when one format uses it twice).
    safestr_header_t *h = safestr_get(s, SAFESTR_GET_READONLY);
    return Text{text_of(h), h->length};
}

char *scratch(Args *a, size_t n)
{
    if (n <= a->scratch_size)
        return a->scratch;
    if (a->scratch)
        a->scratch = static_cast<char *>(safestr_realloc(a->scratch, n, kFile, __LINE__));
    else
        a->scratch = static_cast<char *>(safestr_malloc(n, XXL_ASSET_ALWAYS, kFile, __LINE__));
    a->scratch_size = n;
    return a->scratch;
}

} // namespace kivo_fmt

using namespace kivo_fmt;

extern "C" {

KIVO_API int safestr_vsprintf(safestr_t *s, safestr_t format, va_list ap)
{
    xxl_push_context(nullptr);
    if (!s) {
        safestr_get(format, SAFESTR_GET_READONLY); // a temporary format still goes
        fail(EINVAL, __LINE__);
    }
    safestr_header_t *hd = safestr_get(*s, SAFESTR_GET_WRITABLE);
    safestr_header_t *hf = safestr_get(format, SAFESTR_GET_READONLY);
    bool trusted = (hf->flags & SAFESTR_F_TRUSTED) != 0;
    // The result is built aside, so the destination keeps its content when
    // the format fails; the working string goes when the operation ends.
    safestr_t work = safestr_do_alloc(hf->length, SAFESTR_F_ASSET_ALWAYS, kFile, __LINE__);
    size_t count;
    work = format_into(safestr_get(work, SAFESTR_GET_WRITABLE), hf, ap, trusted, &count);
    int n = (int)count;
    safestr_header_t *hn = safestr_resize(hd, (uint32_t)count);
    memcpy(text_of(hn), work, count + 1);
    set_trust(hn, trusted);
    *s = safestr_complete(hd, hn);
    xxl_pop_context();
    return n;
}

KIVO_API int safestr_sprintf(safestr_t *s, safestr_t format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = safestr_vsprintf(s, format, ap);
    va_end(ap);
    return n;
}

KIVO_API int safestr_vasprintf(safestr_t *out, safestr_t format, va_list ap)
{
    xxl_push_context(nullptr);
    safestr_header_t *hf = safestr_get(format, SAFESTR_GET_READONLY);
    if (!out)
        fail(EINVAL, __LINE__);
    bool trusted = (hf->flags & SAFESTR_F_TRUSTED) != 0;
    safestr_t s = safestr_do_alloc(hf->length, SAFESTR_F_ASSET_ON_ERROR, kFile, __LINE__);
    *out = s;
    safestr_header_t *hs = safestr_get(s, SAFESTR_GET_WRITABLE);
    size_t count;
    *out = format_into(hs, hf, ap, trusted, &count);
    int n = (int)count;
    xxl_pop_context();
    return n;
}

KIVO_API int safestr_asprintf(safestr_t *out, safestr_t format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = safestr_vasprintf(out, format, ap);
    va_end(ap);
    return n;
}

KIVO_API int safestr_vfprintf(FILE *stream, safestr_t format, va_list ap)
{
    return format_stream(stream, format, ap);
}

KIVO_API int safestr_fprintf(FILE *stream, safestr_t format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = format_stream(stream, format, ap);
    va_end(ap);
    return n;
}

KIVO_API int safestr_vprintf(safestr_t format, va_list ap)
{
    return format_stream(stdout, format, ap);
}

KIVO_API int safestr_printf(safestr_t format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = format_stream(stdout, format, ap);
    va_end(ap);
    return n;
}

} // extern "C"
