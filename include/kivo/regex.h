/*
 * Regular expressions (PCRE2, 8-bit, JIT where the platform has it) with a
 * process-wide cache of compiled patterns, global matching, extraction of
 * groups, literal replacement and splitting.
 *
 * Patterns and subjects are safe strings (<kivo/safestr.h>). The functions
 * report every failure through their result and errno and never raise a
 * frame exception to the caller. errno after a failure:
 *   EINVAL     a null argument, a handle that is not a live safe string, or
 *              a pattern that does not compile;
 *   ENOMEM     the match vector was too small (cannot happen with vectors
 *              sized from the pattern);
 *   EOVERFLOW  a subject longer than INT_MAX bytes (offsets are ints);
 *   < 0        PCRE2's own negative code of a failed match, as it is, e.g.
 *              -47 (PCRE2_ERROR_MATCHLIMIT), -53 (PCRE2_ERROR_DEPTHLIMIT),
 *              -63 (PCRE2_ERROR_HEAPLIMIT), -46 (PCRE2_ERROR_JIT_STACKLIMIT).
 * "No match" is not a failure: errno is left as it was.
 *
 * Every match runs under a step limit and a depth limit, so that a pattern
 * with nested quantifiers cannot keep a caller busy for long: a match that
 * reaches one ends with one of the negative codes above.
 *
 * The compiled form of a pattern depends on the LC_CTYPE locale of the
 * calling thread (uselocale(), else the process's): character tables are
 * built for every locale other than "C", and a cached pattern compiled under
 * another locale is compiled again.
 */
#ifndef KIVO_REGEX_H
#define KIVO_REGEX_H

#include <stddef.h>
#include <stdint.h>
#include <kivo/array.h>
#include <kivo/export.h>
#include <kivo/safestr.h>

KIVO_BEGIN_DECLS

/* A cache value: the compiled pattern and what it was compiled with. */
typedef struct regex_cache_entry {
    void *compiled;             /* the compiled pattern (pcre2_code *), JIT code included */
    void *study;                /* reference-counted holder of the compiled pattern and tables */
    int capture_count;          /* capturing groups */
    const char *locale;         /* LC_CTYPE name it was compiled under */
    const unsigned char *tables; /* character tables; null for the "C" locale */
} regex_cache_entry;

/* Link of the list that fr_regsplit appends to. The head is a bare link;
 * a node is a string followed by its link. The list is circular: an empty
 * head points to itself both ways (a head of two null links counts as
 * empty too). */
typedef struct fr_reglink {
    struct fr_reglink *next;
    struct fr_reglink *prev;
} fr_reglink_t;

typedef struct fr_regnode {
    safestr_t string;
    fr_reglink_t link;
} fr_regnode_t;

/* The node that holds a link of the list. */
#define FR_REGNODE(l) ((fr_regnode_t *)((char *)(l) - offsetof(fr_regnode_t, link)))

/* Creates the process-wide cache (once; later calls keep it) and installs
 * the suite's allocator under PCRE2. 0, or -1 when the cache could not be
 * made. Without it every call compiles its pattern anew. */
KIVO_API int fr_reginit(void);
/* Destroys the cache and every entry. Call it when no other thread matches. */
KIVO_API void fr_regdestroy(void);
/* Value hook of the cache: drops the entry's hold on its compiled pattern
 * and tables (freed with the last holder). Returns 0. */
KIVO_API int _cache_entry_destroy(void *entry);
/* The free function behind PCRE2's allocations: frees non-null pointers. */
KIVO_API void _fr_reg_free(void *ptr);

/* 1 when pattern matches anywhere in subject (read up to its first zero
 * byte), else 0; errno as above for failures, untouched for no match. */
KIVO_API int fr_regmatch_exists(safestr_t pattern, safestr_t subject);

/* Every match of pattern in subject (its whole length), left to right; after
 * an empty match the next try is anchored at the same place and must not
 * be empty, and the search ends when it fails. *array receives a new array
 * of pointers to match vectors: 3 * *n ints each, (start, end) byte-offset
 * pairs first (the whole match, then each group; -1 for a group that did
 * not take part), then *n unused ints. The array's release hook frees the
 * vectors: give it back with fr_array_unref. Returns the number of matches,
 * or -1 (and *array is null). */
KIVO_API int fr_regexec(safestr_t pattern, safestr_t subject, fr_array_t **array, int *n);

/* For every match, appends to *array (created when null: its release hook
 * unrefs the inner arrays) an inner array of new safe strings: the whole
 * match, then each group (empty for a group that did not take part); the
 * inner arrays free their strings. Returns the number of matches, or -1
 * when there is none or on failure (an array created here is then freed
 * and *array left null). */
KIVO_API int fr_regmatch(safestr_t pattern, safestr_t subject, fr_array_t **array);

/* Replaces the first max matches (all when max is negative or at least the
 * number of matches) by replacement, taken literally. *subject becomes a
 * new string and the old one is freed. Returns the number replaced, or -1
 * (*subject unchanged). */
KIVO_API int fr_regreplace(safestr_t *subject, safestr_t pattern, safestr_t replacement, int max);

/* For every match, appends at the tail of list a node (fr_alloc) holding a
 * new safe string: the part of subject from the end of the previous match
 * (or its start) to the start of this match. The part after the last match
 * is not appended. Returns the number of matches, or -1. The caller frees
 * each node's string with safestr_free and the node with free(). */
KIVO_API int fr_regsplit(safestr_t subject, safestr_t pattern, fr_reglink_t *list);

KIVO_END_DECLS

#endif
