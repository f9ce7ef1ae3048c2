/*
 * Option files: lines of "key value" stored into the caller's variables
 * through a table of entries.
 *
 *   # comment            ; comment too
 *   port      8080
 *   name      "a quoted value"      (one pair of matching quotes is removed)
 *   verbose   yes
 *
 * Lines are trimmed; the key ends at the first space or tab, the value is
 * the rest after the spaces and tabs that follow. A key without a value, an
 * unknown key and an empty line are ignored. A value that does not convert
 * is logged (LOG_DEBUG) and leaves the variable unchanged.
 */
#ifndef KIVO_PARSECONFIG_H
#define KIVO_PARSECONFIG_H

#include <stdint.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Entry types. */
#define PC_INT 0      /* int32_t, base 10 */
#define PC_UINT 1     /* uint32_t, base 10 */
#define PC_STRING 2   /* safestr_t; an old string in the variable is freed */
#define PC_BOOL 3     /* int32_t: "yes" 1, "no" 0 (any case), else number != 0 */
#define PC_CALLBACK 4 /* callback() runs whenever the key is seen */

/* parseconfig_flags bit: keys are compared ignoring (ASCII) case. */
#define PARSECONFIG_NOCASE 0x1

/* One table entry; a table ends with an entry whose name is null.
 * List mode: a non-null count with PC_INT, PC_UINT or PC_STRING. dest then
 * points to a pointer variable (null before the first call) that receives
 * an array allocated with malloc (free it, and in PC_STRING lists each
 * string, yourself). *count 0 before the call: the array grows as values
 * come; n > 0: it holds at most n values and later ones are ignored. After
 * the call *count is the number stored (0 when the key never appeared).
 * An array left from an earlier call (malloc'ed) is appended to and grown;
 * its count stays when the key does not appear again. */
typedef struct parseconfig_entry {
    const char *name;
    unsigned int type;
    void *dest;
    int32_t *count;
    void (*callback)(void);
    int32_t growable; /* set by the parser */
    int32_t capacity; /* set by the parser */
} parseconfig_entry;

KIVO_API extern int32_t parseconfig_flags;

/* Reads path into the table's variables: 0, or -1 when the file cannot be
 * opened for reading (or is a directory); nothing is touched then. */
KIVO_API int parseconfig(const char *path, parseconfig_entry *table);
/* Non-zero: exact key comparison (the default); zero: ignoring case. */
KIVO_API void parseconfig_set_casesensitive(int flag);
/* Index of the first space or tab at or after pos, else of the final zero
 * byte. A pos past the end gives the string's length; -1 for null s or a
 * negative pos. */
KIVO_API int gotospace(const char *s, int pos);
/* Index of the first byte at or after pos that is neither space nor tab
 * (the final zero byte counts). Same limits as gotospace(). */
KIVO_API int gotononspace(const char *s, int pos);

KIVO_END_DECLS

#endif
