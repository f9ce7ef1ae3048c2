// Files: existence, recursive removal and creation, copy and move with
// mode and owner, the same-file refusal, moves across file systems, and
// that a move never loses the file when setting its attributes fails.
#include <algorithm>
#include <atomic>
#include <thread>
#include <dirent.h>
#include <csignal>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
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

// fchmod/fchown fail likewise for descriptors of files in one folder (a
// copy is made in a temporary file beside its destination).
static std::string fail_fd_dir;
static int fail_fchmod_errno, fail_fchown_errno;

static bool fd_in_fail_dir(int fd)
{
    if (fail_fd_dir.empty())
        return false;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0)
        return false;
    path[n] = 0;
    std::string prefix = fail_fd_dir + "/";
    return strncmp(path, prefix.c_str(), prefix.size()) == 0;
}

extern "C" int fchmod(int fd, mode_t mode) noexcept
{
    if (fail_fchmod_errno && fd_in_fail_dir(fd)) {
        errno = fail_fchmod_errno;
        return -1;
    }
    return (int)syscall(SYS_fchmod, fd, mode);
}

extern "C" int fchown(int fd, uid_t uid, gid_t gid) noexcept
{
    if (fail_fchown_errno && fd_in_fail_dir(fd)) {
        errno = fail_fchown_errno;
        return -1;
    }
    return (int)syscall(SYS_fchown, fd, uid, gid);
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
        fail_fd_dir.clear();
        fail_fchmod_errno = fail_fchown_errno = 0;
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
    fail_fd_dir = dir.path;
    fail_fchown_errno = EPERM;
    EXPECT_EQ(0, fr_cp(src.c_str(), dst.c_str()));
    EXPECT_EQ("content", read_file(dst));
    // Any other failure leaves no destination behind.
    fail_fchown_errno = EIO;
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
    fail_fd_dir = other.path;
    fail_fchmod_errno = EIO;
    log_lines.clear();
    EXPECT_EQ(-1, fr_mv(b.c_str(), far.c_str()));
    EXPECT_EQ("data", read_file(b));
    EXPECT_FALSE(exists(far));
    EXPECT_EQ(1u, log_lines.size());
}

namespace {

std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool across_available(const std::string &dir)
{
    struct stat shm, here;
    return stat("/dev/shm", &shm) == 0 && stat(dir.c_str(), &here) == 0 && shm.st_dev != here.st_dev;
}

// Group or other permission bits seen on any file created or moved into
// a directory while `watch` runs.
struct ExposureWatch {
    int fd = -1;
    std::string dir;
    std::atomic<bool> stop{false};
    std::atomic<unsigned> seen{0};
    std::thread th;
    explicit ExposureWatch(const std::string &d) : dir(d)
    {
        fd = inotify_init1(IN_NONBLOCK);
        if (fd >= 0 && inotify_add_watch(fd, d.c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY) < 0) {
            close(fd);
            fd = -1;
        }
        th = std::thread([this] {
            alignas(struct inotify_event) char buf[4096];
            while (!stop.load()) {
                ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0) {
                    usleep(100);
                    continue;
                }
                for (char *p = buf; p < buf + n;) {
                    auto *ev = reinterpret_cast<struct inotify_event *>(p);
                    struct stat st;
                    if (ev->len && stat((dir + "/" + ev->name).c_str(), &st) == 0)
                        seen.fetch_or(st.st_mode & 077);
                    p += sizeof *ev + ev->len;
                }
            }
        });
    }
    unsigned finish()
    {
        stop.store(true);
        th.join();
        if (fd >= 0)
            close(fd);
        return seen.load();
    }
};

} // namespace

// A copy or move that fails part-way (here: the file size limit) leaves the
// old destination in place, as rename would, and no stray file; while a
// copy is written nobody else can read it; set-user-ID and set-group-ID
// bits survive copies and moves.
TEST_F(Files, CopyAndMoveKeepTheOldDestinationAndTheModeBits)
{
    bool across = across_available(dir.path);
    TempDir other("/dev/shm");

    // 1. Failures part-way, in a child process under RLIMIT_FSIZE.
    std::string big(100000, 'b');
    write_file(dir / "big", big, 0644);
    write_file(dir / "dst", "old destination", 0644);
    write_file(other / "far", "old far destination", 0644);
    struct {
        const char *what;
        bool move;
        std::string to;
    } failing[] = {{"copy over a file", false, dir / "dst"}, {"move across file systems", true, other / "far"}};
    for (auto &c : failing) {
        if (c.move && !across)
            continue;
        std::string src = dir / "big";
        pid_t pid = fork();
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim = {16384, 16384};
            setrlimit(RLIMIT_FSIZE, &lim);
            int r = c.move ? fr_mv(src.c_str(), c.to.c_str()) : fr_cp(src.c_str(), c.to.c_str());
            _exit(r == -1 && errno == EFBIG ? 0 : 1);
        }
        int st = 0;
        ASSERT_EQ(pid, waitpid(pid, &st, 0));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << c.what << ": not refused with EFBIG";
        EXPECT_EQ(c.move ? "old far destination" : "old destination", read_file(c.to)) << c.what;
        EXPECT_EQ(big, read_file(src)) << c.what;
    }
    EXPECT_EQ((std::vector<std::string>{"big", "dst"}), names_in(dir.path));
    EXPECT_EQ((std::vector<std::string>{"far"}), names_in(other.path));

    // 2. A private file is never exposed while it is copied.
    std::string secret(16 << 20, 's');
    write_file(dir / "secret", secret, 0600);
    mode_t old_mask = umask(022);
    {
        TempDir out;
        ExposureWatch watch(out.path);
        ASSERT_GE(watch.fd, 0);
        EXPECT_EQ(0, fr_cp((dir / "secret").c_str(), (out / "copy").c_str()));
        EXPECT_EQ(0u, watch.finish()) << "group/other bits seen on the copy while it was written";
        EXPECT_EQ(0600u, mode_of(out / "copy"));
        EXPECT_EQ(secret.size(), read_file(out / "copy").size());
    }
    umask(old_mask);

    // 3. set-user-ID and set-group-ID bits (giving files to root keeps them
    // only for root, so only root can check this).
    if (geteuid() != 0)
        GTEST_SKIP() << "set-user-ID bits need root";
    for (mode_t mode : {04755, 02755, 06750}) {
        std::string src = dir / "suid";
        write_file(src, "#!/bin/sh\n", mode);
        ASSERT_EQ(mode, mode_of(src));
        EXPECT_EQ(0, fr_cp(src.c_str(), (dir / "cp").c_str()));
        EXPECT_EQ(mode, mode_of(dir / "cp")) << std::oct << mode << " copied";
        EXPECT_EQ(0, fr_mv((dir / "cp").c_str(), (dir / "mv").c_str()));
        EXPECT_EQ(mode, mode_of(dir / "mv")) << std::oct << mode << " moved";
        if (across) {
            EXPECT_EQ(0, fr_mv((dir / "mv").c_str(), (other / "mv").c_str()));
            EXPECT_EQ(mode, mode_of(other / "mv")) << std::oct << mode << " moved across";
            unlink((other / "mv").c_str());
        }
        unlink((dir / "mv").c_str());
        unlink(src.c_str());
    }
}
