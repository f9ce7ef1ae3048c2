// Option-file parser: reads "key value" lines and stores the values into
// the variables an entry table describes. Frame exceptions start and pass
// here: every conversion and release runs in its own protected block that
// logs and swallows the fault; the file is an asset of the parse, so an
// exception escaping (out of memory) still closes it. No local has a
// destructor.
#define KIVO_FILE "parseconfig"
#include <kivo/parseconfig.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/memory.h>
#include <kivo/safestr.h>

#include "safestr_internal.h"

KIVO_API int32_t parseconfig_flags = 0;

namespace {

// The standard catch-all line, reported as coming from parseconfig() like
// every fault of a parse.
void log_exception(int line)
{
    int code = xxl_current_error_code();
    fr_log_impl(KIVO_FILE, line, "parseconfig", FR_LOG_SYSLOG, 7, "%s:%d:exception %d at %s:%s:%d", KIVO_FILE,
                line, code, KIVO_FILE, "parseconfig", line);
}

#define PC_CATCH_ALL                                                                       \
    XXL_ON_ANY {                                                                           \
        log_exception(__LINE__);                                                           \
    }

inline bool is_space(char c) { return c == ' ' || c == '\t'; }

// One pass over the name: it must end exactly where the key does (a key
// may hold zero bytes, the name cannot).
bool key_matches(const char *name, const char *key, size_t klen)
{
    if (!(parseconfig_flags & PARSECONFIG_NOCASE)) {
        for (size_t i = 0; i < klen; i++)
            if (name[i] == '\0' || name[i] != key[i])
                return false;
    } else {
        for (size_t i = 0; i < klen; i++)
            if (name[i] == '\0'
                || safestr_casemap_lower[(unsigned char)name[i]] != safestr_casemap_lower[(unsigned char)key[i]])
                return false;
    }
    return name[klen] == '\0';
}

bool equals_nocase(safestr_t v, const char *word)
{
    size_t n = strlen(word);
    if (safestr_length(v) != n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (safestr_casemap_lower[(unsigned char)v[i]] != (unsigned char)word[i])
            return false;
    return true;
}

// Stores a scalar value; the variable changes only when the conversion
// succeeded.
void apply_scalar(parseconfig_entry *e, safestr_t value)
{
    XXL_BLOCK {
        switch (e->type) {
        case PC_INT:
            *(int32_t *)e->dest = safestr_toint32(value, 10);
            break;
        case PC_UINT:
            *(uint32_t *)e->dest = safestr_touint32(value, 10);
            break;
        case PC_BOOL:
            if (equals_nocase(value, "no"))
                *(int32_t *)e->dest = 0;
            else if (equals_nocase(value, "yes"))
                *(int32_t *)e->dest = 1;
            else
                *(int32_t *)e->dest = safestr_toint32(value, 10) != 0;
            break;
        case PC_STRING: {
            safestr_t *var = (safestr_t *)e->dest;
            if (*var) {
                safestr_free(*var);
                *var = nullptr;
            }
            *var = safestr_clone(value, 0);
            break;
        }
        default:
            break;
        }
    }
    PC_CATCH_ALL
    XXL_BLOCK_END;
}

// Appends a value to a list entry: the array is made on the first value,
// grows when growable, ignores values past a fixed capacity.
void apply_list(parseconfig_entry *e, safestr_t value)
{
    size_t elem = e->type == PC_STRING ? sizeof(safestr_t) : sizeof(int32_t);
    void **array = (void **)e->dest;
    if (e->capacity == 0) {
        if (!*array) {
            int32_t preset = *e->count;
            e->growable = preset <= 0;
            e->capacity = preset > 0 ? preset : 2;
            *array = fr_alloc(size_t(e->capacity) * elem);
            *e->count = 0;
        } else {
            // An array from an earlier parse: its size is known only as the
            // count, so treat it as full and let it grow (it came from malloc).
            if (*e->count < 0)
                *e->count = 0;
            e->growable = 1;
            e->capacity = *e->count;
        }
    }
    if (*e->count >= e->capacity) {
        if (!e->growable)
            return;
        int32_t cap = e->capacity > 0 ? e->capacity * 2 : 2;
        *array = fr_realloc(*array, size_t(cap) * elem);
        e->capacity = cap;
    }
    int32_t at = *e->count;
    XXL_BLOCK {
        switch (e->type) {
        case PC_INT:
            ((int32_t *)*array)[at] = safestr_toint32(value, 10);
            break;
        case PC_UINT:
            ((uint32_t *)*array)[at] = safestr_touint32(value, 10);
            break;
        default:
            ((safestr_t *)*array)[at] = safestr_clone(value, 0);
            break;
        }
        *e->count = at + 1;
    }
    PC_CATCH_ALL
    XXL_BLOCK_END;
}

// The value bytes as a (not trusted) safe string, or null (logged) when it
// cannot be made.
safestr_t make_value(const char *bytes, size_t n)
{
    safestr_t volatile value = nullptr;
    XXL_BLOCK {
        value = kivo::ss::handle(kivo::ss::make_copy(bytes, n, 0, KIVO_FILE, __LINE__));
    }
    PC_CATCH_ALL
    XXL_BLOCK_END;
    return value;
}

void release(safestr_t s)
{
    XXL_BLOCK {
        safestr_free(s);
    }
    PC_CATCH_ALL
    XXL_BLOCK_END;
}

// The blank characters trimmed from both ends of a line: the bytes up to
// 0x20 and 0x7F, as safestr_trim has them.
inline bool is_blank(char c) { return (unsigned char)c <= 0x20 || c == 0x7F; }

// One line (without its newline; zero bytes are kept): trimmed as bounds,
// then key and value found and every matching entry applied.
void apply_line(parseconfig_entry *table, const char *t, size_t len)
{
    size_t begin = 0;
    while (begin < len && is_blank(t[begin]))
        begin++;
    while (len > begin && is_blank(t[len - 1]))
        len--;
    if (len == begin || t[begin] == '#' || t[begin] == ';')
        return;
    size_t kend = begin;
    while (kend < len && !is_space(t[kend]))
        kend++;
    if (kend == len)
        return; // a key without a value
    size_t vstart = kend;
    while (vstart < len && is_space(t[vstart]))
        vstart++;
    size_t vend = len;
    if (vend - vstart >= 2 && ((t[vstart] == '"' && t[vend - 1] == '"') || (t[vstart] == '\'' && t[vend - 1] == '\''))) {
        vstart++;
        vend--;
    }
    safestr_t value = nullptr;
    for (parseconfig_entry *e = table; e->name; e++) {
        if (!key_matches(e->name, t + begin, kend - begin))
            continue;
        if (e->type == PC_CALLBACK) {
            if (e->callback)
                e->callback();
            continue;
        }
        if (e->type > PC_CALLBACK || !e->dest)
            continue;
        if (!value && !(value = make_value(t + vstart, vend - vstart)))
            return;
        if (e->count && e->type != PC_BOOL)
            apply_list(e, value);
        else
            apply_scalar(e, value);
    }
    if (value)
        release(value);
}

} // namespace

extern "C" {

KIVO_API void parseconfig_set_casesensitive(int flag)
{
    if (flag)
        parseconfig_flags &= ~PARSECONFIG_NOCASE;
    else
        parseconfig_flags |= PARSECONFIG_NOCASE;
}

KIVO_API int gotospace(const char *s, int pos)
{
    FR_CHECK_RETURN(s && pos >= 0, -1);
    size_t len = strlen(s);
    size_t i = size_t(pos) < len ? size_t(pos) : len;
    while (i < len && !is_space(s[i]))
        i++;
    return int(i);
}

KIVO_API int gotononspace(const char *s, int pos)
{
    FR_CHECK_RETURN(s && pos >= 0, -1);
    size_t len = strlen(s);
    size_t i = size_t(pos) < len ? size_t(pos) : len;
    while (i < len && is_space(s[i]))
        i++;
    return int(i);
}

KIVO_API int parseconfig(const char *path, parseconfig_entry *table)
{
    FR_CHECK_RETURN(path && table, -1);
    struct stat st;
    xxl_push_context(nullptr);
    FILE *fp = xxl_fopen(path, "r", XXL_ASSET_ALWAYS);
    if (!fp || (fstat(fileno(fp), &st) == 0 && S_ISDIR(st.st_mode))) {
        int e = fp ? EISDIR : errno;
        xxl_pop_context();
        errno = e;
        return -1;
    }
    for (parseconfig_entry *e = table; e->name; e++)
        e->capacity = 0;
    // The file is read in large pieces and cut into lines in place: no
    // string and no protected block per line. The buffer is an asset of
    // the parse and grows for a line longer than it.
    size_t cap = 64 * 1024, have = 0;
    char *buf = (char *)xxl_malloc(cap, XXL_ASSET_ALWAYS);
    if (!buf)
        xxl_throw_error(ENOMEM, nullptr, KIVO_FILE, __LINE__);
    for (;;) {
        size_t n = fread(buf + have, 1, cap - have, fp);
        have += n;
        size_t start = 0;
        while (const char *nl = (const char *)memchr(buf + start, '\n', have - start)) {
            apply_line(table, buf + start, size_t(nl - (buf + start)));
            start = size_t(nl - buf) + 1;
        }
        if (n == 0) { // end of file (or a read error): the last, unended line
            if (have > start)
                apply_line(table, buf + start, have - start);
            break;
        }
        memmove(buf, buf + start, have - start);
        have -= start;
        if (have == cap) {
            char *bigger = (char *)xxl_realloc(buf, cap * 2);
            if (!bigger)
                xxl_throw_error(ENOMEM, nullptr, KIVO_FILE, __LINE__);
            buf = bigger;
            cap *= 2;
        }
    }
    // No value arrived: the count is 0, unless the entry holds an array
    // from an earlier parse, whose count must keep saying what it holds.
    for (parseconfig_entry *e = table; e->name; e++)
        if (e->count && e->capacity == 0
            && !((e->type == PC_INT || e->type == PC_UINT || e->type == PC_STRING) && e->dest && *(void **)e->dest))
            *e->count = 0;
    xxl_pop_context(); // closes the file
    return 0;
}

} // extern "C"
