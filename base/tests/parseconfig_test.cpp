// Option files: syntax (comments, quoting, separators), key case, every
// entry type, list mode, malformed values logged and skipped, and files
// that are missing, binary or full of very long lines.
#include <gtest/gtest.h>
#include <kivo/log.h>
#include <kivo/parseconfig.h>
#include <kivo/safestr.h>

#include "support/fdcount.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> log_lines;
void collect(const char *file, int, const char *function, int level, const char *msg)
{
    log_lines.push_back(std::string(file) + "|" + function + "|" + std::to_string(level) + "|" + msg);
}

int callback_calls = 0;
void on_key() { callback_calls++; }

struct Config : ::testing::Test {
    TempDir dir;
    std::string path;
    void SetUp() override
    {
        path = dir / "options.conf";
        log_lines.clear();
        fr_log_setlogger(collect);
    }
    void TearDown() override
    {
        fr_log_setlogger(nullptr);
        parseconfig_set_casesensitive(1);
    }
    void write(const std::string &text) { std::ofstream(path, std::ios::binary) << text; }
};

std::string str(safestr_t s) { return s ? std::string(s, safestr_length(s)) : "<null>"; }

} // namespace

TEST_F(Config, SyntaxAndScalarTypes)
{
    write("# comment line\n"
          "; another comment\n"
          "\n"
          "   port \t  8080  \n"
          "lonelykey\n"
          "name    \"a b\"\n"
          "title   \"starts but does not end'\n"
          "motto   'single quoted'\n"
          "inner   several   inner words\r\n"
          "quote   \"\n"
          "count   4294967295\n"
          "#port 1\n");
    int32_t port = -1, unused = 77;
    uint32_t count = 0;
    safestr_t name = nullptr, title = nullptr, motto = nullptr, inner = nullptr, quote = nullptr;
    parseconfig_entry table[] = {
        {"port", PC_INT, &port, nullptr, nullptr, 0, 0},      {"lonelykey", PC_INT, &unused, nullptr, nullptr, 0, 0},
        {"name", PC_STRING, &name, nullptr, nullptr, 0, 0},   {"title", PC_STRING, &title, nullptr, nullptr, 0, 0},
        {"motto", PC_STRING, &motto, nullptr, nullptr, 0, 0}, {"inner", PC_STRING, &inner, nullptr, nullptr, 0, 0},
        {"quote", PC_STRING, &quote, nullptr, nullptr, 0, 0}, {"count", PC_UINT, &count, nullptr, nullptr, 0, 0},
        {nullptr, 0, nullptr, nullptr, nullptr, 0, 0}};
    ASSERT_EQ(0, parseconfig(path.c_str(), table));
    EXPECT_EQ(8080, port);
    EXPECT_EQ(77, unused);
    EXPECT_EQ("a b", str(name));
    EXPECT_EQ("\"starts but does not end'", str(title));
    EXPECT_EQ("single quoted", str(motto));
    EXPECT_EQ("several   inner words", str(inner));
    EXPECT_EQ("\"", str(quote));
    EXPECT_EQ(4294967295u, count);
    EXPECT_TRUE(log_lines.empty());

    // A second parse replaces the strings (the old ones are freed).
    write("name second\nname third\n");
    ASSERT_EQ(0, parseconfig(path.c_str(), table));
    EXPECT_EQ("third", str(name));
    for (safestr_t s : {name, title, motto, inner, quote})
        safestr_free(s);
}

TEST_F(Config, KeyCaseBooleansAndCallbacks)
{
    write("Verbose yes\nA YES\nB 0\nC 7\nD No\nE maybe\nhook x\nHOOK y\n");
    int32_t verbose = -1, a = -1, b = -1, c = -1, d = -1, e = 5;
    callback_calls = 0;
    parseconfig_entry table[] = {
        {"verbose", PC_BOOL, &verbose, nullptr, nullptr, 0, 0}, {"A", PC_BOOL, &a, nullptr, nullptr, 0, 0},
        {"B", PC_BOOL, &b, nullptr, nullptr, 0, 0},             {"C", PC_BOOL, &c, nullptr, nullptr, 0, 0},
        {"D", PC_BOOL, &d, nullptr, nullptr, 0, 0},             {"E", PC_BOOL, &e, nullptr, nullptr, 0, 0},
        {"hook", PC_CALLBACK, nullptr, nullptr, on_key, 0, 0},  {"hook", PC_CALLBACK, nullptr, nullptr, on_key, 0, 0},
        {nullptr, 0, nullptr, nullptr, nullptr, 0, 0}};
    ASSERT_EQ(0, parseconfig(path.c_str(), table));
    EXPECT_EQ(-1, verbose); // case differs: no match by default
    EXPECT_EQ(1, a);
    EXPECT_EQ(0, b);
    EXPECT_EQ(1, c);
    EXPECT_EQ(0, d);
    EXPECT_EQ(5, e); // not a boolean: logged, unchanged
    EXPECT_EQ(2, callback_calls); // listed twice, seen once with this case
    ASSERT_EQ(1u, log_lines.size());

    parseconfig_set_casesensitive(0);
    EXPECT_EQ(PARSECONFIG_NOCASE, parseconfig_flags & PARSECONFIG_NOCASE);
    callback_calls = 0;
    ASSERT_EQ(0, parseconfig(path.c_str(), table));
    EXPECT_EQ(1, verbose);
    EXPECT_EQ(4, callback_calls);
    parseconfig_set_casesensitive(1);
    EXPECT_EQ(0, parseconfig_flags & PARSECONFIG_NOCASE);
}

TEST_F(Config, MalformedNumbersAreLoggedAndSkipped)
{
    write("num 12\nnum 12abc\nnum 99999999999x\nunum -3\nnum 13 trailing words\n");
    int32_t num = 0;
    uint32_t unum = 42;
    parseconfig_entry table[] = {{"num", PC_INT, &num, nullptr, nullptr, 0, 0},
                                 {"unum", PC_UINT, &unum, nullptr, nullptr, 0, 0},
                                 {nullptr, 0, nullptr, nullptr, nullptr, 0, 0}};
    ASSERT_EQ(0, parseconfig(path.c_str(), table));
    EXPECT_EQ(13, num); // the last good value; the bad ones in between left it alone
    EXPECT_EQ(42u, unum);
    ASSERT_EQ(3u, log_lines.size());
    // "parseconfig:<n>:exception -2147483640 at parseconfig:parseconfig:<n>"
    for (auto &l : log_lines) {
        const std::string head = "parseconfig|parseconfig|7|parseconfig:";
        ASSERT_EQ(0u, l.find(head)) << l;
        size_t colon = l.find(':', head.size());
        ASSERT_NE(std::string::npos, colon) << l;
        std::string n = l.substr(head.size(), colon - head.size());
        EXPECT_FALSE(n.empty());
        EXPECT_EQ(std::string::npos, n.find_first_not_of("0123456789")) << l;
        EXPECT_EQ(":exception -2147483640 at parseconfig:parseconfig:" + n, l.substr(colon)) << l;
    }
}

TEST_F(Config, ListMode)
{
    write("n 1\nn 2\nn 3\nn 4\nn 5\n"
          "f 10\nf 20\nf 30\n"
          "s one\ns \"two words\"\ns three\n"
          "u 7\nu bad\nu 8\n");
    int32_t *grow = nullptr, *fixed = nullptr;
    uint32_t *uns = nullptr;
    safestr_t *strs = nullptr;
    int32_t *never = nullptr;
    int32_t ngrow = 0, nfixed = 2, nstrs = 0, nuns = 0, nnever = 3;
    parseconfig_entry table[] = {{"n", PC_INT, &grow, &ngrow, nullptr, 0, 0},
                                 {"f", PC_INT, &fixed, &nfixed, nullptr, 0, 0},
                                 {"s", PC_STRING, &strs, &nstrs, nullptr, 0, 0},
                                 {"u", PC_UINT, &uns, &nuns, nullptr, 0, 0},
                                 {"absent", PC_INT, &never, &nnever, nullptr, 0, 0},
                                 {nullptr, 0, nullptr, nullptr, nullptr, 0, 0}};
    ASSERT_EQ(0, parseconfig(path.c_str(), table));
    ASSERT_EQ(5, ngrow);
    EXPECT_EQ(8, table[0].capacity);
    EXPECT_EQ(1, table[0].growable);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(i + 1, grow[i]);
    ASSERT_EQ(2, nfixed);
    EXPECT_EQ(0, table[1].growable);
    EXPECT_EQ(10, fixed[0]);
    EXPECT_EQ(20, fixed[1]);
    ASSERT_EQ(3, nstrs);
    EXPECT_EQ("one", str(strs[0]));
    EXPECT_EQ("two words", str(strs[1]));
    EXPECT_EQ("three", str(strs[2]));
    ASSERT_EQ(2, nuns); // the bad value is skipped, not counted
    EXPECT_EQ(7u, uns[0]);
    EXPECT_EQ(8u, uns[1]);
    EXPECT_EQ(0, nnever);
    EXPECT_EQ(nullptr, never);
    EXPECT_EQ(1u, log_lines.size());

    // A second parse appends to the arrays it made, growing them.
    write("f 40\nn 6\n");
    ASSERT_EQ(0, parseconfig(path.c_str(), table));
    ASSERT_EQ(3, nfixed);
    EXPECT_EQ(40, fixed[2]);
    ASSERT_EQ(6, ngrow);
    EXPECT_EQ(6, grow[5]);
    EXPECT_EQ(3, nstrs); // no "s" this time: the strings held are still counted
    for (int i = 0; i < nstrs; i++)
        safestr_free(strs[i]);
    free(grow);
    free(fixed);
    free(uns);
    free(strs);
}

TEST_F(Config, BadFilesAndLongLines)
{
    int32_t v = 3;
    safestr_t s = nullptr;
    parseconfig_entry table[] = {{"v", PC_INT, &v, nullptr, nullptr, 0, 0},
                                 {"s", PC_STRING, &s, nullptr, nullptr, 0, 0},
                                 {nullptr, 0, nullptr, nullptr, nullptr, 0, 0}};
    int fds = count_open_fds();
    EXPECT_EQ(-1, parseconfig((dir / "missing").c_str(), table));
    EXPECT_EQ(-1, parseconfig(dir.path.c_str(), table));
    EXPECT_EQ(-1, parseconfig(nullptr, table));
    EXPECT_EQ(-1, parseconfig(path.c_str(), nullptr));
    EXPECT_EQ(3, v);
    EXPECT_EQ(fds, count_open_fds());

    // Binary noise, zero bytes and lines far longer than 107 characters.
    std::string text;
    unsigned seed = 12345;
    for (int i = 0; i < 20000; i++) {
        seed = seed * 1103515245u + 12345u;
        text += (char)(seed >> 16);
    }
    std::string big(5000, 'q');
    text += "\ns " + big + "\nv 9\n";
    text += std::string("v\0 5\n", 5);
    write(text);
    ASSERT_EQ(0, parseconfig(path.c_str(), table));
    EXPECT_EQ(9, v);
    EXPECT_EQ(big, str(s));
    EXPECT_EQ(fds, count_open_fds());
    safestr_free(s);

    // The file is read in pieces: a line across the first piece's end, a
    // value longer than a piece, a zero byte inside a value and a last line
    // with no newline each arrive whole.
    int32_t w = 0;
    s = nullptr;
    parseconfig_entry pieces[] = {{"v", PC_INT, &v, nullptr, nullptr, 0, 0},
                                  {"s", PC_STRING, &s, nullptr, nullptr, 0, 0},
                                  {"w", PC_INT, &w, nullptr, nullptr, 0, 0},
                                  {nullptr, 0, nullptr, nullptr, nullptr, 0, 0}};
    std::string huge(200000, 'h');
    huge[70000] = '\0';
    write("#" + std::string(65532, '-') + "\nv 41\ns " + huge + "\nw 42");
    ASSERT_EQ(0, parseconfig(path.c_str(), pieces));
    EXPECT_EQ(41, v);
    EXPECT_EQ(42, w);
    EXPECT_TRUE(str(s) == huge) << str(s).size();
    safestr_free(s);
}

TEST(ConfigHelpers, SpaceScanning)
{
    const char *s = "key \t value";
    EXPECT_EQ(3, gotospace(s, 0));
    EXPECT_EQ(3, gotospace(s, 3));
    EXPECT_EQ(6, gotononspace(s, 3));
    EXPECT_EQ(11, gotospace(s, 6));
    EXPECT_EQ(11, gotononspace(s, 11));
    EXPECT_EQ(11, gotospace(s, 500)); // past the end: the end
    EXPECT_EQ(-1, gotospace(nullptr, 0));
    EXPECT_EQ(-1, gotononspace(s, -1));
}
