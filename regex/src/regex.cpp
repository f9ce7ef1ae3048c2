// The pattern cache and the matching functions over PCRE2 (8-bit).
//
// Frame exceptions: the public functions take their safe strings inside a
// protected block of their own and catch everything there; the PCRE2 side
// (compiling, the cache, matching) raises nothing, so no reference or block
// of it can be skipped by a longjmp. Locals read after a possible throw are
// volatile. No local here has a destructor.
//
// Sharing: a compiled pattern lives in a reference-counted holder. The cache
// entry holds one reference; every running match takes one under the
// table's lock, so a stale entry replaced by another thread (locale change)
// is freed only when the last match on it ends. Match data is per thread.
#define PCRE2_CODE_UNIT_WIDTH 8
#define KIVO_FILE "regex"

#include <errno.h>
#include <langinfo.h>
#include <limits.h>
#include <locale.h>
#include <pcre2.h>
#include <stdlib.h>
#include <string.h>
#if KIVO_THREADS
#include <pthread.h>
#endif

#include <kivo/hash.h>
#include <kivo/memory.h>
#include <kivo/regex.h>
#include <kivo/safestr.h>

#include "regex_internal.h"

namespace {

struct holder {
    uint32_t refs;
    uint32_t groups;
    // JIT code that may be run through pcre2_jit_match, which skips
    // pcre2_match's checks: compiled for JIT and not in UTF mode (the
    // subject's UTF validity is one of the checks skipped).
    bool jit_direct;
    pcre2_code *code;
    const uint8_t *tables;
    char locale[];
};

pcre2_general_context *gctx;
pcre2_match_context *mctx;
fr_hash_t *cache; // atomic accesses only

void *pcre_alloc(size_t size, void *) { return fr_alloc(size ? size : 1); }
void pcre_free(void *p, void *) { _fr_reg_free(p); }

void make_contexts() {
    gctx = pcre2_general_context_create(pcre_alloc, pcre_free, nullptr);
    pcre2_match_context *m = gctx ? pcre2_match_context_create(gctx) : nullptr;
    if (!m) {
        // Only an allocation can fail here, and ours never returns null.
        abort();
    }
    pcre2_set_match_limit(m, kivo::re::match_limit);
    pcre2_set_depth_limit(m, kivo::re::depth_limit);
    pcre2_set_heap_limit(m, kivo::re::heap_limit_kib);
    // Published last: its presence says everything above is ready.
    __atomic_store_n(&mctx, m, __ATOMIC_RELEASE);
}

// What each thread keeps between matches: its match data (grown to the
// largest pattern it met) and its JIT stack. Matching allocates nothing in
// steady state.
//
// It also keeps the compiled patterns it used last, each with a reference
// of its own, in front of the shared cache: a hit costs no lock and no
// hash. A slot is good while the shared cache has seen no replacement and
// no destruction since it was filled (the generation below), and only for
// the same text, options and locale name.
struct slot {
    holder *h;
    char *text;
    uint32_t len;
    uint32_t options;
    uint64_t generation;
};

constexpr int slot_count = 8;

struct thread_state {
    pcre2_match_data *md;
    uint32_t pairs;
    pcre2_jit_stack *stack;
    pcre2_match_context *mctx; // the shared limits, with this thread's JIT stack
    slot slots[slot_count];
    uint32_t victim;
};

// Bumped whenever a cached compilation stops being the one the cache hands
// out (replaced for another locale, or the cache destroyed or made).
uint64_t generation = 1;

void release(holder *h);

void clear_slot(slot *sl) {
    release(sl->h);
    free(sl->text);
    *sl = slot{};
}

void free_thread_state(void *p) {
    auto *t = static_cast<thread_state *>(p);
    if (!t)
        return;
    for (slot &sl : t->slots)
        clear_slot(&sl);
    pcre2_match_data_free(t->md);
    pcre2_match_context_free(t->mctx);
    pcre2_jit_stack_free(t->stack);
    free(t);
}

#if KIVO_THREADS
pthread_once_t contexts_once = PTHREAD_ONCE_INIT;
pthread_once_t key_once = PTHREAD_ONCE_INIT;
pthread_key_t state_key;
pthread_mutex_t init_mutex = PTHREAD_MUTEX_INITIALIZER;
__thread thread_state *tl_state;

void make_key() { pthread_key_create(&state_key, free_thread_state); }
void make_contexts_once();
inline void contexts() {
    if (__builtin_expect(!__atomic_load_n(&mctx, __ATOMIC_ACQUIRE), 0))
        pthread_once(&contexts_once, make_contexts_once);
}

thread_state *this_thread() {
    if (__builtin_expect(!tl_state, 0)) {
        tl_state = static_cast<thread_state *>(fr_calloc(1, sizeof(thread_state)));
        pthread_once(&key_once, make_key);
        pthread_setspecific(state_key, tl_state);
    }
    return tl_state;
}

void drop_thread_state() {
    if (tl_state) {
        pthread_once(&key_once, make_key);
        pthread_setspecific(state_key, nullptr);
        free_thread_state(tl_state);
        tl_state = nullptr;
    }
}
#else
thread_state plain_state;
void make_contexts_once();
inline void contexts() {
    if (!mctx)
        make_contexts_once();
}
inline thread_state *this_thread() { return &plain_state; }
void drop_thread_state() {
    auto *copy = static_cast<thread_state *>(fr_alloc(sizeof(thread_state)));
    *copy = plain_state;
    plain_state = thread_state{};
    free_thread_state(copy);
}
#endif

void make_contexts_once() { make_contexts(); }

// The match context of the calling thread: the shared limits and a JIT
// stack of its own (PCRE2's small default one when that cannot be made).
pcre2_match_context *match_context(thread_state *t) {
    if (__builtin_expect(!t->mctx, 0)) {
        t->mctx = pcre2_match_context_copy(mctx);
        t->stack = pcre2_jit_stack_create(kivo::re::jit_stack_start, kivo::re::jit_stack_max, gctx);
        if (t->stack)
            pcre2_jit_stack_assign(t->mctx, nullptr, t->stack);
    }
    return t->mctx;
}

// The calling thread's match data with room for pairs offset pairs.
pcre2_match_data *match_data(thread_state *t, uint32_t pairs) {
    if (t->md && t->pairs >= pairs)
        return t->md;
    pcre2_match_data_free(t->md);
    uint32_t want = pairs < 16 ? 16 : pairs;
    t->md = pcre2_match_data_create(want, gctx);
    t->pairs = want;
    return t->md;
}

// Name of the LC_CTYPE locale in force for this thread.
const char *ctype_name() {
    const char *n = nl_langinfo(_NL_LOCALE_NAME(LC_CTYPE));
    return (n && *n) ? n : "C";
}

// Locale names are short: compared inline, without a call.
inline bool same_name(const char *a, const char *b) {
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

void hold(holder *h) { __atomic_add_fetch(&h->refs, 1, __ATOMIC_RELAXED); }

void release(holder *h) {
    if (h && __atomic_sub_fetch(&h->refs, 1, __ATOMIC_ACQ_REL) == 0) {
        pcre2_code_free(h->code);
        if (h->tables)
            pcre2_maketables_free(gctx, h->tables);
        free(h);
    }
}

// A fresh compilation under the current locale, one reference; null with
// errno EINVAL when the pattern does not compile.
holder *compile(const char *pattern, size_t len, uint32_t options, const char *locale) {
    const uint8_t *tables = nullptr;
    if (strcmp(locale, "C") != 0)
        tables = pcre2_maketables(gctx);
    pcre2_compile_context *cc = pcre2_compile_context_create(gctx);
    if (tables)
        pcre2_set_character_tables(cc, tables);
    int err = 0;
    PCRE2_SIZE at = 0;
    pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), len, options, &err, &at, cc);
    pcre2_compile_context_free(cc);
    uint32_t groups = 0;
    if (!code || pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &groups) != 0) {
        pcre2_code_free(code);
        if (tables)
            pcre2_maketables_free(gctx, tables);
        errno = EINVAL;
        return nullptr;
    }
    // Where the platform has no JIT this fails and the interpreter runs.
    bool jit = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0;
    uint32_t all = 0;
    if (pcre2_pattern_info(code, PCRE2_INFO_ALLOPTIONS, &all) != 0)
        all = PCRE2_UTF;
    size_t ln = strlen(locale);
    auto *h = static_cast<holder *>(fr_alloc(sizeof(holder) + ln + 1));
    h->refs = 1;
    h->groups = groups;
    h->jit_direct = jit && !(all & PCRE2_UTF);
    h->code = code;
    h->tables = tables;
    memcpy(h->locale, locale, ln + 1);
    return h;
}

// The compiled pattern for (pattern, options) under the current locale, with
// a reference for the caller; null (errno EINVAL) when it does not compile.
// The cache key is the text with its terminating zero, followed by the
// options when there are any (no pattern text holds a zero byte, so the two
// kinds of key never meet).
holder *acquire_shared(const char *pattern, size_t len, uint32_t options, const char *locale) {
    fr_hash_t *t = __atomic_load_n(&cache, __ATOMIC_ACQUIRE);
    if (!t)
        return compile(pattern, len, options, locale);

    char stack_key[512];
    const void *key = pattern;
    size_t klen = len + 1;
    char *heap_key = nullptr;
    if (options) {
        klen = len + 1 + sizeof options;
        char *k = klen <= sizeof stack_key ? stack_key : (heap_key = static_cast<char *>(fr_alloc(klen)));
        memcpy(k, pattern, len);
        k[len] = 0;
        memcpy(k + len + 1, &options, sizeof options);
        key = k;
    }
    if (klen > UINT32_MAX) {
        free(heap_key);
        errno = EINVAL;
        return nullptr;
    }

    holder *h = nullptr;
    fr_hash_lock(t);
    auto *e = static_cast<regex_cache_entry *>(fr_hash_find(t, key, static_cast<uint32_t>(klen)));
    if (e && strcmp(e->locale, locale) == 0) {
        h = static_cast<holder *>(e->study);
        hold(h);
    } else {
        h = compile(pattern, len, options, locale);
        if (h) {
            regex_cache_entry ne = {h->code, h, static_cast<int>(h->groups), h->locale, h->tables};
            hold(h); // the entry's reference
            if (e)
                __atomic_add_fetch(&generation, 1, __ATOMIC_ACQ_REL);
            int rc = e ? fr_hash_add(t, key, static_cast<uint32_t>(klen), &ne, sizeof ne)
                       : fr_hash_force_add(t, key, static_cast<uint32_t>(klen), &ne, sizeof ne);
            if (rc != 0)
                release(h);
        }
    }
    fr_hash_unlock(t);
    free(heap_key);
    return h;
}

// The compiled pattern for (pattern, options) under the current locale.
// *owned: the caller holds a reference to give back with release(); else
// the thread's slot holds it and the caller must not release it.
holder *acquire(const char *pattern, size_t len, uint32_t options, bool *owned) {
    contexts();
    const char *locale = ctype_name();
    *owned = true;
    if (!__atomic_load_n(&cache, __ATOMIC_ACQUIRE) || len > UINT32_MAX)
        return acquire_shared(pattern, len, options, locale);
    // Read before the shared lookup: a replacement after it makes the slot stale.
    uint64_t gen = __atomic_load_n(&generation, __ATOMIC_ACQUIRE);
    thread_state *ts = this_thread();
    slot *same = nullptr;
    for (slot &sl : ts->slots) {
        if (sl.h && sl.len == len && sl.options == options && memcmp(sl.text, pattern, len) == 0) {
            if (sl.generation == gen && same_name(sl.h->locale, locale)) {
                *owned = false;
                return sl.h;
            }
            same = &sl;
            break;
        }
    }
    holder *h = acquire_shared(pattern, len, options, locale);
    if (!h)
        return nullptr;
    slot *sl = same ? same : &ts->slots[ts->victim++ % slot_count];
    if (sl == same) {
        release(sl->h);
    } else {
        clear_slot(sl);
        sl->text = static_cast<char *>(fr_alloc(len + 1));
        memcpy(sl->text, pattern, len);
        sl->text[len] = 0;
        sl->len = static_cast<uint32_t>(len);
    }
    sl->h = h;
    sl->options = options;
    sl->generation = gen;
    *owned = false;
    return h;
}

inline void done_with(holder *h, bool owned) {
    if (owned)
        release(h);
}

// Array of match vectors: its release hook frees each vector.
void release_vector(void *element) { free(*static_cast<int **>(element)); }

// The global search of fr_regexec on plain bytes. Returns the number of
// matches with *out a new array (or -1 with errno set and *out null).
int exec_bytes(const char *pattern, size_t plen, const char *subject, size_t slen, fr_array_t **out, int *n) {
    *out = nullptr;
    if (slen > INT_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    bool owned;
    holder *h = acquire(pattern, plen, 0, &owned);
    if (!h)
        return -1;
    uint32_t pairs = h->groups + 1;
    if (n)
        *n = static_cast<int>(pairs);
    thread_state *ts = this_thread();
    pcre2_match_data *md = match_data(ts, pairs);
    pcre2_match_context *mc = match_context(ts);
    fr_array_t *a = fr_array_init_sized_api(sizeof(int *), 0, release_vector, 0, nullptr, nullptr);
    if (!a) {
        done_with(h, owned);
        errno = ENOMEM;
        return -1;
    }
    int count = 0;
    PCRE2_SIZE start = 0;
    uint32_t options = 0;
    for (;;) {
        int rc = pcre2_match(h->code, reinterpret_cast<PCRE2_SPTR>(subject), slen, start, options, md, mc);
        if (rc == PCRE2_ERROR_NOMATCH)
            break;
        if (rc <= 0) {
            errno = rc == 0 ? ENOMEM : rc;
            count = -1;
            break;
        }
        PCRE2_SIZE *ov = pcre2_get_ovector_pointer(md);
        auto *vect = static_cast<int *>(fr_calloc(3 * pairs, sizeof(int)));
        for (uint32_t i = 0; i < 2 * pairs; i++)
            vect[i] = (i < 2 * static_cast<uint32_t>(rc) && ov[i] != PCRE2_UNSET) ? static_cast<int>(ov[i]) : -1;
        if (fr_array_append_many(a, &vect, 1) != 0) {
            free(vect);
            errno = ENOMEM;
            count = -1;
            break;
        }
        count++;
        start = ov[1];
        // After an empty match, the next try must be non-empty at the same place.
        options = ov[0] == ov[1] ? (PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED) : 0;
    }
    done_with(h, owned);
    if (count < 0) {
        fr_array_unref(a);
        return -1;
    }
    *out = a;
    return count;
}

int *vector_at(fr_array_t *a, int32_t i) { return *static_cast<int **>(fr_array_get(a, i)); }

// Release hook of the inner arrays of fr_regmatch: frees one string.
void destroy_match(void *element) {
    safestr_t s = *static_cast<safestr_t *>(element);
    XXL_BLOCK {
        safestr_free(s);
    }
    FR_LOG_EXCEPTION
    XXL_BLOCK_END;
}

// Release hook of the outer array of fr_regmatch: drops one inner array.
void release_inner(void *element) { fr_array_unref(*static_cast<fr_array_t **>(element)); }

} // namespace

namespace {

// One unanchored match from offset 0 with the thread's match data; gives
// back h. 1, 0 (errno untouched) for no match, 0 with errno for a failure.
int match_once(holder *h, bool owned, thread_state *ts, const char *subject, size_t slen) {
    pcre2_match_data *md = match_data(ts, h->groups + 1);
    pcre2_match_context *mc = match_context(ts);
    auto *subj = reinterpret_cast<PCRE2_SPTR>(subject);
    int rc = h->jit_direct ? pcre2_jit_match(h->code, subj, slen, 0, 0, md, mc)
                           : pcre2_match(h->code, subj, slen, 0, 0, md, mc);
    done_with(h, owned);
    if (rc > 0)
        return 1;
    if (rc == 0)
        errno = ENOMEM;
    else if (rc != PCRE2_ERROR_NOMATCH)
        errno = rc;
    return 0;
}

// The thread's current compilation of a pattern (no options) whose length
// is not measured: bound is the pattern string's stored length, so a slot
// of at most that length may compare its text with its terminating zero,
// which also proves the pattern's length. Null when no slot is current.
holder *slot_hit(thread_state *ts, const char *pattern, size_t bound) {
    if (!__atomic_load_n(&cache, __ATOMIC_ACQUIRE))
        return nullptr;
    uint64_t gen = __atomic_load_n(&generation, __ATOMIC_ACQUIRE);
    for (slot &sl : ts->slots) {
        if (sl.h && sl.options == 0 && sl.len <= bound && memcmp(sl.text, pattern, sl.len + 1) == 0)
            return sl.generation == gen && same_name(sl.h->locale, ctype_name()) ? sl.h : nullptr;
    }
    return nullptr;
}

} // namespace

int kivo::re::exists(const char *pattern, size_t plen, uint32_t options, const char *subject, size_t slen) {
    if (slen > INT_MAX) {
        errno = EOVERFLOW;
        return 0;
    }
    bool owned;
    holder *h = acquire(pattern, plen, options, &owned);
    if (!h)
        return 0;
    return match_once(h, owned, this_thread(), subject, slen);
}

extern "C" {

KIVO_API void _fr_reg_free(void *ptr) {
    if (ptr)
        free(ptr);
}

KIVO_API int _cache_entry_destroy(void *entry) {
    if (entry)
        release(static_cast<holder *>(static_cast<regex_cache_entry *>(entry)->study));
    return 0;
}

KIVO_API int fr_reginit(void) {
    contexts();
#if KIVO_THREADS
    pthread_mutex_lock(&init_mutex);
#endif
    int rc = 0;
    if (!__atomic_load_n(&cache, __ATOMIC_ACQUIRE)) {
        fr_hash_t *t = fr_hash_init_api(1024, _cache_entry_destroy, nullptr, nullptr);
        if (t) {
            __atomic_add_fetch(&generation, 1, __ATOMIC_ACQ_REL);
            __atomic_store_n(&cache, t, __ATOMIC_RELEASE);
        }
        else
            rc = -1;
    }
#if KIVO_THREADS
    pthread_mutex_unlock(&init_mutex);
#endif
    return rc;
}

KIVO_API void fr_regdestroy(void) {
#if KIVO_THREADS
    pthread_mutex_lock(&init_mutex);
#endif
    fr_hash_t *t = __atomic_exchange_n(&cache, nullptr, __ATOMIC_ACQ_REL);
    __atomic_add_fetch(&generation, 1, __ATOMIC_ACQ_REL);
    if (t)
        fr_hash_unref(t);
    drop_thread_state();
#if KIVO_THREADS
    pthread_mutex_unlock(&init_mutex);
#endif
}

KIVO_API int fr_regmatch_exists(safestr_t pattern, safestr_t subject) {
    if (!pattern || !subject) {
        errno = EINVAL;
        return 0;
    }
    if (safestr_header_t *hp = kivo::re::usable(pattern); hp && kivo::re::usable(subject)) {
        size_t slen = strlen(subject);
        if (slen <= INT_MAX) {
            thread_state *ts = this_thread();
            if (holder *h = slot_hit(ts, pattern, hp->length))
                return match_once(h, false, ts, subject, slen);
        }
        return kivo::re::exists(pattern, strlen(pattern), 0, subject, slen);
    }
    volatile int result = 0;
    XXL_BLOCK {
        safestr_get(pattern, SAFESTR_GET_READONLY);
        safestr_get(subject, SAFESTR_GET_READONLY);
        result = kivo::re::exists(pattern, strlen(pattern), 0, subject, strlen(subject));
    }
    XXL_ON_ANY {
        errno = EINVAL;
    }
    XXL_BLOCK_END;
    return result;
}

KIVO_API int fr_regexec(safestr_t pattern, safestr_t subject, fr_array_t **array, int *n) {
    if (array)
        *array = nullptr;
    if (!pattern || !subject || !array) {
        errno = EINVAL;
        return -1;
    }
    volatile int result = -1;
    XXL_BLOCK {
        safestr_get(pattern, SAFESTR_GET_READONLY);
        safestr_header_t *hs = safestr_get(subject, SAFESTR_GET_READONLY);
        result = exec_bytes(pattern, strlen(pattern), subject, hs->length, array, n);
    }
    XXL_ON_ANY {
        errno = EINVAL;
    }
    XXL_BLOCK_END;
    return result;
}

KIVO_API int fr_regmatch(safestr_t pattern, safestr_t subject, fr_array_t **array) {
    if (!pattern || !subject || !array) {
        errno = EINVAL;
        return -1;
    }
    fr_array_t *volatile outer = *array;
    fr_array_t *volatile created = nullptr;
    fr_array_t *volatile vectors = nullptr;
    fr_array_t *volatile inner = nullptr;
    volatile int result = -1;
    XXL_BLOCK {
        safestr_get(pattern, SAFESTR_GET_READONLY);
        safestr_header_t *hs = safestr_get(subject, SAFESTR_GET_READONLY);
        fr_array_t *v = nullptr;
        int n = 0;
        int count = exec_bytes(pattern, strlen(pattern), subject, hs->length, &v, &n);
        vectors = v;
        if (count > 0) {
            if (!outer) {
                created = fr_array_init_sized_api(sizeof(fr_array_t *), count, release_inner, 0, nullptr, nullptr);
                outer = created;
            }
            for (int i = 0; outer && i < count; i++) {
                int *vect = vector_at(v, i);
                inner = fr_array_init_sized_api(sizeof(safestr_t), n, destroy_match, 0, nullptr, nullptr);
                if (!inner)
                    break;
                for (int g = 0; g < n; g++) {
                    int s = vect[2 * g], e = vect[2 * g + 1];
                    safestr_t piece = s < 0 ? safestr_slice(subject, hs->length, hs->length)
                                            : safestr_slice(subject, static_cast<uint32_t>(s), static_cast<uint32_t>(e));
                    if (fr_array_append_many(inner, &piece, 1) != 0)
                        safestr_free(piece);
                }
                fr_array_t *done = inner;
                if (fr_array_append_many(outer, &done, 1) != 0)
                    fr_array_unref(done);
                inner = nullptr;
            }
            result = outer ? count : -1;
        }
    }
    XXL_ON_ANY {
        errno = EINVAL;
        result = -1;
    }
    XXL_BLOCK_END;
    if (inner)
        fr_array_unref(inner);
    if (vectors)
        fr_array_unref(vectors);
    if (result < 0 && created) {
        fr_array_unref(created);
        outer = nullptr;
    }
    *array = outer;
    return result;
}

KIVO_API int fr_regreplace(safestr_t *subject, safestr_t pattern, safestr_t replacement, int max) {
    if (!subject || !*subject || !pattern || !replacement) {
        errno = EINVAL;
        return -1;
    }
    fr_array_t *volatile vectors = nullptr;
    volatile int result = -1;
    XXL_BLOCK {
        safestr_t old = *subject;
        safestr_header_t *hs = safestr_get(old, SAFESTR_GET_READONLY);
        safestr_get(pattern, SAFESTR_GET_READONLY);
        safestr_header_t *hr = safestr_get(replacement, SAFESTR_GET_READONLY);
        fr_array_t *v = nullptr;
        int count = exec_bytes(pattern, strlen(pattern), old, hs->length, &v, nullptr);
        vectors = v;
        if (count >= 0) {
            int k = (max >= 0 && max < count) ? max : count;
            fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 7, "Max replaces is %d", k);
            int64_t target_length = hs->length;
            int64_t rlen = hr->length;
            int64_t new_length = target_length;
            for (int i = 0; i < k; i++) {
                int *vect = vector_at(v, i);
                FR_ASSERT(vect[1] >= vect[0] && vect[1] <= target_length);
                new_length += rlen - (vect[1] - vect[0]);
            }
            fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 7, "New length is %d", static_cast<int>(new_length));
            if (new_length > UINT32_MAX)
                xxl_throw_error(E2BIG, nullptr, KIVO_FILE, __LINE__);
            safestr_t out = safestr_alloc(static_cast<uint32_t>(new_length), SAFESTR_F_ASSET_ON_ERROR);
            // Released at the block's end: the new string keeps the one it was made with.
            safestr_header_t *ho = safestr_get(out, SAFESTR_GET_WRITABLE);
            safestr_header_t *w = safestr_resize(ho, static_cast<uint32_t>(new_length));
            char *dst = reinterpret_cast<char *>(w + 1);
            const char *src = old;
            int64_t dest_pos = 0, prev = 0;
            for (int i = 0; i < k; i++) {
                int *vect = vector_at(v, i);
                memcpy(dst + dest_pos, src + prev, static_cast<size_t>(vect[0] - prev));
                dest_pos += vect[0] - prev;
                memcpy(dst + dest_pos, replacement, static_cast<size_t>(rlen));
                dest_pos += rlen;
                prev = vect[1];
                fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 7, "Dest pos = %d", static_cast<int>(dest_pos));
                FR_ASSERT(dest_pos <= new_length && dest_pos >= 0);
            }
            memcpy(dst + dest_pos, src + prev, static_cast<size_t>(target_length - prev));
            dest_pos += target_length - prev;
            FR_ASSERT(dest_pos == new_length);
            out = safestr_complete(ho, w);
            if (safestr_istrusted(old) && safestr_istrusted(replacement))
                safestr_trust(out);
            safestr_free(old);
            *subject = out;
            result = k;
        }
    }
    XXL_ON_ANY {
        errno = XXL_EXCEPTION_CODE() == E2BIG ? E2BIG : EINVAL;
        result = -1;
    }
    XXL_BLOCK_END;
    if (vectors)
        fr_array_unref(vectors);
    return result;
}

KIVO_API int fr_regsplit(safestr_t subject, safestr_t pattern, fr_reglink_t *list) {
    if (!subject || !pattern || !list) {
        errno = EINVAL;
        return -1;
    }
    if (!list->next || !list->prev)
        list->next = list->prev = list;
    fr_array_t *volatile vectors = nullptr;
    volatile int result = -1;
    XXL_BLOCK {
        safestr_header_t *hs = safestr_get(subject, SAFESTR_GET_READONLY);
        safestr_get(pattern, SAFESTR_GET_READONLY);
        fr_array_t *v = nullptr;
        int count = exec_bytes(pattern, strlen(pattern), subject, hs->length, &v, nullptr);
        vectors = v;
        int prev = 0;
        for (int i = 0; i < count; i++) {
            int *vect = vector_at(v, i);
            safestr_t piece = safestr_slice(subject, static_cast<uint32_t>(prev), static_cast<uint32_t>(vect[0]));
            auto *node = static_cast<fr_regnode_t *>(fr_alloc(sizeof(fr_regnode_t)));
            node->string = piece;
            node->link.next = list;
            node->link.prev = list->prev;
            list->prev->next = &node->link;
            list->prev = &node->link;
            prev = vect[1];
        }
        result = count;
    }
    XXL_ON_ANY {
        errno = EINVAL;
        result = -1;
    }
    XXL_BLOCK_END;
    if (vectors)
        fr_array_unref(vectors);
    return result;
}

} // extern "C"
