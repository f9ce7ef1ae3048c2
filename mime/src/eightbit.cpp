// The 8-bit form: CRLF and a lone CR become LF, everything else is copied,
// and the output ends with LF. Runs between CRs are copied whole.
// Frame exceptions pass through the string form: no locals with destructors.
#include <sys/types.h>

#include "mime_internal.h"

namespace kivo::mime {
namespace {

// Copies p[0..n) to o with line ends made LF. `after_cr` says that the
// byte before p was a CR (whose LF is dropped); it is carried across calls.
char *eightbit_block(const unsigned char *p, size_t n, bool &after_cr, char *o) {
    size_t i = 0;
    if (n && after_cr) {
        if (p[0] == '\n')
            i = 1;
        after_cr = false;
    }
    while (i < n) {
        const void *cr = memchr(p + i, '\r', n - i);
        size_t stop = cr ? size_t(static_cast<const unsigned char *>(cr) - p) : n;
        memcpy(o, p + i, stop - i);
        o += stop - i;
        if (!cr)
            break;
        *o++ = '\n';
        i = stop + 1;
        if (i == n)
            after_cr = true;
        else if (p[i] == '\n')
            i++;
    }
    return o;
}

// The last byte of the stream, read back: 0-255, -1 for an empty stream,
// -2 when the stream cannot be sought or read (a pipe, a write-only
// stream). Leaves the stream positioned at its end.
int last_byte(FILE *out) {
    if (fseeko(out, 0, SEEK_END) != 0)
        return -2;
    off_t size = ftello(out);
    if (size < 0)
        return -2;
    if (size == 0)
        return -1;
    if (fseeko(out, -1, SEEK_END) != 0)
        return -2;
    int had_error = ferror(out);
    int c = fgetc(out);
    if (c == EOF) {
        // Not readable: leave the error indicator as the caller had it.
        if (!had_error)
            clearerr(out);
        c = -2;
    }
    fseeko(out, 0, SEEK_END); // a write after a read needs a seek between
    return c;
}

} // namespace
} // namespace kivo::mime

using namespace kivo::mime;

extern "C" {

KIVO_API int eightbit_enc(FILE *in, FILE *out) {
    FR_CHECK_RETURN(in != nullptr && out != nullptr, -1);
    rewind(in);
    unsigned char ib[in_block];
    char ob[in_block];
    bool after_cr = false;
    int last = -1;
    for (;;) {
        size_t n = read_block(in, ib, in_block);
        char *e = eightbit_block(ib, n, after_cr, ob);
        if (e > ob) {
            fwrite(ob, 1, size_t(e - ob), out); // unchecked, as this form always was
            last = static_cast<unsigned char>(e[-1]);
        }
        if (n < in_block)
            break;
    }
    int c = last_byte(out);
    if (c == -2)
        c = last; // cannot read back: go by what was written here
    if (c != '\n')
        fputc('\n', out);
    return 0;
}

KIVO_API safestr_t eightbit_enc_str(const char *in) {
    FR_CHECK_RETURN(in != nullptr, nullptr);
    size_t n = strlen(in);
    size_t pairs = 0;
    for (const char *p = in; (p = static_cast<const char *>(memchr(p, '\r', n - size_t(p - in)))); p++)
        pairs += p[1] == '\n';
    bool ends_lf = n && (in[n - 1] == '\n' || in[n - 1] == '\r');
    uint64_t length = uint64_t(n - pairs) + (ends_lf ? 0 : 1);
    result r;
    result_begin(&r, length);
    bool after_cr = false;
    char *e = eightbit_block(reinterpret_cast<const unsigned char *>(in), n, after_cr, r.text);
    if (!ends_lf)
        *e++ = '\n';
    return result_end(&r, uint64_t(e - r.text));
}

} // extern "C"
