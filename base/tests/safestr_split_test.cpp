// Safe strings: splitting, joining, converting arrays and chunking; then
// every composite operation with the k-th allocation failing, for every k it
// performs: ENOMEM, nothing leaked, the caller's strings unchanged.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "support/safestr_testing.h"

using sstest::code_of;
using sstest::hdr;
using sstest::run;

namespace {

using SplitTest = sstest::CountingTest;
using sstest::make;
using sstest::release;
using sstest::str;

std::vector<std::string> pieces(safestr_t *arr) {
    std::vector<std::string> v;
    for (safestr_t *p = arr; *p; p++)
        v.push_back(str(*p));
    return v;
}
void release(safestr_t *arr) { code_of([&] { safestr_freelist(arr); }); }
using V = std::vector<std::string>;

TEST_F(SplitTest, SplitRules) {
    safestr_t s = make("a,,b,", SAFESTR_F_TRUSTED), comma = make(","), empty = make(""), two = make(",,");
    safestr_t *r[7] = {};
    ASSERT_EQ(code_of([&] {
                  r[0] = safestr_split(s, comma);
                  r[1] = safestr_split(empty, empty);
                  r[2] = safestr_split(s, empty);
                  r[3] = safestr_split(comma, two); // shorter than the separator
                  r[4] = safestr_split_bychar(s, ',');
                  r[5] = safestr_split_bychar(empty, ',');
                  r[6] = safestr_split(s, two);
              }),
              0);
    EXPECT_EQ(pieces(r[0]), (V{"a", "", "b", ""}));
    EXPECT_EQ(pieces(r[1]), V{});
    EXPECT_EQ(pieces(r[2]), (V{"a", ",", ",", "b", ","}));
    EXPECT_EQ(pieces(r[3]), V{","});
    EXPECT_EQ(pieces(r[4]), (V{"a", "", "b", ""}));
    EXPECT_EQ(pieces(r[5]), V{""});
    EXPECT_EQ(pieces(r[6]), (V{"a", "b,"}));
    EXPECT_EQ(hdr(r[0][0])->flags, uint32_t(SAFESTR_F_TRUSTED)) << "pieces carry the source's trust";
    EXPECT_EQ(hdr(r[0][0])->refs, 1u);
    EXPECT_EQ(hdr(s)->refs, 1u);

    // Separators are looked for up to the first zero byte; the rest of the
    // text stays in the last piece.
    safestr_t z = make(std::string("x,y\0,z", 6));
    safestr_t *rz = nullptr;
    code_of([&] { rz = safestr_split(z, comma); });
    EXPECT_EQ(pieces(rz), (V{"x", std::string("y\0,z", 4)}));
    release(rz);
    release(z);
    for (safestr_t *a : r)
        release(a);
    for (safestr_t x : {s, comma, empty, two})
        release(x);
}

TEST_F(SplitTest, JoinConvertAndChunk) {
    safestr_t a = make("a", SAFESTR_F_TRUSTED), b = make("bb", SAFESTR_F_TRUSTED), sep = make("--", SAFESTR_F_TRUSTED);
    safestr_t arr[] = {a, b, a, nullptr};
    safestr_t none[] = {nullptr};
    safestr_t j[4] = {};
    ASSERT_EQ(code_of([&] {
                  j[0] = safestr_join(arr, sep);
                  j[1] = safestr_join_bychar(arr, '/');
                  j[2] = safestr_join(none, sep);
                  safestr_untrust(b);
                  j[3] = safestr_join(arr, sep);
              }),
              0);
    EXPECT_EQ(str(j[0]), "a--bb--a");
    EXPECT_EQ(hdr(j[0])->flags, uint32_t(SAFESTR_F_TRUSTED));
    EXPECT_EQ(str(j[1]), "a/bb/a");
    EXPECT_EQ(str(j[2]), "");
    EXPECT_EQ(hdr(j[2])->flags, uint32_t(SAFESTR_F_TRUSTED)) << "an empty join is trusted";
    EXPECT_EQ(hdr(j[3])->flags, 0u);
    EXPECT_EQ(hdr(a)->refs, 1u);
    EXPECT_EQ(code_of([&] { safestr_join(nullptr, sep); }), EINVAL);

    const char *plain[] = {"one", "", "three", nullptr};
    safestr_t *conv = nullptr;
    code_of([&] { conv = safestr_convertarray(plain, SAFESTR_F_TRUSTED | SAFESTR_F_READONLY); });
    EXPECT_EQ(pieces(conv), (V{"one", "", "three"}));
    EXPECT_EQ(hdr(conv[0])->flags, uint32_t(SAFESTR_F_TRUSTED | SAFESTR_F_READONLY));

    safestr_t crlf = make("\r\n");
    safestr_t c[4] = {};
    ASSERT_EQ(code_of([&] {
                  c[0] = safestr_chunk_split(make("abcdefg", SAFESTR_F_TEMPORARY | SAFESTR_F_TRUSTED), 3, crlf);
                  c[1] = safestr_chunk_split(make("abcdef", SAFESTR_F_TEMPORARY), 3, crlf);
                  c[2] = safestr_chunk_split(make("", SAFESTR_F_TEMPORARY), 3, crlf);
                  c[3] = safestr_chunk_split(nullptr, 3, crlf);
              }),
              0);
    EXPECT_EQ(str(c[0]), "abc\r\ndef\r\ng\r\n");
    EXPECT_EQ(hdr(c[0])->flags, 0u);
    EXPECT_EQ(str(c[1]), "abc\r\ndef\r\n");
    EXPECT_EQ(str(c[2]), "");
    EXPECT_EQ(c[3], nullptr);
    // Chunk 0 is refused; the temporary argument is used up all the same.
    EXPECT_EQ(code_of([&] { safestr_chunk_split(make("abc", SAFESTR_F_TEMPORARY), 0, crlf); }), EINVAL);
    EXPECT_EQ(hdr(crlf)->refs, 1u);

    for (int i = 0; i < 3; i++)
        release(c[i]);
    release(conv);
    for (safestr_t x : {j[0], j[1], j[2], j[3], a, b, sep, crlf})
        release(x);
}

// Runs op with allocation k failing for k = 1, 2, ... until it succeeds.
// Each failure must be ENOMEM with every block released and check() true.
template <class Op, class Check> int fail_each_allocation(Op op, Check check) {
    int failures = 0;
    for (long k = 1; k < 1000; k++) {
        long live = sstest::H().live;
        sstest::H().allocations = 0;
        sstest::H().fail_at = k;
        int code = code_of(op);
        sstest::H().fail_at = 0;
        if (code == 0)
            return failures;
        EXPECT_EQ(code, ENOMEM) << "allocation " << k;
        EXPECT_EQ(sstest::H().live, live) << "leak when allocation " << k << " fails";
        EXPECT_TRUE(check()) << "caller's strings changed when allocation " << k << " fails";
        failures++;
    }
    ADD_FAILURE() << "never succeeded";
    return failures;
}

TEST_F(SplitTest, EveryAllocationOfACompositeOperationMayFail) {
    safestr_t s = make("one,two,three,four", SAFESTR_F_TRUSTED), comma = make(",");
    safestr_t *out = nullptr;
    auto intact = [&] { return str(s) == "one,two,three,four" && hdr(s)->refs == 1 && hdr(comma)->refs == 1; };

    EXPECT_EQ(fail_each_allocation([&] { out = safestr_split(s, comma); }, intact), 5); // array + 4 pieces
    EXPECT_EQ(pieces(out).size(), 4u);
    safestr_t *split = out;

    safestr_t joined = nullptr;
    EXPECT_EQ(fail_each_allocation([&] { joined = safestr_join(split, comma); }, intact), 1);
    EXPECT_EQ(str(joined), str(s));
    release(joined);

    const char *plain[] = {"x", "yy", "zzz", nullptr};
    EXPECT_EQ(fail_each_allocation([&] { out = safestr_convertarray(plain, SAFESTR_F_ASSET_ON_ERROR); }, intact), 4);
    release(out);

    safestr_t chunked = nullptr;
    EXPECT_EQ(fail_each_allocation([&] { chunked = safestr_chunk_split(s, 4, comma); }, intact), 1);
    release(chunked);

    // Replace that grows past the capacity: the target keeps its content.
    safestr_t target = make(std::string(100, 'o')), o = make("o"), ooo = make("ooo");
    auto target_intact = [&] { return str(target) == std::string(100, 'o') && hdr(target)->refs == 1; };
    EXPECT_EQ(fail_each_allocation([&] { safestr_replace(&target, o, ooo); }, target_intact), 1);
    EXPECT_EQ(str(target), std::string(300, 'o'));

    // The same inside a handler section: failures there free nothing of the caller's.
    volatile int fails = 0;
    safestr_t xs = make(std::string(300, 'x'));
    XXL_BLOCK {
        xxl_throw_error(EIO, nullptr, "test", __LINE__);
    }
    XXL_ON(EIO) {
        fails = fail_each_allocation([&] { safestr_concatenate(&target, xs, 0, 0); },
                                     [&] { return str(target) == std::string(300, 'o') && hdr(xs)->refs == 1; });
    }
    XXL_BLOCK_END;
    EXPECT_EQ(fails, 1);
    EXPECT_EQ(hdr(target)->length, 300u + 300u);

    release(split);
    for (safestr_t x : {s, comma, target, o, ooo, xs})
        release(x);
}

} // namespace
