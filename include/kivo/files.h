/*
 * File-system operations beyond single system calls, and starting child
 * programs with optional pipes to their standard streams. Failures return
 * -1 (0 for the process functions) with errno set; nothing is raised.
 */
#ifndef KIVO_FILES_H
#define KIVO_FILES_H

#include <sys/types.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* 1 when stat(path) succeeds (links followed), else 0. */
KIVO_API int fr_file_exists(const char *path);
/* Removes path; directories recursively. A symbolic link is removed, never
 * followed. flags is unused. 0 or -1 (errno of the first failure). */
KIVO_API int fr_rm(const char *path, int flags);
/* Creates path with mode and gives it uid/gid. Recursive: creates every
 * missing parent (each chown'ed), fails with ENOTDIR when a component
 * exists but is not a directory; an existing directory is success. 0 or -1. */
KIVO_API int fr_mkdir(const char *path, int recursive, mode_t mode, uid_t uid, gid_t gid);
/* Copies a regular file (links followed), keeping mode (set-user-ID and
 * set-group-ID bits included) and, where permitted, owner. The copy is
 * written to a private (0600) temporary file beside the destination and
 * renamed over it when complete: on failure the destination is left as it
 * was. EINVAL when source and destination are the same file (equal paths,
 * a hard or symbolic link, same device and inode). 0 or -1. */
KIVO_API int fr_cp(const char *source, const char *destination);
/* Renames, or across file systems copies as fr_cp does and removes the
 * source, keeping the source's owner and mode. A failed move leaves the
 * source and the old destination as they were; the file is never lost:
 * when setting mode or owner fails after the rename, the destination stays
 * and -1 is returned. EINVAL for the same file under two names. 0 or -1. */
KIVO_API int fr_mv(const char *source, const char *destination);

/* Starts file (searched in PATH) with argv (null: {file, null}). For each
 * non-null descriptor pointer a pipe is made to the child's stdin, stdout
 * or stderr and the parent's end stored there (close-on-exec, so it does
 * not leak into other children). Returns the child's pid, or 0. */
KIVO_API pid_t fr_exec(const char *file, char *const argv[], int *stdin_fd, int *stdout_fd, int *stderr_fd);
/* As fr_exec, the child starting a new session; 1 or 0. The child is not
 * waited for. */
KIVO_API int fr_spawn_async_piped(const char *file, char *const argv[], int *stdin_fd, int *stdout_fd,
                                  int *stderr_fd);
/* Runs file and waits for it; stores its exit status (255 when it could
 * not be started, 128 + signal when a signal ended it) in *exit_code when
 * not null. 1 when the child ran and was waited for, 0 otherwise. */
KIVO_API int fr_spawn_sync(const char *file, char *const argv[], int *exit_code);

KIVO_END_DECLS

#endif
