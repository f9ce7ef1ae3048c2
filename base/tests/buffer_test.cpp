// Chunked buffer and bitset: chunk sizing, partial pops, bad input, the two
// invariant checks, and a randomized run against a plain byte vector.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/buffer.h>
#include <kivo/log.h>
#include <kivo/memory.h>

namespace {

std::vector<fr_buffer_chunk *> chunks(fr_buffer *b)
{
    std::vector<fr_buffer_chunk *> out;
    for (fr_buffer_link *l = b->chunks.next; l != &b->chunks; l = l->next)
        out.push_back(reinterpret_cast<fr_buffer_chunk *>(reinterpret_cast<char *>(l) -
                                                          offsetof(fr_buffer_chunk, link)));
    return out;
}

// Shape invariants every operation must keep.
void expect_well_formed(fr_buffer *b)
{
    auto cs = chunks(b);
    ASSERT_EQ(static_cast<int32_t>(cs.size()), b->count);
    int64_t sum = 0;
    fr_buffer_link *prev = &b->chunks;
    for (fr_buffer_chunk *c : cs) {
        ASSERT_EQ(c->link.prev, prev);
        prev = &c->link;
        ASSERT_GT(c->used, 0);
        ASSERT_LE(c->used, c->capacity);
        ASSERT_GE(c->capacity, 2);
        ASSERT_EQ(c->capacity & (c->capacity - 1), 0) << "capacity " << c->capacity;
        sum += c->used;
    }
    ASSERT_EQ(b->chunks.prev, prev);
    ASSERT_EQ(sum, b->total);
}

std::string take(void *p, int n)
{
    std::string s(static_cast<char *>(p), static_cast<size_t>(n));
    free(p);
    return s;
}

std::string contents(fr_buffer *b)
{
    if (b->total == 0)
        return "";
    return take(fr_buffer_get(b, b->total), b->total);
}

int g_conditional_returns;
void count_log(const char *, int, const char *, int, const char *message)
{
    if (strstr(message, ":conditional return"))
        g_conditional_returns++;
}

TEST(Buffer, ChunkSizingFollowsAppends)
{
    fr_buffer *b = fr_buffer_new();
    EXPECT_EQ(b->total, 0);
    EXPECT_EQ(b->count, 0);
    fr_buffer_append(b, "abc", 3);
    auto cs = chunks(b);
    ASSERT_EQ(cs.size(), 1u);
    EXPECT_EQ(cs[0]->capacity, 4);
    EXPECT_EQ(cs[0]->used, 3);
    fr_buffer_append(b, "d", 1); // fills the chunk exactly, no new chunk
    cs = chunks(b);
    ASSERT_EQ(cs.size(), 1u);
    EXPECT_EQ(cs[0]->used, 4);
    fr_buffer_append(b, "e", 1);
    cs = chunks(b);
    ASSERT_EQ(cs.size(), 2u);
    EXPECT_EQ(cs[1]->capacity, 2);
    EXPECT_EQ(cs[1]->used, 1);
    fr_buffer_append(b, "fghij", 5); // fills the free byte, rest (4) in a new chunk
    cs = chunks(b);
    ASSERT_EQ(cs.size(), 3u);
    EXPECT_EQ(cs[1]->used, 2);
    EXPECT_EQ(cs[2]->used, 4);
    EXPECT_EQ(cs[2]->capacity, 4);
    EXPECT_EQ(b->total, 10);
    EXPECT_EQ(contents(b), "abcdefghij");
    expect_well_formed(b);
    EXPECT_EQ(fr_buffer_destroy(b), 1);

    for (auto [n, cap] : {std::pair{1, 2}, {2, 2}, {3, 4}, {5, 8}, {8, 8}, {1025, 2048}}) {
        std::string data(static_cast<size_t>(n), 'x');
        fr_buffer_chunk *c = chunk_new(data.data(), n);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->capacity, cap) << n;
        EXPECT_EQ(c->used, n);
        // data is zeroed past the copy
        for (int i = n; i < cap; i++)
            EXPECT_EQ(c->data[i], 0);
        EXPECT_EQ(chunk_destroy(c), 1);
    }
}

TEST(Buffer, PopsRemoveWholeChunksAndShrinkPartialOnes)
{
    fr_buffer *b = fr_buffer_new();
    fr_buffer_append(b, "abc", 3);
    fr_buffer_append(b, "d", 1);
    fr_buffer_append(b, "ef", 2); // chunks: [abcd] [ef]
    ASSERT_EQ(b->count, 2);
    EXPECT_EQ(take(fr_buffer_pop(b, 4), 4), "abcd");
    EXPECT_EQ(b->count, 1);
    EXPECT_EQ(b->total, 2);
    EXPECT_EQ(contents(b), "ef");
    fr_buffer_destroy(b);

    b = fr_buffer_new();
    fr_buffer_append(b, "xyz", 3);
    EXPECT_EQ(take(fr_buffer_pop(b, 1), 1), "x");
    auto cs = chunks(b);
    ASSERT_EQ(cs.size(), 1u);
    EXPECT_EQ(cs[0]->used, 2);
    EXPECT_EQ(cs[0]->capacity, 2);
    EXPECT_EQ(memcmp(cs[0]->data, "yz", 2), 0);
    // A pop spanning chunks ends inside the second one.
    fr_buffer_append(b, "12345", 5); // [yz] [12345]
    EXPECT_EQ(take(fr_buffer_pop(b, 4), 4), "yz12");
    EXPECT_EQ(contents(b), "345");
    EXPECT_EQ(b->count, 1);
    expect_well_formed(b);
    EXPECT_EQ(take(fr_buffer_pop(b, 3), 3), "345");
    EXPECT_EQ(b->count, 0);
    EXPECT_EQ(b->total, 0);
    EXPECT_EQ(b->chunks.next, &b->chunks);
    // Empty again: the next append starts a fresh chunk.
    fr_buffer_append(b, "q", 1);
    EXPECT_EQ(contents(b), "q");
    fr_buffer_destroy(b);
}

TEST(Buffer, RefusedCallsChangeNothing)
{
    fr_log_init_custom(count_log);
    g_conditional_returns = 0;
    fr_buffer *b = fr_buffer_new();
    fr_buffer_append(b, "hello", 5);
    const std::string before = contents(b);

    EXPECT_EQ(fr_buffer_get(b, 6), nullptr);
    EXPECT_EQ(fr_buffer_pop(b, 6), nullptr);
    EXPECT_EQ(fr_buffer_get(b, 0), nullptr);
    EXPECT_EQ(fr_buffer_pop(b, -1), nullptr);
    EXPECT_EQ(fr_buffer_get(nullptr, 1), nullptr);
    EXPECT_EQ(fr_buffer_pop(nullptr, 1), nullptr);
    fr_buffer_append(b, nullptr, 3);
    fr_buffer_append(b, "x", 0);
    fr_buffer_append(b, "x", -4);
    fr_buffer_append(nullptr, "x", 1);
    fr_buffer *other = fr_buffer_new();
    fr_buffer_append_buffer(other, b, 6, 1);
    fr_buffer_append_buffer(other, b, 0, 1);
    fr_buffer_append_buffer(nullptr, b, 1, 1);
    fr_buffer_append_buffer(other, nullptr, 1, 0);
    EXPECT_EQ(other->total, 0);
    EXPECT_EQ(fr_buffer_destroy(nullptr), 0);
    EXPECT_EQ(chunk_new(nullptr, 3), nullptr);
    EXPECT_EQ(chunk_new("abc", 0), nullptr);
    EXPECT_EQ(chunk_destroy(nullptr), 0);
    adjust_chunk(nullptr, 1);

    // A total near the 32-bit limit: appends that would wrap it are refused,
    // and a move that cannot fit leaves the source intact.
    int32_t saved = b->total;
    b->total = INT32_MAX - 2;
    fr_buffer_append(b, "abc", 3);
    EXPECT_EQ(b->total, INT32_MAX - 2);
    fr_buffer_append(other, "zzz", 3);
    fr_buffer_append_buffer(b, other, 3, 1);
    EXPECT_EQ(other->total, 3);
    b->total = saved;

    EXPECT_EQ(contents(b), before);
    expect_well_formed(b);
    EXPECT_EQ(g_conditional_returns, 21); // one line per refused call
    fr_buffer_destroy(b);
    fr_buffer_destroy(other);
    fr_log_setlogger(nullptr);
}

TEST(Buffer, AppendBufferCopiesMovesAndRotates)
{
    fr_buffer *a = fr_buffer_new();
    fr_buffer *b = fr_buffer_new();
    fr_buffer_append(a, "0123456789", 10);
    fr_buffer_append(b, "ab", 2);
    fr_buffer_append_buffer(b, a, 3, 0);
    EXPECT_EQ(contents(a), "0123456789");
    EXPECT_EQ(contents(b), "ab012");
    fr_buffer_append_buffer(b, a, 4, 1);
    EXPECT_EQ(contents(a), "456789");
    EXPECT_EQ(contents(b), "ab0120123");
    fr_buffer_append_buffer(a, a, 2, 1); // rotation
    EXPECT_EQ(contents(a), "678945");
    fr_buffer_append_buffer(a, a, 6, 0); // doubling
    EXPECT_EQ(contents(a), "678945678945");
    expect_well_formed(a);
    expect_well_formed(b);
    fr_buffer_destroy(a);
    fr_buffer_destroy(b);
}

TEST(Buffer, RandomOperationsMatchAByteVector)
{
    for (unsigned seed : {1u, 2u, 3u, 77u, 2024u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        fr_buffer *buf[2] = {fr_buffer_new(), fr_buffer_new()};
        std::string model[2];
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        for (int step = 0; step < 4000; step++) {
            int i = pick(0, 1);
            fr_buffer *b = buf[i];
            std::string &m = model[i];
            int total = static_cast<int>(m.size());
            // Sizes favour small pieces but reach several chunk sizes.
            int size = pick(0, 3) == 0 ? pick(1, 5000) : pick(1, 40);
            int op = pick(0, 5);
            // Keep both buffers small: past 64 KiB only take bytes out.
            if (model[0].size() + model[1].size() > 65536 && op != 2)
                op = 3;
            switch (op) {
            case 0:
            case 1: {
                std::string data(static_cast<size_t>(size), '\0');
                for (auto &ch : data)
                    ch = static_cast<char>(pick(0, 255));
                fr_buffer_append(b, data.data(), size);
                m += data;
                break;
            }
            case 2: {
                void *p = fr_buffer_get(b, size);
                if (size > total) {
                    ASSERT_EQ(p, nullptr);
                } else {
                    ASSERT_EQ(take(p, size), m.substr(0, static_cast<size_t>(size)));
                }
                break;
            }
            case 3: {
                void *p = fr_buffer_pop(b, size);
                if (size > total) {
                    ASSERT_EQ(p, nullptr);
                } else {
                    ASSERT_EQ(take(p, size), m.substr(0, static_cast<size_t>(size)));
                    m.erase(0, static_cast<size_t>(size));
                }
                break;
            }
            case 4:
            case 5: {
                int j = pick(0, 1);
                int move = pick(0, 1);
                if (total > 0 && pick(0, 1))
                    size = pick(1, total < 3000 ? total : 3000);
                fr_buffer_append_buffer(buf[j], b, size, move);
                if (size <= total) {
                    std::string piece = m.substr(0, static_cast<size_t>(size));
                    if (move)
                        m.erase(0, static_cast<size_t>(size));
                    model[j] += piece;
                }
                break;
            }
            }
            ASSERT_EQ(b->total, static_cast<int32_t>(m.size()));
            if (step % 50 == 0) {
                for (int k = 0; k < 2; k++) {
                    ASSERT_NO_FATAL_FAILURE(expect_well_formed(buf[k]));
                    ASSERT_EQ(contents(buf[k]), model[k]) << "step " << step;
                }
            }
        }
        for (int k = 0; k < 2; k++) {
            ASSERT_EQ(contents(buf[k]), model[k]);
            fr_buffer_destroy(buf[k]);
        }
    }
}

TEST(BufferDeathTest, BrokenInvariantsEndTheProcess)
{
    fr_buffer_chunk *c = chunk_new("abc", 3);
    EXPECT_EXIT(adjust_chunk(c, 3), testing::ExitedWithCode(1),
                "Fatal:Assertion 'new_length > 0' failed");
    chunk_destroy(c);
    fr_buffer *b = fr_buffer_new();
    fr_buffer_append(b, "abc", 3);
    b->total = 5; // more than the chunks hold
    EXPECT_EXIT(free(fr_buffer_pop(b, 5)), testing::ExitedWithCode(1),
                "Fatal:Assertion 'left == 0' failed");
    b->total = 3;
    fr_buffer_destroy(b);
}

std::string bits(const bitset *s)
{
    std::string out;
    for (int i = 0; i < s->n; i++)
        out += bitset_test(s, i) ? '1' : '0';
    return out;
}

TEST(Bitset, OneBitSetInvertClone)
{
    bitset *s = bitset_new(1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bits(s), "0");
    bitset_fill(s);
    EXPECT_EQ(bits(s), "1");
    EXPECT_EQ(s->bits[0], 1u); // nothing set past the size
    bitset *c = bitset_clone(s);
    bitset_invert(s);
    EXPECT_EQ(bits(s), "0");
    EXPECT_EQ(bits(c), "1"); // the clone is independent
    bitset_invert(s);
    EXPECT_EQ(bits(s), "1");
    bitset_clear(c);
    EXPECT_EQ(bits(c), "0");
    bitset_set(c, 0);
    EXPECT_EQ(bitset_test(c, 0), 1);
    bitset_unset(c, 0);
    EXPECT_EQ(bitset_test(c, 0), 0);
    bitset_free(s);
    bitset_free(c);
}

TEST(Bitset, ReallocKeepsOldBitsAndClearsNewOnes)
{
    bitset *s = bitset_new(70);
    bitset_fill(s);
    bitset_realloc(s, 200);
    EXPECT_EQ(s->n, 200);
    EXPECT_EQ(bits(s), std::string(70, '1') + std::string(130, '0'));
    // Shrink into the middle of a word, then grow again: the cut bits are gone.
    bitset_realloc(s, 65);
    bitset_realloc(s, 128);
    EXPECT_EQ(bits(s), std::string(65, '1') + std::string(63, '0'));
    bitset_realloc(s, 0);
    EXPECT_EQ(s->n, 0);
    bitset_realloc(s, 3);
    EXPECT_EQ(bits(s), "000");
    bitset_free(s);
}

TEST(Bitset, CombineOverCommonBitsOnly)
{
    bitset *a = bitset_new(70);
    bitset *b = bitset_new(66);
    for (int i = 0; i < 70; i += 2)
        bitset_set(a, i);
    for (int i = 0; i < 66; i += 3)
        bitset_set(b, i);
    bitset *big = bitset_new(130);
    bitset_fill(big);

    auto expect = [&](auto op) {
        std::string r;
        for (int i = 0; i < 70; i++) {
            bool x = i % 2 == 0;
            r += (i < 66 ? op(x, i % 3 == 0) : x) ? '1' : '0';
        }
        return r;
    };
    bitset *t = bitset_clone(a);
    bitset_or(t, b);
    EXPECT_EQ(bits(t), expect([](bool x, bool y) { return x || y; }));
    bitset_free(t);
    t = bitset_clone(a);
    bitset_and(t, b);
    EXPECT_EQ(bits(t), expect([](bool x, bool y) { return x && y; }));
    bitset_free(t);
    t = bitset_clone(a);
    bitset_xor(t, b);
    EXPECT_EQ(bits(t), expect([](bool x, bool y) { return x != y; }));
    bitset_free(t);

    // A larger other never sets bits past the smaller set's size.
    t = bitset_clone(b);
    bitset_or(t, big);
    EXPECT_EQ(bits(t), std::string(66, '1'));
    EXPECT_EQ(t->bits[1], 3u);
    bitset_xor(t, big);
    EXPECT_EQ(bits(t), std::string(66, '0'));
    bitset_free(t);

    // Bad input
    EXPECT_EQ(bitset_new(-1), nullptr);
    EXPECT_EQ(bitset_clone(nullptr), nullptr);
    EXPECT_EQ(bitset_test(a, 70), -1);
    EXPECT_EQ(bitset_test(a, -1), -1);
    EXPECT_EQ(bitset_test(nullptr, 0), -1);
    bitset_set(a, 70);
    bitset_or(a, nullptr);
    bitset_realloc(a, -5);
    EXPECT_EQ(a->n, 70);
    EXPECT_EQ(a->bits[1] >> 6, 0u);
    bitset_free(nullptr);
    bitset_free(a);
    bitset_free(b);
    bitset_free(big);
}

} // namespace
