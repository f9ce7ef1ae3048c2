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

namespace ss = kivo::ss;

namespace {

constexpr const char *kFile = SAFESTR_SOURCE;

// Appends into a safe string under construction, a block the operation
// built. The header's length is only brought up to date when the block
// must grow and at the end; what lies past it until then is taken in by
// the final resize.
struct StringSink {
    xxl_context_t *ctx;
    safestr_header_t *h;
    char *buf;
    size_t len;
    size_t cap;

    void init(xxl_context_t *c, safestr_header_t *header)
    {
        ctx = c;
        h = header;
        buf = ss::text(header);
        len = header->length;
        cap = header->capacity;
    }

    // Grows so that n more characters fit; the block grows geometrically
    // (up to the length limit), so a long output is copied a bounded number
    // of times.
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
        ss::set_length(h, len);
        h = ss::reserve(ctx, h, target);
        buf = ss::text(h);
        cap = h->capacity;
    }

    void put(const char *p, size_t n)
    {
        if (n > cap - len)
            grow(n);
        char *q = buf + len;
        len += n;
        if (n <= 16) { // short pieces: cheaper than a call
            for (size_t i = 0; i < n; i++)
                q[i] = p[i];
            return;
        }
        memcpy(q, p, n);
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
    safestr_header_t *finish() { return h = ss::resize(ctx, h, len); }

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

// Takes a string the operation only reads. Only a temporary string needs
// the registered reference (its release at the close frees it); any other
// one cannot lose its last reference while the call runs, so checking it is
// all that taking it would do.
inline safestr_header_t *hold(xxl_context_t *ctx, safestr_t s)
{
    safestr_header_t *h = ss::check(s);
    if (h->flags & SAFESTR_F_TEMPORARY)
        return ss::take(ctx, s, SAFESTR_GET_READONLY);
    if (int code = ss::access_fault(h, SAFESTR_GET_READONLY, 0))
        SAFESTR_THROW(code, s);
    return h;
}

inline void start_args(Args *a, xxl_context_t *ctx, va_list ap)
{
    va_copy(a->ap, ap);
    a->nread = 0;
    a->counter = 0;
    a->scanned = false;
    a->scratch = nullptr;
    a->scratch_size = 0;
    a->ctx = ctx;
}

inline void result(size_t n)
{
    if (n > (size_t)INT_MAX)
        fail(EOVERFLOW, __LINE__);
}

inline void set_trust(safestr_header_t *h, bool trusted)
{
    if (trusted)
        h->flags |= SAFESTR_F_TRUSTED;
    else
        h->flags &= ~(uint32_t)SAFESTR_F_TRUSTED;
}

// A new string with room for the format's length, built by the operation
// and registered in ctx with the disposition: XXL_ASSET_ALWAYS for a
// working string, XXL_ASSET_ON_ERROR for one handed to the caller.
safestr_header_t *new_string(xxl_context_t *ctx, safestr_header_t *hf, unsigned disposition)
{
    safestr_header_t *h = ss::make(hf->length, 0, kFile, __LINE__);
    ss::register_built(ctx, h, disposition);
    return h;
}

// Runs the engine into h and ends the edit; returns the handle that now
// holds the result.
safestr_t format_into(xxl_context_t *ctx, safestr_header_t *h, safestr_header_t *hf, va_list ap, bool trusted,
                      size_t *count)
{
    StringSink out;
    out.init(ctx, h);
    Args a;
    start_args(&a, ctx, ap);
    run(out, ss::text(hf), hf->length, &a);
    va_end(a.ap);
    *count = out.count();
    result(*count);
    safestr_header_t *last = out.finish();
    set_trust(last, trusted);
    return ss::complete(h, last);
}

int format_stream(FILE *stream, safestr_t format, va_list ap)
{
    xxl_context_t *ctx = ss::open();
    safestr_header_t *hf = hold(ctx, format);
    if (!stream)
        fail(EINVAL, __LINE__);
    StreamSink out;
    out.f = stream;
    out.total = 0;
    Args a;
    start_args(&a, ctx, ap);
    run(out, ss::text(hf), hf->length, &a);
    va_end(a.ap);
    result(out.count());
    ss::close();
    return (int)out.count();
}

} // namespace

Text take_string(Args *a, void *handle)
{
    xxl_context_t *ctx = static_cast<xxl_context_t *>(a->ctx);
    safestr_t s = static_cast<safestr_t>(handle);
    if (!s) {
        safestr_header_t *n = ss::make_copy("(null)", 6, SAFESTR_F_TEMPORARY | SAFESTR_F_READONLY | SAFESTR_F_TRUSTED,
                                            kFile, __LINE__);
        s = ss::handle(n);
    }
    // A temporary argument (and "(null)") is taken in the operation's
    // context: it is freed when the operation ends, however it ends, also
    // when one format uses it twice.
    safestr_header_t *h = hold(ctx, s);
    return Text{ss::text(h), h->length};
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
    xxl_context_t *ctx = ss::open();
    // The format first: a temporary format is then freed even when the
    // destination is refused. Holding it adds no reference unless it is
    // temporary, so the destination may be the format itself.
    safestr_header_t *hf = hold(ctx, format);
    if (!s)
        fail(EINVAL, __LINE__);
    safestr_header_t *hd = ss::take(ctx, *s, SAFESTR_GET_WRITABLE);
    bool trusted = (hf->flags & SAFESTR_F_TRUSTED) != 0;
    // The result is built aside, so the destination keeps its content when
    // the format fails; the working string goes when the operation ends.
    size_t count;
    safestr_t work = format_into(ctx, new_string(ctx, hf, XXL_ASSET_ALWAYS), hf, ap, trusted, &count);
    safestr_header_t *hn = ss::resize(ctx, hd, count);
    memcpy(ss::text(hn), work, count + 1);
    set_trust(hn, trusted);
    *s = ss::complete(hd, hn);
    ss::close();
    return (int)count;
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
    xxl_context_t *ctx = ss::open();
    safestr_header_t *hf = hold(ctx, format);
    if (!out)
        fail(EINVAL, __LINE__);
    bool trusted = (hf->flags & SAFESTR_F_TRUSTED) != 0;
    // Freed by the close of the context only if the operation fails.
    safestr_header_t *h = new_string(ctx, hf, XXL_ASSET_ON_ERROR);
    *out = ss::handle(h);
    size_t count;
    *out = format_into(ctx, h, hf, ap, trusted, &count);
    ss::close();
    return (int)count;
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
