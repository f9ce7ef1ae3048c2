// The panel library against its fixed paths. The whole test program runs in
// a private mount namespace with a tmpfs over /etc/psa (on an overlay of
// /etc when the machine has no /etc/psa), so the machine's own files are
// never seen or touched.
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/panel.h>
#include <kivo/parseconfig.h>
#include <kivo/safestr.h>

namespace {

std::string setup_error; // empty when /etc/psa is our private tmpfs

std::string private_psa() {
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("make private: ") + strerror(errno);
    struct stat st;
    if (stat("/etc/psa", &st) != 0) {
        // Give /etc a writable upper layer in memory, then make the folder.
        char stage[] = "/tmp/kivo_panel_XXXXXX";
        if (!mkdtemp(stage)) return std::string("mkdtemp: ") + strerror(errno);
        if (mount("tmpfs", stage, "tmpfs", 0, "size=8m") != 0) return std::string("tmpfs: ") + strerror(errno);
        std::string up = std::string(stage) + "/up", work = std::string(stage) + "/work";
        mkdir(up.c_str(), 0755);
        mkdir(work.c_str(), 0755);
        std::string opts = "lowerdir=/etc,upperdir=" + up + ",workdir=" + work;
        if (mount("overlay", "/etc", "overlay", 0, opts.c_str()) != 0) return std::string("overlay: ") + strerror(errno);
        if (mkdir("/etc/psa", 0755) != 0) return std::string("mkdir: ") + strerror(errno);
        // The staging folder stays mounted in this namespace only; its
        // empty mount point on the host goes now.
        umount2(stage, MNT_DETACH);
        rmdir(stage);
    }
    if (mount("tmpfs", "/etc/psa", "tmpfs", 0, "size=8m,mode=0755") != 0)
        return std::string("tmpfs on /etc/psa: ") + strerror(errno);
    return "";
}

class PrivatePsa : public testing::Environment {
  public:
    void SetUp() override { setup_error = private_psa(); }
};
const testing::Environment *const env = testing::AddGlobalTestEnvironment(new PrivatePsa);

void put(const char *path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string value(const char *key, void *ctx) {
    std::string out = "<null>";
    XXL_BLOCK {
        safestr_t s = fr_psa_getconf(key, ctx);
        if (s) {
            out.assign(s, safestr_length(s));
            safestr_free(s);
        }
    }
    XXL_ON_ANY {
        out = "<exception>";
    }
    XXL_BLOCK_END;
    return out;
}

class Panel : public testing::Test {
  protected:
    void SetUp() override {
        if (!setup_error.empty()) GTEST_SKIP() << "no private /etc/psa: " << setup_error;
        fr_psa_destroyconf();
        unlink("/etc/psa/psa.conf");
        unlink("/etc/psa/.psa.shadow");
    }
    int ctx = 0;
};

TEST_F(Panel, SettingsAreCachedOnlyWhenFound) {
    put("/etc/psa/psa.conf", "# panel\nHOST db.local\nQUOTED \"a b  c\"\n; note\nTWICE 1\nTWICE 2\nEMPTY\n");
    EXPECT_EQ(value("HOST", &ctx), "db.local");
    EXPECT_EQ(value("QUOTED", &ctx), "a b  c");
    EXPECT_EQ(value("TWICE", &ctx), "2");
    EXPECT_EQ(value("EMPTY", &ctx), "<null>");
    EXPECT_EQ(value("host", &ctx), "<null>"); // keys are exact by default
    EXPECT_EQ(value("NEW", &ctx), "<null>");

    // The file changes: found keys answer from the cache, absent ones are
    // looked for again.
    put("/etc/psa/psa.conf", "HOST other\nNEW here\n");
    EXPECT_EQ(value("HOST", &ctx), "db.local");
    EXPECT_EQ(value("QUOTED", &ctx), "a b  c");
    EXPECT_EQ(value("NEW", &ctx), "here");
    put("/etc/psa/psa.conf", "HOST third\nNEW gone\n");
    EXPECT_EQ(value("NEW", &ctx), "here");

    // Dropping the cache reads the file again.
    EXPECT_EQ(fr_psa_destroyconf(), 1);
    EXPECT_EQ(value("HOST", &ctx), "third");
    EXPECT_EQ(value("QUOTED", &ctx), "<null>");
    EXPECT_EQ(fr_psa_destroyconf(), 1);
    EXPECT_EQ(fr_psa_destroyconf(), 1);
}

TEST_F(Panel, MissingFileAndNullArguments) {
    EXPECT_EQ(value("HOST", &ctx), "<null>");
    put("/etc/psa/psa.conf", "HOST h\n");
    EXPECT_EQ(value("HOST", nullptr), "<null>");
    EXPECT_EQ(value(nullptr, &ctx), "<null>");
    EXPECT_EQ(value("", &ctx), "<null>");
    EXPECT_EQ(value("HOST", &ctx), "h");
    // The caller's string is its own: releasing it leaves the cache intact.
    EXPECT_EQ(value("HOST", &ctx), "h");
    unlink("/etc/psa/psa.conf");
    EXPECT_EQ(value("HOST", &ctx), "h");
    ASSERT_EQ(mkdir("/etc/psa/psa.conf", 0700), 0);
    fr_psa_destroyconf();
    EXPECT_EQ(value("HOST", &ctx), "<null>");
    rmdir("/etc/psa/psa.conf");
}

TEST_F(Panel, CaseFollowsTheParserFlag) {
    put("/etc/psa/psa.conf", "Host mixed\n");
    parseconfig_set_casesensitive(0);
    EXPECT_EQ(value("HOST", &ctx), "mixed");
    parseconfig_set_casesensitive(1);
    EXPECT_EQ(value("host", &ctx), "<null>");
}

TEST_F(Panel, AdminPasswordIsTheFirstLine) {
    struct Case {
        std::string content;
        std::string expected;
    };
    const Case cases[] = {{"s3cret\nsecond\n", "s3cret"},
                          {"  spaced pass \r\n", "  spaced pass "},
                          {"no newline", "no newline"},
                          {"\nafter empty\n", ""}};
    for (const Case &c : cases) {
        put("/etc/psa/.psa.shadow", c.content);
        std::string got = "<exception>";
        XXL_BLOCK {
            safestr_t s = fr_getadminpass();
            got = s ? std::string(s, safestr_length(s)) : "<null>";
            if (s) safestr_free(s);
        }
        XXL_ON_ANY {}
        XXL_BLOCK_END;
        EXPECT_EQ(got, c.expected);
    }
}

void print_log(const char *file, int, const char *, int level, const char *message) {
    fprintf(stderr, "[%s|%d|%s]\n", file, level, message);
}

TEST_F(Panel, MissingShadowFileEndsTheProcess) {
    EXPECT_EXIT(
        {
            fr_log_init_custom(print_log);
            fr_getadminpass();
        },
        testing::ExitedWithCode(2), "\\[misc\\|3\\|cannot open the psa shadow file, make sure you are root\\]");
    ASSERT_EQ(mkdir("/etc/psa/.psa.shadow", 0700), 0);
    // A folder in its place opens but is no password: reported, not a crash.
    EXPECT_EXIT(
        {
            fr_log_init_custom(print_log);
            XXL_BLOCK {
                safestr_t s = fr_getadminpass();
                _exit(s ? 1 : 0);
            }
            XXL_ON_ANY {}
            XXL_BLOCK_END;
            _exit(4);
        },
        testing::ExitedWithCode(2), "make sure you are root");
    rmdir("/etc/psa/.psa.shadow");
}

} // namespace
