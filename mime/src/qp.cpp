// Quoted-printable and the Q encoding of header words, stream and string
// forms. One template walks the input for both: runs of bytes that are
// copied unchanged go out with one copy per run (split only by soft line
// breaks), everything else one item at a time. The string forms walk the
// input twice, once counting and once writing into a result of the exact
// size.
// Frame exceptions pass through the string forms: no locals with destructors.
#include "mime_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kivo::mime {
namespace {

enum : uint8_t { LIT, ESC, SP, US, CR, LF };

// Byte classes. Quoted-printable copies 33-126 but '='; space and tab
// depend on what follows. Q also escapes ( ) ? _ and tab, and turns a space
// into '_'. `plain` marks the bytes a run may hold: in quoted-printable a
// space or tab too (the end of a run decides about its last one).
struct class_table {
    uint8_t t[256];
    bool plain[256];
    constexpr explicit class_table(bool q) : t{}, plain{} {
        for (unsigned c = 0; c < 256; c++)
            t[c] = (c >= 33 && c <= 126 && c != '=') ? LIT : ESC;
        t[unsigned('\r')] = CR;
        t[unsigned('\n')] = LF;
        if (q) {
            t[unsigned(' ')] = US;
            t[unsigned('(')] = t[unsigned(')')] = t[unsigned('?')] = t[unsigned('_')] = ESC;
        } else {
            t[unsigned(' ')] = t[unsigned('\t')] = SP;
        }
        for (unsigned c = 0; c < 256; c++)
            plain[c] = t[c] == LIT || t[c] == SP;
    }
};
constexpr class_table qp_classes(false), q_classes(true);

// End of the run of plain bytes that starts at i: 16 bytes a test where
// the processor has SSE2 (every x86-64).
template <bool Q> __attribute__((always_inline)) inline size_t plain_run(const unsigned char *p, size_t i, size_t n) {
#if defined(__SSE2__)
    const __m128i bias = _mm_set1_epi8(char(0x80));
    const __m128i low = _mm_set1_epi8(char((Q ? 32 : 31) ^ 0x80)); // above: 33 (Q) or 32 (space) up
    const __m128i high = _mm_set1_epi8(char(127 ^ 0x80));          // below: up to 126
    while (i + 16 <= n) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        __m128i sv = _mm_xor_si128(v, bias);
        __m128i ok = _mm_and_si128(_mm_cmpgt_epi8(sv, low), _mm_cmplt_epi8(sv, high));
        __m128i bad = _mm_cmpeq_epi8(v, _mm_set1_epi8('='));
        if (Q) {
            bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('(')));
            bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(')')));
            bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('?')));
            bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
        }
        ok = _mm_andnot_si128(bad, ok);
        if (!Q)
            ok = _mm_or_si128(ok, _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
        unsigned stop = ~unsigned(_mm_movemask_epi8(ok)) & 0xFFFFu;
        if (stop)
            return i + unsigned(__builtin_ctz(stop));
        i += 16;
    }
#endif
    const bool *plain = Q ? q_classes.plain : qp_classes.plain;
    while (i < n && plain[p[i]])
        i++;
    return i;
}

constexpr char hex[] = "0123456789ABCDEF";
// Characters between soft line breaks; the '=' of the break comes on top.
constexpr unsigned line_limit = 75;

struct counter {
    uint64_t n;
    void lit(const unsigned char *, size_t k) { n += k; }
    void esc(unsigned char) { n += 3; }
    void hard() { n += 2; }
    void soft() { n += 3; }
    void under() { n += 1; }
};

struct writer {
    char *o;
    void lit(const unsigned char *p, size_t k) {
        memcpy(o, p, k);
        o += k;
    }
    void esc(unsigned char c) {
        o[0] = '=';
        o[1] = hex[c >> 4];
        o[2] = hex[c & 15];
        o += 3;
    }
    void hard() {
        o[0] = '\r';
        o[1] = '\n';
        o += 2;
    }
    void soft() {
        o[0] = '=';
        o[1] = '\r';
        o[2] = '\n';
        o += 3;
    }
    void under() { *o++ = '_'; }
};

// Encodes p[0..n). `col` counts the characters since the last soft break
// across calls (hard breaks and Q's underscores do not count). Unless
// final, a trailing byte whose output depends on the next one (CR, and in
// quoted-printable a space or tab) is left; returns the bytes consumed.
template <bool Q, class S>
size_t qp_core(const unsigned char *p, size_t n, bool final, unsigned &col, S &out) {
    const uint8_t *cls = Q ? q_classes.t : qp_classes.t;
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        switch (cls[c]) {
        case LIT: {
            size_t j = plain_run<Q>(p, i + 1, n);
            // A space or tab ending the run stays plain only when a byte
            // other than a line end follows; else it is left to the SP case
            // (escape, or wait for the next byte).
            if (!Q && (p[j - 1] == ' ' || p[j - 1] == '\t') && (j == n || p[j] == '\r' || p[j] == '\n'))
                j--;
            size_t k = j - i;
            while (k) {
                if (col >= line_limit) {
                    out.soft();
                    col = 0;
                }
                size_t take = line_limit - col;
                if (take > k)
                    take = k;
                out.lit(p + i, take);
                i += take;
                k -= take;
                col += unsigned(take);
            }
            break;
        }
        case SP: {
            if (i + 1 == n && !final)
                return i;
            // Escaped before a line end, and at the very end of the input,
            // where transports strip trailing white space.
            bool escape = i + 1 == n || cls[p[i + 1]] == CR || cls[p[i + 1]] == LF;
            unsigned w = escape ? 3 : 1;
            if (col + w > line_limit) {
                out.soft();
                col = 0;
            }
            if (escape)
                out.esc(c);
            else
                out.lit(p + i, 1);
            col += w;
            i++;
            break;
        }
        case US:
            out.under();
            i++;
            break;
        case CR:
            if (i + 1 == n && !final)
                return i;
            out.hard();
            i += (i + 1 < n && p[i + 1] == '\n') ? 2 : 1;
            break;
        case LF:
            out.hard();
            i++;
            break;
        default:
            if (col + 3 > line_limit) {
                out.soft();
                col = 0;
            }
            out.esc(c);
            col += 3;
            i++;
            break;
        }
    }
    return i;
}

constexpr size_t qp_in = 8192;
// Worst case per input byte: an escape (3) plus a share of soft breaks.
constexpr size_t qp_out = qp_in * 4 + 16;

// Whether the byte at `at` of block b belongs to a hard line break (or, in
// Q, is an underscore): their failed writes return quietly. prev1 and
// prev2 are the last two bytes written before b. In this output a CR
// follows '=' only in a soft break, since '=' is never written alone.
template <bool Q> bool quiet_failure(const char *b, size_t at, char prev1, char prev2) {
    auto before = [&](size_t k) -> char { return at >= k ? b[at - k] : (k - at == 1 ? prev1 : prev2); };
    char c = b[at];
    if (Q && c == '_')
        return true;
    if (c == '\r')
        return before(1) != '=';
    if (c == '\n')
        return before(2) != '=';
    return false;
}

// 0, 1 (quiet failure) or 2 (failure to log).
template <bool Q> int encode_stream(FILE *in, FILE *out) {
    unsigned char ib[qp_in];
    char ob[qp_out];
    size_t have = 0;
    unsigned col = 0;
    char prev1 = 0, prev2 = 0;
    for (;;) {
        size_t n = have + read_block(in, ib + have, qp_in - have);
        bool final = n < qp_in;
        writer w{ob};
        size_t used = qp_core<Q>(ib, n, final, col, w);
        size_t len = size_t(w.o - ob);
        size_t done = write_block(out, ob, len);
        if (done != len)
            return quiet_failure<Q>(ob, done, prev1, prev2) ? 1 : 2;
        if (len >= 2) {
            prev2 = ob[len - 2];
            prev1 = ob[len - 1];
        } else if (len == 1) {
            prev2 = prev1;
            prev1 = ob[0];
        }
        if (final)
            return 0;
        have = n - used;
        memmove(ib, ib + used, have);
    }
}

template <bool Q> safestr_t encode_string(const char *in) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
    size_t n = strlen(in);
    unsigned col = 0;
    counter cnt{0};
    qp_core<Q>(p, n, true, col, cnt); // counting walk
    result r;
    result_begin(&r, cnt.n);
    col = 0;
    writer w{r.text};
    qp_core<Q>(p, n, true, col, w);
    return result_end(&r, uint64_t(w.o - r.text));
}

} // namespace
} // namespace kivo::mime

using namespace kivo::mime;

extern "C" {

KIVO_API int qp_enc(FILE *in, FILE *out) {
    FR_CHECK_RETURN(in != nullptr && out != nullptr, -1);
    int rc = encode_stream<false>(in, out);
    if (rc == 2)
        FR_LOG_CONDITIONAL_RETURN();
    return rc ? -1 : 0;
}

KIVO_API int q_enc(FILE *in, FILE *out) {
    FR_CHECK_RETURN(in != nullptr && out != nullptr, -1);
    int rc = encode_stream<true>(in, out);
    if (rc == 2)
        FR_LOG_CONDITIONAL_RETURN();
    return rc ? -1 : 0;
}

// The line break, the escape format and a scratch string for one escape
// are made first and released last, as callers of these functions have
// always seen them (limits and allocation hooks apply to them); an
// exception on the way frees them with the rest.
#define QP_STRING_FORM(q)                                                                 \
    FR_CHECK_RETURN(in != nullptr, nullptr);                                              \
    xxl_push_context(nullptr);                                                            \
    safestr_t crlf = safestr_create("\r\n", SAFESTR_F_ASSET_ON_ERROR);                     \
    safestr_t format = safestr_create("=%02hhX", SAFESTR_F_ASSET_ON_ERROR);                \
    safestr_t scratch = safestr_alloc(3, SAFESTR_F_ASSET_ON_ERROR);                        \
    safestr_t s = encode_string<q>(in);                                                   \
    xxl_pop_context();                                                                    \
    MIME_FREE_AUX(scratch);                                                               \
    MIME_FREE_AUX(format);                                                                \
    MIME_FREE_AUX(crlf);                                                                  \
    return s

KIVO_API safestr_t qp_enc_str(const char *in) { QP_STRING_FORM(false); }

KIVO_API safestr_t q_enc_str(const char *in) { QP_STRING_FORM(true); }

} // extern "C"
