// What the validators share with the pattern cache: matching a plain pattern
// text with compile options against plain subject bytes. Raises no frame
// exception.
#ifndef KIVO_REGEX_INTERNAL_H
#define KIVO_REGEX_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <kivo/safestr.h>

namespace kivo::re {

// Step, depth (interpreter) and heap (KiB, interpreter) limits of every match.
constexpr uint32_t match_limit = 200000;
constexpr uint32_t depth_limit = 5000;
constexpr uint32_t heap_limit_kib = 8192;
// Each thread's JIT stack grows from the first size up to the second.
constexpr size_t jit_stack_start = 32 * 1024;
constexpr size_t jit_stack_max = 1024 * 1024;

// 1 match, 0 no match (errno untouched), 0 with errno set on failure. The
// pattern is taken through the cache under a key that includes the options.
int exists(const char *pattern, size_t pattern_len, uint32_t options, const char *subject, size_t subject_len);

// The header of s when it is a live safe string that is not temporary: such
// a string stays as it is for a call that neither edits nor frees it, so it
// can be read without being taken (no frame block, no reference). Null
// otherwise: the caller then takes it in a block, which also reports a dead
// handle properly.
inline safestr_header_t *usable(safestr_t s) {
    if (!s)
        return nullptr;
    uint32_t c = __atomic_load_n(&safestr_cookie, __ATOMIC_RELAXED);
    auto *h = reinterpret_cast<safestr_header_t *>(const_cast<char *>(s)) - 1;
    if (c == 0 || h->cookie != c || (h->flags & SAFESTR_F_TEMPORARY))
        return nullptr;
    return h;
}

} // namespace kivo::re

#endif
