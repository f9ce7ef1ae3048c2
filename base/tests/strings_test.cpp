// Plain string helpers: bounded copies, splitting/joining, in-place edits,
// name capitalisation and number parsing, including the degenerate inputs.
#include <gtest/gtest.h>
#include <kivo/strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> take_list(char **list)
{
    std::vector<std::string> out;
    for (char **p = list; p && *p; p++)
        out.push_back(*p);
    EXPECT_EQ(0, fr_str_freelist(list));
    return out;
}

std::string take(char *s)
{
    std::string r = s ? s : "<null>";
    free(s);
    return r;
}

using V = std::vector<std::string>;

} // namespace

TEST(PlainStrings, BoundedCopyAndConcatenation)
{
    char buf[4];
    EXPECT_EQ(6u, strlcpy(buf, "abcdef", sizeof(buf)));
    EXPECT_STREQ("abc", buf);
    memcpy(buf, "xyz", 4);
    EXPECT_EQ(2u, strlcpy(buf, "hi", 0));
    EXPECT_STREQ("xyz", buf); // size 0 writes nothing

    char cat[8] = "ab";
    EXPECT_EQ(7u, strlcat(cat, "cdefg", sizeof(cat)));
    EXPECT_STREQ("abcdefg", cat);
    EXPECT_EQ(10u, strlcat(cat, "xyz", sizeof(cat))); // truncated, wants 10
    EXPECT_STREQ("abcdefg", cat);
    char full[4] = {'a', 'b', 'c', 'd'}; // no terminator within size
    EXPECT_EQ(4u + 2u, strlcat(full, "xy", sizeof(full)));
    EXPECT_EQ('d', full[3]);
    EXPECT_EQ(3u, strlcat(full, "xyz", 0));
}

TEST(PlainStrings, ExplodeAndImplode)
{
    char **arr = nullptr;
    int n = -1;
    EXPECT_EQ(3, fr_explode("a,,b,", ',', &arr, &n));
    ASSERT_EQ(3, n);
    EXPECT_STREQ("a", arr[0]);
    EXPECT_STREQ("", arr[1]);
    EXPECT_STREQ("b", arr[2]);
    EXPECT_EQ("a,,b", take(fr_implode(arr, n, ',')));
    fr_explode_free(&arr, n);
    EXPECT_EQ(nullptr, arr);

    EXPECT_EQ(0, fr_explode("", ',', &arr, &n));
    EXPECT_EQ(nullptr, arr);
    EXPECT_EQ(0, n);
    fr_explode_free(&arr, n);
    EXPECT_EQ(0, fr_explode(nullptr, ',', &arr, &n));
    EXPECT_EQ(-1, fr_explode("a", ',', nullptr, &n));

    // More than the initial ten slots, with a leading empty piece.
    std::string many = ",";
    for (int i = 0; i < 25; i++)
        many += std::to_string(i) + ",";
    ASSERT_EQ(26, fr_explode(many.c_str(), ',', &arr, &n));
    EXPECT_STREQ("", arr[0]);
    EXPECT_STREQ("24", arr[25]);
    fr_explode_free(&arr, n);

    char a[] = "a", b[] = "b";
    char *two[] = {a, b};
    EXPECT_EQ("a,b", take(fr_implode(two, 2, ',')));
    EXPECT_EQ("", take(fr_implode(nullptr, 0, ',')));
    EXPECT_EQ("<null>", take(fr_implode(two, -1, ',')));
}

TEST(PlainStrings, SplitJoinAndRandomPiece)
{
    EXPECT_EQ((V{"", "a", "b"}), take_list(fr_str_split_char(":a:b:", ':')));
    EXPECT_EQ((V{}), take_list(fr_str_split_char("", ':')));
    EXPECT_EQ(nullptr, fr_str_split_char("abc", 0));
    EXPECT_EQ((V{"a", "", "b"}), take_list(fr_str_split("a--;--;b--;", "--;")));
    EXPECT_EQ((V{"abc"}), take_list(fr_str_split("abc", ""))); // empty separator: no split
    EXPECT_EQ(nullptr, fr_str_split(nullptr, ","));

    char a[] = "a", b[] = "b", c[] = "c";
    char *list[] = {a, b, c, nullptr};
    EXPECT_EQ("a, b, c", take(fr_str_join(list, ", ")));
    EXPECT_EQ("abc", take(fr_str_join(list, "")));
    EXPECT_EQ("abc", take(fr_str_join(list, nullptr)));
    char *empty[] = {nullptr};
    EXPECT_EQ(nullptr, fr_str_join(empty, ","));
    EXPECT_EQ(-1, fr_str_freelist(nullptr));

    EXPECT_EQ("solo", take(fr_str_sep_rand("solo", ',')));
    EXPECT_EQ("", take(fr_str_sep_rand("", ',')));
    for (int i = 0; i < 5; i++) {
        std::string piece = take(fr_str_sep_rand("x,yy,,zzz", ','));
        EXPECT_TRUE(piece == "x" || piece == "yy" || piece == "" || piece == "zzz") << piece;
    }
}

TEST(PlainStrings, CaseConversion)
{
    EXPECT_EQ("abc-\xc4z", take(fr_str_tolower("AbC-\xc4Z")));
    EXPECT_EQ("ABC-\xe4Z", take(fr_str_toupper("aBc-\xe4z")));
    EXPECT_EQ(nullptr, fr_str_tolower(nullptr));

    struct {
        const char *in, *out;
    } names[] = {{"JOHN SMITH", "John Smith"}, {"o'neil", "O'Neil"}, {"mcdonald", "McDonald"},
                 {"tomcat", "ToMcAt"},         {"ann mcdonald", "Ann Mcdonald"}, {"x", "X"}, {"", ""}};
    for (auto &t : names) {
        std::string s = t.in;
        ASSERT_EQ(0, fr_str_convert(s.data(), 4));
        EXPECT_EQ(t.out, s) << t.in;
    }
    char s[] = "MiXeD";
    EXPECT_EQ(0, fr_str_convert(s, 1));
    EXPECT_STREQ("MIXED", s);
    EXPECT_EQ(0, fr_str_convert(s, 2));
    EXPECT_STREQ("mixed", s);
    EXPECT_EQ(0, fr_str_convert(s, 3));
    EXPECT_STREQ("mixed", s);
    EXPECT_EQ(-1, fr_str_convert(nullptr, 1));
}

TEST(PlainStrings, EditingThroughPointer)
{
    char *s = strdup("abcdef");
    EXPECT_EQ(0, fr_str_delete(&s, 2, 10));
    EXPECT_STREQ("ab", s);
    EXPECT_EQ(-1, fr_str_delete(&s, 2, 1)); // at the end
    EXPECT_EQ(-1, fr_str_delete(&s, -1, 1));
    EXPECT_EQ(-1, fr_str_delete(&s, 0, 0));
    EXPECT_EQ(0, fr_str_insert(&s, 1, "XYZ"));
    EXPECT_STREQ("aXYZb", s);
    EXPECT_EQ(0, fr_str_insert(&s, 5, "!"));
    EXPECT_STREQ("aXYZb!", s);
    EXPECT_EQ(-1, fr_str_insert(&s, 7, "?"));
    EXPECT_EQ(-1, fr_str_insert(&s, -1, "?"));
    EXPECT_STREQ("aXYZb!", s);

    EXPECT_EQ(0, fr_str_replace(&s, "XYZ", "-"));
    EXPECT_STREQ("a-b!", s);
    EXPECT_EQ(-1, fr_str_replace(&s, "", "x")); // empty search: refused, unchanged
    EXPECT_STREQ("a-b!", s);
    free(s);
    s = strdup("aaaa");
    EXPECT_EQ(0, fr_str_replace(&s, "aa", "a")); // no overlap, no rescanning
    EXPECT_STREQ("aa", s);
    EXPECT_EQ(0, fr_str_replace(&s, "a", "aa"));
    EXPECT_STREQ("aaaa", s);
    free(s);

    s = strdup("  \tinner text \n");
    EXPECT_EQ(0, fr_str_trim(&s, 3));
    EXPECT_STREQ("inner text", s);
    free(s);
    s = strdup("\x01 \xa0x ");
    EXPECT_EQ(0, fr_str_trim(&s, 1)); // bytes from 0x80 up stay
    EXPECT_STREQ("\xa0x ", s);
    free(s);

    char *acc = nullptr;
    EXPECT_STREQ("ab", fr_str_append(&acc, "ab"));
    EXPECT_STREQ("abcd", fr_str_append(&acc, "cd"));
    EXPECT_EQ(nullptr, fr_str_append(&acc, nullptr));
    EXPECT_STREQ("abcd", acc);
    free(acc);

    char **np = nullptr;
    EXPECT_EQ(-1, fr_str_insert(np, 0, "x"));
    char *nullstr = nullptr;
    EXPECT_EQ(-1, fr_str_trim(&nullstr, 3));
    EXPECT_EQ(-1, fr_str_replace(&nullstr, "a", "b"));
}

TEST(PlainStrings, Slice)
{
    EXPECT_EQ("cd", take(fr_str_slice("abcdef", 2, 4)));
    EXPECT_EQ("abc", take(fr_str_slice("abcdef", -5, 3)));
    EXPECT_EQ("ef", take(fr_str_slice("abcdef", 4, 100)));
    EXPECT_EQ("", take(fr_str_slice("abcdef", 10, 20))); // start past the end
    EXPECT_EQ("", take(fr_str_slice("abcdef", 3, 3)));
    EXPECT_EQ("<null>", take(fr_str_slice("abcdef", 4, 2)));
    EXPECT_EQ("<null>", take(fr_str_slice(nullptr, 0, 2)));
}

TEST(PlainStrings, Numbers)
{
    double d = 0;
    EXPECT_EQ(0, fr_atod("1.5x", &d));
    EXPECT_DOUBLE_EQ(1.5, d);
    EXPECT_EQ(1, fr_atod("-2.25e1", &d));
    EXPECT_DOUBLE_EQ(-22.5, d);
    EXPECT_EQ(0, fr_atod("", &d)); // nothing consumed is not a number
    EXPECT_EQ(0, fr_atod("1e999", &d));
    EXPECT_EQ(0, fr_atod(nullptr, &d));

    long l = 0;
    EXPECT_EQ(1, fr_atol_base("ff", &l, 16));
    EXPECT_EQ(255, l);
    EXPECT_EQ(0, fr_atol_base("12z", &l, 10));
    EXPECT_EQ(12, l);
    EXPECT_EQ(1, fr_atol_base("0x10", &l, 0));
    EXPECT_EQ(16, l);
    EXPECT_EQ(0, fr_atol_base("99999999999999999999999", &l, 10));
    EXPECT_EQ(0, fr_atol_base("5", &l, 1));
}
