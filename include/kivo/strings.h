/*
 * Helpers for ordinary zero-terminated byte strings. Every string, list or
 * array handed back is allocated with malloc and belongs to the caller:
 * release strings with free(), lists with fr_str_freelist() and counted
 * arrays with fr_explode_free(). Bytes are unsigned; case maps are ASCII.
 * Where a function allocates and the allocation fails, it returns its
 * failure value and leaves the caller's data as it was.
 */
#ifndef KIVO_STRINGS_H
#define KIVO_STRINGS_H

#include <stddef.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Copies at most size-1 bytes and terminates when size > 0; returns strlen(src). */
KIVO_API size_t strlcpy(char *dst, const char *src, size_t size);
/* Appends within a buffer of size bytes; returns the length the whole
 * concatenation would have (size + strlen(src) when dst is not terminated
 * within size). */
KIVO_API size_t strlcat(char *dst, const char *src, size_t size);

/* New lower/upper-case copy of s; null for null s. */
KIVO_API char *fr_str_tolower(const char *s);
KIVO_API char *fr_str_toupper(const char *s);
/* In place: mode 1 upper, 2 lower, 4 name capitalisation (McDonald,
 * O'Neil); other modes change nothing. 0, or -1 for null s. */
KIVO_API int fr_str_convert(char *s, int mode);

/* Splits s at every sep into *count new pieces in *array (no empty piece
 * after a final separator). Null or empty s: *array null, *count 0.
 * Returns the count, or -1 (nothing stored) when array or count is null
 * or memory runs out. Free with fr_explode_free(). */
KIVO_API int fr_explode(const char *s, char sep, char ***array, int *count);
/* Frees the first count non-null elements and the array; *array becomes null. */
KIVO_API void fr_explode_free(char ***array, int count);
/* New string of the count strings joined by sep (null elements count as
 * empty); count 0 gives "". Null for a null array with count > 0 or a
 * negative count. */
KIVO_API char *fr_implode(char **array, int count, char sep);

/* Null-terminated list of the pieces of s split at c (or at the string
 * sep); an empty s gives an empty list, an empty sep a list holding a copy
 * of s. Null when c is 0 or an argument is null. Free with fr_str_freelist(). */
KIVO_API char **fr_str_split_char(const char *s, char c);
KIVO_API char **fr_str_split(const char *s, const char *sep);
/* New string of the list's elements with sep (may be null or "") between
 * them; null when list or its first element is null. */
KIVO_API char *fr_str_join(char **list, const char *sep);
/* Frees every element and the list: 0, or -1 for null. */
KIVO_API int fr_str_freelist(char **list);
/* New copy of one randomly chosen sep-separated piece of s; null for null s. */
KIVO_API char *fr_str_sep_rand(const char *s, char sep);

/* Editing through a pointer to a malloc'ed string; each may move *s.
 * On failure (-1 or null) *s is unchanged. */
/* Inserts text at pos (0..length). 0 or -1. */
KIVO_API int fr_str_insert(char **s, int pos, const char *text);
/* Removes min(n, length-pos) bytes at pos. -1 when pos < 0, n <= 0 or pos
 * is at or past the end. */
KIVO_API int fr_str_delete(char **s, int pos, int n);
/* Flag 1: drops leading bytes up to 0x20; flag 2: trailing ones. 0 or -1. */
KIVO_API int fr_str_trim(char **s, int flags);
/* Replaces every non-overlapping occurrence of search, left to right;
 * *s becomes a new string. 0, or -1 for a null or empty search. */
KIVO_API int fr_str_replace(char **s, const char *search, const char *replacement);
/* Appends text (a null *s becomes a copy); returns the new *s, or null. */
KIVO_API char *fr_str_append(char **s, const char *text);
/* New string of bytes [start, end) of s; start < 0 counts as 0, end past
 * the string as its length, a start past the end gives "". Null when
 * end < start or s is null. */
KIVO_API char *fr_str_slice(const char *s, int start, int end);

/* Stores strtod(s) in *d; 1 when the whole non-empty string was a number
 * in range, else 0. Null s or d: 0, nothing stored. */
KIVO_API int fr_atod(const char *s, double *d);
/* Same with strtol(s, base). */
KIVO_API int fr_atol_base(const char *s, long *l, int base);

KIVO_END_DECLS

#endif
