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

/* Mode, then owner and group; EPERM from chown is accepted (an ordinary
 * user cannot give files away). 0 or -1. */
int set_mode_owner(const char *path, const struct stat &st)
{
    if (chmod(path, st.st_mode & 07777) == -1)
        return -1;
    if (chown(path, st.st_uid, st.st_gid) == -1 && errno != EPERM)
        return -1;
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
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in == -1)
        return -1;
    struct stat ist;
    if (fstat(in, &ist) == -1) {
        int e = errno;
        close(in);
        errno = e;
        return -1;
    }
    /* Open without truncating first: if the destination is the source
     * under another name, truncating would destroy it. */
    int out = open(destination, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (out == -1) {
        int e = errno;
        close(in);
        errno = e;
        return -1;
    }
    struct stat ost;
    int bad = 0;
    if (fstat(out, &ost) == -1)
        bad = errno;
    else if (same_file(ist, ost))
        bad = EINVAL;
    if (bad) {
        int e = bad;
        close(in);
        close(out);
        errno = e;
        return -1;
    }
    int rc = ftruncate(out, 0);
    if (rc == 0) {
        fr_set_nb(in);
        fr_set_nb(out);
        rc = copy_data(in, out);
    }
    int e = errno;
    close(in);
    if (close(out) == -1 && rc == 0) {
        rc = -1;
        e = errno;
    }
    if (rc == 0 && set_mode_owner(destination, st) == -1) {
        rc = -1;
        e = errno;
    }
    if (rc == -1) {
        unlink(destination);
        errno = e;
    }
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
    if (rename(source, destination) == -1) {
        if (errno != EXDEV)
            return -1;
        if (fr_cp(source, destination) == -1) {
            int e = errno;
            FR_LOG_CONDITIONAL_RETURN();
            errno = e;
            return -1;
        }
        if (unlink(source) == -1) {
            int e = errno;
            unlink(destination);
            errno = e;
            return -1;
        }
    }
    /* From here the destination is the only copy: on failure keep it and
     * report. */
    return set_mode_owner(destination, st);
}

} // extern "C"
