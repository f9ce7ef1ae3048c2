// Logger: line formats per destination, threshold, callback, force flags,
// refusals, initialisation failures and closing.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>
#include <kivo/log.h>
#include <kivo/memory.h>

namespace {

std::string slurp(const char *path) {
    std::string out;
    FILE *f = fopen(path, "r");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

struct TempFile {
    char path[64];
    TempFile() {
        strcpy(path, "/tmp/kivo_log_XXXXXX");
        int fd = mkstemp(path);
        close(fd);
    }
    ~TempFile() { unlink(path); }
};

// Standard error captured into a file for the duration of fn.
template <class F> std::string capture_stderr(F fn) {
    TempFile t;
    fflush(stderr);
    int saved = dup(2);
    int fd = open(t.path, O_WRONLY | O_TRUNC);
    dup2(fd, 2);
    close(fd);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return slurp(t.path);
}

struct seen_t {
    std::string file, function, message;
    int line = 0, level = -1, calls = 0;
} seen;

void callback(const char *file, int line, const char *function, int level, const char *message) {
    seen.file = file;
    seen.line = line;
    seen.function = function;
    seen.level = level;
    seen.message = message;
    seen.calls++;
}

// Time field: "Mon DD HH:MM:SS" then a tab.
bool starts_with_time(const std::string &s) {
    unsigned d, h, m, sec;
    char mon[8];
    return s.size() > 16 && sscanf(s.c_str(), "%3s %2u %2u:%2u:%2u", mon, &d, &h, &m, &sec) == 5 && s[15] == '\t';
}

class Log : public testing::Test {
  protected:
    void TearDown() override {
        fr_log_setlogger(nullptr);
        fr_log_force_unset(FR_LOG_FORCE_CONSOLE | FR_LOG_SKIP_LEVEL | FR_LOG_SKIP_TIME);
        fr_log_setlevel(LOG_INFO);
        fr_log_close();
    }
};

} // namespace

TEST_F(Log, ConsoleFullLineAndSkipFlags) {
    std::string out = capture_stderr([] { fr_log_impl("mod", 12, "fn", FR_LOG_CONSOLE, 4, "x=%d %s", 5, "y"); });
    ASSERT_TRUE(starts_with_time(out)) << out;
    EXPECT_EQ(out.substr(16), "LOG_WARNING:\tmod:12 fn(): x=5 y\n");

    EXPECT_EQ(fr_log_force_skip_time(), (unsigned)FR_LOG_SKIP_TIME);
    out = capture_stderr([] { fr_log_impl("mod", 12, "fn", FR_LOG_CONSOLE, 4, "plain"); });
    EXPECT_EQ(out, "LOG_WARNING:\tmod:12 fn(): plain\n");

    EXPECT_EQ(fr_log_force_skip_level(), (unsigned)(FR_LOG_SKIP_TIME | FR_LOG_SKIP_LEVEL));
    out = capture_stderr([] { fr_log_impl("mod", 12, "fn", FR_LOG_CONSOLE, 4, "plain"); });
    EXPECT_EQ(out, "mod:12 fn(): plain\n");

    EXPECT_EQ(fr_log_force_unset(FR_LOG_SKIP_TIME), (unsigned)FR_LOG_SKIP_LEVEL);
    out = capture_stderr([] { fr_log_impl("m", 1, "f", FR_LOG_CONSOLE, 3, "z"); });
    ASSERT_TRUE(starts_with_time(out)) << out;
    EXPECT_EQ(out.substr(16), "m:1 f(): z\n");
    fr_log_force_unset(FR_LOG_SKIP_LEVEL);

    // skip bits in the mask work like the force flags
    out = capture_stderr(
        [] { fr_log_impl("m", 1, "f", FR_LOG_CONSOLE | FR_LOG_SKIP_TIME | FR_LOG_SKIP_LEVEL, 3, "z"); });
    EXPECT_EQ(out, "m:1 f(): z\n");

    // forced console: a syslog-only message also reaches standard error
    TempFile alt;
    ASSERT_EQ(fr_log_init_altsyslog(alt.path), 0);
    EXPECT_EQ(fr_log_force_cons(), (unsigned)FR_LOG_FORCE_CONSOLE);
    out = capture_stderr([] { fr_log_impl("m", 2, "f", FR_LOG_SYSLOG | FR_LOG_SKIP_TIME, 6, "both"); });
    EXPECT_EQ(out, "LOG_INFO:\tm:2 f(): both\n");
    fr_log_close();
    EXPECT_EQ(slurp(alt.path), "LOG_INFO:\tm:2 f(): both\n");
}

TEST_F(Log, FileSlotsGetShortLinesAndThreshold) {
    TempFile a, b;
    ASSERT_EQ(fr_log_init("kivo-test", LOG_LOCAL0, a.path, b.path, (char *)nullptr), 1);
    fr_log_impl("mod", 3, "fn", FR_LOG_FILE(0) | FR_LOG_SKIP_TIME, 6, "to %s", "zero");
    fr_log_impl("mod", 4, "fn", FR_LOG_FILE(1) | FR_LOG_SKIP_TIME, 5, "to one");
    fr_log_impl("mod", 5, "fn", FR_LOG_FILE(0) | FR_LOG_FILE(1) | FR_LOG_SKIP_TIME, 7, "debug dropped");
    fr_log_setlevel(7);
    fr_log_impl("mod", 6, "fn", FR_LOG_FILE(0) | FR_LOG_FILE(1) | FR_LOG_SKIP_TIME, 7, "debug kept");
    fr_log_setlevel(0);
    fr_log_impl("mod", 7, "fn", FR_LOG_FILE(0) | FR_LOG_SKIP_TIME, 1, "alert dropped");
    fr_log_impl("mod", 8, "fn", FR_LOG_FILE(0) | FR_LOG_SKIP_TIME, 0, "emerg kept");
    fr_log_setlevel(6);
    fr_log_impl("mod", 9, "fn", FR_LOG_FILE(0), 3, "timed");
    fr_log_flush(FR_LOG_FILE(0) | FR_LOG_FILE(1));
    EXPECT_EQ(fr_log_chown(FR_LOG_FILE(0) | FR_LOG_FILE(1), getuid(), getgid()), 0);
    std::string s0 = slurp(a.path);
    std::string head = "LOG_INFO:\tto zero\nLOG_DEBUG:\tdebug kept\nLOG_EMERG:\temerg kept\n";
    ASSERT_EQ(s0.substr(0, head.size()), head);
    std::string last = s0.substr(head.size());
    ASSERT_TRUE(starts_with_time(last)) << last;
    EXPECT_EQ(last.substr(16), "LOG_ERR:\ttimed\n");
    EXPECT_EQ(slurp(b.path), "LOG_NOTICE:\tto one\nLOG_DEBUG:\tdebug kept\n");
    EXPECT_EQ(fr_log_obj.facility, LOG_LOCAL0);
    EXPECT_EQ(fr_log_obj.refcount, 1);
    EXPECT_EQ(fr_log_close(), 0);
    EXPECT_EQ(fr_log_obj.files[0], nullptr);
    EXPECT_EQ(fr_log_obj.files[1], nullptr);
}

TEST_F(Log, AltSyslogGetsFullLine) {
    TempFile alt;
    ASSERT_EQ(fr_log_init_altsyslog(alt.path), 0);
    fr_log_impl("kivo_sqlpool", 77, "get", FR_LOG_SYSLOG | FR_LOG_SKIP_TIME, 3, "%s:%d", "host", 3306);
    fr_log_flush(0);
    EXPECT_EQ(slurp(alt.path), "LOG_ERR:\tkivo_sqlpool:77 get(): host:3306\n");
    std::string err = capture_stderr([] {
        EXPECT_EQ(fr_log_init_altsyslog(""), -1);
        EXPECT_EQ(fr_log_init_altsyslog(nullptr), -1);
        EXPECT_EQ(fr_log_init_altsyslog("/nonexistent/dir/alt"), -1);
    });
    EXPECT_EQ(err, "Cannot open alternative file \nCannot open alternative file (null)\n"
                   "Cannot open alternative file /nonexistent/dir/alt\n");
}

TEST_F(Log, CallbackTakesEverythingWhateverTheThreshold) {
    ASSERT_EQ(fr_log_init_custom(nullptr), -1);
    ASSERT_EQ(fr_log_init_custom(callback), 0);
    EXPECT_EQ(fr_log_obj.refcount, 1);
    fr_log_setlevel(0);
    seen = {};
    fr_log_impl("hash", 42, "fr_hash_add", FR_LOG_SYSLOG, 7, "%s:%d:conditional return", "hash", 42);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.file, "hash");
    EXPECT_EQ(seen.line, 42);
    EXPECT_EQ(seen.function, "fr_hash_add");
    EXPECT_EQ(seen.level, 7);
    EXPECT_EQ(seen.message, "hash:42:conditional return");
    // the mask is not consulted either
    fr_log_impl("a", 1, "b", 0, 2, "no destination");
    EXPECT_EQ(seen.calls, 2);
    EXPECT_EQ(seen.message, "no destination");
    // removing the callback returns to the ordinary destinations
    fr_log_setlogger(nullptr);
    fr_log_impl("a", 1, "b", FR_LOG_SYSLOG, 7, "dropped");
    EXPECT_EQ(seen.calls, 2);
    fr_log_setlogger(callback);
    // a null format logs nothing and does not crash
    fr_log_impl("a", 1, "b", FR_LOG_CONSOLE, 3, nullptr);
    EXPECT_EQ(seen.calls, 2);
}

TEST_F(Log, RefusedMasks) {
    fr_log_setlogger(callback);
    seen = {};
    std::string out = capture_stderr([] {
        fr_log_impl("a", 1, "b", (int)0x80000001, 3, "x");
        fr_log_impl("a", 1, "b", 0x40000001, 3, "x");
    });
    EXPECT_EQ(out, "Option not supported anymore.Option not yet implemented");
    EXPECT_EQ(seen.calls, 0);
}

TEST_F(Log, LevelNames) {
    EXPECT_STREQ(loglevel_i2str(0), "LOG_EMERG");
    EXPECT_STREQ(loglevel_i2str(7), "LOG_DEBUG");
    EXPECT_EQ(loglevel_i2str(8), nullptr);
    EXPECT_EQ(loglevel_i2str(-1), nullptr);
    EXPECT_EQ(loglevel_str2i("log_warning"), 4);
    EXPECT_EQ(loglevel_str2i("LOG_Notice"), 5);
    EXPECT_EQ(loglevel_str2i(nullptr), -1);
    EXPECT_EQ(loglevel_str2i("warning"), -1);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(loglevel_str2i(loglevel_i2str(i)), i);
    // a level without a name is printed as its number
    fr_log_setlevel(100);
    std::string out =
        capture_stderr([] { fr_log_impl("m", 1, "f", FR_LOG_CONSOLE | FR_LOG_SKIP_TIME, 9, "odd level"); });
    EXPECT_EQ(out, "9:\tm:1 f(): odd level\n");
}

TEST_F(Log, InitFailsAtUnopenablePathKeepingEarlierSlots) {
    TempFile a;
    std::string err;
    int r = -2;
    err = capture_stderr([&] { r = fr_log_init(nullptr, LOG_USER, a.path, "/nonexistent/x.log", a.path, (char *)nullptr); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(err, "Cannot open alternative file /nonexistent/x.log\n");
    EXPECT_NE(fr_log_obj.files[0], nullptr);
    EXPECT_EQ(fr_log_obj.files[1], nullptr);
    EXPECT_EQ(fr_log_obj.files[2], nullptr);
}

TEST_F(Log, CloseCountsReferencesAndToleratesExtraCloses) {
    TempFile a;
    ASSERT_EQ(fr_log_init("x", LOG_USER, a.path, (char *)nullptr), 1);
    fr_log_obj.refcount = 2; // a second user holds the logger
    EXPECT_EQ(fr_log_close(), 0);
    EXPECT_EQ(fr_log_obj.refcount, 1);
    EXPECT_EQ(fr_log_obj.files[0], nullptr); // files go at every close
    EXPECT_EQ(fr_log_obj.flags & 0x4u, 0u);
    EXPECT_EQ(fr_log_close(), 0);
    EXPECT_EQ(fr_log_obj.refcount, 0);
    EXPECT_EQ(fr_log_obj.flags & 0x4u, 0x4u);
    // closed more often than opened: harmless, the count stays at zero
    EXPECT_EQ(fr_log_close(), 0);
    EXPECT_EQ(fr_log_obj.refcount, 0);
    // still usable after close, and initialisable again
    std::string out = capture_stderr([] { fr_log_impl("m", 1, "f", FR_LOG_CONSOLE | FR_LOG_SKIP_TIME, 3, "after"); });
    EXPECT_EQ(out, "LOG_ERR:\tm:1 f(): after\n");
    ASSERT_EQ(fr_log_init("x", LOG_USER, a.path, (char *)nullptr), 1);
    EXPECT_EQ(fr_log_obj.refcount, 1);
    EXPECT_EQ(fr_log_obj.flags, 0x2u);
    fr_log_impl("m", 1, "f", FR_LOG_FILE(0) | FR_LOG_SKIP_TIME, 3, "again");
    fr_log_close();
    EXPECT_EQ(slurp(a.path), "LOG_ERR:\tagain\n");
}

TEST_F(Log, LongMessagesAreWrittenWhole) {
    TempFile a;
    ASSERT_EQ(fr_log_init("x", LOG_USER, a.path, (char *)nullptr), 1);
    std::string big(10000, 'q');
    fr_log_impl("m", 1, "f", FR_LOG_FILE(0) | FR_LOG_SKIP_TIME | FR_LOG_SKIP_LEVEL, 3, "%s", big.c_str());
    fr_log_close();
    EXPECT_EQ(slurp(a.path), big + "\n");
}
