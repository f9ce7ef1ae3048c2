// Test helpers for the encoders (see mime_testing.h).
#include "mime_testing.h"

#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

namespace mimetest {

const std::vector<encoding> &encodings() {
    static const std::vector<encoding> all = {
        {"base64", base64_enc, base64_enc_str}, {"base64_dec", base64_dec, base64_dec_str},
        {"qp", qp_enc, qp_enc_str},             {"q", q_enc, q_enc_str},
        {"eightbit", eightbit_enc, eightbit_enc_str},
    };
    return all;
}

const encoding &by_name(const std::string &name) {
    for (const encoding &e : encodings())
        if (name == e.name)
            return e;
    throw std::runtime_error("no encoding " + name);
}

namespace {
// Kept out of via_string so that no destructor lies under the block.
safestr_t call_protected(string_fn fn, const char *in, int *code) {
    safestr_t volatile s = nullptr;
    volatile int c = 0;
    XXL_BLOCK {
        s = fn(in);
    }
    XXL_ON_ANY {
        c = xxl_current_error_code();
    }
    XXL_BLOCK_END;
    *code = c;
    return s;
}
} // namespace

std::string via_string(string_fn fn, const char *in, int *code) {
    int c = 0;
    safestr_t s = call_protected(fn, in, &c);
    if (code)
        *code = c;
    if (!s)
        return "<null>";
    std::string r(s, safestr_length(s));
    safestr_free(s);
    return r;
}

std::string via_stream(stream_fn fn, const std::string &in, int *rc) {
    FILE *fi = tmpfile(), *fo = tmpfile();
    if (!fi || !fo)
        throw std::runtime_error("tmpfile");
    fwrite(in.data(), 1, in.size(), fi);
    rewind(fi);
    int r = fn(fi, fo);
    if (rc)
        *rc = r;
    fflush(fo);
    rewind(fo);
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fo)) > 0)
        out.append(buf, n);
    fclose(fi);
    fclose(fo);
    return out;
}

namespace {
std::vector<log_line> captured;
void keep(const char *file, int line, const char *function, int level, const char *message) {
    captured.push_back({file ? file : "", function ? function : "", message ? message : "", line, level});
}
} // namespace

log_capture::log_capture() {
    captured.clear();
    fr_log_setlogger(keep);
}
log_capture::~log_capture() { fr_log_setlogger(nullptr); }
const std::vector<log_line> &log_capture::lines() const { return captured; }
void log_capture::clear() { captured.clear(); }

std::string python(const std::string &script, const std::string &input, int *status) {
    char in_path[] = "/tmp/mime_py_inXXXXXX", out_path[] = "/tmp/mime_py_outXXXXXX";
    int fi = mkstemp(in_path), fo = mkstemp(out_path);
    if (fi < 0 || fo < 0)
        throw std::runtime_error("mkstemp");
    if (write(fi, input.data(), input.size()) != ssize_t(input.size()))
        throw std::runtime_error("write");
    close(fi);
    close(fo);
    std::string cmd = "/usr/bin/python3 -c '" + script + "' < " + in_path + " > " + out_path;
    int st = system(cmd.c_str());
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    FILE *f = fopen(out_path, "rb");
    std::string out;
    char buf[65536];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    if (f)
        fclose(f);
    unlink(in_path);
    unlink(out_path);
    return out;
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = char(g() & 0xFF);
    return s;
}

} // namespace mimetest
