// Content encoders against their usual peers, side by side on the same
// inputs: base64 encode and decode (1 MiB and 64 KiB) with GLib, OpenSSL's
// block coder and GMime's step coder; quoted-printable encode of mixed text
// with GMime; memcpy of the output size as the physical limit. Our stream
// forms run through fmemopen in and out (no allocation), and to /dev/null.
// Counters: bytes per second of input; "allocs" is the number of safe-string
// allocations per call of a string form (the result, and helper strings).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <glib.h>
#include <gmime/gmime.h>
#include <kivo/mime.h>
#include <kivo/safestr.h>
#include <openssl/evp.h>

namespace {

std::string random_text(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::string s(n, 0);
    for (char &c : s)
        c = char(1 + g() % 255); // no zero bytes: the string forms read C strings
    return s;
}

// 90% ASCII prose with line breaks, 10% UTF-8 (two-byte letters).
std::string mixed_text(size_t n) {
    static const char *words[] = {"the", "quick", "message", "server", "delivery", "of", "a", "mail",
                                  "and", "attachment", "text", "encoding", "line", "to", "is", "for"};
    std::mt19937 g(5);
    std::string s;
    size_t col = 0;
    while (s.size() < n) {
        std::string w;
        if (g() % 10 == 0)
            w = "gr\xC3\xBC\xC3\x9F" "e";
        else
            w = words[g() % 16];
        s += w;
        col += w.size() + 1;
        if (col > 66) {
            s += "\r\n";
            col = 0;
        } else {
            s += ' ';
        }
    }
    s.resize(n);
    return s;
}

const std::string &input(size_t n) {
    static std::string big = random_text(1 << 20, 1), small = random_text(64 << 10, 2);
    return n == big.size() ? big : small;
}
std::string encoded(size_t n) {
    FILE *in = fmemopen(const_cast<char *>(input(n).data()), n, "r");
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    base64_enc(in, out);
    fclose(in);
    fclose(out);
    std::string s(buf, len);
    free(buf);
    return s;
}
const std::string &prose() {
    static std::string p = mixed_text(1 << 20);
    return p;
}

long allocations;
void *counting_malloc(size_t n, const char *, int) {
    allocations++;
    return malloc(n);
}
void *counting_realloc(void *p, size_t n, const char *, int) {
    allocations++;
    return realloc(p, n);
}

void set_rate(benchmark::State &st, size_t n) { st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n)); }

// ---- base64 encode ----

void Enc_Ours_String(benchmark::State &st) {
    const std::string &in = input(size_t(st.range(0)));
    safestr_setmemfns(counting_malloc, counting_realloc, nullptr);
    allocations = 0;
    for (auto _ : st) {
        safestr_t s = base64_enc_str(in.c_str());
        benchmark::DoNotOptimize(s);
        safestr_free(s);
    }
    st.counters["allocs"] = double(allocations) / double(st.iterations());
    safestr_setmemfns(nullptr, nullptr, nullptr);
    set_rate(st, in.size());
}

void Enc_Ours_Stream(benchmark::State &st) {
    const std::string &in = input(size_t(st.range(0)));
    std::vector<char> out(in.size() * 2);
    FILE *fi = fmemopen(const_cast<char *>(in.data()), in.size(), "r");
    FILE *fo = fmemopen(out.data(), out.size(), "w");
    for (auto _ : st) {
        rewind(fi);
        rewind(fo);
        if (base64_enc(fi, fo) != 0)
            st.SkipWithError("write failed");
    }
    fclose(fi);
    fclose(fo);
    set_rate(st, in.size());
}

void Enc_Ours_StreamDevNull(benchmark::State &st) {
    const std::string &in = input(size_t(st.range(0)));
    FILE *fi = fmemopen(const_cast<char *>(in.data()), in.size(), "r");
    FILE *fo = fopen("/dev/null", "w");
    for (auto _ : st) {
        rewind(fi);
        if (base64_enc(fi, fo) != 0)
            st.SkipWithError("write failed");
    }
    fclose(fi);
    fclose(fo);
    set_rate(st, in.size());
}

void Enc_GLib(benchmark::State &st) {
    const std::string &in = input(size_t(st.range(0)));
    for (auto _ : st) {
        gchar *s = g_base64_encode(reinterpret_cast<const guchar *>(in.data()), in.size());
        benchmark::DoNotOptimize(s);
        g_free(s);
    }
    set_rate(st, in.size());
}

void Enc_OpenSSL(benchmark::State &st) {
    const std::string &in = input(size_t(st.range(0)));
    std::vector<unsigned char> out(in.size() * 2);
    for (auto _ : st) {
        int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char *>(in.data()), int(in.size()));
        benchmark::DoNotOptimize(n);
    }
    set_rate(st, in.size());
}

void Enc_GMime(benchmark::State &st) {
    const std::string &in = input(size_t(st.range(0)));
    std::vector<unsigned char> out(GMIME_BASE64_ENCODE_LEN(in.size()));
    for (auto _ : st) {
        int state = 0;
        guint32 save = 0;
        size_t n = g_mime_encoding_base64_encode_close(reinterpret_cast<const unsigned char *>(in.data()), in.size(),
                                                       out.data(), &state, &save);
        benchmark::DoNotOptimize(n);
    }
    set_rate(st, in.size());
}

void Enc_Memcpy(benchmark::State &st) {
    const std::string &in = input(size_t(st.range(0)));
    std::string enc = encoded(in.size());
    std::vector<char> out(enc.size());
    for (auto _ : st) {
        memcpy(out.data(), enc.data(), enc.size());
        benchmark::ClobberMemory();
    }
    set_rate(st, in.size());
}

// ---- base64 decode (input: our encoded text, 76-byte lines) ----

void Dec_Ours_String(benchmark::State &st) {
    std::string enc = encoded(size_t(st.range(0)));
    safestr_setmemfns(counting_malloc, counting_realloc, nullptr);
    allocations = 0;
    for (auto _ : st) {
        safestr_t s = base64_dec_str(enc.c_str());
        benchmark::DoNotOptimize(s);
        safestr_free(s);
    }
    st.counters["allocs"] = double(allocations) / double(st.iterations());
    safestr_setmemfns(nullptr, nullptr, nullptr);
    set_rate(st, enc.size());
}

void Dec_Ours_Stream(benchmark::State &st) {
    std::string enc = encoded(size_t(st.range(0)));
    std::vector<char> out(enc.size());
    FILE *fi = fmemopen(enc.data(), enc.size(), "r");
    FILE *fo = fmemopen(out.data(), out.size(), "w");
    for (auto _ : st) {
        rewind(fi);
        rewind(fo);
        if (base64_dec(fi, fo) != 0)
            st.SkipWithError("write failed");
    }
    fclose(fi);
    fclose(fo);
    set_rate(st, enc.size());
}

// GLib's in-place decoder works on a copy of the text each time; the copy
// is timed too (a memcpy of the input, a few percent of the decode).
void Dec_GLib_Inplace(benchmark::State &st) {
    std::string enc = encoded(size_t(st.range(0)));
    std::vector<char> work(enc.size() + 1);
    for (auto _ : st) {
        memcpy(work.data(), enc.data(), enc.size() + 1);
        gsize n = 0;
        benchmark::DoNotOptimize(g_base64_decode_inplace(work.data(), &n));
    }
    set_rate(st, enc.size());
}

// OpenSSL's block decoder refuses line breaks inside: it gets the text
// without them (less input to read than ours).
void Dec_OpenSSL_Unwrapped(benchmark::State &st) {
    std::string enc = encoded(size_t(st.range(0))), flat;
    for (char c : enc)
        if (c != '\r' && c != '\n')
            flat += c;
    std::vector<unsigned char> out(flat.size());
    for (auto _ : st) {
        int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char *>(flat.data()), int(flat.size()));
        if (n < 0)
            st.SkipWithError("decode failed");
        benchmark::DoNotOptimize(n);
    }
    set_rate(st, enc.size());
}

void Dec_GMime(benchmark::State &st) {
    std::string enc = encoded(size_t(st.range(0)));
    std::vector<unsigned char> out(enc.size());
    for (auto _ : st) {
        int state = 0;
        guint32 save = 0;
        size_t n = g_mime_encoding_base64_decode_step(reinterpret_cast<const unsigned char *>(enc.data()), enc.size(),
                                                      out.data(), &state, &save);
        benchmark::DoNotOptimize(n);
    }
    set_rate(st, enc.size());
}

void Dec_Memcpy(benchmark::State &st) {
    std::string enc = encoded(size_t(st.range(0)));
    size_t n = st.range(0);
    std::vector<char> out(n);
    for (auto _ : st) {
        memcpy(out.data(), enc.data(), n);
        benchmark::ClobberMemory();
    }
    set_rate(st, enc.size());
}

// ---- quoted-printable encode of mixed text ----

void QP_Ours_String(benchmark::State &st) {
    const std::string &in = prose();
    safestr_setmemfns(counting_malloc, counting_realloc, nullptr);
    allocations = 0;
    for (auto _ : st) {
        safestr_t s = qp_enc_str(in.c_str());
        benchmark::DoNotOptimize(s);
        safestr_free(s);
    }
    st.counters["allocs"] = double(allocations) / double(st.iterations());
    safestr_setmemfns(nullptr, nullptr, nullptr);
    set_rate(st, in.size());
}

void QP_Ours_Stream(benchmark::State &st) {
    const std::string &in = prose();
    std::vector<char> out(in.size() * 4);
    FILE *fi = fmemopen(const_cast<char *>(in.data()), in.size(), "r");
    FILE *fo = fmemopen(out.data(), out.size(), "w");
    for (auto _ : st) {
        rewind(fi);
        rewind(fo);
        if (qp_enc(fi, fo) != 0)
            st.SkipWithError("write failed");
    }
    fclose(fi);
    fclose(fo);
    set_rate(st, in.size());
}

void QP_GMime(benchmark::State &st) {
    const std::string &in = prose();
    std::vector<unsigned char> out(GMIME_QP_ENCODE_LEN(in.size()));
    for (auto _ : st) {
        int state = -1;
        guint32 save = 0;
        size_t n = g_mime_encoding_quoted_encode_close(reinterpret_cast<const unsigned char *>(in.data()), in.size(),
                                                       out.data(), &state, &save);
        benchmark::DoNotOptimize(n);
    }
    set_rate(st, in.size());
}

void QP_Memcpy(benchmark::State &st) {
    const std::string &in = prose();
    safestr_t s = qp_enc_str(in.c_str());
    size_t n = safestr_length(s);
    std::vector<char> out(n);
    for (auto _ : st) {
        memcpy(out.data(), s, n);
        benchmark::ClobberMemory();
    }
    safestr_free(s);
    set_rate(st, in.size());
}

} // namespace

#define SIZES ->Arg(1 << 20)->Arg(64 << 10)
BENCHMARK(Enc_Ours_String) SIZES;
BENCHMARK(Enc_Ours_Stream) SIZES;
BENCHMARK(Enc_Ours_StreamDevNull) SIZES;
BENCHMARK(Enc_GLib) SIZES;
BENCHMARK(Enc_OpenSSL) SIZES;
BENCHMARK(Enc_GMime) SIZES;
BENCHMARK(Enc_Memcpy) SIZES;
BENCHMARK(Dec_Ours_String) SIZES;
BENCHMARK(Dec_Ours_Stream) SIZES;
BENCHMARK(Dec_GLib_Inplace) SIZES;
BENCHMARK(Dec_OpenSSL_Unwrapped) SIZES;
BENCHMARK(Dec_GMime) SIZES;
BENCHMARK(Dec_Memcpy) SIZES;
BENCHMARK(QP_Ours_String);
BENCHMARK(QP_Ours_Stream);
BENCHMARK(QP_GMime);
BENCHMARK(QP_Memcpy);
