/*
 * The process-wide logger. Every message carries the caller's file, line
 * and function, a destination mask and a syslog level (0-7).
 */
#ifndef KIVO_LOG_H
#define KIVO_LOG_H

#include <stdarg.h>
#include <stdio.h>
#include <sys/types.h>
#include <pthread.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Destination mask bits. */
#define FR_LOG_CONSOLE 0x1
#define FR_LOG_SYSLOG 0x2
#define FR_LOG_FILE(i) (0x4 << (i))
#define FR_LOG_FILES 10
/* Force flags (also accepted in a mask). */
#define FR_LOG_FORCE_CONSOLE 0x100000
#define FR_LOG_SKIP_LEVEL 0x200000
#define FR_LOG_SKIP_TIME 0x400000
#define FR_LOG_RESERVED 0x40000000

typedef void (*fr_log_callback_t)(const char *file, int line, const char *function, int level,
                                  const char *message);

/* The logger record; fields in this order, one layout for both builds (the
 * plain build leaves the mutex fields unused). */
typedef struct fr_log {
    FILE *files[FR_LOG_FILES];  /* slot i selected by FR_LOG_FILE(i) */
    int facility;               /* OR-ed into the syslog priority; LOG_USER at start */
    int level;                  /* threshold; messages above it are dropped; LOG_INFO at start */
    FILE *altsyslog;            /* stands in for syslog when open */
    fr_log_callback_t callback; /* receives every message instead when set */
    /* object header */
    void *(*alloc)(size_t);
    void *(*calloc)(size_t, size_t);
    void *(*realloc)(void *, size_t);
    void (*free)(void *);
    pthread_mutexattr_t mutex_attr;
    pthread_mutex_t mutex;
    unsigned int lock_depth;
    int refcount;
    unsigned int force;  /* FR_LOG_FORCE_CONSOLE | FR_LOG_SKIP_LEVEL | FR_LOG_SKIP_TIME */
    unsigned int flags;  /* 0x2 static, 0x4 being destroyed */
    int lock_status;
    void (*destroy)(struct fr_log *);
} fr_log_t;

KIVO_API extern fr_log_t fr_log_obj;

/* Opens syslog with ident and facility, then each path (null-terminated list,
 * at most ten) in append mode into slots 0, 1, ... Returns 1, or 0 at the
 * first path that cannot be opened (slots opened before stay open). */
KIVO_API int fr_log_init(const char *ident, int facility, ...);
/* Routes every message to callback. 0, or -1 for a null callback. */
KIVO_API int fr_log_init_custom(fr_log_callback_t callback);
/* Opens path (append) as the stand-in for syslog. 0 or -1. */
KIVO_API int fr_log_init_altsyslog(const char *path);
KIVO_API void fr_log_setlogger(fr_log_callback_t callback);
KIVO_API void fr_log_setlevel(int level);
/* Force flags: each returns the new set. */
KIVO_API unsigned int fr_log_force_set(unsigned int bits);
KIVO_API unsigned int fr_log_force_unset(unsigned int bits);
KIVO_API unsigned int fr_log_force_cons(void);
KIVO_API unsigned int fr_log_force_skip_level(void);
KIVO_API unsigned int fr_log_force_skip_time(void);
/* "LOG_EMERG" ... "LOG_DEBUG", or null outside 0-7. */
KIVO_API const char *loglevel_i2str(int level);
/* Level by name ignoring case, or -1. */
KIVO_API int loglevel_str2i(const char *name);
/* Flushes the alternative syslog file and the slots selected by mask. */
KIVO_API void fr_log_flush(int mask);
/* fchown of the selected slots and the alternative file; 0 or -1. */
KIVO_API int fr_log_chown(int mask, uid_t uid, gid_t gid);
/* Closes every file and syslog and drops one reference. Returns 0, or the
 * lock error. A close without a matching initialisation (the count already
 * at zero) closes the files and returns 0; the count never goes negative. */
KIVO_API int fr_log_close(void);
/* Writes one message; see the destination mask bits. A null format logs nothing. */
KIVO_API void fr_log_impl(const char *file, int line, const char *function, int mask, int level,
                          const char *format, ...) KIVO_PRINTF(6, 7);

KIVO_END_DECLS

#endif
