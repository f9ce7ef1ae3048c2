// The configuration store's tables and its file half: reading the keys a
// caller asks for, and the order-keeping, crash-safe rewrite. Safe-string
// faults pass through these functions: nothing here holds an object with a
// destructor, and each function releases what it holds in an exit section.
#define KIVO_FILE "conf"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <kivo/conf.h>
#include <kivo/exceptions.h>
#include <kivo/files.h>
#include <kivo/hash.h>
#include <kivo/log.h>
#include <kivo/memory.h>
#include <kivo/safestr.h>

#include "conf_impl.h"
#include "object_impl.h"


#define CONF_WARN(...) fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, LOG_WARNING, __VA_ARGS__)

namespace kivo::conf {

inline bool blank(unsigned char c) { return c <= 0x20 || c == 0x7F; }

void trim(const char *p, size_t *start, size_t *end) {
    while (*start < *end && blank(static_cast<unsigned char>(p[*start]))) ++*start;
    while (*end > *start && blank(static_cast<unsigned char>(p[*end - 1]))) --*end;
}

size_t separator(const char *p, size_t start, size_t end) {
    for (size_t i = start; i < end; i++)
        if (p[i] == ' ' || p[i] == '\t') return i;
    return end;
}

safestr_t make_value(const char *p, size_t n) {
    if (n == 0) return safestr_alloc(0, 0);
    if (!memchr(p, 0, n)) {
        // Lines are read into a private buffer: terminate in place.
        char *q = const_cast<char *>(p);
        char saved = q[n];
        q[n] = 0;
        safestr_t s = safestr_create(q, 0);
        q[n] = saved;
        return s;
    }
    safestr_t s = safestr_alloc(static_cast<uint32_t>(n), 0);
    volatile safestr_t keep = s;
    XXL_BLOCK {
        safestr_header_t *h = safestr_get(keep, SAFESTR_GET_WRITABLE);
        safestr_header_t *nh = safestr_resize(h, static_cast<uint32_t>(n));
        memcpy(reinterpret_cast<char *>(nh + 1), p, n);
        keep = safestr_complete(h, nh);
    }
    XXL_ON_ANY {
        safestr_free(keep);
        XXL_PROMOTE;
    }
    XXL_BLOCK_END;
    return keep;
}

namespace {
inline unsigned char lower(unsigned char c) { return safestr_casemap_lower[c]; }
inline uint64_t fold_hash(const char *p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; i++) h = (h ^ lower(static_cast<unsigned char>(p[i]))) * 1099511628211ull;
    return h ^ (h >> 29);
}
inline bool same_folded(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}
inline size_t table_size(size_t n) {
    size_t size = 16;
    while (size < n * 2) size <<= 1;
    return size;
}
} // namespace

keyset *keyset_new(const char **keys) {
    size_t n = 0;
    while (keys[n]) n++;
    auto *ks = static_cast<keyset *>(fr_calloc(1, sizeof(keyset)));
    size_t size = table_size(n);
    ks->slot = static_cast<const char **>(fr_calloc(size, sizeof(const char *)));
    ks->length = static_cast<uint32_t *>(fr_calloc(size, sizeof(uint32_t)));
    ks->mask = size - 1;
    ks->count = n;
    for (size_t i = 0; i < n; i++) {
        size_t len = strlen(keys[i]);
        if (len == 0 || len > UINT32_MAX) continue; // an empty key matches nothing
        size_t at = fold_hash(keys[i], len) & ks->mask;
        while (ks->slot[at]) {
            if (ks->length[at] == len && same_folded(ks->slot[at], keys[i], len)) break;
            at = (at + 1) & ks->mask;
        }
        ks->slot[at] = keys[i];
        ks->length[at] = static_cast<uint32_t>(len);
    }
    return ks;
}

bool keyset_has(keyset *ks, const char *key, size_t len) {
    if (len == 0) return false;
    size_t at = fold_hash(key, len) & ks->mask;
    while (ks->slot[at]) {
        if (ks->length[at] == len && same_folded(ks->slot[at], key, len)) return true;
        at = (at + 1) & ks->mask;
    }
    return false;
}

void keyset_free(keyset *ks) {
    if (!ks) return;
    free(ks->slot);
    free(ks->length);
    free(ks);
}

namespace {
inline size_t ptr_hash(const void *p) {
    uint64_t x = reinterpret_cast<uintptr_t>(p);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    return static_cast<size_t>(x ^ (x >> 33));
}
} // namespace

bool ptrset_has(const ptrset *ps, const void *p) {
    if (!ps->slot) return false;
    for (size_t at = ptr_hash(p) & ps->mask; ps->slot[at]; at = (at + 1) & ps->mask)
        if (ps->slot[at] == p) return true;
    return false;
}

void ptrset_add(ptrset *ps, const void *p) {
    if (ptrset_has(ps, p)) return;
    if (!ps->slot || (ps->count + 1) * 2 > ps->mask + 1) {
        size_t size = ps->slot ? (ps->mask + 1) * 2 : 64;
        const void **old = ps->slot;
        size_t old_size = old ? ps->mask + 1 : 0;
        ps->slot = static_cast<const void **>(fr_calloc(size, sizeof(void *)));
        ps->mask = size - 1;
        for (size_t i = 0; i < old_size; i++) {
            if (!old[i]) continue;
            size_t at = ptr_hash(old[i]) & ps->mask;
            while (ps->slot[at]) at = (at + 1) & ps->mask;
            ps->slot[at] = old[i];
        }
        free(old);
    }
    size_t at = ptr_hash(p) & ps->mask;
    while (ps->slot[at]) at = (at + 1) & ps->mask;
    ps->slot[at] = p;
    ps->count++;
}

void ptrset_clear(ptrset *ps) {
    free(ps->slot);
    ps->slot = nullptr;
    ps->mask = 0;
    ps->count = 0;
}

int add_pair(fr_hash_t *t, const char *key, size_t klen, safestr_t value) {
    // The key is stored with its terminating zero; callers hand in a key
    // that is followed by one (or by the byte put there for the call).
    if (klen + 1 > UINT32_MAX) return -1;
    return fr_hash_force_add(t, key, static_cast<uint32_t>(klen + 1), &value, sizeof(value));
}

} // namespace kivo::conf

using namespace kivo::conf;

namespace {

// State of a read, kept in memory so that the exit section sees it after a
// fault.
struct read_state {
    FILE *in;
    char *line;
    size_t line_cap;
    keyset *keys;
    fr_hash_t *table;
    safestr_t pending; // a value not yet owned by the table
    int failed;
};

__attribute__((noinline)) void read_body(read_state *s, safestr_t file, const char **keys) {
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        s->failed = 1;
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        s->failed = 1;
        return;
    }
    s->in = fdopen(fd, "r");
    if (!s->in) {
        close(fd);
        s->failed = 1;
        return;
    }
    s->keys = keyset_new(keys);
    if (!s->keys) {
        s->failed = 1;
        return;
    }
    s->table = fr_conf_init(static_cast<int>(s->keys->count < 0x7FFFFFFF ? s->keys->count : 0x7FFFFFFF));
    if (!s->table) {
        s->failed = 1;
        return;
    }
    ssize_t got;
    while ((got = getline(&s->line, &s->line_cap, s->in)) >= 0) {
        char *p = s->line;
        size_t end = static_cast<size_t>(got);
        if (end > 0 && p[end - 1] == '\n') {
            end--;
            if (end > 0 && p[end - 1] == '\r') end--;
        }
        size_t start = 0;
        trim(p, &start, &end);
        if (start == end || p[start] == '#') continue;
        size_t sep = separator(p, start, end);
        if (!keyset_has(s->keys, p + start, sep - start)) continue;
        size_t vstart = sep, vend = end;
        trim(p, &vstart, &vend);
        s->pending = make_value(p + vstart, vend - vstart);
        char saved = p[sep];
        p[sep] = 0;
        int rc = add_pair(s->table, p + start, sep - start, s->pending);
        p[sep] = saved;
        if (rc != 0) {
            s->failed = 1;
            return; // the exit section releases the value and the table
        }
        s->pending = nullptr;
    }
}

} // namespace

extern "C" {

KIVO_API int free_conf_data(void *value) {
    if (!value) return 0;
    safestr_t *slot = static_cast<safestr_t *>(value);
    safestr_t s = *slot;
    if (s) {
        XXL_BLOCK {
            safestr_free(s);
        }
        FR_LOG_EXCEPTION XXL_BLOCK_END;
    }
    *slot = nullptr;
    return 0;
}

KIVO_API fr_hash_t *fr_conf_init(int size_hint) {
    fr_hash_t *t = fr_hash_init_api(size_hint > 0 ? static_cast<uint32_t>(size_hint) : 0, free_conf_data, nullptr, nullptr);
    FR_CHECK_RETURN(t != nullptr, nullptr);
    return t;
}

KIVO_API int fr_print_conf_item(const void *key, void *value) {
    int rc = 0;
    if (key) rc = printf("\n%s => ", static_cast<const char *>(key));
    if (value) rc = printf("%s", *static_cast<safestr_t *>(value) ? *static_cast<safestr_t *>(value) : "(null)");
    return rc;
}

KIVO_API fr_hash_t *fr_conf_read_file(safestr_t file, const char **keys) {
    FR_CHECK_RETURN(file != nullptr, nullptr);
    safestr_reference(file);
    if (!keys || !keys[0]) {
        CONF_RELEASE(file);
        FR_LOG_CONDITIONAL_RETURN();
        return nullptr;
    }
    read_state s = {};
    volatile int done = 0;
    XXL_BLOCK {
        read_body(&s, file, keys);
        done = 1;
    }
    XXL_ON_EXIT {
        if (s.pending) {
            XXL_BLOCK {
                safestr_free(s.pending);
            }
            FR_LOG_EXCEPTION XXL_BLOCK_END;
        }
        if (s.in) fclose(s.in);
        free(s.line);
        keyset_free(s.keys);
        if ((!done || s.failed) && s.table) {
            fr_hash_unref(s.table);
            s.table = nullptr;
        }
        CONF_RELEASE(file);
    }
    XXL_BLOCK_END;
    FR_CHECK_RETURN(s.table != nullptr, nullptr);
    return s.table;
}

} // extern "C"

namespace {

struct write_state {
    FILE *in;
    FILE *out;
    int out_fd; // before fdopen
    char *line;
    size_t line_cap;
    const char *tmp; // the temporary file's name once it may exist
    char *target;    // where a symbolic link given as the file leads (malloc)
    fr_hash_t *conf;
    bool locked;
    ptrset seen; // value slots of the table's keys met in the file
    fr_array_t *keys;
    int result;
};

int fput_all(FILE *f, const char *p, size_t n) { return n == 0 || fwrite(p, 1, n, f) == n ? 0 : -1; }

// Writes value bytes (a safe string may hold zero bytes).
int put_value(FILE *f, safestr_t v) { return v ? fput_all(f, v, safestr_length(v)) : 0; }


// True when the pair reads back from the file as itself: the key is not
// empty, does not start a comment, holds no space, tab or line break (the
// reader ends the key at the first two, and a line break would start a
// line of its own) and has no blank at its start, nor at its end when
// nothing but blanks follows it (both trimmed away with the line's); the
// value holds no line break.
bool writable_pair(const char *key, size_t klen, safestr_t v) {
    if (klen == 0 || key[0] == '#' || blank(static_cast<unsigned char>(key[0]))) return false;
    for (size_t i = 0; i < klen; i++)
        if (key[i] == ' ' || key[i] == '\t' || key[i] == '\n') return false;
    size_t vlen = v ? safestr_length(v) : 0;
    if (vlen && memchr(v, '\n', vlen)) return false;
    size_t start = 0, end = vlen;
    if (v) trim(v, &start, &end);
    return start < end || !blank(static_cast<unsigned char>(key[klen - 1]));
}

// Every pair of the (locked) table can be written; the keys are kept in
// s->keys for the appending step.
bool table_writable(write_state *s) {
    return each_pair(s->conf, &s->keys, [](fr_hash_key_t *k, safestr_t value) {
        return writable_pair(static_cast<const char *>(k->key), k->len - 1, value);
    });
}

void sync_directory(const char *path) {
    char *copy = strdup(path);
    if (!copy) return;
    int dfd = open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    free(copy);
    if (dfd < 0) return;
    fsync(dfd);
    close(dfd);
}

__attribute__((noinline)) void write_body(write_state *s, const char *file, safestr_t tmp) {
    struct stat st = {};
    bool existed = true;
    s->locked = kivo::header_lock(&s->conf->hdr) == 0;
    if (!table_writable(s)) {
        CONF_WARN("%s", strerror(EINVAL));
        return;
    }
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            CONF_WARN("%s", strerror(errno));
            return;
        }
        existed = false; // written as if empty, created owner-only
    } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        CONF_WARN("%s", strerror(e));
        return;
    } else {
        s->in = fdopen(fd, "r");
        if (!s->in) {
            close(fd);
            CONF_WARN("%s", strerror(errno));
            return;
        }
    }

    // A fresh file at the temporary name: whatever stood there (a link, a
    // leftover) is not written through.
    if (unlink(tmp) != 0 && errno != ENOENT) {
        CONF_WARN("%s", strerror(errno));
        return;
    }
    s->out_fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (s->out_fd < 0) {
        CONF_WARN("%s", strerror(errno));
        return;
    }
    s->tmp = tmp;
    if (existed) {
        struct stat ts;
        if (fstat(s->out_fd, &ts) != 0
            || ((ts.st_uid != st.st_uid || ts.st_gid != st.st_gid) && fchown(s->out_fd, st.st_uid, st.st_gid) != 0)
            || fchmod(s->out_fd, st.st_mode & 07777) != 0) {
            CONF_WARN("%s", strerror(errno));
            return;
        }
    }
    s->out = fdopen(s->out_fd, "w");
    if (!s->out) {
        CONF_WARN("%s", strerror(errno));
        return;
    }
    s->out_fd = -1;

    FILE *out = s->out;
    int bad = 0;
    if (s->in) {
        unsigned blank_count = 0, blank_flag = 0;
        ssize_t got;
        while ((got = getline(&s->line, &s->line_cap, s->in)) >= 0) {
            char *p = s->line;
            size_t end = static_cast<size_t>(got);
            if (end > 0 && p[end - 1] == '\n') {
                end--;
                if (end > 0 && p[end - 1] == '\r') end--;
            }
            size_t start = 0;
            trim(p, &start, &end);
            if (start == end) {
                blank_count += blank_flag;
                if (blank_count <= 2) bad |= fputc('\n', out) == EOF;
                blank_flag = 1;
                continue;
            }
            blank_count = blank_flag = 0;
            if (p[start] == '#') {
                bad |= fput_all(out, p + start, end - start) | (fputc('\n', out) == EOF);
                continue;
            }
            size_t sep = separator(p, start, end);
            size_t klen = sep - start;
            char saved = p[sep];
            p[sep] = 0;
            auto *slot = klen + 1 <= UINT32_MAX
                             ? static_cast<safestr_t *>(fr_hash_find(s->conf, p + start, static_cast<uint32_t>(klen + 1)))
                             : nullptr;
            safestr_t v = slot ? *slot : nullptr;
            if (slot) ptrset_add(&s->seen, slot);
            p[sep] = saved;
            if (v) {
                bad |= fput_all(out, p + start, klen) | (fputc(' ', out) == EOF) | put_value(out, v)
                       | (fputc('\n', out) == EOF);
            } else {
                bad |= fput_all(out, p + start, end - start) | (fputc('\n', out) == EOF);
            }
        }
        if (ferror(s->in)) {
            CONF_WARN("%s", strerror(errno ? errno : EIO));
            return;
        }
    }

    int32_t n = s->keys ? fr_array_length(s->keys) : 0;
    for (int32_t i = 0; i < n; i++) {
        auto *k = static_cast<fr_hash_key_t *>(fr_array_get(s->keys, i));
        if (!k || k->len == 0) continue;
        auto *slot = static_cast<safestr_t *>(fr_hash_find(s->conf, k->key, k->len));
        if (!slot || !*slot || ptrset_has(&s->seen, slot)) continue;
        // The key's bytes end with the zero counted in its length.
        const char *key = static_cast<const char *>(k->key);
        size_t klen = k->len - 1;
        bad |= (fputc('#', out) == EOF) | fput_all(out, key, klen) | (fputs(" \n", out) == EOF)
               | fput_all(out, key, klen) | (fputc(' ', out) == EOF) | put_value(out, *slot)
               | (fputs("\n\n", out) == EOF);
        // A key stored twice is appended once.
        ptrset_add(&s->seen, slot);
    }
    if (s->locked) {
        kivo::header_unlock(&s->conf->hdr);
        s->locked = false;
    }

    if (bad || fflush(out) != 0 || fsync(fileno(out)) != 0) {
        CONF_WARN("%s", strerror(errno ? errno : EIO));
        return;
    }
    s->out = nullptr;
    if (fclose(out) != 0) {
        CONF_WARN("%s", strerror(errno));
        return;
    }
    if (fr_mv(tmp, file) != 0) {
        CONF_WARN("%s", strerror(errno));
        return;
    }
    s->tmp = nullptr; // it is the file now
    sync_directory(file);
    s->result = 0;
}

// A symbolic link is rewritten where it leads, so that it stays a link (the
// temporary file then sits beside the target); one that leads nowhere is
// refused rather than followed to create a file.
__attribute__((noinline)) void write_at(write_state *s, safestr_t file, safestr_t volatile *tmp) {
    const char *path = file;
    safestr_t named = file; // the formatter takes safe strings only
    struct stat lst;
    if (lstat(file, &lst) == 0 && S_ISLNK(lst.st_mode)) {
        s->target = realpath(file, nullptr);
        if (!s->target) {
            CONF_WARN("%s", strerror(errno));
            return;
        }
        path = s->target;
        named = safestr_create(path, SAFESTR_F_TEMPORARY | SAFESTR_F_READONLY);
    }
    safestr_t name = nullptr;
    safestr_asprintf(&name, safestr_create("%s_new", SAFESTR_F_TEMPORARY | SAFESTR_F_READONLY), named);
    *tmp = name;
    write_body(s, path, name);
}

} // namespace

extern "C" {

KIVO_API int fr_conf_write_file(safestr_t file, fr_hash_t *conf) {
    FR_CHECK_RETURN(file != nullptr, -1);
    safestr_reference(file);
    if (!conf) {
        CONF_RELEASE(file);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    write_state s = {};
    s.out_fd = -1;
    s.conf = conf;
    s.result = -1;
    volatile safestr_t tmp = nullptr;
    XXL_BLOCK {
        write_at(&s, file, &tmp);
    }
    XXL_ON_EXIT {
        if (s.locked) kivo::header_unlock(&conf->hdr);
        if (s.keys) fr_hash_destroy_keys_array(s.keys);
        ptrset_clear(&s.seen);
        if (s.in) fclose(s.in);
        if (s.out) fclose(s.out);
        if (s.out_fd >= 0) close(s.out_fd);
        if (s.tmp) unlink(s.tmp);
        free(s.line);
        free(s.target);
        CONF_RELEASE(tmp);
        CONF_RELEASE(file);
    }
    XXL_BLOCK_END;
    return s.result;
}

} // extern "C"
