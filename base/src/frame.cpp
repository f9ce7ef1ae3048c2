// The xxl exception frame: per-thread context stacks, assets and the
// setjmp/longjmp unwinding. Frame exceptions start here: no function in this
// file holds an object with a destructor.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <kivo/exceptions.h>

// The wrappers compare an address with the registrations after the object
// behind it is gone: only the value is used, never the memory.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif

namespace {

struct thread_state {
    xxl_context_t *contexts;      // top of the stack
    xxl_context_t *free_contexts; // recycled context records
    xxl_asset_t *free_assets;     // recycled asset records
    bool exiting;                 // the thread is ending: its frames are gone
};

constexpr xxl_exception_t zero_exception = {0, nullptr, nullptr, 0};
constexpr xxl_exception_t retry_exception = {-2, nullptr, nullptr, 0};

constexpr unsigned flag_bits(unsigned flags) { return flags << 8; }
inline unsigned state_of(const xxl_context_t *c) { return c->state & 0xFFu; }
inline unsigned flags_of(const xxl_context_t *c) { return (c->state >> 8) & 0xFFu; }

[[noreturn]] void fatal(const char *message) {
    fputs(message, stderr);
    abort();
}

void pop_one(thread_state *s);

#if KIVO_THREADS
constexpr xxl_exception_t thread_exit_exception = {-1, nullptr, nullptr, 0};
// A context's cancel_type when its push left the cancellation type alone
// (a nested push): its pop leaves it alone too.
constexpr int kCancelKept = -1;

pthread_key_t state_key;
pthread_once_t state_once = PTHREAD_ONCE_INIT;
// initial-exec: the library is linked, not dlopen'ed, so the slot is static
// and reaching it costs no call.
__thread thread_state *tls_state __attribute__((tls_model("initial-exec")));

// Thread exit: every context still open is popped as if left by an
// exception of code -1 (leaving a thread is not a success, so the contexts
// are marked thrown), then the recycled records go back to the allocator.
// The blocks' frames are unwound by now: a cleanup that raises must not
// jump into them.
void thread_exit(void *arg) {
    auto *s = static_cast<thread_state *>(arg);
    s->exiting = true;
    while (s->contexts) {
        s->contexts->exception = thread_exit_exception;
        s->contexts->state |= flag_bits(XXL_FLAG_THROWN);
        pop_one(s);
    }
    while (xxl_context_t *c = s->free_contexts) {
        s->free_contexts = c->next;
        free(c);
    }
    while (xxl_asset_t *a = s->free_assets) {
        s->free_assets = a->next;
        free(a);
    }
    tls_state = nullptr;
    free(s);
}

void make_key() {
    if (pthread_key_create(&state_key, thread_exit) != 0)
        fatal("XXL: Insufficient memory to allocate thread-specific data!\n");
}

__attribute__((noinline)) thread_state *new_state() {
    pthread_once(&state_once, make_key);
    auto *s = static_cast<thread_state *>(calloc(1, sizeof(thread_state)));
    if (!s || pthread_setspecific(state_key, s) != 0)
        fatal("XXL: Insufficient memory to allocate thread-specific data!\n");
    tls_state = s;
    return s;
}

inline thread_state *state() {
    thread_state *s = tls_state;
    return __builtin_expect(s != nullptr, 1) ? s : new_state();
}
#else
thread_state process_state;
inline thread_state *state() { return &process_state; }
#endif

xxl_context_t *innermost_handler(thread_state *s) {
    xxl_context_t *c = s->contexts;
    while (c && !c->context)
        c = c->next;
    return c;
}

// Runs (or drops) every asset of c, newest first, by disposition and the
// context's THROWN flag. Records go back to the free list before their
// cleanup runs, so a cleanup that registers assets reuses them safely.
inline void run_assets(thread_state *s, xxl_context_t *c) {
    while (xxl_asset_t *a = c->assets) {
        c->assets = a->next;
        bool thrown = flags_of(c) & XXL_FLAG_THROWN;
        bool run;
        switch (a->type) {
        case XXL_ASSET_ON_ERROR: run = thrown; break;
        case XXL_ASSET_ALWAYS: run = true; break;
        case XXL_ASSET_KEEP: run = false; break;
        case XXL_ASSET_ON_SUCCESS: run = !thrown; break;
        default: fatal("XXL: Unknown asset type to pop!\n");
        }
        void *asset = a->asset, *arg = a->arg;
        xxl_assetfreefn_t fn = a->freefn;
        a->next = s->free_assets;
        s->free_assets = a;
        if (run && fn)
            fn(asset, arg);
    }
}

// Pops the top context. Inlined into the usual close of a block.
inline __attribute__((always_inline)) void pop_top(thread_state *s, xxl_context_t *c) {
    if (__builtin_expect(flags_of(c) & XXL_FLAG_PENDING, 0))
        c->exception = c->pending;
    if (c->assets)
        run_assets(s, c);
    s->contexts = c->next;
    c->next = s->free_contexts;
    s->free_contexts = c;
#if KIVO_THREADS
    if (c->cancel_type != kCancelKept)
        pthread_setcanceltype(c->cancel_type, nullptr);
#endif
}

void pop_one(thread_state *s) {
    if (xxl_context_t *c = s->contexts)
        pop_top(s, c);
}

// Pops every context above target (all of them when target is null); each
// receives target's flags and a copy of exc on the way out.
void pop_down_to(thread_state *s, xxl_context_t *target, const xxl_exception_t *exc) {
    unsigned inherited = target ? (target->state & flag_bits(0xFF)) : 0;
    while (s->contexts && s->contexts != target) {
        xxl_context_t *top = s->contexts;
        top->state |= inherited;
        top->exception = *exc;
        pop_one(s);
    }
}

[[noreturn]] void raise(thread_state *s, xxl_exception_t e) {
    if (s->exiting)
        fatal("XXL: Exception thrown while the thread exits!\n");
    for (;;) {
        xxl_context_t *h = innermost_handler(s);
        if (!h)
            fatal("XXL: Exception thrown with no handler to catch it!\n");
        switch (state_of(h)) {
        case XXL_STATE_BODY:
        case XXL_STATE_RETRY:
            h->state |= flag_bits(XXL_FLAG_THROWN);
            h->exception = e;
            pop_down_to(s, h, &h->exception);
            longjmp(*h->context, XXL_STATE_ARRIVED);
        case XXL_STATE_ARRIVED:
            h->state |= flag_bits(XXL_FLAG_THROWN | XXL_FLAG_PENDING);
            h->pending = e;
            pop_down_to(s, h, &h->exception);
            longjmp(*h->context, XXL_STATE_PENDING);
        case XXL_STATE_PENDING:
            if (flags_of(h) & XXL_FLAG_ON_EXIT) {
                h->state |= flag_bits(XXL_FLAG_THROWN | XXL_FLAG_PENDING);
                h->pending = e;
                xxl_pop_contexts();
                continue; // on to the next handler outward
            }
            [[fallthrough]];
        default:
            fatal("XXL: Inconsistent state in xxl_throw_error()!\n");
        }
    }
}

static_assert(offsetof(xxl_context_t, state) < offsetof(xxl_context_t, assets) &&
                  offsetof(xxl_context_t, assets) < offsetof(xxl_context_t, next) &&
                  offsetof(xxl_context_t, context) < offsetof(xxl_context_t, state),
              "push zero-fills the fields from the state word to the asset list");

__attribute__((noinline)) xxl_context_t *new_context() {
    auto *c = static_cast<xxl_context_t *>(malloc(sizeof(xxl_context_t)));
    if (!c)
        fatal("XXL: Insufficient memory to allocate a new context!\n");
    return c;
}

xxl_asset_t *new_asset(thread_state *s) {
    xxl_asset_t *a = s->free_assets;
    if (a) {
        s->free_assets = a->next;
        return a;
    }
    a = static_cast<xxl_asset_t *>(malloc(sizeof(xxl_asset_t)));
    if (!a)
        fatal("XXL: Insufficient memory to allocate a new asset record!\n");
    return a;
}

// Unlinks *link's record onto the free list.
inline void drop_asset(thread_state *s, xxl_asset_t **link) {
    xxl_asset_t *a = *link;
    *link = a->next;
    a->next = s->free_assets;
    s->free_assets = a;
}

bool release_first_in(thread_state *s, xxl_context_t *c, void *asset) {
    for (xxl_asset_t **link = &c->assets; *link; link = &(*link)->next) {
        if ((*link)->asset == asset) {
            drop_asset(s, link);
            return true;
        }
    }
    return false;
}

inline void *fd_asset(int fd) { return reinterpret_cast<void *>(static_cast<intptr_t>(fd)); }

} // namespace

extern "C" {

KIVO_API xxl_context_t *xxl_push_context(jmp_buf *context) {
#if KIVO_THREADS
    // The outermost push switches the thread to deferred cancellation, and
    // does so first: the thread's first push allocates its state, and an
    // asynchronous cancel must not land inside the allocator. A nested
    // push finds the thread deferred already and leaves the type alone
    // (two C library calls fewer per block).
    thread_state *s = tls_state;
    int old_type = kCancelKept;
    if (__builtin_expect(!s || !s->contexts, 0)) {
        pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &old_type);
        if (!s)
            s = new_state();
    }
#else
    thread_state *s = state();
#endif
    xxl_context_t *c = s->free_contexts;
    if (__builtin_expect(c != nullptr, 1))
        s->free_contexts = c->next;
    else
        c = new_context();
    // A store per field: a memset of these few bytes becomes a string
    // instruction that is slow to start.
    c->state = 0;
    c->exception = zero_exception;
    c->pending = zero_exception;
    c->assets = nullptr;
    c->context = context;
#if KIVO_THREADS
    c->cancel_type = old_type;
#else
    c->cancel_type = 0;
#endif
    c->next = s->contexts;
    s->contexts = c;
    return c;
}

KIVO_API void xxl_pop_context(void) { pop_one(state()); }

KIVO_API void xxl_pop_contexts(void) {
    thread_state *s = state();
    xxl_context_t *top = s->contexts;
    if (__builtin_expect(top && top->context, 1)) { // the usual close: the handler is on top
        pop_top(s, top);
        return;
    }
    xxl_context_t *h = innermost_handler(s);
    if (h) {
        pop_down_to(s, h, &h->exception);
        pop_one(s);
    } else {
        pop_down_to(s, nullptr, &zero_exception);
    }
}

KIVO_API void xxl_leave_handler(int how) {
    thread_state *s = state();
    if (s->exiting)
        fatal("XXL: Exception thrown while the thread exits!\n");
    xxl_context_t *h = innermost_handler(s);
    if (!h)
        fatal("XXL: Exception thrown with no handler to catch it!\n");
    switch (how) {
    case XXL_LEAVE_PROMOTE:
        if (!(flags_of(h) & XXL_FLAG_THROWN))
            fatal("XXL: Cannot promote a non-existant exception!\n");
        pop_down_to(s, h, &h->exception);
        longjmp(*h->context, XXL_STATE_PROMOTED);
    case XXL_LEAVE_RETRY:
        pop_down_to(s, h, &retry_exception);
        h->exception = retry_exception;
        run_assets(s, h);
        h->exception = zero_exception;
        // The body starts afresh: a successful second attempt is a normal
        // exit, so its success assets run and its error assets do not.
        h->state &= ~flag_bits(XXL_FLAG_THROWN | XXL_FLAG_PENDING);
        longjmp(*h->context, XXL_STATE_RETRY);
    case XXL_LEAVE_PROPAGATE: {
        pop_down_to(s, h, &h->exception);
        xxl_exception_t e = (flags_of(h) & XXL_FLAG_PENDING) ? h->pending : h->exception;
        pop_one(s);
        if (!s->contexts)
            fatal("XXL: Exception thrown with no handler to catch it!\n");
        raise(s, e);
    }
    default:
        pop_down_to(s, h, &h->exception);
        // The block reads codes it does not list from the state word.
        h->state = (h->state & ~0xFFu) | (static_cast<unsigned>(how) & 0xFFu);
        longjmp(*h->context, how);
    }
}

KIVO_API void xxl_throw_error(int code, void *data, const char *file, int line) {
    raise(state(), xxl_exception_t{code, data, file, line});
}

KIVO_API int xxl_current_error_code(void) {
    xxl_context_t *h = innermost_handler(state());
    return h ? h->exception.code : 0;
}

KIVO_API void *xxl_current_error_data(void) {
    xxl_context_t *h = innermost_handler(state());
    return h ? h->exception.data : nullptr;
}

KIVO_API const char *xxl_current_error_file(void) {
    xxl_context_t *h = innermost_handler(state());
    return h ? h->exception.file : nullptr;
}

KIVO_API int xxl_current_error_line(void) {
    xxl_context_t *h = innermost_handler(state());
    return h ? h->exception.line : 0;
}

KIVO_API void xxl_push_asset(void *asset, xxl_assetfreefn_t freefn, void *arg, unsigned int type) {
    if (type == 0)
        return;
    thread_state *s = state();
    xxl_context_t *c = s->contexts;
    if (!c)
        fatal("XXL_: Attempt to push an asset outside of an asset block!\n");
    xxl_asset_t *a = new_asset(s);
    a->asset = asset;
    a->freefn = freefn;
    a->arg = arg;
    a->type = type;
    a->next = c->assets;
    c->assets = a;
}

KIVO_API void xxl_update_asset(void *old_asset, void *new_asset) {
    for (xxl_context_t *c = state()->contexts; c; c = c->next)
        for (xxl_asset_t *a = c->assets; a; a = a->next)
            if (a->asset == old_asset)
                a->asset = new_asset;
}

KIVO_API void xxl_release_asset(void *asset, unsigned int mode) {
    thread_state *s = state();
    switch (mode) {
    case XXL_RELEASE_INNERMOST:
        if (s->contexts)
            release_first_in(s, s->contexts, asset);
        break;
    case XXL_RELEASE_FIRST:
        for (xxl_context_t *c = s->contexts; c; c = c->next)
            if (release_first_in(s, c, asset))
                break;
        break;
    default:
        for (xxl_context_t *c = s->contexts; c; c = c->next)
            release_first_in(s, c, asset);
        break;
    }
}

KIVO_API void xxl_cleanup_ptr(void *ptr, void *) { free(ptr); }
KIVO_API void xxl_cleanup_FILE(void *fp, void *) { fclose(static_cast<FILE *>(fp)); }
KIVO_API void xxl_cleanup_fd(void *fd, void *) { close(static_cast<int>(reinterpret_cast<intptr_t>(fd))); }
KIVO_API void xxl_cleanup_socket(void *sd, void *) { close(static_cast<int>(reinterpret_cast<intptr_t>(sd))); }

KIVO_API void *xxl_malloc(size_t nbytes, unsigned int type) {
    void *p = malloc(nbytes);
    if (p)
        xxl_push_asset(p, xxl_cleanup_ptr, nullptr, type);
    return p;
}

KIVO_API void *xxl_realloc(void *ptr, size_t nbytes) {
    void *old_key = ptr; // compared by value once realloc has run
    void *p = realloc(ptr, nbytes);
    if (!old_key) {
        // A new block: registrations of a null asset belong to someone
        // else. Inside a block it is freed if an exception leaves it.
        if (p && state()->contexts)
            xxl_push_asset(p, xxl_cleanup_ptr, nullptr, XXL_ASSET_ON_ERROR);
    } else if (p) {
        if (p != old_key)
            xxl_update_asset(old_key, p);
    } else if (nbytes == 0) {
        xxl_release_asset(old_key, XXL_RELEASE_ALL); // freed by realloc
    }
    return p;
}

KIVO_API void xxl_free(void *ptr) {
    void *key = ptr;
    free(ptr);
    xxl_release_asset(key, XXL_RELEASE_ALL);
}

KIVO_API FILE *xxl_fopen(const char *file, const char *mode, unsigned int type) {
    FILE *fp = fopen(file, mode);
    if (fp)
        xxl_push_asset(fp, xxl_cleanup_FILE, nullptr, type);
    return fp;
}

// fclose releases the stream whatever it returns.
KIVO_API int xxl_fclose(FILE *fp) {
    void *key = fp;
    int r = fclose(fp);
    xxl_release_asset(key, XXL_RELEASE_ALL);
    return r;
}

KIVO_API int xxl_open(const char *file, int flags, int mode, unsigned int type) {
    int fd = open(file, flags, mode);
    if (fd != -1)
        xxl_push_asset(fd_asset(fd), xxl_cleanup_fd, nullptr, type);
    return fd;
}

// On Linux the descriptor is gone even when close fails (EINTR, EIO): a
// retry or a kept registration could later close another thread's new
// descriptor of the same number.
KIVO_API int xxl_close(int fd) {
    int r = close(fd);
    xxl_release_asset(fd_asset(fd), XXL_RELEASE_ALL);
    return r;
}

KIVO_API int xxl_socket(int domain, int type, int protocol, unsigned int asset_type) {
    int sd = socket(domain, type, protocol);
    if (sd != -1)
        xxl_push_asset(fd_asset(sd), xxl_cleanup_socket, nullptr, asset_type);
    return sd;
}

KIVO_API int xxl_closesocket(int sd) {
    int r = close(sd);
    xxl_release_asset(fd_asset(sd), XXL_RELEASE_ALL);
    return r;
}

KIVO_API int xxl_shutdown(int sd, int how) {
    int r = shutdown(sd, how);
    if (r != -1)
        xxl_release_asset(fd_asset(sd), XXL_RELEASE_ALL);
    return r;
}

#if KIVO_THREADS
KIVO_API void xxl_cleanup_lock(void *mutex, void *) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex)); }

KIVO_API int xxl_lock(pthread_mutex_t *mutex, unsigned int type) {
    int r = pthread_mutex_lock(mutex);
    if (r == 0)
        xxl_push_asset(mutex, xxl_cleanup_lock, nullptr, type);
    return r;
}

KIVO_API int xxl_unlock(pthread_mutex_t *mutex) {
    int r = pthread_mutex_unlock(mutex);
    if (r == 0)
        xxl_release_asset(mutex, XXL_RELEASE_FIRST);
    return r;
}
#endif

} // extern "C"
