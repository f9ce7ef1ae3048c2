/*
 * Safe strings: bounds-checked, reference-counted text with a hidden header.
 *
 * A safestr_t is a plain pointer to zero-terminated text, so it can be read
 * by any function that takes a C string. In front of the text lies a header
 * (capacity, length, flags, reference count, cookie). Every operation checks
 * the cookie before it touches a string and reports every fault by throwing
 * through the xxl frame (<kivo/exceptions.h>): EINVAL for a null handle,
 * EFAULT for a pointer that is not a live safe string, ENOMEM when an
 * allocator hook returns nothing, and the SAFESTR_E_* codes below. So call
 * them inside an XXL_BLOCK, or at least inside some context.
 *
 * Lifetime: a new string has one reference; safestr_free() drops one and the
 * last drop wipes and frees it. A string made with SAFESTR_F_TEMPORARY is
 * freed by the first operation that uses it. An edit (safestr_concatenate,
 * safestr_replace, ...) takes a pointer to the caller's handle and may move
 * the string: always use the handle stored back. A failing edit leaves the
 * string as it was.
 *
 * Capacities: a new string's block is its length + 21 bytes rounded up to
 * 128 (capacity = block - 21), but a string that grows past its capacity
 * at least doubles it, so appending piece by piece copies each byte a
 * bounded number of times; the capacity seen after growth is therefore not
 * always the next 128-byte step. Freed strings are wiped: header, text and
 * every byte the string ever held past its current length.
 */
#ifndef KIVO_SAFESTR_H
#define KIVO_SAFESTR_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <kivo/export.h>
#include <kivo/exceptions.h>

KIVO_BEGIN_DECLS

/* The handle: the first character of the text. Read it freely; change it
 * only through the functions below. */
typedef const char *safestr_t;
typedef safestr_t safestr;

/* The hidden header, immediately in front of the text. */
typedef struct safestr_header {
    uint32_t capacity; /* characters the block holds, without the final zero */
    uint32_t length;   /* characters in the string; zero bytes may occur in it */
    uint32_t flags;    /* SAFESTR_F_TEMPORARY | _READONLY | _TRUSTED | internal bits */
    uint32_t refs;     /* holders; 1 after creation */
    uint32_t cookie;   /* copy of safestr_cookie */
} safestr_header_t;

/* Flags kept in the header. */
#define SAFESTR_F_TEMPORARY 0x01 /* freed after its first use by an operation */
#define SAFESTR_F_READONLY 0x02  /* writable access refused */
#define SAFESTR_F_TRUSTED 0x04   /* the content came from a trusted source */
/* Creation modes (not kept): register the new string as an asset of the
 * caller's current context with this disposition. */
#define SAFESTR_F_ASSET_ALWAYS 0x10
#define SAFESTR_F_ASSET_ON_ERROR 0x20
#define SAFESTR_F_ASSET_ON_SUCCESS 0x30
#define SAFESTR_F_ASSET_MASK 0x30
/* Internal: taken by the running operation / replaced during an edit.
 * Bit 0x400 is internal too: the string is registered as an asset by its
 * creation mode. Callers keep all three as they find them. */
#define SAFESTR_F_HELD 0x100
#define SAFESTR_F_SUPERSEDED 0x200

/* Exception codes besides EINVAL, EFAULT, ENOMEM and E2BIG. */
#define SAFESTR_E_NOT_WRITABLE ((int)0x80000001u)        /* data: the handle */
#define SAFESTR_E_OUT_OF_RANGE ((int)0x80000002u)
#define SAFESTR_E_NO_RANDOM ((int)0x80000003u)           /* /dev/urandom unusable */
#define SAFESTR_E_TOO_MANY_ARGUMENTS ((int)0x80000004u)  /* format: a 257th argument */
#define SAFESTR_E_FORBIDDEN_CONVERSION ((int)0x80000005u) /* format: %n */
#define SAFESTR_E_BAD_ARGUMENT ((int)0x80000006u)        /* format: argument number or type */
#define SAFESTR_E_TOO_LONG ((int)0x80000007u)            /* length + 1 > safestr_maxlength */
#define SAFESTR_E_BAD_NUMBER ((int)0x80000008u)
#define SAFESTR_E_TOO_MANY_REFERENCES ((int)0x80000009u) /* data: the handle */

/* safestr_get() access. */
#define SAFESTR_GET_READONLY 0x00
#define SAFESTR_GET_WRITABLE 0x01

/* safestr_equal() / safestr_compare() flags. */
#define SAFESTR_COMPARE_NOCASE 0x01 /* through safestr_casemap_lower */
#define SAFESTR_COMPARE_LIMIT 0x02  /* only the first n characters */

/* safestr_concatenate() / safestr_duplicate() flag. */
#define SAFESTR_COPY_LIMIT 0x01 /* only the first n characters of the source */

/* safestr_search() flags; the trailing arguments follow in this order:
 * offset (unsigned), skip (unsigned), n (unsigned), character (int). */
#define SAFESTR_FIND_REVERSE 0x01    /* from the end towards the beginning */
#define SAFESTR_FIND_FROMOFFSET 0x02 /* + unsigned offset (from the end when reversed) */
#define SAFESTR_FIND_SKIP 0x04       /* + unsigned count of occurrences to pass over */
#define SAFESTR_FIND_NTH 0x08        /* + unsigned n, which occurrence (from 1) */
#define SAFESTR_FIND_NOCASE 0x10     /* through safestr_casemap_lower */
#define SAFESTR_FIND_CHARACTER 0x20  /* + int character; the pattern may be null */

/* ---- process-wide data ---- */

/* Random value stamped into every header; made from /dev/urandom at the
 * first creation and never changed afterwards. */
KIVO_API extern uint32_t safestr_cookie;
/* Largest allowed length + 1 (default 0xFFFFFFEC). No limit applies when
 * its upper 32 bits are not zero. */
KIVO_API extern uint64_t safestr_maxlength;

/* Memory hooks; file and line name the code that asked for the memory. */
typedef void *(*safestr_malloc_fn_t)(size_t size, const char *file, int line);
typedef void *(*safestr_realloc_fn_t)(void *memory, size_t size, const char *file, int line);
typedef void (*safestr_free_fn_t)(void *memory, const char *file, int line);
KIVO_API extern safestr_malloc_fn_t safestr_malloc_fn;
KIVO_API extern safestr_realloc_fn_t safestr_realloc_fn;
KIVO_API extern safestr_free_fn_t safestr_free_fn;

/* Case maps: identity, 'a'-'z' to upper case, 'A'-'Z' to lower case. */
KIVO_API extern const unsigned char safestr_casemap_none[256];
KIVO_API extern const unsigned char safestr_casemap_upper[256];
KIVO_API extern const unsigned char safestr_casemap_lower[256];

/* ---- memory hooks and raw memory ---- */

/* Installs the hooks; a null argument installs that hook's default. */
KIVO_API void safestr_setmemfns(safestr_malloc_fn_t malloc_fn, safestr_realloc_fn_t realloc_fn,
                                safestr_free_fn_t free_fn);
/* The defaults: malloc, realloc and free of the C library (file and line unused). */
KIVO_API void *safestr_default_malloc(size_t size, const char *file, int line);
KIVO_API void *safestr_default_realloc(void *memory, size_t size, const char *file, int line);
KIVO_API void safestr_default_free(void *memory, const char *file, int line);
/* Memory from safestr_malloc_fn (ENOMEM when none), registered in the current
 * context with the disposition (0: not registered); its cleanup hands it to
 * safestr_free_fn. Release it yourself with safestr_free_fn. */
KIVO_API void *safestr_malloc(size_t size, unsigned int disposition, const char *file, int line);
/* Resizes through safestr_realloc_fn (ENOMEM when none); registrations of the
 * old address follow the block. */
KIVO_API void *safestr_realloc(void *memory, size_t size, const char *file, int line);
/* Plain copy of a C string in memory from safestr_malloc (not registered);
 * release with safestr_free_fn. */
KIVO_API char *safestr_do_strdup(const char *text, const char *file, int line);
/* Sets count bytes to zero, in a way the compiler cannot drop. */
KIVO_API void safestr_memzero(void *buffer, size_t count);

/* ---- creation: each returns a new string with one reference ---- */

/* Empty string with room for at least length characters. flags: the
 * SAFESTR_F_TEMPORARY/READONLY/TRUSTED bits, plus an SAFESTR_F_ASSET_* mode. */
KIVO_API safestr_t safestr_do_alloc(uint32_t length, uint32_t flags, const char *file, int line);
/* Copy of a C string (up to its first zero byte); flags as safestr_do_alloc. */
KIVO_API safestr_t safestr_do_create(const char *text, uint32_t flags, const char *file, int line);
/* Copy of s: its trusted bit plus flags & (TEMPORARY | READONLY); asset mode
 * from flags, registered in the caller's context. */
KIVO_API safestr_t safestr_do_clone(safestr_t s, uint32_t flags, const char *file, int line);
/* Characters [start, end) of s; start at or past the length gives an empty
 * string, end past the length (or before start) reaches the end. Keeps only
 * the trusted bit; never registered. */
KIVO_API safestr_t safestr_do_slice(safestr_t s, uint32_t start, uint32_t end, const char *file, int line);

#define safestr_alloc(length, flags) safestr_do_alloc((length), (flags), __FILE__, __LINE__)
#define safestr_create(text, flags) safestr_do_create((text), (flags), __FILE__, __LINE__)
#define safestr_clone(s, flags) safestr_do_clone((s), (flags), __FILE__, __LINE__)
#define safestr_slice(s, start, end) safestr_do_slice((s), (start), (end), __FILE__, __LINE__)
#define safestr_strdup(text) safestr_do_strdup((text), __FILE__, __LINE__)
/* A string for one use, freed by the operation it is passed to:
 *   safestr_concatenate(&s, SAFESTR_TEMP("literal"), 0, 0);  */
#define SAFESTR_TEMP(text) safestr_do_create((text), SAFESTR_F_TEMPORARY, __FILE__, __LINE__)
#define SAFESTR_TEMP_TRUSTED(text) \
    safestr_do_create((text), SAFESTR_F_TEMPORARY | SAFESTR_F_TRUSTED, __FILE__, __LINE__)

/* ---- access and life cycle ---- */

/* Takes s for the running operation (SAFESTR_GET_WRITABLE asks for writable
 * access) and returns its header. The string gains a reference that the
 * close of the current context gives back. Building block of operations. */
KIVO_API safestr_header_t *safestr_get(safestr_t s, unsigned int flags);
KIVO_API uint32_t safestr_length(safestr_t s);
/* Character at index; SAFESTR_E_OUT_OF_RANGE at or past the length. */
KIVO_API unsigned char safestr_charat(safestr_t s, uint32_t index);
/* Writable access; a zero trusted drops SAFESTR_F_TRUSTED. */
KIVO_API void safestr_setcharat(safestr_t s, uint32_t index, int c, int trusted);
/* 1 or 0. */
KIVO_API int safestr_isreadonly(safestr_t s);
KIVO_API int safestr_istrusted(safestr_t s);
/* Set or clear a flag; they need read access only, so a read-only or shared
 * string can be made writable again. */
KIVO_API void safestr_makereadonly(safestr_t s);
KIVO_API void safestr_makewritable(safestr_t s);
KIVO_API void safestr_trust(safestr_t s);
KIVO_API void safestr_untrust(safestr_t s);
/* Adds a reference; returns s. SAFESTR_E_TOO_MANY_REFERENCES past 0xFFFFFFFF. */
KIVO_API safestr_t safestr_reference(safestr_t s);
/* Drops a reference; the last one wipes and frees the string. */
KIVO_API void safestr_free(safestr_t s);
/* safestr_free() of every string of a null-terminated array (all are checked
 * first), then the array goes to safestr_free_fn. */
KIVO_API void safestr_freelist(safestr_t *array);
/* Asset cleanup of strings created with an SAFESTR_F_ASSET_* mode: drops the
 * reference the registration holds (arg is not used). */
KIVO_API void safestr_cleanup_asset(void *s, void *arg);

/* ---- building blocks of edits ---- */

/* Makes room for length characters and sets the length; returns the header
 * to write into: the same block when it fits, else a new, larger block
 * (registered in the current context, at least double the old capacity)
 * holding a copy of the text. The characters between the old and new length
 * are zero, for the caller to fill, and so is the one at the new length; a
 * shrink zeroes what it cuts off. SAFESTR_E_TOO_LONG when length + 1
 * exceeds safestr_maxlength. */
KIVO_API safestr_header_t *safestr_resize(safestr_header_t *header, uint32_t length);
/* Ends an edit begun on old_header; returns the handle to store. */
KIVO_API safestr_t safestr_complete(safestr_header_t *old_header, safestr_header_t *new_header);

/* ---- comparing and searching ---- */

/* 1 when equal under the SAFESTR_COMPARE_* flags, else 0. */
KIVO_API int safestr_equal(safestr_t a, safestr_t b, uint32_t flags, uint32_t n);
/* -1, 0 or 1 (unsigned bytes after mapping; a prefix is less). */
KIVO_API int safestr_compare(safestr_t a, safestr_t b, uint32_t flags, uint32_t n);
/* 1 or 0; an empty prefix or suffix matches. */
KIVO_API int safestr_startswith(safestr_t s, safestr_t prefix);
KIVO_API int safestr_endswith(safestr_t s, safestr_t suffix);
/* Index (from the beginning) of the (skip + n)-th occurrence met in the
 * direction of the search, or -1. Occurrences may overlap. See the
 * SAFESTR_FIND_* flags for the trailing arguments. */
KIVO_API int64_t safestr_search(safestr_t s, safestr_t pattern, uint32_t flags, ...);

/* ---- splitting, joining, converting ----
 * Arrays are null-terminated; release them with safestr_freelist(). */

/* New strings from plain C strings, flags as safestr_do_create (an asset
 * mode registers each new string in the caller's context). */
KIVO_API safestr_t *safestr_do_convertarray(const char *const *array, uint32_t flags, const char *file, int line);
/* Pieces between the occurrences of sep (trusted bit of s). An empty sep
 * gives one string per character. Separators are looked for up to the first
 * zero byte of s; the last piece runs to the end of s. */
KIVO_API safestr_t *safestr_do_split(safestr_t s, safestr_t sep, const char *file, int line);
KIVO_API safestr_t *safestr_do_split_bychar(safestr_t s, int sep, const char *file, int line);
/* The elements joined by sep; trusted only when sep and every element are.
 * An empty array gives an empty trusted string. */
KIVO_API safestr_t safestr_do_join(safestr_t *array, safestr_t sep, const char *file, int line);
KIVO_API safestr_t safestr_do_join_bychar(safestr_t *array, int sep, const char *file, int line);
/* s cut into chunks of chunk characters, each followed by end; not trusted.
 * Null when s or end is null. A chunk of 0 throws EINVAL (the arguments are
 * released as by any operation). */
KIVO_API safestr_t safestr_chunk_split(safestr_t s, uint32_t chunk, safestr_t end);

#define safestr_convertarray(array, flags) safestr_do_convertarray((array), (flags), __FILE__, __LINE__)
#define safestr_split(s, sep) safestr_do_split((s), (sep), __FILE__, __LINE__)
#define safestr_split_bychar(s, sep) safestr_do_split_bychar((s), (sep), __FILE__, __LINE__)
#define safestr_join(array, sep) safestr_do_join((array), (sep), __FILE__, __LINE__)
#define safestr_join_bychar(array, sep) safestr_do_join_bychar((array), (sep), __FILE__, __LINE__)

/* ---- editing: *s is taken for writing (SAFESTR_E_NOT_WRITABLE when it is
 * read-only or shared) and the possibly moved handle is stored back. Sources
 * are taken first, so passing *s itself as a source throws
 * SAFESTR_E_NOT_WRITABLE. An untrusted source makes *s untrusted. ---- */

/* Appends src (its first n characters with SAFESTR_COPY_LIMIT). */
KIVO_API void safestr_concatenate(safestr_t *s, safestr_t src, uint32_t flags, uint32_t n);
KIVO_API void safestr_appendchar(safestr_t *s, int c);
/* Inserts src before position; position == length appends, past it throws
 * SAFESTR_E_OUT_OF_RANGE. */
KIVO_API void safestr_insert(safestr_t *s, uint32_t position, safestr_t src);
/* Removes count characters from position; nothing when position is at or
 * past the length. */
KIVO_API void safestr_delete(safestr_t *s, uint32_t position, uint32_t count);
/* Replaces the content with src (its first n characters with SAFESTR_COPY_LIMIT). */
KIVO_API void safestr_duplicate(safestr_t *s, safestr_t src, uint32_t flags, uint32_t n);
/* Replaces every occurrence of pattern, left to right, without overlap.
 * *s becomes untrusted when replacement is, found or not. An empty pattern
 * throws EINVAL and changes nothing. */
KIVO_API void safestr_replace(safestr_t *s, safestr_t pattern, safestr_t replacement);
/* Sets the length: a cut wipes the tail, growth pads with spaces. */
KIVO_API void safestr_truncate(safestr_t *s, uint32_t length);

/* ---- formatted output ----
 * The format is a safe string (its length ends it). %s takes safe strings
 * (a null one prints "(null)"); %n is refused; arguments may be numbered
 * (%1$d), at most 256, and each use is checked against the argument's type.
 * Faults: E2BIG (malformed conversion), SAFESTR_E_TOO_MANY_ARGUMENTS,
 * SAFESTR_E_FORBIDDEN_CONVERSION, SAFESTR_E_BAD_ARGUMENT, EFAULT (a %s
 * argument that is not a safe string), or errno of a failed write; the
 * data pointer of these is null. Also EINVAL for a null destination or
 * stream, SAFESTR_E_TOO_LONG for a result past safestr_maxlength, and
 * EOVERFLOW when more than INT_MAX characters would be produced. Each
 * returns the number of characters produced. */

/* Replaces the content of *s; *s is trusted exactly when the format is. On
 * failure *s keeps its content. */
KIVO_API int safestr_sprintf(safestr_t *s, safestr_t format, ...);
KIVO_API int safestr_vsprintf(safestr_t *s, safestr_t format, va_list ap);
/* Stores a new string in *out (trusted exactly when the format is); on
 * failure it has been freed and *out must not be used. */
KIVO_API int safestr_asprintf(safestr_t *out, safestr_t format, ...);
KIVO_API int safestr_vasprintf(safestr_t *out, safestr_t format, va_list ap);
KIVO_API int safestr_printf(safestr_t format, ...);
KIVO_API int safestr_vprintf(safestr_t format, va_list ap);
KIVO_API int safestr_fprintf(FILE *stream, safestr_t format, ...);
KIVO_API int safestr_vfprintf(FILE *stream, safestr_t format, va_list ap);

/* ---- exit ---- */

/* Prints message (a safe string, may be null) to standard error as plain
 * text, the argument of a "%s" (a '%' in it is printed as it is, never read
 * as a conversion), then exit(status). */
KIVO_API KIVO_NORETURN void fr_error(int status, safestr_t message);

KIVO_END_DECLS

#include <kivo/safestr_io.h>

#endif
