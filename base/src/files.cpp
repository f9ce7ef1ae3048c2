/*
 * File-system helpers: existence test, recursive removal and creation,
 * copy and move that keep mode and owner. Only libc and the descriptor
 * helpers are called; no frame exception can cross this file.
 */
#define KIVO_FILE "wrappers"
#include <kivo/files.h>
#include <kivo/memory.h>
#include <kivo/net.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

/* Copies everything readable from in to out. 0 or -1. */
int copy_data(int in, int out)
{
    char buf[4096];
    for (;;) {
        int n = fr_read_nb(in, buf, (int)sizeof(buf), -1.0f);
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        for (int done = 0; done < n;) {
            int w = fr_write_nb(out, buf + done, n - done, -1.0f);
            if (w <= 0) {
                if (w == 0)
                    errno = EIO;
                return -1;
            }
            done += w;
        }
    }
}

/* Owner and group, then mode: chown clears the set-user-ID and
 * set-group-ID bits, so the mode goes last. EPERM from chown is accepted
 * (an ordinary user cannot give files away). 0 or -1. */
int set_owner_mode(const char *path, const struct stat &st)
{
    if (chown(path, st.st_uid, st.st_gid) == -1 && errno != EPERM)
        return -1;
    return chmod(path, st.st_mode & 07777);
}

/* The same on an open descriptor. */
int set_owner_mode_fd(int fd, const struct stat &st)
{
    if (fchown(fd, st.st_uid, st.st_gid) == -1 && errno != EPERM)
        return -1;
    return fchmod(fd, st.st_mode & 07777);
}

/* Where a copy to destination lands: the file a symbolic link points to
 * (a copy writes through the link), else destination itself. malloc'ed. */
char *copy_target(const char *destination)
{
    struct stat lst;
    if (lstat(destination, &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char *real = realpath(destination, nullptr);
        if (real)
            return real;
    }
    return strdup(destination);
}

/* A new temporary file, mode 0600, in the directory of target. */
int make_temp(const char *target, char **temp)
{
    const char *slash = strrchr(target, '/');
    size_t dirlen = slash ? (size_t)(slash - target) + 1 : 0;
    static const char pattern[] = ".kivo-copy.XXXXXX";
    char *name = (char *)malloc(dirlen + sizeof pattern);
    if (!name) {
        errno = ENOMEM;
        return -1;
    }
    memcpy(name, target, dirlen);
    memcpy(name + dirlen, pattern, sizeof pattern);
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd == -1) {
        int e = errno;
        free(name);
        errno = e;
        return -1;
    }
    *temp = name;
    return fd;
}

/* Copies the regular file source (stat st) into a new temporary file next
 * to target: created 0600, filled, given owner then mode, synced, closed.
 * The destination itself is not touched. 0 with *temp set (malloc'ed), or
 * -1 with errno and nothing left behind. */
int copy_to_temp(const char *source, const struct stat &st, const char *target, char **temp)
{
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in == -1)
        return -1;
    struct stat ist, dst;
    if (fstat(in, &ist) == -1) {
        int e = errno;
        close(in);
        errno = e;
        return -1;
    }
    /* The same file under another name (a hard or symbolic link): copying
     * it over itself would be a no-op at best. */
    if (stat(target, &dst) == 0 && same_file(ist, dst)) {
        close(in);
        errno = EINVAL;
        return -1;
    }
    char *name = nullptr;
    int out = make_temp(target, &name);
    if (out == -1) {
        int e = errno;
        close(in);
        errno = e;
        return -1;
    }
    fr_set_nb(in);
    fr_set_nb(out);
    int rc = copy_data(in, out);
    if (rc == 0)
        rc = set_owner_mode_fd(out, st);
    if (rc == 0)
        rc = fsync(out);
    int e = errno;
    close(in);
    /* close is not retried: the descriptor is gone whatever it says. */
    if (close(out) == -1 && rc == 0) {
        rc = -1;
        e = errno;
    }
    if (rc == -1) {
        unlink(name);
        free(name);
        errno = e;
        return -1;
    }
    *temp = name;
    return 0;
}

int mkdir_owned(const char *path, mode_t mode, uid_t uid, gid_t gid)
{
    if (mkdir(path, mode) == -1) {
        int e = errno;
        struct stat st;
        /* Lost a race with another creator: fine if it is a directory. */
        if (e == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode))
            return 0;
        errno = e;
        return -1;
    }
    return chown(path, uid, gid);
}

/* One component of a recursive mkdir: exists as a directory, or made now. */
int mkdir_step(const char *path, mode_t mode, uid_t uid, gid_t gid)
{
    struct stat st;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 0;
        errno = ENOTDIR;
        return -1;
    }
    if (errno != ENOENT)
        return -1;
    return mkdir_owned(path, mode, uid, gid);
}

} // namespace

extern "C" {

KIVO_API int fr_file_exists(const char *path)
{
    struct stat st;
    return path && stat(path, &st) == 0;
}

KIVO_API int fr_rm(const char *path, int flags)
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (lstat(path, &st) == -1)
        return -1;
    if (!S_ISDIR(st.st_mode))
        return unlink(path);
    DIR *dir = opendir(path);
    if (!dir)
        return -1;
    size_t plen = strlen(path);
    size_t cap = plen + 1024;
    char *child = (char *)malloc(cap);
    if (!child) {
        closedir(dir);
        errno = ENOMEM;
        return -1;
    }
    /* Removing entries while reading a directory may make readdir skip
     * some on certain file systems: read again until a pass finds nothing. */
    int removed;
    do {
        removed = 0;
        rewinddir(dir);
        struct dirent *de;
        errno = 0;
        while ((de = readdir(dir)) != nullptr) {
            if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, ".."))
                continue;
            snprintf(child, cap, "%s/%s", path, de->d_name);
            if (fr_rm(child, flags) == -1) {
                int e = errno;
                closedir(dir);
                free(child);
                errno = e;
                return -1;
            }
            removed++;
            errno = 0;
        }
        if (errno) {
            int e = errno;
            closedir(dir);
            free(child);
            errno = e;
            return -1;
        }
    } while (removed);
    closedir(dir);
    free(child);
    return rmdir(path);
}

KIVO_API int fr_mkdir(const char *path, int recursive, mode_t mode, uid_t uid, gid_t gid)
{
    if (!path || !*path) {
        errno = path ? ENOENT : EINVAL;
        return -1;
    }
    if (!recursive) {
        if (mkdir(path, mode) == -1)
            return -1;
        return chown(path, uid, gid);
    }
    size_t len = strlen(path);
    char *buf = (char *)malloc(len + 1);
    if (!buf) {
        errno = ENOMEM;
        return -1;
    }
    memcpy(buf, path, len + 1);
    int rc = 0;
    for (size_t i = 1; i < len && rc == 0; i++) {
        if (buf[i] != '/' || buf[i - 1] == '/')
            continue;
        buf[i] = 0;
        rc = mkdir_step(buf, mode, uid, gid);
        buf[i] = '/';
    }
    /* The last component gets the same owner as its parents. */
    if (rc == 0 && path[len - 1] != '/')
        rc = mkdir_step(buf, mode, uid, gid);
    int e = errno;
    free(buf);
    errno = e;
    return rc;
}

/* The copy goes to a temporary file in the destination's directory and is
 * renamed over the destination only once complete: on any failure the
 * destination is the old file, never a partial or a missing one, and while
 * it is written the copy is readable by its owner only. */
KIVO_API int fr_cp(const char *source, const char *destination)
{
    if (!source || !destination || !strcmp(source, destination)) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (stat(source, &st) == -1)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    char *target = copy_target(destination);
    if (!target) {
        errno = ENOMEM;
        return -1;
    }
    char *temp = nullptr;
    int rc = copy_to_temp(source, st, target, &temp);
    if (rc == 0 && rename(temp, target) == -1) {
        int e = errno;
        unlink(temp);
        errno = e;
        rc = -1;
    }
    int e = errno;
    free(temp);
    free(target);
    errno = e;
    return rc;
}

KIVO_API int fr_mv(const char *source, const char *destination)
{
    if (!source || !destination || !strcmp(source, destination)) {
        errno = EINVAL;
        return -1;
    }
    struct stat st, dt;
    if (stat(source, &st) == -1) {
        int e = errno;
        FR_LOG_CONDITIONAL_RETURN();
        errno = e;
        return -1;
    }
    /* rename() of two names of one file succeeds and does nothing. */
    if (stat(destination, &dt) == 0 && same_file(st, dt)) {
        errno = EINVAL;
        return -1;
    }
    if (rename(source, destination) == 0) {
        /* From here the destination is the only copy: on failure keep it
         * and report. */
        return set_owner_mode(destination, st);
    }
    if (errno != EXDEV)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        FR_LOG_CONDITIONAL_RETURN();
        errno = e;
        return -1;
    }
    /* Another file system: a complete copy next to the destination first,
     * then the source goes, then the copy takes the destination's name.
     * Until the source is gone nothing has changed; after that the data is
     * in the copy. */
    char *temp = nullptr;
    if (copy_to_temp(source, st, destination, &temp) == -1) {
        int e = errno;
        FR_LOG_CONDITIONAL_RETURN();
        errno = e;
        return -1;
    }
    if (unlink(source) == -1) {
        int e = errno;
        unlink(temp);
        free(temp);
        errno = e;
        return -1;
    }
    int rc = rename(temp, destination);
    if (rc == -1) {
        /* The data must not be lost: put it back under the source's name
         * if that works, else leave the copy where it is. */
        int e = errno;
        char *back = nullptr;
        if (copy_to_temp(temp, st, source, &back) == 0) {
            if (rename(back, source) == 0)
                unlink(temp);
            else
                unlink(back);
            free(back);
        }
        errno = e;
    }
    free(temp);
    return rc;
}

} // extern "C"
