/*
 * The FIFO byte buffer: a circular byte block between write and read
 * positions, grown on demand up to a maximum, halved when mostly empty;
 * thread-safe writers wait on a condition for readers to make room. No frame
 * exception crosses this file.
 */
#define KIVO_FILE "fifobuf"
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <time.h>
#include <kivo/fifobuf.h>
#include "object_impl.h"

namespace {

using BufObj = kivo::Object<fr_fifobuf_t, buf_destroy>;
using kivo::Locked;

constexpr int64_t kStep = 512;
constexpr int64_t kLargest = (INT32_MAX / kStep) * kStep;

inline bool is_empty(const fr_fifobuf_t *b) { return b->hdr.type_word & FR_FIFOBUF_EMPTY; }

inline int32_t free_space(const fr_fifobuf_t *b) {
    if (is_empty(b)) return b->capacity;
    if (b->write_pos > b->read_pos) return b->capacity - b->write_pos + b->read_pos;
    return b->read_pos - b->write_pos; /* 0 when full */
}

/* Copies n bytes (n <= free space) at the write position, wrapping. */
void put(fr_fifobuf_t *b, const unsigned char *src, int32_t n) {
    if (n <= 0) return;
    int32_t first = b->capacity - b->write_pos;
    if (first > n) first = n;
    memcpy(b->data + b->write_pos, src, first);
    if (n > first) memcpy(b->data, src + first, n - first);
    b->write_pos = static_cast<int32_t>((static_cast<int64_t>(b->write_pos) + n) % b->capacity);
    b->hdr.type_word &= ~FR_FIFOBUF_EMPTY;
}

#if KIVO_THREADS
void wake_writers(fr_fifobuf_t *b) {
    if (b->waiting_writers >= 2)
        pthread_cond_broadcast(&b->space);
    else if (b->waiting_writers == 1)
        pthread_cond_signal(&b->space);
}

/* Waits for room while the buffer is full at its maximum. 0 when there may
 * be room, else the failed wait's error. The caller holds one lock level,
 * which the wait gives up meanwhile. */
int wait_for_space(fr_fifobuf_t *b, const struct timespec *deadline) {
    int rc = 0;
    b->waiting_writers++;
    kivo::depth_add(&b->hdr, -1);
    while (free_space(b) == 0 && b->capacity >= b->maximum) {
        rc = deadline ? pthread_cond_timedwait(&b->space, &b->hdr.mutex, deadline)
                      : pthread_cond_wait(&b->space, &b->hdr.mutex);
        if (rc != 0) break;
    }
    kivo::depth_add(&b->hdr, 1);
    b->waiting_writers--;
    return rc;
}
#endif

/* One pass of a write: as many of the n bytes as fit now, growing first if
 * they do not. */
int32_t write_some(fr_fifobuf_t *b, const unsigned char *src, int32_t n) {
    int32_t room = free_space(b);
    if (room < n && b->capacity < b->maximum) {
        fr_extend(b, n);
        room = free_space(b);
    }
    if (room > n) room = n;
    put(b, src, room);
    return room;
}

}  // namespace

extern "C" {

KIVO_API fr_fifobuf_t *fr_fifobuf_init(int32_t initial_size, int32_t maximum_size) {
    FR_CHECK_RETURN(initial_size >= 0 && maximum_size >= 0, nullptr);
    fr_fifobuf_t *b = BufObj::create(nullptr, nullptr);
    FR_CHECK_RETURN(b, nullptr);
    int64_t maximum = maximum_size ? (maximum_size / kStep) * kStep + kStep : FR_FIFOBUF_DEFAULT_MAX;
    if (maximum > kLargest) maximum = kLargest;
    int64_t start = (initial_size / kStep) * kStep + kStep;
    int64_t size;
    if (start >= 513 && start < maximum)
        size = start;
    else if (start <= maximum)
        size = kStep;
    else
        size = maximum;
    b->maximum = static_cast<int32_t>(maximum);
#if KIVO_THREADS
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&b->space, &ca);
    pthread_condattr_destroy(&ca);
    if (rc != 0) {
        BufObj::discard(b);
        FR_CHECK_RETURN(false, nullptr);
    }
#endif
    b->data = static_cast<unsigned char *>(b->api.alloc(static_cast<size_t>(size)));
    if (!b->data) {
        BufObj::destroy_unsafe(b);
        FR_CHECK_RETURN(false, nullptr);
    }
    b->capacity = static_cast<int32_t>(size);
    b->write_pos = b->read_pos = 0;
    b->waiting_writers = 0;
    b->hdr.type_word = FR_FIFOBUF_EMPTY;
    return b;
}

KIVO_API int fr_extend(fr_fifobuf_t *b, int32_t wanted) {
    if (!b || !b->data || b->capacity <= 0) return -1;
    if (wanted < 0) wanted = 0;
    int64_t cap = (static_cast<int64_t>(wanted) / b->capacity + 2) * b->capacity;
    if (cap > b->maximum) cap = b->maximum;
    if (cap <= b->capacity) return 0;
    unsigned char *p = static_cast<unsigned char *>(b->api.realloc(b->data, static_cast<size_t>(cap)));
    if (!p) return -1;
    int32_t old = b->capacity;
    int32_t growth = static_cast<int32_t>(cap) - old;
    b->data = p;
    b->capacity = static_cast<int32_t>(cap);
    if (!is_empty(b) && b->write_pos <= b->read_pos) {
        /* Wrapped content: move its first part to the end of the new block. */
        memmove(p + b->read_pos + growth, p + b->read_pos, old - b->read_pos);
        b->read_pos += growth;
    }
    return 0;
}

KIVO_API int fr_shrink(fr_fifobuf_t *b) {
    if (!b || !b->data) return -1;
    int32_t half = b->capacity / 2;
    if (half < 513) return -1;
    /* Only content lying in the first half survives the cut. */
    if (is_empty(b)) {
        b->read_pos = b->write_pos = 0;
    } else if (!(b->read_pos < b->write_pos && b->write_pos <= half)) {
        return -1;
    }
    unsigned char *p = static_cast<unsigned char *>(b->api.realloc(b->data, static_cast<size_t>(half)));
    if (!p) return -2;
    b->data = p;
    b->capacity = half;
    if (b->write_pos == half) b->write_pos = 0;
    return 0;
}

KIVO_API int32_t fr_fifobuf_read(fr_fifobuf_t *b, void *dst, int32_t max_len) {
    if (!b) return -1;
    Locked g(&b->hdr);
    if (!b->data) return -1;
    if (!dst || max_len < 1 || is_empty(b)) return 0;
    unsigned char *out = static_cast<unsigned char *>(dst);
    bool wrapped = b->write_pos <= b->read_pos;
    int32_t first = wrapped ? b->capacity - b->read_pos : b->write_pos - b->read_pos;
    int32_t taken = first < max_len ? first : max_len;
    memcpy(out, b->data + b->read_pos, taken);
    b->read_pos += taken;
    if (b->read_pos == b->capacity) b->read_pos = 0;
    if (wrapped && taken == first && taken < max_len) {
        int32_t second = b->write_pos < max_len - taken ? b->write_pos : max_len - taken;
        memcpy(out + taken, b->data, second);
        b->read_pos = second;
        taken += second;
    }
    if (b->read_pos == b->write_pos) b->hdr.type_word |= FR_FIFOBUF_EMPTY;
    if (b->capacity > 512 && b->read_pos < b->write_pos && b->capacity / b->write_pos > 1) fr_shrink(b);
#if KIVO_THREADS
    wake_writers(b);
#endif
    return taken;
}

#if KIVO_THREADS
KIVO_API int32_t fr_fifobuf_write(fr_fifobuf_t *b, const void *src, int32_t len, int timeout_secs) {
    if (!b) return -1;
    {
        Locked g(&b->hdr);
        if (!b->data) return -1;
    }
    if (!src || len < 1) return 0;
    const unsigned char *in = static_cast<const unsigned char *>(src);
    struct timespec deadline;
    bool have_deadline = false;
    int32_t done = 0;
    while (done < len) {
        Locked g(&b->hdr);
        if (free_space(b) == 0 && b->capacity >= b->maximum) {
            if (timeout_secs < 0) return done;
            /* A caller holding fr_fifobuf_lock keeps every reader out, and
             * the wait would give up only one of its levels: waiting would
             * never end. Return what was written instead. */
            if (kivo::depth_get(&b->hdr) > 1) {
                errno = EDEADLK;
                return done;
            }
            if (timeout_secs > 0 && !have_deadline) {
                clock_gettime(CLOCK_MONOTONIC, &deadline);
                deadline.tv_sec += timeout_secs;
                have_deadline = true;
            }
            if (wait_for_space(b, have_deadline ? &deadline : nullptr) != 0) return done;
            continue;
        }
        int32_t n = write_some(b, in + done, len - done);
        if (n == 0) return done; /* the block could not grow */
        done += n;
    }
    return done;
}
#else
KIVO_API int32_t fr_fifobuf_write(fr_fifobuf_t *b, const void *src, int32_t len) {
    if (!b || !b->data) return -1;
    if (!src || len < 1) return 0;
    const unsigned char *in = static_cast<const unsigned char *>(src);
    int32_t done = 0;
    while (done < len) {
        int32_t n = write_some(b, in + done, len - done);
        if (n == 0) break; /* full at the maximum */
        done += n;
    }
    return done;
}
#endif

KIVO_API int buf_destroy(fr_fifobuf_t *b) {
    if (!b) return 1;
    free(b->data);
    b->data = nullptr;
#if KIVO_THREADS
    pthread_cond_destroy(&b->space);
#endif
    return 1;
}

KIVO_API fr_fifobuf_t *fr_fifobuf_ref(fr_fifobuf_t *b) { return BufObj::ref(b); }
KIVO_API int fr_fifobuf_unref(fr_fifobuf_t *b) { return BufObj::unref(b); }
KIVO_API int fr__buf_destroy(fr_fifobuf_t *b) { return BufObj::unref(b); }
KIVO_API int fr_fifobuf_lock(fr_fifobuf_t *b) { return BufObj::lock(b); }
KIVO_API int fr_fifobuf_unlock(fr_fifobuf_t *b) { return BufObj::unlock(b); }

}  // extern "C"
