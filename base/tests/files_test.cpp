// Files: existence, recursive removal and creation, copy and move with
// mode and owner, the same-file refusal, moves across file systems, and
// that a move never loses the file when setting its attributes fails.
#include <gtest/gtest.h>
#include <kivo/files.h>
#include <kivo/log.h>

#include "support/fdcount.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

// chmod/chown are replaced in this program so that their failure can be
// provoked for one path; the library's calls bind to these definitions.
static std::string fail_chmod_path, fail_chown_path;
static int fail_chown_errno;

extern "C" int chmod(const char *path, mode_t mode) noexcept
{
    if (!fail_chmod_path.empty() && fail_chmod_path == path) {
        errno = EIO;
        return -1;
    }
    return (int)syscall(SYS_chmod, path, mode);
}

extern "C" int chown(const char *path, uid_t uid, gid_t gid) noexcept
{
    if (!fail_chown_path.empty() && fail_chown_path == path) {
        errno = fail_chown_errno;
        return -1;
    }
    return (int)syscall(SYS_chown, path, uid, gid);
}

namespace {

std::vector<std::string> log_lines;
void collect(const char *file, int, const char *, int level, const char *msg)
{
    log_lines.push_back(std::string(file) + "|" + std::to_string(level) + "|" + msg);
}

void write_file(const std::string &path, const std::string &data, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << data;
    ASSERT_EQ(0, ::chmod(path.c_str(), mode));
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : (mode_t)-1;
}

bool exists(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

struct Files : ::testing::Test {
    TempDir dir;
    void TearDown() override
    {
        fail_chmod_path.clear();
        fail_chown_path.clear();
        fr_log_setlogger(nullptr);
    }
};

} // namespace

TEST_F(Files, ExistsAndRemoveTrees)
{
    std::string root = dir / "tree", outside = dir / "outside";
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    ASSERT_EQ(0, mkdir((root + "/.hidden_dir").c_str(), 0700));
    ASSERT_EQ(0, mkdir((root + "/sub").c_str(), 0755));
    write_file(root + "/.hidden", "h");
    write_file(root + "/.hidden_dir/.x", "x");
    write_file(root + "/sub/file", "f");
    ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
    write_file(outside + "/keep", "precious");
    ASSERT_EQ(0, symlink(outside.c_str(), (root + "/link").c_str()));
    ASSERT_EQ(0, symlink("/nonexistent/target", (root + "/dangling").c_str()));

    EXPECT_EQ(1, fr_file_exists(root.c_str()));
    EXPECT_EQ(1, fr_file_exists((root + "/link/keep").c_str()));
    EXPECT_EQ(0, fr_file_exists((root + "/dangling").c_str()));
    EXPECT_EQ(0, fr_file_exists(nullptr));

    // A link to a directory given directly: only the link goes.
    ASSERT_EQ(0, symlink(outside.c_str(), (dir / "toplink").c_str()));
    EXPECT_EQ(0, fr_rm((dir / "toplink").c_str(), 0));
    EXPECT_FALSE(exists(dir / "toplink"));

    EXPECT_EQ(0, fr_rm(root.c_str(), 0));
    EXPECT_FALSE(exists(root));
    EXPECT_EQ("precious", read_file(outside + "/keep"));

    errno = 0;
    EXPECT_EQ(-1, fr_rm(root.c_str(), 0));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(-1, fr_rm(nullptr, 0));
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(Files, RemoveManyEntries)
{
    std::string root = dir / "many";
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    for (int i = 0; i < 600; i++)
        write_file(root + "/f" + std::to_string(i), "");
    EXPECT_EQ(0, fr_rm(root.c_str(), 0));
    EXPECT_FALSE(exists(root));
}

TEST_F(Files, MakeDirectories)
{
    std::string deep = dir / "a/b//c";
    EXPECT_EQ(0, fr_mkdir(deep.c_str(), 1, 0750, (uid_t)-1, (gid_t)-1));
    struct stat st;
    ASSERT_EQ(0, stat(deep.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0, fr_mkdir(deep.c_str(), 1, 0750, (uid_t)-1, (gid_t)-1)); // exists: fine
    EXPECT_EQ(0, fr_mkdir((dir / "x/y/").c_str(), 1, 0755, (uid_t)-1, (gid_t)-1));
    EXPECT_TRUE(exists(dir / "x/y"));

    write_file(dir / "plain", "");
    errno = 0;
    EXPECT_EQ(-1, fr_mkdir((dir / "plain/sub/deeper").c_str(), 1, 0755, (uid_t)-1, (gid_t)-1));
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_EQ(-1, fr_mkdir((dir / "plain").c_str(), 1, 0755, (uid_t)-1, (gid_t)-1));
    EXPECT_EQ(ENOTDIR, errno);

    EXPECT_EQ(0, fr_mkdir((dir / "single").c_str(), 0, 0700, (uid_t)-1, (gid_t)-1));
    EXPECT_EQ(-1, fr_mkdir((dir / "single").c_str(), 0, 0700, (uid_t)-1, (gid_t)-1));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ(-1, fr_mkdir((dir / "p/q").c_str(), 0, 0700, (uid_t)-1, (gid_t)-1));
    EXPECT_EQ(-1, fr_mkdir(nullptr, 1, 0700, 0, 0));

    if (geteuid() == 0) {
        // Every created component, the last one included, gets the owner.
        std::string owned = dir / "o1/o2";
        ASSERT_EQ(0, fr_mkdir(owned.c_str(), 1, 0755, 1234, 2345));
        for (const std::string &p : {dir / "o1", owned}) {
            ASSERT_EQ(0, stat(p.c_str(), &st));
            EXPECT_EQ(1234u, st.st_uid) << p;
            EXPECT_EQ(2345u, st.st_gid) << p;
        }
    }
}

TEST_F(Files, CopyKeepsContentModeAndRefusesTheSameFile)
{
    std::string src = dir / "src", dst = dir / "dst";
    std::string data;
    for (int i = 0; i < 30000; i++)
        data += (char)(i * 31 + 7);
    write_file(src, data, 0640);
    EXPECT_EQ(0, fr_cp(src.c_str(), dst.c_str()));
    EXPECT_EQ(data, read_file(dst));
    EXPECT_EQ(0640u, mode_of(dst));

    // Overwriting a longer file truncates it.
    write_file(dst, std::string(100000, 'q'));
    EXPECT_EQ(0, fr_cp(src.c_str(), dst.c_str()));
    EXPECT_EQ(data, read_file(dst));

    write_file(dir / "empty", "", 0604);
    EXPECT_EQ(0, fr_cp((dir / "empty").c_str(), (dir / "empty2").c_str()));
    EXPECT_EQ("", read_file(dir / "empty2"));
    EXPECT_EQ(0604u, mode_of(dir / "empty2"));

    // The same file by other names: equal strings, ./, a hard link, a symlink.
    ASSERT_EQ(0, link(src.c_str(), (dir / "hard").c_str()));
    ASSERT_EQ(0, symlink(src.c_str(), (dir / "soft").c_str()));
    for (const std::string &other : {src, dir.path + "/./src", dir / "hard", dir / "soft"}) {
        errno = 0;
        EXPECT_EQ(-1, fr_cp(src.c_str(), other.c_str())) << other;
        EXPECT_EQ(EINVAL, errno) << other;
        EXPECT_EQ(-1, fr_cp(other.c_str(), src.c_str())) << other;
        EXPECT_EQ(data, read_file(src)) << other;
    }

    EXPECT_EQ(-1, fr_cp((dir / "missing").c_str(), dst.c_str()));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(-1, fr_cp(dir.path.c_str(), (dir / "dircopy").c_str()));
    EXPECT_FALSE(exists(dir / "dircopy"));
    EXPECT_EQ(-1, fr_cp(nullptr, dst.c_str()));
    EXPECT_EQ(-1, fr_cp(src.c_str(), (dir / "no/such/dir").c_str()));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(Files, CopyOwnerFailures)
{
    std::string src = dir / "src", dst = dir / "dst";
    write_file(src, "content", 0600);
    // An ordinary user cannot give a file away: EPERM is accepted.
    fail_chown_path = dst;
    fail_chown_errno = EPERM;
    EXPECT_EQ(0, fr_cp(src.c_str(), dst.c_str()));
    EXPECT_EQ("content", read_file(dst));
    // Any other failure removes the destination.
    fail_chown_path = dir / "dst2";
    fail_chown_errno = EIO;
    EXPECT_EQ(-1, fr_cp(src.c_str(), (dir / "dst2").c_str()));
    EXPECT_EQ(EIO, errno);
    EXPECT_FALSE(exists(dir / "dst2"));
    EXPECT_EQ("content", read_file(src));
}

TEST_F(Files, MoveWithinAndAcrossFileSystems)
{
    std::string a = dir / "a", b = dir / "b";
    write_file(a, "alpha", 0612);
    EXPECT_EQ(0, fr_mv(a.c_str(), b.c_str()));
    EXPECT_FALSE(exists(a));
    EXPECT_EQ("alpha", read_file(b));
    EXPECT_EQ(0612u, mode_of(b));

    // Two names of one file: refused, both stay.
    ASSERT_EQ(0, link(b.c_str(), a.c_str()));
    EXPECT_EQ(-1, fr_mv(a.c_str(), b.c_str()));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_TRUE(exists(a));
    EXPECT_EQ("alpha", read_file(b));
    unlink(a.c_str());

    struct stat shm, tmp;
    if (stat("/dev/shm", &shm) != 0 || stat(dir.path.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev) {
        GTEST_SKIP() << "no second file system (/dev/shm) to move across";
    }
    TempDir other("/dev/shm");
    std::string far = other / "moved";
    EXPECT_EQ(0, fr_mv(b.c_str(), far.c_str()));
    EXPECT_FALSE(exists(b));
    EXPECT_EQ("alpha", read_file(far));
    EXPECT_EQ(0612u, mode_of(far));
    EXPECT_EQ(0, fr_mv(far.c_str(), b.c_str())); // and back
    EXPECT_FALSE(exists(far));
    EXPECT_EQ("alpha", read_file(b));
}

TEST_F(Files, MoveNeverLosesTheFile)
{
    fr_log_setlogger(collect);
    log_lines.clear();
    std::string a = dir / "a", b = dir / "b";

    // Missing source: logged as a failed precondition.
    EXPECT_EQ(-1, fr_mv(a.c_str(), b.c_str()));
    EXPECT_EQ(ENOENT, errno);
    ASSERT_EQ(1u, log_lines.size());
    EXPECT_EQ(0u, log_lines[0].find("wrappers|7|wrappers:"));
    EXPECT_NE(std::string::npos, log_lines[0].find(":conditional return"));
    EXPECT_EQ(-1, fr_mv(nullptr, b.c_str()));
    EXPECT_EQ(-1, fr_mv(a.c_str(), a.c_str()));

    // Setting the mode after the rename fails: the file stays where it went.
    write_file(a, "data", 0640);
    fail_chmod_path = b;
    EXPECT_EQ(-1, fr_mv(a.c_str(), b.c_str()));
    EXPECT_EQ(EIO, errno);
    EXPECT_FALSE(exists(a));
    EXPECT_EQ("data", read_file(b));

    struct stat shm, tmp;
    if (stat("/dev/shm", &shm) != 0 || stat(dir.path.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev) {
        GTEST_SKIP() << "no second file system (/dev/shm) to move across";
    }
    // Across file systems the copy fails before the source is touched.
    TempDir other("/dev/shm");
    std::string far = other / "f";
    fail_chmod_path = far;
    log_lines.clear();
    EXPECT_EQ(-1, fr_mv(b.c_str(), far.c_str()));
    EXPECT_EQ("data", read_file(b));
    EXPECT_FALSE(exists(far));
    EXPECT_EQ(1u, log_lines.size());
}
