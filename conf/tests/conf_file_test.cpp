// The configuration store's file half against real files: what the reader
// keeps, the rewrite byte for byte, modes and owners, refusals, and a
// rewrite killed with SIGKILL at random moments.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <algorithm>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/conf.h>
#include <kivo/hash.h>
#include <kivo/safestr.h>

#include "support/conf_support.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

class Dir {
  public:
    Dir() {
        char tmpl[] = "/tmp/kivo_conf_XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~Dir() {
        std::string cmd = "chmod -R u+w '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << path_;
    }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

void put(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string get(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Every entry in insertion order, duplicates included (keys without their
// terminating zero).
Pairs entries(fr_hash_t *t) {
    Pairs out;
    fr_array_t *keys = fr_hash_getkeys(t);
    if (!keys) return out;
    // Walk the order list for the values: lookups only see the first of
    // two equal keys.
    for (fr_hash_link_t *l = t->order->order.next; l != &t->order->order; l = l->next) {
        auto *e = reinterpret_cast<fr_hash_entry_t *>(reinterpret_cast<char *>(l) - offsetof(fr_hash_entry_t, order));
        EXPECT_GT(e->key_len, 0u);
        EXPECT_EQ(e->key[e->key_len - 1], 0) << "key stored without its zero";
        safestr_t v = *static_cast<safestr_t *>(e->value);
        out.emplace_back(std::string(reinterpret_cast<char *>(e->key), e->key_len - 1), ctest::text(v));
    }
    EXPECT_EQ(out.size(), static_cast<size_t>(fr_array_length(keys)));
    fr_hash_destroy_keys_array(keys);
    return out;
}

std::string find(fr_hash_t *t, const std::string &key) {
    auto *slot = static_cast<safestr_t *>(fr_hash_find(t, key.c_str(), static_cast<uint32_t>(key.size() + 1)));
    return slot ? ctest::text(*slot) : "<absent>";
}

fr_hash_t *read_file(const std::string &path, std::vector<const char *> keys) {
    keys.push_back(nullptr);
    fr_hash_t *t = nullptr;
    EXPECT_EQ(0, ctest::run([&] { t = fr_conf_read_file(SAFESTR_TEMP(path.c_str()), keys.data()); }));
    return t;
}

fr_hash_t *table(const Pairs &pairs) {
    fr_hash_t *t = fr_conf_init(0);
    EXPECT_NE(t, nullptr);
    EXPECT_EQ(0, ctest::run([&] {
        for (const auto &p : pairs) {
            safestr_t v = safestr_create(p.second.c_str(), 0);
            EXPECT_EQ(0, fr_hash_force_add(t, p.first.c_str(), static_cast<uint32_t>(p.first.size() + 1), &v, sizeof(v)));
        }
    }));
    return t;
}

int write_file(const std::string &path, fr_hash_t *t) {
    int rc = -2;
    EXPECT_EQ(0, ctest::run([&] { rc = fr_conf_write_file(SAFESTR_TEMP(path.c_str()), t); }));
    return rc;
}

TEST(ConfFile, ReaderKeepsListedPairs) {
    struct Case {
        const char *what;
        std::string content;
        std::vector<const char *> keys;
        Pairs expected;
    };
    const std::string mib(1 << 20, 'v');
    const Case cases[] = {
        {"blanks around and inside", "  Port\t 8080  \nName  John Smith\nFlag\na=b\n",
         {"port", "name", "flag", "a=b"},
         {{"Port", "8080"}, {"Name", "John Smith"}, {"Flag", ""}, {"a=b", ""}}},
        {"case of the file's key kept", "PORT 25\n", {"port"}, {{"PORT", "25"}}},
        {"duplicates kept in order", "x 1\ny 0\nx 2\n", {"x"}, {{"x", "1"}, {"x", "2"}}},
        {"comments, blank lines, unlisted keys", "# port 1\n\n   \n#\nother 2\nport 3 # not a comment\n", {"port"},
         {{"port", "3 # not a comment"}}},
        {"line ends: CRLF, none at the end", "a 1\r\nb 2\r\nc 3", {"a", "b", "c"}, {{"a", "1"}, {"b", "2"}, {"c", "3"}}},
        {"value trimmed of control bytes", "k \t\x01 v \x7f\n", {"k"}, {{"k", "v"}}},
        {"binary junk lines", std::string("\x01\x02\xff\xfe junk\n\xff k 1\nk\t") + std::string("a\0b", 3) + "\n",
         {"k"}, {{"k", std::string("a\0b", 3)}}},
        {"a line of 1 MiB", "big " + mib + "\nsmall 1\n", {"big", "small"}, {{"big", mib}, {"small", "1"}}},
        {"empty file", "", {"k"}, {}},
        {"key list entries that match nothing", "k 1\n", {"", "K "}, {}},
    };
    Dir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        put(dir / "c.conf", c.content);
        fr_hash_t *t = read_file(dir / "c.conf", c.keys);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(entries(t), c.expected);
        fr_hash_unref(t);
    }
    // Lookups ask for the stored case, with the zero counted, and find the
    // first of duplicates.
    put(dir / "c.conf", "PORT 25\nx 1\nx 2\n");
    fr_hash_t *t = read_file(dir / "c.conf", {"port", "X"});
    EXPECT_EQ(find(t, "port"), "<absent>");
    EXPECT_EQ(find(t, "PORT"), "25");
    EXPECT_EQ(find(t, "x"), "1");
    EXPECT_EQ(fr_hash_find(t, "PORT", 4), nullptr);
    fr_hash_unref(t);
}

TEST(ConfFile, RewriteKeepsTheFile) {
    struct Case {
        const char *what;
        std::string before;
        Pairs table;
        std::string after;
    };
    const Case cases[] = {
        {"the worked example", "# settings\n\n\n\n\nport 0\nmode 3\n", {{"port", "25"}, {"user", "admin"}},
         "# settings\n\n\n\nport 25\nmode 3\n#user \nuser admin\n\n"},
        {"leading spaces dropped", "   # c\n  port 1\n\tmode 2  \n", {{"port", "9"}}, "# c\nport 9\nmode 2\n"},
        {"duplicates both rewritten with the first value", "x 1\nx 2\n", {{"x", "a"}, {"x", "b"}}, "x a\nx a\n"},
        {"key case is exact", "port 0\n", {{"PORT", "1"}}, "port 0\n#PORT \nPORT 1\n\n"},
        {"runs of empty lines cut to three, each run", "\n\n\n\n\na\n\n\n\n\nb\n\n", {},
         "\n\n\na\n\n\n\nb\n\n"},
        {"CRLF and a last line without newline", "a 1\r\nb 2", {{"b", "x"}}, "a 1\nb x\n"},
        {"a pair line without value gets one", "flag\n", {{"flag", "on"}}, "flag on\n"},
        {"values with inner blanks", "name x\n", {{"name", "John  Smith"}}, "name John  Smith\n"},
        {"empty file", "", {{"a", "1"}, {"b", "2"}}, "#a \na 1\n\n#b \nb 2\n\n"},
        {"zero bytes kept", std::string("k\0 1\n", 5), {}, std::string("k\0 1\n", 5)},
    };
    Dir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        put(dir / "w.conf", c.before);
        fr_hash_t *t = table(c.table);
        EXPECT_EQ(write_file(dir / "w.conf", t), 0);
        EXPECT_EQ(get(dir / "w.conf"), c.after);
        EXPECT_FALSE(exists(dir / "w.conf_new"));
        fr_hash_unref(t);
    }
    // What the writer writes, the reader reads back.
    put(dir / "r.conf", "# head\n");
    fr_hash_t *t = table({{"a", "1 2"}, {"b", ""}, {"c", "x\ty"}});
    ASSERT_EQ(write_file(dir / "r.conf", t), 0);
    fr_hash_t *back = read_file(dir / "r.conf", {"a", "b", "c"});
    EXPECT_EQ(entries(back), (Pairs{{"a", "1 2"}, {"b", ""}, {"c", "x\ty"}}));
    fr_hash_unref(back);
    fr_hash_unref(t);
}

TEST(ConfFile, MissingFileIsCreatedOwnerOnly) {
    Dir dir;
    fr_hash_t *t = table({{"pass", "secret"}});
    mode_t old = umask(0);
    EXPECT_EQ(write_file(dir / "new.conf", t), 0);
    umask(old);
    EXPECT_EQ(get(dir / "new.conf"), "#pass \npass secret\n\n");
    struct stat st;
    ASSERT_EQ(stat((dir / "new.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    fr_hash_unref(t);
}

TEST(ConfFile, ModeAndOwnerSurviveTheRewrite) {
    struct Case {
        mode_t mode;
        uid_t uid;
        gid_t gid;
    };
    const bool root = geteuid() == 0;
    const Case cases[] = {{0600, root ? 1234u : geteuid(), root ? 5678u : getegid()},
                          {0640, root ? 4321u : geteuid(), root ? 8765u : getegid()},
                          {0644, geteuid(), getegid()},
                          {0400, geteuid(), getegid()}};
    Dir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        std::string path = dir / "m.conf";
        put(path, "pass old\n");
        ASSERT_EQ(chown(path.c_str(), c.uid, c.gid), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        fr_hash_t *t = table({{"pass", "new"}});
        mode_t old = umask(0);
        EXPECT_EQ(write_file(path, t), 0);
        umask(old);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(st.st_uid, c.uid);
        EXPECT_EQ(st.st_gid, c.gid);
        EXPECT_EQ(get(path), "pass new\n");
        fr_hash_unref(t);
        unlink(path.c_str());
    }
}

TEST(ConfFile, TemporaryNameIsNeverWrittenThrough) {
    Dir dir;
    put(dir / "victim", "untouched\n");
    put(dir / "s.conf", "a 1\n");
    ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "s.conf_new").c_str()), 0);
    ASSERT_EQ(link((dir / "victim").c_str(), (dir / "h.conf_new").c_str()), 0);
    put(dir / "h.conf", "a 1\n");
    fr_hash_t *t = table({{"a", "2"}});
    EXPECT_EQ(write_file(dir / "s.conf", t), 0);
    EXPECT_EQ(write_file(dir / "h.conf", t), 0);
    EXPECT_EQ(get(dir / "victim"), "untouched\n");
    EXPECT_EQ(get(dir / "s.conf"), "a 2\n");
    EXPECT_EQ(get(dir / "h.conf"), "a 2\n");
    EXPECT_FALSE(exists(dir / "s.conf_new"));
    fr_hash_unref(t);
}

TEST(ConfFile, RefusalsAndFailures) {
    Dir dir;
    ctest::LogCapture log;
    put(dir / "f.conf", "a 1\n");
    std::vector<const char *> none = {nullptr};
    const char *one[] = {"a", nullptr};
    fr_hash_t *t = table({{"a", "2"}});
    ctest::StringCounter counter;
    EXPECT_EQ(0, ctest::run([&] {
        EXPECT_EQ(fr_conf_read_file(nullptr, one), nullptr);
        EXPECT_EQ(fr_conf_read_file(SAFESTR_TEMP((dir / "f.conf").c_str()), nullptr), nullptr);
        EXPECT_EQ(fr_conf_read_file(SAFESTR_TEMP((dir / "f.conf").c_str()), none.data()), nullptr);
        EXPECT_EQ(fr_conf_read_file(SAFESTR_TEMP((dir / "missing").c_str()), one), nullptr);
        EXPECT_EQ(fr_conf_read_file(SAFESTR_TEMP(dir.path().c_str()), one), nullptr);
        EXPECT_EQ(fr_conf_write_file(nullptr, t), -1);
        EXPECT_EQ(fr_conf_write_file(SAFESTR_TEMP((dir / "f.conf").c_str()), nullptr), -1);
    }));
    // Every temporary name was freed by the call it went to.
    EXPECT_EQ(counter.live(), 0);
    for (const auto &l : log.lines()) {
        EXPECT_EQ(l.file, "conf");
        EXPECT_EQ(l.level, 7);
        EXPECT_NE(l.message.find(":conditional return"), std::string::npos) << l.message;
    }
    EXPECT_GE(log.lines().size(), 7u);

    // A directory as the file name: a warning with the system's text.
    log.clear();
    EXPECT_EQ(write_file(dir.path(), t), -1);
    EXPECT_TRUE(log.has(strerror(EISDIR), 4));
    EXPECT_FALSE(exists(dir.path() + "_new"));
    // A temporary name that cannot be created.
    log.clear();
    ASSERT_EQ(mkdir((dir / "d.conf_new").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir / "d.conf_new/x").c_str(), 0700), 0);
    put(dir / "d.conf", "a 1\n");
    EXPECT_EQ(write_file(dir / "d.conf", t), -1);
    EXPECT_EQ(get(dir / "d.conf"), "a 1\n");
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines().at(0).level, 4);
    fr_hash_unref(t);
}

TEST(ConfFile, ReadOnlyDirectoryLeavesTheFileAlone) {
    Dir dir;
    std::string sub = dir / "ro";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    put(sub + "/f.conf", "a 1\n");
    ASSERT_EQ(chmod((sub + "/f.conf").c_str(), 0644), 0);
    ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
    fr_hash_t *t = table({{"a", "2"}});
    // Root writes anywhere: drop to an unprivileged user in a child.
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
            ctest::LogCapture log;
            int rc = write_file(sub + "/f.conf", t);
            bool logged = log.has(strerror(EACCES), 4);
            _exit(rc == -1 && logged ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(get(sub + "/f.conf"), "a 1\n");
    EXPECT_FALSE(exists(sub + "/f.conf_new"));
    fr_hash_unref(t);
}

// A configuration file reached through a symbolic link (a chain of them,
// relative or absolute) is rewritten where the link leads: the links stay
// links, the target gets the new text with its own mode, the temporary
// file sits beside the target. A link that leads nowhere is refused.
TEST(ConfFile, SymbolicLinkIsFollowedToItsTarget) {
    Dir dir;
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0700), 0);
    put(dir / "real/app.conf", "# app\nport 1\n");
    ASSERT_EQ(chmod((dir / "real/app.conf").c_str(), 0640), 0);
    ASSERT_EQ(symlink("real/app.conf", (dir / "rel.conf").c_str()), 0);
    ASSERT_EQ(symlink((dir / "rel.conf").c_str(), (dir / "chain.conf").c_str()), 0);
    ASSERT_EQ(symlink("nowhere.conf", (dir / "dangling.conf").c_str()), 0);
    fr_hash_t *t = table({{"port", "2"}});
    const struct {
        const char *name;
        const char *value;
    } cases[] = {{"rel.conf", "2"}, {"chain.conf", "3"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto *slot = static_cast<safestr_t *>(fr_hash_find(t, "port", 5));
        ASSERT_NE(slot, nullptr);
        safestr_free(*slot);
        *slot = safestr_create(c.value, 0);
        ASSERT_EQ(write_file(dir / c.name, t), 0);
        struct stat st;
        ASSERT_EQ(lstat((dir / c.name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ASSERT_EQ(lstat((dir / "real/app.conf").c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(get(dir / "real/app.conf"), std::string("# app\nport ") + c.value + "\n");
        EXPECT_FALSE(exists(dir / "real/app.conf_new"));
        EXPECT_FALSE(exists(dir / (std::string(c.name) + "_new")));
    }
    ctest::LogCapture log;
    EXPECT_EQ(write_file(dir / "dangling.conf", t), -1);
    EXPECT_TRUE(log.has(strerror(ENOENT), 4));
    EXPECT_FALSE(exists(dir / "nowhere.conf"));
    EXPECT_FALSE(exists(dir / "dangling.conf_new"));
    fr_hash_unref(t);
}

// A key or value that would not read back as itself (a line break in it
// would even add a pair of its own) makes the rewrite refuse, the file
// untouched.
TEST(ConfFile, PairsThatWouldNotReadBackAreRefused) {
    Dir dir;
    const std::string old = "# s\nport 1\nadmin no\n";
    const Pairs bad[] = {
        {{"port", "2\nadmin yes"}},
        {{"port", "2"}, {"admin yes", "x"}},
        {{"ad\tmin", "x"}},
        {{"#admin", "x"}},
        {{"", "x"}},
        {{"admin\r", ""}},
        {{"\x01" "admin", "x"}},
        {{"ad\nmin", "x"}},
    };
    for (const auto &pairs : bad) {
        SCOPED_TRACE(testing::PrintToString(pairs));
        put(dir / "f.conf", old);
        fr_hash_t *t = table(pairs);
        ctest::LogCapture log;
        EXPECT_EQ(write_file(dir / "f.conf", t), -1);
        EXPECT_TRUE(log.has(strerror(EINVAL), 4));
        EXPECT_EQ(get(dir / "f.conf"), old);
        EXPECT_FALSE(exists(dir / "f.conf_new"));
        fr_hash_unref(t);
    }
    // Inner blanks and a carriage return inside a value, and inner control
    // characters or a zero byte in a key, read back as they are.
    put(dir / "f.conf", old);
    const std::string zero_key("ad\0min", 6);
    fr_hash_t *t = table({{"admin", "a b\tc\rd"}, {"a\x01" "b", "1"}, {zero_key, "2"}, {"c\x02", "3"}});
    EXPECT_EQ(write_file(dir / "f.conf", t), 0);
    fr_hash_t *back = read_file(dir / "f.conf", {"admin", "a\x01" "b", "c\x02"});
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(find(back, "admin"), "a b\tc\rd");
    EXPECT_EQ(find(back, "a\x01" "b"), "1");
    EXPECT_EQ(find(back, "c\x02"), "3");
    EXPECT_NE(get(dir / "f.conf").find(zero_key + " 2\n"), std::string::npos);
    fr_hash_unref(back);
    fr_hash_unref(t);
}

TEST(ConfFile, PrinterShowsKeyAndValue) {
    fr_hash_t *t = table({{"a", "1"}, {"b", "two"}});
    fr_hash_setprinter(t, fr_print_conf_item);
    testing::internal::CaptureStdout();
    fr_hash_print(t);
    int rc = fr_print_conf_item(nullptr, nullptr);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\na => 1\nb => two");
    EXPECT_EQ(rc, 0);
    fr_hash_unref(t);
}

// A child rewrites a 1 MiB file and is killed at a random moment; the file
// must then be the old or the new text, whole.
TEST(ConfFile, RewriteKilledAtRandomLeavesOldOrNew) {
    Dir dir;
    std::string base;
    Pairs a, b;
    for (int i = 0; base.size() < (1u << 20); i++) {
        std::string k = "key" + std::to_string(i);
        base += "# setting " + std::to_string(i) + "\n" + k + " initial\n";
        a.emplace_back(k, "alpha-" + std::to_string(i * 3));
        b.emplace_back(k, "beta-value-" + std::to_string(i));
    }
    fr_hash_t *ta = table(a), *tb = table(b);
    // The two texts the file alternates between.
    std::string path = dir / "big.conf";
    put(path, base);
    ASSERT_EQ(write_file(path, ta), 0);
    const std::string text_a = get(path);
    ASSERT_EQ(write_file(path, tb), 0);
    const std::string text_b = get(path);
    ASSERT_EQ(write_file(path, ta), 0);
    ASSERT_EQ(get(path), text_a);
    ASSERT_GE(text_a.size(), 1u << 20);

    // How long a child takes for one rewrite, to spread the kills over it.
    auto child_write = [&](fr_hash_t *next) {
        pid_t pid = fork();
        if (pid == 0) _exit(write_file(path, next) == 0 ? 0 : 1);
        return pid;
    };
    long span_us = 0;
    for (int i = 0; i < 4; i++) {
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        pid_t pid = child_write(i % 2 ? ta : tb);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        span_us = std::max(span_us, (t1.tv_sec - t0.tv_sec) * 1000000L + (t1.tv_nsec - t0.tv_nsec) / 1000);
    }
    ASSERT_EQ(get(path), text_a);

    std::mt19937 rng(20261210);
    std::uniform_int_distribution<long> delay(0, span_us + span_us / 2);
    bool now_a = true;
    int olds = 0, news = 0;
    for (int round = 0; round < 200; round++) {
        fr_hash_t *next = now_a ? tb : ta;
        pid_t pid = child_write(next);
        ASSERT_GE(pid, 0);
        usleep(static_cast<useconds_t>(delay(rng)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (WIFEXITED(status)) {
            ASSERT_EQ(WEXITSTATUS(status), 0);
        }
        std::string now = get(path);
        const std::string &old_text = now_a ? text_a : text_b;
        const std::string &new_text = now_a ? text_b : text_a;
        if (now == old_text) {
            olds++;
        } else {
            ASSERT_EQ(now.size(), new_text.size()) << "round " << round;
            ASSERT_TRUE(now == new_text) << "round " << round << ": the file is neither the old nor the new text";
            news++;
            now_a = !now_a;
        }
    }
    // The kills landed on both sides of the rename.
    EXPECT_GT(olds, 0);
    EXPECT_GT(news, 0);
    printf("kills: %d left the old text, %d the new one\n", olds, news);
    RecordProperty("old", olds);
    RecordProperty("new", news);
    fr_hash_unref(ta);
    fr_hash_unref(tb);
}

} // namespace
