/*
 * Bitset over 64-bit words. Bits past the size in the last word are kept
 * clear, so whole-word operations never leak stray bits into a resize.
 * No lock; no frame exception crosses this file.
 */
#define KIVO_FILE "bitset"
#include <kivo/buffer.h>
#include <kivo/memory.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr int32_t kWordBits = 64;

size_t words_for(int32_t n)
{
    return static_cast<size_t>((static_cast<int64_t>(n) + kWordBits - 1) / kWordBits);
}

// Storage is never empty, so a set of 0 bits still owns a valid block.
uint64_t *alloc_words(size_t words)
{
    return static_cast<uint64_t *>(fr_calloc(words ? words : 1, sizeof(uint64_t)));
}

void clear_tail(bitset *set)
{
    int32_t r = set->n % kWordBits;
    if (r)
        set->bits[set->n / kWordBits] &= (UINT64_C(1) << r) - 1;
}

enum class Op { Or, And, Xor };

void combine(bitset *set, const bitset *other, Op op)
{
    FR_CHECK_RETURN_VOID(set != nullptr && other != nullptr);
    int32_t m = set->n < other->n ? set->n : other->n;
    size_t full = static_cast<size_t>(m / kWordBits);
    int32_t r = m % kWordBits;
    for (size_t w = 0; w < full; w++) {
        switch (op) {
        case Op::Or: set->bits[w] |= other->bits[w]; break;
        case Op::And: set->bits[w] &= other->bits[w]; break;
        case Op::Xor: set->bits[w] ^= other->bits[w]; break;
        }
    }
    if (r) {
        uint64_t mask = (UINT64_C(1) << r) - 1;
        uint64_t o = other->bits[full];
        switch (op) {
        case Op::Or: set->bits[full] |= o & mask; break;
        case Op::And: set->bits[full] &= o | ~mask; break;
        case Op::Xor: set->bits[full] ^= o & mask; break;
        }
    }
}

} // namespace

extern "C" {

KIVO_API bitset *bitset_new(int n)
{
    FR_CHECK_RETURN(n >= 0, nullptr);
    auto *set = static_cast<bitset *>(fr_alloc(sizeof(bitset)));
    set->bits = alloc_words(words_for(n));
    set->n = n;
    return set;
}

KIVO_API bitset *bitset_clone(const bitset *set)
{
    FR_CHECK_RETURN(set != nullptr, nullptr);
    bitset *copy = bitset_new(set->n);
    memcpy(copy->bits, set->bits, words_for(set->n) * sizeof(uint64_t));
    return copy;
}

KIVO_API void bitset_free(bitset *set)
{
    FR_CHECK_RETURN_VOID(set != nullptr);
    free(set->bits);
    free(set);
}

KIVO_API void bitset_fill(bitset *set)
{
    FR_CHECK_RETURN_VOID(set != nullptr);
    memset(set->bits, 0xff, words_for(set->n) * sizeof(uint64_t));
    clear_tail(set);
}

KIVO_API void bitset_clear(bitset *set)
{
    FR_CHECK_RETURN_VOID(set != nullptr);
    memset(set->bits, 0, words_for(set->n) * sizeof(uint64_t));
}

KIVO_API void bitset_invert(bitset *set)
{
    FR_CHECK_RETURN_VOID(set != nullptr);
    size_t words = words_for(set->n);
    for (size_t w = 0; w < words; w++)
        set->bits[w] = ~set->bits[w];
    clear_tail(set);
}

KIVO_API void bitset_or(bitset *set, const bitset *other) { combine(set, other, Op::Or); }
KIVO_API void bitset_and(bitset *set, const bitset *other) { combine(set, other, Op::And); }
KIVO_API void bitset_xor(bitset *set, const bitset *other) { combine(set, other, Op::Xor); }

KIVO_API void bitset_realloc(bitset *set, int n)
{
    FR_CHECK_RETURN_VOID(set != nullptr && n >= 0);
    size_t old_words = words_for(set->n);
    size_t new_words = words_for(n);
    if (new_words != old_words) {
        set->bits = static_cast<uint64_t *>(
            fr_realloc(set->bits, (new_words ? new_words : 1) * sizeof(uint64_t)));
        if (new_words > old_words)
            memset(set->bits + old_words, 0, (new_words - old_words) * sizeof(uint64_t));
    }
    set->n = n;
    // Growing: the old tail is already clear. Shrinking: drop the cut bits.
    clear_tail(set);
}

KIVO_API void bitset_set(bitset *set, int i)
{
    FR_CHECK_RETURN_VOID(set != nullptr && i >= 0 && i < set->n);
    set->bits[i / kWordBits] |= UINT64_C(1) << (i % kWordBits);
}

KIVO_API void bitset_unset(bitset *set, int i)
{
    FR_CHECK_RETURN_VOID(set != nullptr && i >= 0 && i < set->n);
    set->bits[i / kWordBits] &= ~(UINT64_C(1) << (i % kWordBits));
}

KIVO_API int bitset_test(const bitset *set, int i)
{
    FR_CHECK_RETURN(set != nullptr && i >= 0 && i < set->n, -1);
    return static_cast<int>((set->bits[i / kWordBits] >> (i % kWordBits)) & 1);
}

} // extern "C"
