// The process-wide logger fr_log_obj: syslog, standard error, ten file
// slots or one callback. No frame exception passes through this file.
//
// Thread-safe build: the streams are guarded by a lock that lives as long as
// the process (the record's own mutex is torn down by the last close and
// made anew by every initialisation). Writing a line holds it shared;
// opening, swapping and closing streams and resetting the record hold it
// exclusively, so a line is never written to a stream being closed, and a
// closed logger simply has no streams to write to. Cancellation is off
// while the lock or a stream is held, so a cancelled thread leaves neither
// locked behind it.
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <kivo/log.h>
#include <kivo/memory.h>

namespace {

constexpr unsigned flag_static = 0x2;
constexpr unsigned flag_destroying = 0x4;

const char *const level_names[8] = {"LOG_EMERG",   "LOG_ALERT",  "LOG_CRIT", "LOG_ERR",
                                    "LOG_WARNING", "LOG_NOTICE", "LOG_INFO", "LOG_DEBUG"};

// The formatted time of the last second seen, shared under the logger's
// mutex so that a busy logger formats the clock once a second.
time_t cached_second = -1;
char cached_time[30];

#if KIVO_THREADS
// Writers first, so that a close is not starved by busy loggers; a thread
// never takes it twice (see the flags below), so that preference cannot
// deadlock a reader against itself.
pthread_rwlock_t streams_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
// Set while this thread holds streams_lock exclusively: a line logged from
// there (a destroy hook, a signal handler) must not wait for itself.
__thread bool configuring __attribute__((tls_model("initial-exec")));
// Shared holds of this thread (a signal handler may log in the middle of a
// line).
__thread int sharing __attribute__((tls_model("initial-exec")));

// Cancellation off for a scope; restores the caller's state.
class NoCancel {
public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~NoCancel() { pthread_setcancelstate(old_, nullptr); }
    NoCancel(const NoCancel &) = delete;
    NoCancel &operator=(const NoCancel &) = delete;

private:
    int old_ = PTHREAD_CANCEL_ENABLE;
};

// Held while a line is written or a stream read.
class SharedStreams {
public:
    SharedStreams() : held_(!configuring && sharing == 0 && pthread_rwlock_rdlock(&streams_lock) == 0) {
        sharing++;
    }
    ~SharedStreams() {
        sharing--;
        if (held_)
            pthread_rwlock_unlock(&streams_lock);
    }
    SharedStreams(const SharedStreams &) = delete;
    SharedStreams &operator=(const SharedStreams &) = delete;

private:
    bool held_;
};

// Held while streams are opened, swapped or closed and the record reset.
class ExclusiveStreams {
public:
    ExclusiveStreams() : held_(!configuring && sharing == 0 && pthread_rwlock_wrlock(&streams_lock) == 0) {
        if (held_)
            configuring = true;
    }
    ~ExclusiveStreams() {
        if (held_) {
            configuring = false;
            pthread_rwlock_unlock(&streams_lock);
        }
    }
    ExclusiveStreams(const ExclusiveStreams &) = delete;
    ExclusiveStreams &operator=(const ExclusiveStreams &) = delete;

private:
    bool held_;
};
#else
struct NoCancel {};
struct SharedStreams {};
struct ExclusiveStreams {};
#endif

#if KIVO_THREADS
// Locks the logger unless its mutex was torn down by the last close.
inline bool lock_logger() {
    if (fr_log_obj.flags & flag_destroying)
        return false;
    int r = pthread_mutex_lock(&fr_log_obj.mutex);
    fr_log_obj.lock_status = r;
    if (r != 0)
        return false;
    fr_log_obj.lock_depth++;
    return true;
}
inline void unlock_logger() {
    if (fr_log_obj.lock_depth > 0) {
        fr_log_obj.lock_depth--;
        pthread_mutex_unlock(&fr_log_obj.mutex);
    }
}
#endif

void format_time(char *out) {
    time_t now = time(nullptr);
#if KIVO_THREADS
    bool locked = lock_logger();
    if (!locked) { // torn down by the last close: no shared cache
        struct tm tm;
        gmtime_r(&now, &tm);
        if (strftime(out, 30, "%b %d %H:%M:%S", &tm) == 0)
            out[0] = '\0';
        out[29] = '\0';
        return;
    }
#endif
    if (now != cached_second) {
        struct tm tm;
        gmtime_r(&now, &tm);
        if (strftime(cached_time, sizeof cached_time, "%b %d %H:%M:%S", &tm) == 0)
            cached_time[0] = '\0';
        cached_time[sizeof cached_time - 1] = '\0';
        cached_second = now;
    }
    memcpy(out, cached_time, sizeof cached_time);
#if KIVO_THREADS
    if (locked)
        unlock_logger();
#endif
}

// Builds one line in memory and writes it with a single fwrite, the stream
// locked against the other threads and the descriptor flock'ed against
// other processes. Write errors are ignored.
void write_line(FILE *fp, bool full, bool skip_time, bool skip_level, const char *timebuf, int level,
                const char *file, int line, const char *function, const char *format, va_list ap) {
    char stackbuf[1024];
    char *buf = stackbuf;
    size_t cap = sizeof stackbuf;
    size_t len = 0;
    char levelbuf[16];
    const char *lname = loglevel_i2str(level);
    if (!lname) {
        snprintf(levelbuf, sizeof levelbuf, "%d", level);
        lname = levelbuf;
    }
    int n = 0;
    if (!skip_time)
        n = snprintf(buf + len, cap - len, "%s\t", timebuf);
    if (n > 0)
        len += static_cast<size_t>(n);
    if (!skip_level) {
        n = snprintf(buf + len, cap - len, "%s:\t", lname);
        if (n > 0)
            len += static_cast<size_t>(n);
    }
    if (full) {
        n = snprintf(buf + len, cap - len, "%s:%d %s(): ", file ? file : "(null)", line,
                     function ? function : "(null)");
        if (n > 0)
            len += static_cast<size_t>(n);
        if (len >= cap) { // enormous file or function name: keep what fits
            len = cap - 1;
        }
    }
    va_list aq;
    va_copy(aq, ap);
    n = vsnprintf(buf + len, cap - len, format, aq);
    va_end(aq);
    if (n < 0)
        n = 0;
    if (static_cast<size_t>(n) + 1 >= cap - len) {
        size_t need = len + static_cast<size_t>(n) + 2;
        char *big = static_cast<char *>(malloc(need));
        if (!big) { // cannot grow: write what fits
            len = cap - 2;
        } else {
            memcpy(big, buf, len);
            va_copy(aq, ap);
            vsnprintf(big + len, need - len, format, aq);
            va_end(aq);
            buf = big;
            cap = need;
            len += static_cast<size_t>(n);
        }
    } else {
        len += static_cast<size_t>(n);
    }
    buf[len++] = '\n';

    int fd = fileno(fp);
    flockfile(fp);
    if (fd >= 0)
        flock(fd, LOCK_EX);
    fwrite_unlocked(buf, 1, len, fp);
    fflush_unlocked(fp);
    if (fd >= 0)
        flock(fd, LOCK_UN);
    funlockfile(fp);
    if (buf != stackbuf)
        free(buf);
}

void init_header() {
#if KIVO_THREADS
    pthread_mutexattr_init(&fr_log_obj.mutex_attr);
    pthread_mutexattr_settype(&fr_log_obj.mutex_attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&fr_log_obj.mutex, &fr_log_obj.mutex_attr);
    fr_log_obj.lock_depth = 0;
    fr_log_obj.lock_status = 0;
#endif
    fr_log_obj.alloc = fr_alloc;
    fr_log_obj.calloc = fr_calloc;
    fr_log_obj.realloc = fr_realloc;
    fr_log_obj.free = free;
    fr_log_obj.refcount = 1;
    fr_log_obj.force = 0;
    fr_log_obj.flags = flag_static;
    fr_log_obj.destroy = nullptr;
}

int cannot_open(const char *path) {
    fprintf(stderr, "Cannot open alternative file %s\n", path ? path : "(null)");
    return 0;
}

} // namespace

extern "C" {

KIVO_API fr_log_t fr_log_obj = {
    .files = {},
    .facility = LOG_USER,
    .level = LOG_INFO,
    .altsyslog = nullptr,
    .callback = nullptr,
    .alloc = fr_alloc,
    .calloc = fr_calloc,
    .realloc = fr_realloc,
    .free = free,
    .mutex_attr = {},
    .mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP, // unused by the plain build
    .lock_depth = 0,
    .refcount = 0,
    .force = 0,
    .flags = flag_static,
    .lock_status = 0,
    .destroy = nullptr,
};

KIVO_API int fr_log_init(const char *ident, int facility, ...) {
    [[maybe_unused]] NoCancel nc;
    [[maybe_unused]] ExclusiveStreams guard;
    init_header();
    fr_log_obj.facility = facility;
    openlog(ident, 0, facility);
    va_list ap;
    va_start(ap, facility);
    int ok = 1;
    for (int slot = 0; slot < FR_LOG_FILES; slot++) {
        const char *path = va_arg(ap, const char *);
        if (!path)
            break;
        FILE *fp = fopen(path, "a");
        if (!fp) {
            ok = cannot_open(path);
            break;
        }
        if (fr_log_obj.files[slot]) // initialised twice: do not leak the old stream
            fclose(fr_log_obj.files[slot]);
        fr_log_obj.files[slot] = fp;
    }
    va_end(ap);
    return ok;
}

KIVO_API int fr_log_init_custom(fr_log_callback_t callback) {
    if (!callback)
        return -1;
    [[maybe_unused]] NoCancel nc;
    [[maybe_unused]] ExclusiveStreams guard;
    init_header();
    fr_log_obj.callback = callback;
    return 0;
}

KIVO_API int fr_log_init_altsyslog(const char *path) {
    if (!path || !*path)
        return cannot_open(path) - 1;
    [[maybe_unused]] NoCancel nc;
    [[maybe_unused]] ExclusiveStreams guard;
    FILE *fp = fopen(path, "a");
    if (!fp)
        return cannot_open(path) - 1;
    if (fr_log_obj.altsyslog)
        fclose(fr_log_obj.altsyslog);
    fr_log_obj.altsyslog = fp;
    return 0;
}

KIVO_API void fr_log_setlogger(fr_log_callback_t callback) { fr_log_obj.callback = callback; }
KIVO_API void fr_log_setlevel(int level) { fr_log_obj.level = level; }

KIVO_API unsigned int fr_log_force_set(unsigned int bits) { return fr_log_obj.force |= bits; }
KIVO_API unsigned int fr_log_force_unset(unsigned int bits) { return fr_log_obj.force &= ~bits; }
KIVO_API unsigned int fr_log_force_cons(void) { return fr_log_force_set(FR_LOG_FORCE_CONSOLE); }
KIVO_API unsigned int fr_log_force_skip_level(void) { return fr_log_force_set(FR_LOG_SKIP_LEVEL); }
KIVO_API unsigned int fr_log_force_skip_time(void) { return fr_log_force_set(FR_LOG_SKIP_TIME); }

KIVO_API const char *loglevel_i2str(int level) {
    return level >= 0 && level <= 7 ? level_names[level] : nullptr;
}

KIVO_API int loglevel_str2i(const char *name) {
    if (!name)
        return -1;
    for (int i = 0; i < 8; i++)
        if (strcasecmp(name, level_names[i]) == 0)
            return i;
    return -1;
}

static void flush_locked(FILE *fp) {
    int fd = fileno(fp);
    flock(fd, LOCK_EX);
    fflush(fp);
    flock(fd, LOCK_UN);
}

KIVO_API void fr_log_flush(int mask) {
    [[maybe_unused]] NoCancel nc;
    [[maybe_unused]] SharedStreams guard;
    if (fr_log_obj.altsyslog)
        flush_locked(fr_log_obj.altsyslog);
    for (int i = 0; i < FR_LOG_FILES; i++)
        if ((mask & FR_LOG_FILE(i)) && fr_log_obj.files[i])
            flush_locked(fr_log_obj.files[i]);
}

KIVO_API int fr_log_chown(int mask, uid_t uid, gid_t gid) {
    [[maybe_unused]] SharedStreams guard;
    for (int i = 0; i < FR_LOG_FILES; i++)
        if ((mask & FR_LOG_FILE(i)) && fr_log_obj.files[i] && fchown(fileno(fr_log_obj.files[i]), uid, gid) != 0)
            return -1;
    if (fr_log_obj.altsyslog && fchown(fileno(fr_log_obj.altsyslog), uid, gid) != 0)
        return -1;
    return 0;
}

KIVO_API int fr_log_close(void) {
    [[maybe_unused]] NoCancel nc;
    [[maybe_unused]] ExclusiveStreams guard;
    closelog();
    for (int i = 0; i < FR_LOG_FILES; i++) {
        if (fr_log_obj.files[i]) {
            fclose(fr_log_obj.files[i]);
            fr_log_obj.files[i] = nullptr;
        }
    }
    if (fr_log_obj.altsyslog) {
        fclose(fr_log_obj.altsyslog);
        fr_log_obj.altsyslog = nullptr;
    }
#if KIVO_THREADS
    if (fr_log_obj.flags & flag_destroying)
        return 0; // already torn down: nothing more to release
    int r = pthread_mutex_lock(&fr_log_obj.mutex);
    fr_log_obj.lock_status = r;
    if (r != 0)
        return r;
    fr_log_obj.lock_depth++;
#endif
    if (fr_log_obj.refcount <= 0) {
        // Closed more often than initialised: the files are closed, the
        // count stays at zero and the object stays usable.
#if KIVO_THREADS
        unlock_logger();
#endif
        return 0;
    }
    if (--fr_log_obj.refcount > 0) {
#if KIVO_THREADS
        unlock_logger();
#endif
        return 0;
    }
    fr_log_obj.flags |= flag_destroying;
    if (fr_log_obj.destroy)
        fr_log_obj.destroy(&fr_log_obj);
#if KIVO_THREADS
    while (fr_log_obj.lock_depth > 0) {
        fr_log_obj.lock_depth--;
        pthread_mutex_unlock(&fr_log_obj.mutex);
    }
    pthread_mutex_destroy(&fr_log_obj.mutex);
#endif
    return 0;
}

KIVO_API void fr_log_impl(const char *file, int line, const char *function, int mask, int level,
                          const char *format, ...) {
    if (mask < 0) {
        fputs("Option not supported anymore.", stderr);
        return;
    }
    if (mask & FR_LOG_RESERVED) {
        fputs("Option not yet implemented", stderr);
        return;
    }
    if (!format)
        return;
    va_list ap;
    fr_log_callback_t callback = fr_log_obj.callback;
    if (callback) {
        char *message = nullptr;
        va_start(ap, format);
        int n = vasprintf(&message, format, ap);
        va_end(ap);
        if (n < 0)
            return;
        callback(file, line, function, level, message);
        free(message);
        return;
    }
    if (level > fr_log_obj.level)
        return;

    [[maybe_unused]] NoCancel nc;
    [[maybe_unused]] SharedStreams guard;
    unsigned force = fr_log_obj.force;
    bool to_console = (mask & FR_LOG_CONSOLE) || (force & FR_LOG_FORCE_CONSOLE);
    bool skip_time = (mask & FR_LOG_SKIP_TIME) || (force & FR_LOG_SKIP_TIME);
    bool skip_level = (mask & FR_LOG_SKIP_LEVEL) || (force & FR_LOG_SKIP_LEVEL);
    char timebuf[30];
    format_time(timebuf);

    va_start(ap, format);
    if (mask & FR_LOG_SYSLOG) {
        FILE *alt = fr_log_obj.altsyslog;
        if (alt) {
            write_line(alt, true, skip_time, skip_level, timebuf, level, file, line, function, format, ap);
        } else {
            va_list aq;
            va_copy(aq, ap);
            vsyslog(level | fr_log_obj.facility, format, aq);
            va_end(aq);
        }
    }
    if (to_console)
        write_line(stderr, true, skip_time, skip_level, timebuf, level, file, line, function, format, ap);
    for (int i = 0; i < FR_LOG_FILES; i++) {
        FILE *fp = fr_log_obj.files[i];
        if ((mask & FR_LOG_FILE(i)) && fp)
            write_line(fp, false, skip_time, skip_level, timebuf, level, file, line, function, format, ap);
    }
    va_end(ap);
}

} // extern "C"
