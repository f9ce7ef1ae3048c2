/*
 * Text templates with variables and repeated blocks.
 *
 *   Hello {$name}!                 variable tag, filled from fr_tpl_addvar
 *   {rows}[{$n}]{/rows}            block, repeated once per row added with
 *                                  fr_tpl_addblockvar; inside it only the
 *                                  row's variables are visible
 *
 * Tags that name nothing defined stay in the output as written. Blocks do
 * not nest: an opening tag inside a block is dropped with everything up to
 * its own end tag ("{/" name "}"), or up to the end of the text when that
 * end tag never comes. There is no escape for a literal brace.
 *
 * Release a template with _tpl_destroy(): it drops one reference and, with
 * the last one, releases the text, the variables and the record (tpl_destroy
 * is installed as the destroy hook). Calling tpl_destroy() first is allowed
 * and harmless.
 */
#ifndef KIVO_TEMPLATE_H
#define KIVO_TEMPLATE_H

#include <stdint.h>
#include <kivo/export.h>
#include <kivo/hash.h>
#include <kivo/object.h>
#include <kivo/safestr.h>

KIVO_BEGIN_DECLS

/* Kinds of a variables-table entry. */
#define FR_TPL_BLOCK 0
#define FR_TPL_SCALAR 1

typedef struct fr_tpl {
    safestr_t text;       /* private copy of the template text */
    fr_hash_t *variables; /* name (no terminator) -> tpl_hash_value * */
    fr_alloc_api api;
    fr_object_header hdr;
} fr_tpl_t;

/* One variables-table entry: a scalar's value or a block's rows (an array
 * of row tables, each mapping a name to its value's bytes). */
typedef struct tpl_hash_value {
    uint16_t kind; /* FR_TPL_SCALAR or FR_TPL_BLOCK */
    union {
        safestr_t value;
        fr_array_t *rows;
    } payload;
} tpl_hash_value;

/* New template holding a copy of text, or null (text null). */
KIVO_API fr_tpl_t *fr_tpl_init(const char *text);
/* Sets scalar name to a copy of value (a temporary value is freed by the
 * call); replaces a scalar or block of that name. 0, or -1. */
KIVO_API int fr_tpl_addvar(fr_tpl_t *tpl, const char *name, safestr_t value);
/* Sets name = value in row `row` of block `block`. A row index at or past
 * the block's row count appends one new row (whatever the index); the first
 * call for a block creates row 0. -1 for a null argument, a negative index
 * below the row count, or a block name that belongs to a scalar. */
KIVO_API int fr_tpl_addblockvar(fr_tpl_t *tpl, int32_t row, const char *block, const char *name,
                                const char *value);
/* The filled text, a new string the caller releases with safestr_free();
 * null for a null template. Trusted only when the text and every value
 * used are. Safe-string faults reach the caller's handler. */
KIVO_API safestr_t fr_tpl_parse(fr_tpl_t *tpl);
/* New entry record of that kind with no payload (release with free()). */
KIVO_API tpl_hash_value *fr_tpl_hash_value_init(uint16_t kind);
/* Releases the text and the variables; the record stays. 0. */
KIVO_API int tpl_destroy(fr_tpl_t *tpl);
/* Drops one reference; the last one releases everything. 1. */
KIVO_API int _tpl_destroy(fr_tpl_t *tpl);
/* Value hook of the variables table (value: address of the stored
 * tpl_hash_value pointer): releases the payload and the record. 0. */
KIVO_API int tpl_hash_value_destroy(void *value);
/* Element hook of a block's rows (element: address of a row table
 * pointer): destroys the row table. 0. */
KIVO_API int tpl_array_entry_destroy(void *element);

KIVO_END_DECLS

#endif
