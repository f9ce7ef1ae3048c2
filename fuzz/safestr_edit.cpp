// libFuzzer target of safe-string splitting, joining, replacing, chunking and
// searching. The input gives a string, a pattern, a replacement and the
// search flags; every result is checked against a plain model:
//   join(split(s, p), p) == s, replace as a left-to-right scan, search as
//   the rules define the candidate positions, chunk_split's length.
// Any exception, mismatch or reference-count change traps.
#include <cstdint>
#include <cstring>
#include <string>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

namespace {

safestr_t make(const std::string &s) {
    safestr_t r = safestr_alloc(uint32_t(s.size()), 0);
    memcpy(const_cast<char *>(r), s.data(), s.size());
    (reinterpret_cast<safestr_header_t *>(const_cast<char *>(r)) - 1)->length = uint32_t(s.size());
    return r;
}

std::string str(safestr_t s) {
    return std::string(s, (reinterpret_cast<const safestr_header_t *>(s) - 1)->length);
}

uint32_t refs(safestr_t s) { return (reinterpret_cast<const safestr_header_t *>(s) - 1)->refs; }

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

std::string model_replace(const std::string &s, const std::string &p, const std::string &r) {
    std::string out;
    size_t i = 0;
    while (i + p.size() <= s.size()) {
        if (s.compare(i, p.size(), p) == 0) {
            out += r;
            i += p.size();
        } else {
            out += s[i++];
        }
    }
    return out + s.substr(i);
}

int64_t model_search(const std::string &s, const std::string &p, bool reverse, bool nocase, uint32_t offset,
                     uint64_t count) {
    auto low = [&](unsigned char c) { return nocase ? safestr_casemap_lower[c] : c; };
    size_t L = s.size(), P = p.size();
    if (count == 0 || offset >= L || P > L)
        return -1;
    auto match = [&](size_t i) {
        for (size_t k = 0; k < P; k++)
            if (low(s[i + k]) != low(p[k]))
                return false;
        return true;
    };
    if (!reverse) {
        for (size_t i = offset; i + P <= L; i++)
            if (match(i) && --count == 0)
                return int64_t(i);
        return -1;
    }
    if (offset + P > L)
        return -1;
    for (int64_t i = int64_t(L - offset - P); i >= 0; i--)
        if (match(size_t(i)) && --count == 0)
            return i;
    return -1;
}

void exercise(const std::string &s, const std::string &p, const std::string &r, const uint8_t *params) {
    safestr_t hs = make(s), hp = make(p), hr = make(r);

    safestr_t *pieces = safestr_split(hs, hp);
    safestr_t joined = safestr_join(pieces, hp);
    check(str(joined) == s);
    safestr_free(joined);
    safestr_freelist(pieces);
    if (!p.empty()) {
        pieces = safestr_split_bychar(hs, p[0]);
        joined = safestr_join_bychar(pieces, p[0]);
        check(str(joined) == s);
        safestr_free(joined);
        safestr_freelist(pieces);

        safestr_t t = safestr_clone(hs, 0);
        safestr_replace(&t, hp, hr);
        check(str(t) == model_replace(s, p, r));
        safestr_free(t);
    }

    uint32_t flags = params[0] & 0x1F, offset = params[1] % 40, skip = params[2] % 4, n = params[2] / 4 % 4;
    int64_t got = safestr_search(hs, hp, flags | SAFESTR_FIND_FROMOFFSET | SAFESTR_FIND_SKIP | SAFESTR_FIND_NTH,
                                 offset, skip, n);
    check(got == model_search(s, p, flags & 1, flags & 0x10, offset, uint64_t(skip) + n));
    if (!p.empty()) {
        got = safestr_search(hs, nullptr, flags | 0x2E, offset, skip, n, int((unsigned char)p[0]));
        check(got == model_search(s, p.substr(0, 1), flags & 1, flags & 0x10, offset, uint64_t(skip) + n));
    }

    uint32_t chunk = params[3] % 16;
    if (chunk) {
        safestr_t c = safestr_chunk_split(hs, chunk, hr);
        size_t chunks = (s.size() + chunk - 1) / chunk;
        check(str(c).size() == s.size() + chunks * r.size());
        safestr_free(c);
    }
    check(refs(hs) == 1 && refs(hp) == 1 && refs(hr) == 1);
    safestr_free(hs);
    safestr_free(hp);
    safestr_free(hr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6)
        return 0;
    const uint8_t *params = data;
    size_t plen = data[4] % 6, rlen = data[5] % 12;
    data += 6;
    size -= 6;
    if (plen + rlen > size)
        return 0;
    std::string p(reinterpret_cast<const char *>(data), plen);
    std::string r(reinterpret_cast<const char *>(data + plen), rlen);
    std::string s(reinterpret_cast<const char *>(data + plen + rlen), size - plen - rlen);
    volatile int code = 0;
    XXL_BLOCK {
        exercise(s, p, r, params);
    }
    XXL_ON_ANY {
        code = xxl_current_error_code();
    }
    XXL_BLOCK_END;
    check(code == 0);
    return 0;
}
