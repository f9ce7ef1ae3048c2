// The template engine: templates with scalar variables and repeated blocks,
// and the one-pass filler. Safe-string faults pass through fr_tpl_init,
// fr_tpl_addvar and fr_tpl_parse, so no function here holds an object with
// a destructor and every resource is released in an exit section.
#define KIVO_FILE "template"

#include <stdlib.h>
#if KIVO_THREADS
#include <pthread.h>
#endif
#include <string.h>

#include <kivo/array.h>
#include <kivo/exceptions.h>
#include <kivo/hash.h>
#include <kivo/memory.h>
#include <kivo/safestr.h>
#include <kivo/template.h>

#include "object_impl.h"

namespace {

int destroy_hook(fr_tpl_t *t) { return tpl_destroy(t); }
using TplObj = kivo::Object<fr_tpl_t, destroy_hook>;

// A row value: its length, then its bytes (and a zero for convenience), so
// that an empty value is still a stored value.
struct row_value {
    uint32_t length;
    char bytes[1];
};

fr_hash_t *new_row() { return fr_hash_init_api(4, nullptr, nullptr, nullptr); }

int row_set(fr_hash_t *row, const char *name, const char *value) {
    size_t nlen = strlen(name);
    size_t vlen = strlen(value);
    if (nlen == 0 || nlen > UINT32_MAX || vlen > UINT32_MAX - sizeof(row_value)) return -1;
    uint32_t size = static_cast<uint32_t>(offsetof(row_value, bytes) + vlen + 1);
    // Short values are staged on the stack; the table copies them anyway.
    alignas(row_value) char local[256];
    auto *rv = size <= sizeof(local) ? reinterpret_cast<row_value *>(local) : static_cast<row_value *>(fr_alloc(size));
    rv->length = static_cast<uint32_t>(vlen);
    memcpy(rv->bytes, value, vlen + 1);
    int rc = fr_hash_add(row, name, static_cast<uint32_t>(nlen), rv, size);
    if (reinterpret_cast<char *>(rv) != local) free(rv);
    return rc;
}

void array_entry_release(void *element) { tpl_array_entry_destroy(element); }

void free_quietly(safestr_t s) {
    if (!s) return;
    XXL_BLOCK {
        safestr_free(s);
    }
    FR_LOG_EXCEPTION XXL_BLOCK_END;
}

// The filler walks the text once and records the output as pieces (text
// runs, values, the characters of tags kept), then copies them into a
// string of exactly the right size.
struct piece {
    const char *p;
    size_t n;
};
// One step of a block's body as the first row went through it: a text
// run to copy, or a variable tag whose name is looked up in each row.
struct step {
    const char *p;
    size_t n;
    bool tag;
};
struct plan {
    piece *v;
    size_t count;
    size_t cap;
    size_t length;
    step *steps;
    size_t nsteps;
    size_t steps_cap;
    void record(const char *p, size_t n, bool tag) {
        if (n == 0 && !tag) return;
        if (nsteps == steps_cap) {
            steps_cap = steps_cap ? steps_cap * 2 : 32;
            steps = static_cast<step *>(fr_realloc(steps, steps_cap * sizeof(step)));
        }
        steps[nsteps++] = step{p, n, tag};
    }
    void put(const char *p, size_t n) {
        if (n == 0) return;
        if (count == cap) {
            cap = cap ? cap * 2 : 256;
            v = static_cast<piece *>(fr_realloc(v, cap * sizeof(piece)));
        }
        v[count++] = piece{p, n};
        length += n;
    }
};
// Each thread keeps its piece list from one fill to the next: a fill then
// allocates nothing but its result, and the allocator is not made to give
// memory back and fault it in again on every call. A list grown past
// kKeepPieces is dropped after use.
constexpr size_t kKeepPieces = 1 << 16;
#if KIVO_THREADS
pthread_once_t plan_once = PTHREAD_ONCE_INIT;
pthread_key_t plan_key;
void plan_free(void *p) {
    if (!p) return;
    free(static_cast<plan *>(p)->v);
    free(static_cast<plan *>(p)->steps);
    free(p);
}
void plan_key_make() { pthread_key_create(&plan_key, plan_free); }
__attribute__((noinline)) plan *thread_plan() {
    pthread_once(&plan_once, plan_key_make);
    auto *p = static_cast<plan *>(pthread_getspecific(plan_key));
    if (!p) {
        p = static_cast<plan *>(fr_calloc(1, sizeof(plan)));
        pthread_setspecific(plan_key, p);
    }
    return p;
}
#else
plan the_plan;
__attribute__((noinline)) plan *thread_plan() { return &the_plan; }
#endif

// prefix name "}" for a tag that names nothing.
inline void put_tag(plan *o, const char *prefix, size_t plen, const char *name, size_t n) {
    o->put(prefix, plen);
    o->put(name, n);
    o->put("}", 1);
}

tpl_hash_value *lookup(fr_hash_t *vars, const char *name, size_t n) {
    if (n == 0 || n > UINT32_MAX) return nullptr;
    auto **p = static_cast<tpl_hash_value **>(fr_hash_find(vars, name, static_cast<uint32_t>(n)));
    return p ? *p : nullptr;
}

// A row's value for name, or null. Rows are small (a handful of columns)
// and belong to the template, whose lock the filler holds, so a short one
// is searched along its insertion-order list: no hashing and no lock per
// tag. Keys are unique in a table, so the first match is the only one.
constexpr uint32_t kRowWalk = 8;
row_value *row_find(fr_hash_t *row, const char *name, size_t n) {
    if (n == 0 || n > UINT32_MAX) return nullptr;
    if (row->count > kRowWalk || !row->order) return static_cast<row_value *>(fr_hash_find(row, name, static_cast<uint32_t>(n)));
    fr_hash_link_t *end = &row->order->order;
    for (fr_hash_link_t *l = end->next; l != end; l = l->next) {
        auto *e = reinterpret_cast<fr_hash_entry_t *>(reinterpret_cast<char *>(l) - offsetof(fr_hash_entry_t, order));
        if (e->key_len == n && memcmp(e->key, name, n) == 0) return static_cast<row_value *>(e->value);
    }
    return nullptr;
}

// A variable tag inside a row: the row's value, or the tag as written.
inline void put_row_var(plan *o, fr_hash_t *row, const char *name, size_t n, bool *trusted) {
    row_value *rv = row_find(row, name, n);
    if (rv) {
        o->put(rv->bytes, rv->length);
        *trusted = false;
    } else {
        put_tag(o, "{$", 2, name, n);
    }
}

fr_hash_t *row_at(fr_array_t *rows, int32_t i) {
    auto **p = static_cast<fr_hash_t **>(fr_array_get(rows, i));
    return p ? *p : nullptr;
}

// The template's own copy of its text, or null after a fault (logged).
__attribute__((noinline)) safestr_t copy_text(const char *text) {
    volatile safestr_t copy = nullptr;
    XXL_BLOCK {
        copy = safestr_create(text, 0);
    }
    FR_LOG_EXCEPTION XXL_BLOCK_END;
    return copy;
}

// A private copy of value; the call's hold on value is dropped on every
// path, a fault included (which then goes on to the caller).
__attribute__((noinline)) safestr_t clone_value(safestr_t value) {
    volatile safestr_t copy = nullptr;
    XXL_BLOCK {
        copy = safestr_clone(value, 0);
    }
    XXL_ON_EXIT {
        free_quietly(value);
    }
    XXL_BLOCK_END;
    return copy;
}

enum class St { text, open, var, block, close };

// The filler proper; the template is locked by the caller. Names are read
// in place from the text.
void fill(fr_tpl_t *t, plan *o, bool *trusted) {
    const char *text = t->text;
    size_t len = safestr_length(t->text);
    fr_hash_t *vars = t->variables;
    St st = St::text;
    bool in_block = false;
    tpl_hash_value *entry = nullptr; // current block entry
    fr_array_t *rows = nullptr;      // rows being repeated
    int32_t index = 0;               // current row index
    size_t block_start = 0;          // position of the block's "{"
    size_t name_start = 0;           // first character of the name being read
    fr_hash_t *row = nullptr;        // current table is a row when set
    size_t close_mark = 0;           // pieces before a copied end tag
    size_t close_length = 0;
    bool again = false;              // the opening tag is read again for the next row
    tpl_hash_value *again_entry = nullptr;
    // The first row of a block records the body's steps; when it reaches
    // the end tag, the other rows replay them instead of reading the text
    // again, which gives the same output.
    bool recording = false;
    o->nsteps = 0;

    for (size_t i = 0; i < len; i++) {
        char c = text[i];
        switch (st) {
        case St::text: {
            // Copy the run of plain text in one go.
            const char *end = static_cast<const char *>(memchr(text + i, '{', len - i));
            size_t stop = end ? static_cast<size_t>(end - text) : len;
            o->put(text + i, stop - i);
            if (recording) o->record(text + i, stop - i, false);
            i = stop;
            if (end) st = St::open;
            break;
        }
        case St::open:
            if (c == '$') {
                st = St::var;
                name_start = i + 1;
            } else if (c == '/') {
                st = St::close;
                close_mark = o->count;
                close_length = o->length;
                if (!entry) o->put("{/", 2);
            } else if (in_block) {
                // A nested block: drop it up to its own end tag, or to the
                // end of the text when that never comes.
                const char *brace = static_cast<const char *>(memchr(text + i, '}', len - i));
                size_t next = len;
                if (brace) {
                    size_t j = static_cast<size_t>(brace - text);
                    size_t plen = j - i + 3; // "{/" name "}"
                    for (size_t k = j; k + plen <= len; k++) {
                        const char *hit = static_cast<const char *>(memchr(text + k, '{', len - k));
                        if (!hit) break;
                        k = static_cast<size_t>(hit - text);
                        if (k + plen > len) break;
                        if (text[k + 1] == '/' && memcmp(text + k + 2, text + i, j - i + 1) == 0) {
                            next = k + plen;
                            break;
                        }
                    }
                }
                i = next - 1;
                st = St::text;
            } else {
                block_start = i - 1;
                name_start = i;
                in_block = true;
                st = St::block;
            }
            break;
        case St::var: {
            const char *brace = static_cast<const char *>(memchr(text + i, '}', len - i));
            if (!brace) {
                i = len; // an unfinished tag leaves nothing
                break;
            }
            i = static_cast<size_t>(brace - text);
            const char *name = text + name_start;
            size_t n = i - name_start;
            if (row) {
                put_row_var(o, row, name, n, trusted);
                if (recording) o->record(name, n, true);
            } else {
                tpl_hash_value *v = lookup(vars, name, n);
                if (v && v->kind == FR_TPL_SCALAR && v->payload.value) {
                    o->put(v->payload.value, safestr_length(v->payload.value));
                    if (!safestr_istrusted(v->payload.value)) *trusted = false;
                } else {
                    put_tag(o, "{$", 2, name, n);
                }
            }
            st = St::text;
            break;
        }
        case St::block: {
            if (c != '}') {
                const char *brace = static_cast<const char *>(memchr(text + i, '}', len - i));
                if (!brace) {
                    i = len;
                    break;
                }
                i = static_cast<size_t>(brace - text);
            }
            const char *name = text + name_start;
            size_t n = i - name_start;
            // Read again for the next row, the tag names the block being
            // repeated: nothing can have changed it while the template is
            // locked.
            tpl_hash_value *v = again ? again_entry : lookup(vars, name, n);
            recording = !again;
            o->nsteps = 0;
            again = false;
            fr_hash_t *r = nullptr;
            if (v && v->kind == FR_TPL_BLOCK && v->payload.rows) r = row_at(v->payload.rows, index);
            if (!r) recording = false;
            if (r) {
                entry = v;
                again_entry = v;
                rows = v->payload.rows;
                row = r;
            } else {
                entry = nullptr;
                put_tag(o, "{", 1, name, n);
            }
            st = St::text;
            break;
        }
        case St::close:
            if (!entry) o->put(text + i, 1);
            if (c != '}') break;
            if (rows) {
                index += 1;
                int32_t count = fr_array_length(rows);
                if (recording) {
                    for (; index < count; index++) {
                        fr_hash_t *r = row_at(rows, index);
                        if (!r) break; // read the text again from here
                        for (size_t k = 0; k < o->nsteps; k++) {
                            const step &sp = o->steps[k];
                            if (sp.tag) put_row_var(o, r, sp.p, sp.n, trusted);
                            else o->put(sp.p, sp.n);
                        }
                    }
                    recording = false;
                }
                if (index >= count) {
                    rows = nullptr;
                    index = 0;
                } else {
                    i = block_start - 1; // read the opening tag again
                    again = true;
                }
            }
            row = nullptr;
            entry = nullptr;
            in_block = false;
            st = St::text;
            break;
        }
    }
    // An end tag copied as it came but never finished leaves nothing, like
    // any other unfinished tag.
    if (st == St::close && !entry) {
        o->count = close_mark;
        o->length = close_length;
    }
}

// Fills the template into a new string of exactly the output's size.
safestr_t fill_string(fr_tpl_t *t, plan *o) {
    bool trusted = safestr_istrusted(t->text) != 0;
    fill(t, o, &trusted);
    if (o->length > UINT32_MAX) XXL_THROW_ERROR(SAFESTR_E_TOO_LONG, nullptr);
    uint32_t n = static_cast<uint32_t>(o->length);
    safestr_t s = safestr_alloc(n, trusted ? SAFESTR_F_TRUSTED : 0);
    if (n == 0) return s;
    volatile safestr_t keep = s;
    XXL_BLOCK {
        safestr_header_t *h = safestr_get(keep, SAFESTR_GET_WRITABLE);
        safestr_header_t *nh = safestr_resize(h, n);
        char *d = reinterpret_cast<char *>(nh + 1);
        for (size_t k = 0; k < o->count; k++) {
            memcpy(d, o->v[k].p, o->v[k].n);
            d += o->v[k].n;
        }
        keep = safestr_complete(h, nh);
    }
    XXL_ON_ANY {
        free_quietly(keep);
        XXL_PROMOTE;
    }
    XXL_BLOCK_END;
    return keep;
}

} // namespace

extern "C" {

KIVO_API tpl_hash_value *fr_tpl_hash_value_init(uint16_t kind) {
    auto *v = static_cast<tpl_hash_value *>(fr_calloc(1, sizeof(tpl_hash_value)));
    v->kind = kind;
    return v;
}

KIVO_API int tpl_array_entry_destroy(void *element) {
    if (element) {
        fr_hash_t *row = *static_cast<fr_hash_t **>(element);
        if (row) fr_hash_unref(row);
    }
    return 0;
}

KIVO_API int tpl_hash_value_destroy(void *value) {
    if (!value) return 0;
    tpl_hash_value *v = *static_cast<tpl_hash_value **>(value);
    if (!v) return 0;
    if (v->kind == FR_TPL_SCALAR) {
        free_quietly(v->payload.value);
    } else if (v->payload.rows) {
        fr_array_unref(v->payload.rows);
    }
    free(v);
    *static_cast<tpl_hash_value **>(value) = nullptr;
    return 0;
}

KIVO_API fr_tpl_t *fr_tpl_init(const char *text) {
    FR_CHECK_RETURN(text != nullptr, nullptr);
    fr_tpl_t *t = TplObj::create(nullptr, nullptr);
    FR_CHECK_RETURN(t != nullptr, nullptr);
    safestr_t copy = copy_text(text);
    if (!copy) {
        TplObj::discard(t);
        FR_LOG_CONDITIONAL_RETURN();
        return nullptr;
    }
    t->text = copy;
    t->variables = fr_hash_init_api(4, tpl_hash_value_destroy, nullptr, nullptr);
    if (!t->variables) {
        free_quietly(t->text);
        TplObj::discard(t);
        FR_LOG_CONDITIONAL_RETURN();
        return nullptr;
    }
    return t;
}

KIVO_API int fr_tpl_addvar(fr_tpl_t *tpl, const char *name, safestr_t value) {
    // The value is held for the call, so that a temporary one is freed by
    // it on every path, refusals included.
    if (value) safestr_reference(value);
    size_t nlen = name ? strlen(name) : 0;
    if (!tpl || !value || nlen == 0 || nlen > UINT32_MAX) {
        free_quietly(value);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    // The copy is made before the lock is taken: a fault in it must not
    // leave the template locked.
    safestr_t copy = clone_value(value);
    tpl_hash_value *v = fr_tpl_hash_value_init(FR_TPL_SCALAR);
    v->payload.value = copy;
    kivo::header_lock(&tpl->hdr);
    int rc = tpl->variables ? fr_hash_add(tpl->variables, name, static_cast<uint32_t>(nlen), &v, sizeof(v)) : -1;
    kivo::header_unlock(&tpl->hdr);
    if (rc != 0) {
        tpl_hash_value_destroy(&v);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    return 0;
}

KIVO_API int fr_tpl_addblockvar(fr_tpl_t *tpl, int32_t row, const char *block, const char *name,
                                const char *value) {
    FR_CHECK_RETURN(tpl != nullptr && block != nullptr && name != nullptr && value != nullptr, -1);
    size_t blen = strlen(block);
    FR_CHECK_RETURN(blen > 0 && blen <= UINT32_MAX && name[0] != 0, -1);
    kivo::Locked guard(&tpl->hdr); // no frame exception passes below
    FR_CHECK_RETURN(tpl->variables != nullptr, -1);
    tpl_hash_value *v = lookup(tpl->variables, block, blen);
    if (v) {
        FR_CHECK_RETURN(v->kind == FR_TPL_BLOCK && v->payload.rows != nullptr, -1);
        if (row < fr_array_length(v->payload.rows)) {
            fr_hash_t *r = row_at(v->payload.rows, row);
            FR_CHECK_RETURN(r != nullptr, -1);
            FR_CHECK_RETURN(row_set(r, name, value) == 0, -1);
            return 0;
        }
        fr_hash_t *r = new_row();
        FR_CHECK_RETURN(r != nullptr, -1);
        if (row_set(r, name, value) != 0 || fr_array_append_many(v->payload.rows, &r, 1) != 0) {
            fr_hash_unref(r);
            FR_LOG_CONDITIONAL_RETURN();
            return -1;
        }
        return 0;
    }
    v = fr_tpl_hash_value_init(FR_TPL_BLOCK);
    v->payload.rows = fr_array_init_sized_api(sizeof(fr_hash_t *), 0, array_entry_release, 0, nullptr, nullptr);
    fr_hash_t *r = v->payload.rows ? new_row() : nullptr;
    if (!r || row_set(r, name, value) != 0 || fr_array_append_many(v->payload.rows, &r, 1) != 0) {
        if (r && (!v->payload.rows || fr_array_length(v->payload.rows) == 0)) fr_hash_unref(r);
        tpl_hash_value_destroy(&v);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    if (fr_hash_add(tpl->variables, block, static_cast<uint32_t>(blen), &v, sizeof(v)) != 0) {
        tpl_hash_value_destroy(&v);
        FR_LOG_CONDITIONAL_RETURN();
        return -1;
    }
    return 0;
}

KIVO_API safestr_t fr_tpl_parse(fr_tpl_t *tpl) {
    FR_CHECK_RETURN(tpl != nullptr, nullptr);
    volatile safestr_t result = nullptr;
    volatile bool locked = false;
    plan *const pieces = thread_plan();
    pieces->count = 0;
    pieces->length = 0;
    XXL_BLOCK {
        locked = kivo::header_lock(&tpl->hdr) == 0;
        if (tpl->text && tpl->variables) {
            result = fill_string(tpl, pieces);
        } else {
            FR_LOG_CONDITIONAL_RETURN();
        }
    }
    XXL_ON_EXIT {
        if (locked) kivo::header_unlock(&tpl->hdr);
        if (pieces->cap > kKeepPieces) {
            free(pieces->v);
            pieces->v = nullptr;
            pieces->cap = 0;
        }
        if (pieces->steps_cap > kKeepPieces) {
            free(pieces->steps);
            pieces->steps = nullptr;
            pieces->steps_cap = 0;
        }
        pieces->count = 0;
    }
    XXL_BLOCK_END;
    return result;
}

KIVO_API int tpl_destroy(fr_tpl_t *tpl) {
    FR_CHECK_RETURN(tpl != nullptr, 0);
    safestr_t text = tpl->text;
    tpl->text = nullptr;
    free_quietly(text);
    fr_hash_t *vars = tpl->variables;
    tpl->variables = nullptr;
    if (vars) fr_hash_unref(vars);
    return 0;
}

KIVO_API int _tpl_destroy(fr_tpl_t *tpl) {
    FR_CHECK_RETURN(tpl != nullptr, 1);
    TplObj::unref(tpl, 1);
    return 1;
}

} // extern "C"
