/*
 * Plain zero-terminated string helpers: bounded copies, case maps,
 * splitting and joining, editing through char **, number parsing.
 * No frame exception can cross this file; it only calls libc.
 */
#include <kivo/strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

inline unsigned char up(unsigned char c) { return (c >= 'a' && c <= 'z') ? (unsigned char)(c - 32) : c; }
inline unsigned char low(unsigned char c) { return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c; }
inline bool letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char *dup_n(const char *s, size_t n)
{
    char *p = (char *)malloc(n + 1);
    if (p) {
        memcpy(p, s, n);
        p[n] = 0;
    }
    return p;
}

char *dup_mapped(const char *s, unsigned char (*map)(unsigned char))
{
    if (!s)
        return nullptr;
    size_t n = strlen(s);
    char *p = (char *)malloc(n + 1);
    if (!p)
        return nullptr;
    for (size_t i = 0; i <= n; i++)
        p[i] = (char)map((unsigned char)s[i]);
    return p;
}

void free_list(char **list, size_t n)
{
    for (size_t i = 0; i < n; i++)
        free(list[i]);
    free(list);
}

/* Shared piece rules of the list splitters: empty pieces between adjacent
 * separators, none after a final separator. An empty separator does not
 * split at all. */
char **split_list(const char *s, const char *sep, size_t seplen)
{
    size_t n = 0;
    char **list = (char **)malloc(sizeof(char *));
    if (!list)
        return nullptr;
    const char *rest = s;
    while (*rest) {
        const char *hit = seplen ? (seplen == 1 ? strchr(rest, *sep) : strstr(rest, sep)) : nullptr;
        size_t len = hit ? (size_t)(hit - rest) : strlen(rest);
        char **grown = (char **)realloc(list, (n + 2) * sizeof(char *));
        if (!grown) {
            free_list(list, n);
            return nullptr;
        }
        list = grown;
        list[n] = dup_n(rest, len);
        if (!list[n]) {
            free_list(list, n);
            return nullptr;
        }
        n++;
        if (!hit)
            break;
        rest = hit + seplen;
    }
    list[n] = nullptr;
    return list;
}

} // namespace

extern "C" {

KIVO_API size_t strlcpy(char *dst, const char *src, size_t size)
{
    size_t n = strlen(src);
    if (size > 0) {
        size_t c = n < size - 1 ? n : size - 1;
        memcpy(dst, src, c);
        dst[c] = 0;
    }
    return n;
}

KIVO_API size_t strlcat(char *dst, const char *src, size_t size)
{
    size_t sl = strlen(src);
    if (size == 0)
        return sl;
    size_t d = strnlen(dst, size);
    if (d == size)
        return size + sl;
    size_t room = size - d - 1;
    size_t c = sl < room ? sl : room;
    memcpy(dst + d, src, c);
    dst[d + c] = 0;
    return d + sl;
}

KIVO_API char *fr_str_tolower(const char *s) { return dup_mapped(s, low); }
KIVO_API char *fr_str_toupper(const char *s) { return dup_mapped(s, up); }

KIVO_API int fr_str_convert(char *s, int mode)
{
    if (!s)
        return -1;
    unsigned char *p = (unsigned char *)s;
    size_t len = strlen(s);
    switch (mode) {
    case 1:
        for (size_t i = 0; i < len; i++)
            p[i] = up(p[i]);
        break;
    case 2:
        for (size_t i = 0; i < len; i++)
            p[i] = low(p[i]);
        break;
    case 4:
        for (size_t i = 0; i < len;) {
            if (i + 2 < len && low(p[i]) == 'm' && low(p[i + 1]) == 'c') {
                p[i] = up(p[i]);
                p[i + 1] = low(p[i + 1]);
                p[i + 2] = up(p[i + 2]);
                i += 3;
            } else if (i == 0) {
                p[0] = up(p[0]);
                i = 1;
            } else if (i == len - 1 || letter(p[i])) {
                p[i] = low(p[i]);
                i++;
            } else {
                p[i + 1] = up(p[i + 1]);
                i += 2;
            }
        }
        break;
    default:
        break;
    }
    return 0;
}

KIVO_API int fr_explode(const char *s, char sep, char ***array, int *count)
{
    if (!array || !count)
        return -1;
    *array = nullptr;
    *count = 0;
    if (!s || !*s)
        return 0;
    size_t cap = 10, n = 0;
    char **arr = (char **)calloc(cap, sizeof(char *));
    if (!arr)
        return -1;
    const char *rest = s;
    while (*rest) {
        const char *hit = sep ? strchr(rest, sep) : nullptr;
        size_t len = hit ? (size_t)(hit - rest) : strlen(rest);
        if (n == cap) {
            char **grown = (char **)realloc(arr, (cap + 10) * sizeof(char *));
            if (!grown) {
                free_list(arr, n);
                return -1;
            }
            arr = grown;
            memset(arr + cap, 0, 10 * sizeof(char *));
            cap += 10;
        }
        arr[n] = dup_n(rest, len);
        if (!arr[n]) {
            free_list(arr, n);
            return -1;
        }
        n++;
        if (!hit)
            break;
        rest = hit + 1;
    }
    char **shrunk = (char **)realloc(arr, n * sizeof(char *));
    *array = shrunk ? shrunk : arr;
    *count = (int)n;
    return (int)n;
}

KIVO_API void fr_explode_free(char ***array, int count)
{
    if (!array || !*array)
        return;
    for (int i = 0; i < count; i++)
        free((*array)[i]);
    free(*array);
    *array = nullptr;
}

KIVO_API char *fr_implode(char **array, int count, char sep)
{
    if (count < 0 || (count > 0 && !array))
        return nullptr;
    size_t total = 1;
    for (int i = 0; i < count; i++)
        total += (array[i] ? strlen(array[i]) : 0) + 1;
    char *out = (char *)malloc(total);
    if (!out)
        return nullptr;
    size_t pos = 0;
    for (int i = 0; i < count; i++) {
        if (i > 0)
            out[pos++] = sep;
        if (array[i]) {
            size_t l = strlen(array[i]);
            memcpy(out + pos, array[i], l);
            pos += l;
        }
    }
    out[pos] = 0;
    return out;
}

KIVO_API char **fr_str_split_char(const char *s, char c)
{
    if (!s || !c)
        return nullptr;
    return split_list(s, &c, 1);
}

KIVO_API char **fr_str_split(const char *s, const char *sep)
{
    if (!s || !sep)
        return nullptr;
    return split_list(s, sep, strlen(sep));
}

KIVO_API char *fr_str_join(char **list, const char *sep)
{
    if (!list || !list[0])
        return nullptr;
    size_t sl = sep ? strlen(sep) : 0, total = 1, n = 0;
    for (; list[n]; n++)
        total += strlen(list[n]) + sl;
    char *out = (char *)malloc(total);
    if (!out)
        return nullptr;
    size_t pos = 0;
    for (size_t i = 0; i < n; i++) {
        if (i > 0 && sl) {
            memcpy(out + pos, sep, sl);
            pos += sl;
        }
        size_t l = strlen(list[i]);
        memcpy(out + pos, list[i], l);
        pos += l;
    }
    out[pos] = 0;
    return out;
}

KIVO_API int fr_str_freelist(char **list)
{
    if (!list)
        return -1;
    for (char **p = list; *p; p++)
        free(*p);
    free(list);
    return 0;
}

KIVO_API char *fr_str_sep_rand(const char *s, char sep)
{
    if (!s)
        return nullptr;
    size_t len = strlen(s), k = 0;
    if (sep)
        for (size_t i = 0; i < len; i++)
            k += s[i] == sep;
    if (k == 0)
        return dup_n(s, len);
    srandom((unsigned int)time(nullptr));
    size_t r = (size_t)random() % (k + 1);
    /* Piece r starts after separator r-1 and ends at separator r. */
    const char *start = s;
    for (size_t j = 0; j < r; j++)
        start = strchr(start, sep) + 1;
    const char *end = strchr(start, sep);
    return dup_n(start, end ? (size_t)(end - start) : strlen(start));
}

KIVO_API int fr_str_insert(char **s, int pos, const char *text)
{
    if (!s || !*s || !text || pos < 0)
        return -1;
    size_t len = strlen(*s), tl = strlen(text);
    if ((size_t)pos > len)
        return -1;
    char *p = (char *)realloc(*s, len + tl + 1);
    if (!p)
        return -1;
    memmove(p + pos + tl, p + pos, len - pos + 1);
    memcpy(p + pos, text, tl);
    *s = p;
    return 0;
}

KIVO_API int fr_str_delete(char **s, int pos, int n)
{
    if (!s || !*s || pos < 0 || n <= 0)
        return -1;
    size_t len = strlen(*s);
    if ((size_t)pos >= len)
        return -1;
    size_t cut = (size_t)n < len - pos ? (size_t)n : len - pos;
    memmove(*s + pos, *s + pos + cut, len - pos - cut + 1);
    return 0;
}

KIVO_API int fr_str_trim(char **s, int flags)
{
    if (!s || !*s)
        return -1;
    unsigned char *p = (unsigned char *)*s;
    size_t len = strlen(*s), start = 0;
    if (flags & 2)
        while (len > 0 && p[len - 1] <= 0x20)
            p[--len] = 0;
    if (flags & 1) {
        while (start < len && p[start] < 0x21)
            start++;
        memmove(p, p + start, len - start + 1);
    }
    return 0;
}

KIVO_API int fr_str_replace(char **s, const char *search, const char *replacement)
{
    if (!s || !*s || !search || !replacement || !*search)
        return -1;
    size_t sl = strlen(search), rl = strlen(replacement), hits = 0;
    for (const char *p = strstr(*s, search); p; p = strstr(p + sl, search))
        hits++;
    size_t len = strlen(*s);
    size_t total = len - hits * sl + hits * rl + 1;
    char *out = (char *)malloc(total);
    if (!out)
        return -1;
    char *o = out;
    const char *from = *s;
    for (const char *p = strstr(from, search); p; p = strstr(from, search)) {
        memcpy(o, from, (size_t)(p - from));
        o += p - from;
        memcpy(o, replacement, rl);
        o += rl;
        from = p + sl;
    }
    strcpy(o, from);
    free(*s);
    *s = out;
    return 0;
}

KIVO_API char *fr_str_append(char **s, const char *text)
{
    if (!s || !text)
        return nullptr;
    size_t tl = strlen(text);
    if (!*s) {
        char *p = dup_n(text, tl);
        if (p)
            *s = p;
        return p;
    }
    size_t len = strlen(*s);
    char *p = (char *)realloc(*s, len + tl + 1);
    if (!p)
        return nullptr;
    memcpy(p + len, text, tl + 1);
    *s = p;
    return p;
}

KIVO_API char *fr_str_slice(const char *s, int start, int end)
{
    if (!s || end < start)
        return nullptr;
    size_t len = strlen(s);
    size_t b = start < 0 ? 0 : (size_t)start;
    size_t e = end < 0 ? 0 : (size_t)end;
    if (e > len)
        e = len;
    if (b > e)
        b = e;
    return dup_n(s + b, e - b);
}

KIVO_API int fr_atod(const char *s, double *d)
{
    if (!s || !d)
        return 0;
    char *end = (char *)s;
    int saved = errno;
    errno = 0;
    double v = strtod(s, &end);
    int range = errno == ERANGE;
    errno = saved;
    *d = v;
    return end != s && *end == 0 && !range;
}

KIVO_API int fr_atol_base(const char *s, long *l, int base)
{
    if (!s || !l)
        return 0;
    if (base < 0 || base == 1 || base > 36) {
        /* strtol leaves its end pointer unset for such bases */
        *l = 0;
        return 0;
    }
    char *end = (char *)s;
    int saved = errno;
    errno = 0;
    long v = strtol(s, &end, base);
    int bad = errno == ERANGE || errno == EINVAL;
    errno = saved;
    *l = v;
    return end != s && *end == 0 && !bad;
}

} // extern "C"
