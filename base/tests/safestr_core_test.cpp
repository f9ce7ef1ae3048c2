// Safe string core: block layout and size rule, creation, access rules,
// reference counting and temporaries, wiping, the length limit, asset
// modes, and the resize-and-complete protocol on success and failure.
#include <errno.h>
#include <string.h>

#include <gtest/gtest.h>
#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "support/safestr_testing.h"

using sstest::code_of;
using sstest::hdr;
using sstest::run;

namespace {

struct CoreTest : ::testing::Test {
    sstest::counting hooks;
    uint64_t saved_max = safestr_maxlength;
    void TearDown() override {
        safestr_maxlength = saved_max;
        EXPECT_EQ(sstest::H().live, 0) << "blocks leaked";
        EXPECT_EQ(sstest::H().unwiped, 0) << "blocks freed without wiping";
    }
};

TEST_F(CoreTest, SizeRuleAndHeaderLayout) {
    safestr_t a = nullptr, b = nullptr, c = nullptr, d = nullptr;
    ASSERT_EQ(code_of([&] {
                  a = safestr_alloc(0, 0);
                  b = safestr_alloc(107, 0);
                  c = safestr_alloc(108, 0);
                  d = safestr_create("hello", SAFESTR_F_TRUSTED);
              }),
              0);
    EXPECT_EQ(hdr(a)->capacity, 107u);
    EXPECT_EQ(hdr(b)->capacity, 107u);
    EXPECT_EQ(hdr(c)->capacity, 235u);
    EXPECT_EQ(sizeof(safestr_header_t), 20u);
    // Five 32-bit fields in order, the text right after them.
    const uint32_t *f = reinterpret_cast<const uint32_t *>(d) - 5;
    EXPECT_EQ(f[0], 107u);
    EXPECT_EQ(f[1], 5u);
    EXPECT_EQ(f[2], uint32_t(SAFESTR_F_TRUSTED));
    EXPECT_EQ(f[3], 1u);
    EXPECT_NE(safestr_cookie, 0u);
    EXPECT_EQ(f[4], safestr_cookie);
    EXPECT_STREQ(d, "hello");
    EXPECT_EQ(a[0], '\0');
    for (safestr_t s : {a, b, c, d})
        code_of([&] { safestr_free(s); });
}

TEST_F(CoreTest, CreationFlagsCloneAndSlice) {
    safestr_t s = nullptr, t = nullptr, u = nullptr, sl[5] = {};
    ASSERT_EQ(code_of([&] {
                  s = safestr_create("abcdef", SAFESTR_F_TRUSTED | SAFESTR_F_READONLY | 0x100);
                  t = safestr_clone(s, SAFESTR_F_TEMPORARY);
                  safestr_untrust(s);
                  u = safestr_clone(s, SAFESTR_F_TRUSTED); // trust cannot be asked for
                  safestr_trust(s);
                  sl[0] = safestr_slice(s, 2, 4);
                  sl[1] = safestr_slice(s, 4, 100);
                  sl[2] = safestr_slice(s, 6, 8);
                  sl[3] = safestr_slice(s, 3, 1);
                  sl[4] = safestr_slice(s, 0, 0);
              }),
              0);
    EXPECT_EQ(hdr(s)->flags, uint32_t(SAFESTR_F_TRUSTED | SAFESTR_F_READONLY));
    EXPECT_EQ(hdr(t)->flags, uint32_t(SAFESTR_F_TRUSTED | SAFESTR_F_TEMPORARY));
    EXPECT_EQ(hdr(u)->flags, 0u);
    EXPECT_STREQ(sl[0], "cd");
    EXPECT_STREQ(sl[1], "ef");
    EXPECT_STREQ(sl[2], "");
    EXPECT_STREQ(sl[3], "def");
    EXPECT_STREQ(sl[4], "");
    EXPECT_EQ(hdr(sl[0])->flags, uint32_t(SAFESTR_F_TRUSTED)); // read-only is not carried
    code_of([&] {
        safestr_length(t); // a temporary is used up
        safestr_free(u);
        safestr_free(s);
        for (safestr_t x : sl)
            safestr_free(x);
    });
}

TEST_F(CoreTest, TemporaryStringsAndReferences) {
    safestr_t t = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(code_of([&] {
                  t = SAFESTR_TEMP("temp");
                  n = safestr_length(t);
              }),
              0);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(sstest::H().live, 0) << "a temporary string outlived its first use";

    ASSERT_EQ(code_of([&] {
                  t = SAFESTR_TEMP("kept");
                  safestr_reference(t);
                  for (int i = 0; i < 5; i++)
                      n += safestr_length(t) + safestr_charat(t, 0) * 0;
              }),
              0);
    EXPECT_EQ(sstest::H().live, 1);
    EXPECT_EQ(hdr(t)->refs, 2u);
    // The next free frees it outright: its count would fall to one.
    ASSERT_EQ(code_of([&] { safestr_free(t); }), 0);
    EXPECT_EQ(sstest::H().live, 0);
}

TEST_F(CoreTest, WritableAccessRefusedWhenSharedOrReadOnly) {
    safestr_t s = nullptr;
    ASSERT_EQ(code_of([&] { s = safestr_create("abc", SAFESTR_F_TRUSTED); }), 0);
    ASSERT_EQ(code_of([&] { safestr_reference(s); }), 0);
    sstest::caught c = run([&] { safestr_setcharat(s, 0, 'x', 1); });
    EXPECT_EQ(c.code, SAFESTR_E_NOT_WRITABLE);
    EXPECT_EQ(c.data, (const void *)s);
    EXPECT_STREQ(c.file, "safestr");
    EXPECT_EQ(hdr(s)->refs, 2u);
    ASSERT_EQ(code_of([&] { safestr_free(s); }), 0);
    EXPECT_EQ(code_of([&] { safestr_setcharat(s, 0, 'x', 1); }), 0);
    EXPECT_STREQ(s, "xbc");
    EXPECT_TRUE(hdr(s)->flags & SAFESTR_F_TRUSTED);
    EXPECT_EQ(code_of([&] { safestr_setcharat(s, 1, 'y', 0); }), 0);
    EXPECT_FALSE(hdr(s)->flags & SAFESTR_F_TRUSTED) << "an untrusted character must untrust the string";

    int ro = -1;
    code_of([&] {
        safestr_makereadonly(s);
        ro = safestr_isreadonly(s);
    });
    EXPECT_EQ(ro, 1);
    c = run([&] { safestr_setcharat(s, 0, 'z', 1); });
    EXPECT_EQ(c.code, SAFESTR_E_NOT_WRITABLE);
    EXPECT_EQ(c.data, (const void *)s);
    // Flags need read access only: a shared read-only string can be made writable.
    code_of([&] {
        safestr_reference(s);
        safestr_makewritable(s);
        safestr_free(s);
    });
    EXPECT_EQ(code_of([&] { safestr_setcharat(s, 2, 'z', 1); }), 0);
    EXPECT_STREQ(s, "xyz");

    EXPECT_EQ(code_of([&] { safestr_charat(s, 3); }), SAFESTR_E_OUT_OF_RANGE);
    EXPECT_EQ(code_of([&] { safestr_setcharat(s, 3, 'q', 1); }), SAFESTR_E_OUT_OF_RANGE);
    EXPECT_EQ(hdr(s)->refs, 1u);
    code_of([&] { safestr_free(s); });
}

TEST_F(CoreTest, BadHandlesAreRefusedBeforeAnythingIsTouched) {
    EXPECT_EQ(code_of([&] { safestr_length(nullptr); }), EINVAL);
    EXPECT_EQ(code_of([&] { safestr_free(nullptr); }), EINVAL);
    EXPECT_EQ(code_of([&] { safestr_create(nullptr, 0); }), EINVAL);
    EXPECT_EQ(code_of([&] { safestr_freelist(nullptr); }), EINVAL);

    // A plain buffer that is not a safe string.
    char foreign[64];
    memset(foreign, 'A', sizeof foreign);
    foreign[63] = 0;
    char before[64];
    memcpy(before, foreign, sizeof foreign);
    safestr_t f = foreign + 32;
    sstest::caught c = run([&] { safestr_free(f); });
    EXPECT_EQ(c.code, EFAULT);
    EXPECT_EQ(c.data, nullptr);
    EXPECT_EQ(code_of([&] { safestr_clone(f, 0); }), EFAULT);
    EXPECT_EQ(code_of([&] { safestr_reference(f); }), EFAULT);
    EXPECT_EQ(code_of([&] { safestr_get(f, SAFESTR_GET_WRITABLE); }), EFAULT);
    EXPECT_EQ(memcmp(before, foreign, sizeof foreign), 0);

    // A freed string: the hook keeps the memory until the end of the test.
    sstest::H().check_wipe = true;
    safestr_t s = nullptr;
    code_of([&] { s = safestr_create("gone", 0); });
    safestr_header_t *saved = static_cast<safestr_header_t *>(malloc(sizeof(safestr_header_t) + 108));
    memcpy(saved, hdr(s), sizeof(safestr_header_t) + 108);
    code_of([&] { safestr_free(s); });
    // Look at a copy of the wiped block: its cookie is gone.
    safestr_header_t *copy = static_cast<safestr_header_t *>(malloc(sizeof(safestr_header_t) + 108));
    memset(copy, 0, sizeof(safestr_header_t) + 108);
    EXPECT_EQ(code_of([&] { safestr_length(reinterpret_cast<const char *>(copy + 1)); }), EFAULT);
    EXPECT_EQ(code_of([&] { safestr_length(reinterpret_cast<const char *>(saved + 1)); }), 0)
        << "a copy of a live header with the cookie is accepted";
    free(saved);
    free(copy);
}

TEST_F(CoreTest, ReferenceCountLimit) {
    safestr_t s = nullptr;
    code_of([&] { s = safestr_create("x", 0); });
    hdr(s)->refs = 0xFFFFFFFEu;
    sstest::caught c = run([&] { safestr_reference(s); });
    EXPECT_EQ(c.code, SAFESTR_E_TOO_MANY_REFERENCES);
    EXPECT_EQ(c.data, (const void *)s);
    EXPECT_EQ(hdr(s)->refs, 0xFFFFFFFEu);
    hdr(s)->refs = 0xFFFFFFFFu;
    EXPECT_EQ(code_of([&] { safestr_length(s); }), SAFESTR_E_TOO_MANY_REFERENCES);
    EXPECT_EQ(code_of([&] { safestr_clone(s, 0); }), SAFESTR_E_TOO_MANY_REFERENCES);
    EXPECT_EQ(hdr(s)->refs, 0xFFFFFFFFu);
    // The asset cleanup reports the header as its data.
    c = run([&] { safestr_cleanup_asset(const_cast<char *>(s), nullptr); });
    EXPECT_EQ(c.code, SAFESTR_E_TOO_MANY_REFERENCES);
    EXPECT_EQ(c.data, (void *)hdr(s));
    hdr(s)->refs = 1;
    code_of([&] { safestr_free(s); });
}

TEST_F(CoreTest, FreedBlocksAreWipedAndHooksSeeCallerLocation) {
    static const char *seen_file;
    static int seen_line;
    struct capture {
        static void *m(size_t n, const char *file, int line) {
            seen_file = file;
            seen_line = line;
            return sstest::count_malloc(n, file, line);
        }
    };
    safestr_setmemfns(capture::m, sstest::count_realloc, sstest::count_free);
    safestr_t s = nullptr;
    int line = 0;
    code_of([&] {
        line = __LINE__, s = safestr_create("secret text that must not linger", 0);
    });
    EXPECT_STREQ(seen_file, __FILE__);
    EXPECT_EQ(seen_line, line);
    code_of([&] { safestr_free(s); });
    EXPECT_EQ(sstest::H().frees, 1);
    EXPECT_EQ(sstest::H().unwiped, 0);
    // A null hook brings back the default.
    safestr_setmemfns(nullptr, nullptr, nullptr);
    EXPECT_EQ(safestr_malloc_fn, &safestr_default_malloc);
    EXPECT_EQ(safestr_free_fn, &safestr_default_free);
    safestr_setmemfns(sstest::count_malloc, sstest::count_realloc, sstest::count_free);

    char buf[8] = "abcdefg";
    safestr_memzero(buf, 7);
    EXPECT_EQ(memcmp(buf, "\0\0\0\0\0\0\0", 8), 0);
}

TEST_F(CoreTest, LengthLimitChecksDoNotWrap) {
    safestr_maxlength = 100;
    EXPECT_EQ(code_of([&] { safestr_alloc(100, 0); }), SAFESTR_E_TOO_LONG);
    safestr_t s = nullptr;
    EXPECT_EQ(code_of([&] { s = safestr_alloc(99, 0); }), 0);
    code_of([&] { safestr_free(s); });
    safestr_maxlength = 0xFFFFFFECu;
    // length + 1 computed in 32 bits would be 0 and pass.
    EXPECT_EQ(code_of([&] { safestr_alloc(0xFFFFFFFFu, 0); }), SAFESTR_E_TOO_LONG);
    EXPECT_EQ(code_of([&] { safestr_alloc(0xFFFFFFECu, 0); }), SAFESTR_E_TOO_LONG);
    EXPECT_EQ(sstest::H().allocations, 1) << "the limit is checked before allocating";
    // Without a limit the request reaches the allocator at its full size.
    safestr_maxlength = uint64_t(1) << 32;
    static size_t asked;
    struct big {
        static void *m(size_t n, const char *, int) {
            asked = n;
            return nullptr;
        }
    };
    safestr_setmemfns(big::m, sstest::count_realloc, sstest::count_free);
    EXPECT_EQ(code_of([&] { safestr_alloc(0xFFFFFFFFu, 0); }), ENOMEM);
    EXPECT_GE(asked, size_t(0xFFFFFFFFu));
}

TEST_F(CoreTest, AssetModesReleaseByHowTheBlockEnds) {
    // ON_ERROR: freed only when the block fails; ALWAYS: at every end;
    // ON_SUCCESS: only when it succeeds.
    safestr_t keep_err = nullptr, keep_ok = nullptr;
    volatile int after = 0;
    XXL_BLOCK {
        keep_ok = safestr_create("err-only", SAFESTR_F_ASSET_ON_ERROR);
        safestr_create("always", SAFESTR_F_ASSET_ALWAYS);
        safestr_create("success", SAFESTR_F_ASSET_ON_SUCCESS);
    }
    XXL_BLOCK_END;
    EXPECT_EQ(sstest::H().live, 1);
    XXL_BLOCK {
        safestr_create("err-only", SAFESTR_F_ASSET_ON_ERROR);
        safestr_create("always", SAFESTR_F_ASSET_ALWAYS);
        keep_err = safestr_create("success", SAFESTR_F_ASSET_ON_SUCCESS);
        xxl_throw_error(EIO, nullptr, "test", __LINE__);
    }
    XXL_ON(EIO) { after = 1; }
    XXL_BLOCK_END;
    EXPECT_EQ(after, 1);
    EXPECT_EQ(sstest::H().live, 2);
    EXPECT_STREQ(keep_ok, "err-only");
    EXPECT_STREQ(keep_err, "success");

    // Clone registers in the caller's context, not in its own.
    XXL_BLOCK {
        safestr_t c = safestr_clone(keep_ok, SAFESTR_F_ASSET_ALWAYS);
        after = (int)safestr_length(c);
        EXPECT_EQ(sstest::H().live, 3);
    }
    XXL_BLOCK_END;
    EXPECT_EQ(after, 8);
    EXPECT_EQ(sstest::H().live, 2);

    // A registered string freed early: its registration goes with it.
    XXL_BLOCK {
        safestr_t a = safestr_create("early", SAFESTR_F_ASSET_ALWAYS);
        safestr_free(a);
        safestr_t t = safestr_create("temp", SAFESTR_F_ASSET_ON_SUCCESS | SAFESTR_F_TEMPORARY);
        safestr_length(t);
    }
    XXL_BLOCK_END;
    EXPECT_EQ(sstest::H().live, 2);

    code_of([&] {
        safestr_free(keep_ok);
        safestr_free(keep_err);
    });
}

} // namespace

namespace {

// An edit written the way the library's own edits are: appends n copies of
// ch to *s, optionally failing between resize and complete.
void append_fill(safestr_t *s, uint32_t n, char ch, bool fail, safestr_header_t **seen_new) {
    xxl_push_context(nullptr);
    safestr_header_t *h = safestr_get(*s, SAFESTR_GET_WRITABLE);
    uint32_t old = h->length;
    safestr_header_t *w = safestr_resize(h, old + n);
    if (seen_new)
        *seen_new = w;
    memset(reinterpret_cast<char *>(w + 1) + old, ch, n);
    if (fail)
        xxl_throw_error(EIO, nullptr, "test", __LINE__);
    *s = safestr_complete(h, w);
    xxl_pop_context();
}

TEST_F(CoreTest, ResizeInPlaceAndIntoANewBlock) {
    safestr_t s = nullptr;
    safestr_header_t *w = nullptr;
    code_of([&] { s = safestr_create("abc", SAFESTR_F_TRUSTED); });
    safestr_t first = s;
    ASSERT_EQ(code_of([&] { append_fill(&s, 104, 'x', false, &w); }), 0);
    EXPECT_EQ(s, first) << "an edit that fits works in place";
    EXPECT_EQ(w, hdr(first));
    EXPECT_EQ(safestr_length(s), 107u);
    EXPECT_EQ(sstest::H().allocations, 1);

    // Past the capacity: a new block, the old one superseded until complete.
    volatile uint32_t old_flags = 0;
    XXL_BLOCK {
        xxl_push_context(nullptr);
        safestr_header_t *h = safestr_get(s, SAFESTR_GET_WRITABLE);
        safestr_header_t *n = safestr_resize(h, 108);
        old_flags = h->flags;
        EXPECT_NE(n, h);
        EXPECT_EQ(n->capacity, 235u);
        EXPECT_EQ(n->length, 108u);
        EXPECT_EQ(memcmp(n + 1, s, 107), 0);
        reinterpret_cast<char *>(n + 1)[107] = 'y';
        s = safestr_complete(h, n);
        xxl_pop_context();
    }
    XXL_BLOCK_END;
    EXPECT_TRUE(old_flags & SAFESTR_F_SUPERSEDED);
    EXPECT_NE(s, first);
    EXPECT_EQ(safestr_length(s), 108u);
    EXPECT_EQ(s[107], 'y');
    EXPECT_EQ(s[108], '\0');
    EXPECT_EQ(hdr(s)->refs, 1u);
    EXPECT_EQ(hdr(s)->flags, uint32_t(SAFESTR_F_TRUSTED));
    EXPECT_EQ(sstest::H().live, 1) << "the old block is gone";

    // Shrinking wipes the cut characters and never allocates.
    long allocs = sstest::H().allocations;
    code_of([&] {
        xxl_push_context(nullptr);
        safestr_header_t *h = safestr_get(s, SAFESTR_GET_WRITABLE);
        s = safestr_complete(h, safestr_resize(h, 2));
        xxl_pop_context();
    });
    EXPECT_STREQ(s, "ab");
    for (uint32_t i = 2; i <= hdr(s)->capacity; i++)
        ASSERT_EQ(s[i], '\0') << i;
    EXPECT_EQ(sstest::H().allocations, allocs);
    code_of([&] { safestr_free(s); });
}

TEST_F(CoreTest, FailedEditLeavesTheStringAsItWas) {
    safestr_t s = nullptr;
    code_of([&] { s = safestr_create("keep me", 0); });
    safestr_t before = s;
    sstest::caught c = run([&] { append_fill(&s, 500, 'z', true, nullptr); });
    EXPECT_EQ(c.code, EIO);
    EXPECT_EQ(s, before);
    EXPECT_STREQ(s, "keep me");
    EXPECT_EQ(hdr(s)->refs, 1u);
    EXPECT_EQ(hdr(s)->flags, 0u) << "held and superseded marks are cleared";
    EXPECT_EQ(sstest::H().live, 1) << "the replacement block was freed";

    // A lowered limit: the growth is refused before anything changes.
    safestr_maxlength = 50;
    c = run([&] { append_fill(&s, 60, 'z', false, nullptr); });
    EXPECT_EQ(c.code, SAFESTR_E_TOO_LONG);
    EXPECT_STREQ(s, "keep me");
    EXPECT_EQ(hdr(s)->refs, 1u);
    // Growth inside the capacity is held to the limit too.
    c = run([&] { append_fill(&s, 43, 'z', false, nullptr); });
    EXPECT_EQ(c.code, SAFESTR_E_TOO_LONG);
    EXPECT_EQ(safestr_length(s), 7u);
    safestr_maxlength = saved_max;

    // A caller's string registered as an asset follows the block it moves to.
    XXL_BLOCK {
        safestr_t a = safestr_create("asset", SAFESTR_F_ASSET_ALWAYS);
        append_fill(&a, 300, 'q', false, nullptr);
        EXPECT_EQ(safestr_length(a), 305u);
    }
    XXL_BLOCK_END;
    EXPECT_EQ(sstest::H().live, 1) << "the moved asset was released at the block end";
    code_of([&] { safestr_free(s); });
}

// String operations inside a handler section behave as on a normal path:
// the handler's context is being left because of an exception, but the
// operations' own contexts are not.
TEST_F(CoreTest, OperationsInsideAHandlerSectionKeepTheCallersStrings) {
    safestr_t s = nullptr, t = nullptr, made = nullptr;
    code_of([&] {
        s = safestr_create("caller", 0);
        t = safestr_create("other", 0);
    });
    volatile uint32_t len = 0;
    volatile int inner = 0;
    XXL_BLOCK {
        xxl_throw_error(EIO, nullptr, "test", __LINE__);
    }
    XXL_ON(EIO) {
        len = safestr_length(s);
        made = safestr_clone(t, 0);
        append_fill(&s, 200, '!', false, nullptr);
        safestr_reference(t);
        safestr_free(t);
        // An operation that fails inside the handler: its own context is
        // the one being left by an exception, the caller's string survives.
        XXL_BLOCK {
            append_fill(&t, 200, '?', true, nullptr);
        }
        XXL_ON(EIO) { inner = 1; }
        XXL_BLOCK_END;
    }
    XXL_BLOCK_END;
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(safestr_length(s), 206u);
    EXPECT_STREQ(t, "other");
    EXPECT_STREQ(made, "other");
    EXPECT_EQ(hdr(s)->refs, 1u);
    EXPECT_EQ(hdr(t)->refs, 1u);
    EXPECT_EQ(sstest::H().live, 3);
    code_of([&] {
        safestr_free(s);
        safestr_free(t);
        safestr_free(made);
    });
}

TEST_F(CoreTest, FreelistChecksEveryHandleFirst) {
    safestr_t *arr = nullptr;
    char foreign[64] = {0};
    code_of([&] {
        arr = static_cast<safestr_t *>(safestr_malloc(4 * sizeof(safestr_t), 0, __FILE__, __LINE__));
        arr[0] = safestr_create("a", 0);
        arr[1] = safestr_create("b", 0);
        arr[2] = foreign + 32;
        arr[3] = nullptr;
    });
    EXPECT_EQ(code_of([&] { safestr_freelist(arr); }), EFAULT);
    EXPECT_EQ(sstest::H().live, 3) << "nothing is freed when one handle is bad";
    arr[2] = nullptr;
    EXPECT_EQ(code_of([&] { safestr_freelist(arr); }), 0);
}

} // namespace
