// libFuzzer target: fuzzed patterns and subjects through the global search,
// group extraction, literal replacement and split, with the cache on and
// off. Layout: byte 0 flags (bit 0 cache, bits 1-7 max), then the pattern
// up to the first 0x00, the replacement up to the next 0x00, the rest the
// subject (zero bytes allowed). Checks what must hold whatever the pattern:
// the replacement's length arithmetic, max 0 changing nothing, split parts
// adding up to no more than the subject, the same count from every function.
#include <kivo/regex.h>
#include <kivo/safestr.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

safestr_t make(const uint8_t *p, size_t n) {
    safestr_t s = safestr_create("", 0);
    for (size_t i = 0; i < n; i++)
        safestr_appendchar(&s, p[i]);
    return s;
}

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

bool cache_on = false;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    bool want_cache = data[0] & 1;
    int max = (data[0] >> 1) - 8; // -8 .. 119
    if (want_cache != cache_on) {
        if (want_cache)
            fr_reginit();
        else
            fr_regdestroy();
        cache_on = want_cache;
    }
    const uint8_t *p = data + 1, *end = data + size;
    const uint8_t *z1 = static_cast<const uint8_t *>(memchr(p, 0, size_t(end - p)));
    if (!z1)
        return 0;
    const uint8_t *r = z1 + 1;
    const uint8_t *z2 = static_cast<const uint8_t *>(memchr(r, 0, size_t(end - r)));
    if (!z2)
        return 0;
    const uint8_t *s = z2 + 1;

    XXL_BLOCK {
        safestr_t pattern = make(p, size_t(z1 - p));
        safestr_t repl = make(r, size_t(z2 - r));
        safestr_t subject = make(s, size_t(end - s));
        uint32_t slen = safestr_length(subject);

        fr_array_t *vectors = nullptr;
        int n = 0;
        int count = fr_regexec(pattern, subject, &vectors, &n);
        if (count >= 0) {
            check(vectors && fr_array_length(vectors) == count && n >= 1);
            long matched = 0;
            int prev_end = 0;
            for (int i = 0; i < count; i++) {
                int *v = *static_cast<int **>(fr_array_get(vectors, i));
                check(v[0] >= prev_end && v[1] >= v[0] && uint32_t(v[1]) <= slen);
                matched += v[1] - v[0];
                prev_end = v[1];
            }
            int k = (max >= 0 && max < count) ? max : count;
            long expect_len = long(slen);
            for (int i = 0; i < k; i++) {
                int *v = *static_cast<int **>(fr_array_get(vectors, i));
                expect_len += long(safestr_length(repl)) - (v[1] - v[0]);
            }
            fr_array_unref(vectors);

            safestr_t copy = safestr_clone(subject, 0);
            int replaced = fr_regreplace(&copy, pattern, repl, max);
            check(replaced == k);
            check(long(safestr_length(copy)) == expect_len);
            safestr_free(copy);

            safestr_t same = safestr_clone(subject, 0);
            check(fr_regreplace(&same, pattern, repl, 0) == 0);
            check(safestr_length(same) == slen && memcmp(same, subject, slen) == 0);
            safestr_free(same);

            fr_reglink_t list = {nullptr, nullptr};
            check(fr_regsplit(subject, pattern, &list) == count);
            long parts = 0, pieces = 0;
            for (fr_reglink_t *l = list.next; l && l != &list;) {
                fr_regnode_t *node = FR_REGNODE(l);
                l = l->next;
                parts += safestr_length(node->string);
                pieces++;
                safestr_free(node->string);
                free(node);
            }
            check(pieces == count && parts + matched <= long(slen));

            fr_array_t *groups = nullptr;
            int m = fr_regmatch(pattern, subject, &groups);
            check(m == (count ? count : -1));
            if (groups)
                fr_array_unref(groups);
        } else {
            check(vectors == nullptr);
        }
        // The match test reads the subject up to its first zero byte; on a
        // subject without one it agrees with the search (the pattern is
        // now the thread's cached one, so this is the fast path).
        int exists = fr_regmatch_exists(pattern, subject);
        if (count >= 0 && strlen(subject) == slen)
            check(exists == (count > 0));
        safestr_free(pattern);
        safestr_free(repl);
        safestr_free(subject);
    }
    XXL_BLOCK_END;
    return 0;
}
