/*
 * The xxl exception frame: protected blocks, coded exceptions and clean-up
 * assets on top of setjmp/longjmp.
 *
 *   XXL_BLOCK {
 *       ... body; anything below may call xxl_throw_error() ...
 *   } XXL_ON(ENOMEM) {
 *       ... handler for one code ...
 *   } XXL_ON_ANY {
 *       ... any other code ...
 *   } XXL_BLOCK_END;
 *
 * Never return, break or goto out of a block: every path must reach
 * XXL_BLOCK_END. Locals changed in the body and read in a handler must be
 * volatile. In the thread-safe build every thread has its own stack.
 */
#ifndef KIVO_EXCEPTIONS_H
#define KIVO_EXCEPTIONS_H

#include <pthread.h>
#include <setjmp.h>
#include <stdio.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Block states (low byte of the context state word). */
#define XXL_STATE_BODY 0
#define XXL_STATE_ARRIVED 1
#define XXL_STATE_RETRY 2
#define XXL_STATE_PROMOTED 3
#define XXL_STATE_PENDING 5

/* Context flags (second byte of the state word). */
#define XXL_FLAG_HANDLED 0x01
#define XXL_FLAG_ON_EXIT 0x02
#define XXL_FLAG_PENDING 0x04
#define XXL_FLAG_THROWN 0x08

/* Asset dispositions. */
#define XXL_ASSET_ON_ERROR 1
#define XXL_ASSET_ALWAYS 2
#define XXL_ASSET_KEEP 3
#define XXL_ASSET_ON_SUCCESS 4

/* Release modes of xxl_release_asset(). */
#define XXL_RELEASE_ALL 0
#define XXL_RELEASE_INNERMOST 1
#define XXL_RELEASE_FIRST 2

/* Codes for xxl_leave_handler(). */
#define XXL_LEAVE_PROPAGATE 1
#define XXL_LEAVE_RETRY 2
#define XXL_LEAVE_PROMOTE 3

typedef struct xxl_exception {
    int code;         /* errno value, a safe-string code, -1 thread exit, -2 retry; 0 none */
    void *data;       /* thrower's data (the offending string or null) */
    const char *file; /* thrower's source file */
    int line;         /* thrower's source line */
} xxl_exception_t;

typedef void (*xxl_assetfreefn_t)(void *asset, void *arg);

typedef struct xxl_asset {
    void *asset;
    xxl_assetfreefn_t freefn;
    void *arg;
    unsigned int type; /* disposition */
    struct xxl_asset *next;
} xxl_asset_t;

/* A context record. Block macros read and write `jmp_buf` and `state`.
 * One layout for both builds: the plain build leaves cancel_type unused. */
typedef struct xxl_context {
    jmp_buf *context;   /* null for an asset block */
    unsigned int state; /* low byte state, second byte flags */
    xxl_exception_t exception;
    xxl_exception_t pending;
    int cancel_type; /* thread-safe build: cancellation type before the push */
    xxl_asset_t *assets;
    struct xxl_context *next;
} xxl_context_t;

/* Block protocol. */
KIVO_API xxl_context_t *xxl_push_context(jmp_buf *context);
KIVO_API void xxl_pop_context(void);
KIVO_API void xxl_pop_contexts(void);
KIVO_API KIVO_NORETURN void xxl_leave_handler(int how);
KIVO_API KIVO_NORETURN void xxl_throw_error(int code, void *data, const char *file, int line);
/* Fields of the innermost handler's exception; 0 / null with no handler. */
KIVO_API int xxl_current_error_code(void);
KIVO_API void *xxl_current_error_data(void);
KIVO_API const char *xxl_current_error_file(void);
KIVO_API int xxl_current_error_line(void);

/* Assets of the innermost context. Disposition 0 registers nothing. */
KIVO_API void xxl_push_asset(void *asset, xxl_assetfreefn_t freefn, void *arg, unsigned int type);
KIVO_API void xxl_update_asset(void *old_asset, void *new_asset);
KIVO_API void xxl_release_asset(void *asset, unsigned int mode);

/* Resource wrappers: the call's own result; registered only on success. */
KIVO_API void *xxl_malloc(size_t nbytes, unsigned int type);
/* A moved block takes over the old one's registrations; size 0 frees ptr and
 * drops them; with a null ptr inside a block the new block is registered
 * as XXL_ASSET_ON_ERROR. */
KIVO_API void *xxl_realloc(void *ptr, size_t nbytes);
KIVO_API void xxl_free(void *ptr);
KIVO_API FILE *xxl_fopen(const char *file, const char *mode, unsigned int type);
/* fclose frees the stream even when it fails: the registration always goes. */
KIVO_API int xxl_fclose(FILE *fp);
KIVO_API int xxl_open(const char *file, int flags, int mode, unsigned int type);
/* close is never retried (after EINTR the descriptor is already gone) and
 * the registration always goes, whatever close returned. */
KIVO_API int xxl_close(int fd);
KIVO_API int xxl_socket(int domain, int type, int protocol, unsigned int asset_type);
KIVO_API int xxl_closesocket(int sd);
KIVO_API int xxl_shutdown(int sd, int how);
KIVO_API void xxl_cleanup_ptr(void *ptr, void *arg);
KIVO_API void xxl_cleanup_FILE(void *fp, void *arg);
KIVO_API void xxl_cleanup_fd(void *fd, void *arg);
KIVO_API void xxl_cleanup_socket(void *sd, void *arg);
/* Thread-safe build only (not in the plain library): a mutex held as an
 * asset of the innermost context. */
KIVO_API int xxl_lock(pthread_mutex_t *mutex, unsigned int type);
KIVO_API int xxl_unlock(pthread_mutex_t *mutex);
KIVO_API void xxl_cleanup_lock(void *mutex, void *arg);

/* ---- block macros ---- */
#define XXL__STATE(c) ((c)->state & 0xFFu)
#define XXL__FLAGS(c) (((c)->state >> 8) & 0xFFu)
#define XXL__SETFLAG(c, f) ((c)->state |= ((unsigned int)(f) << 8))
#define XXL__CLRFLAG(c, f) ((c)->state &= ~((unsigned int)(f) << 8))

#define XXL_BLOCK                                                                         \
    {                                                                                     \
        jmp_buf xxl_jmpbuf__;                                                             \
        xxl_context_t *volatile xxl_ctx__ = xxl_push_context(&xxl_jmpbuf__);              \
        {                                                                                 \
            /* setjmp as the whole controlling expression, the form C allows; \
             * compilers turn the cases into one range test. A code outside \
             * them was stored in the state by the frame before its longjmp. */ \
            unsigned int xxl_setjmp_val__;                                                \
            switch (setjmp(xxl_jmpbuf__)) {                                               \
            case 0: xxl_setjmp_val__ = 0; break;                                          \
            case 1: xxl_setjmp_val__ = 1; break;                                          \
            case 2: xxl_setjmp_val__ = 2; break;                                          \
            case 3: xxl_setjmp_val__ = 3; break;                                          \
            case 4: xxl_setjmp_val__ = 4; break;                                          \
            case 5: xxl_setjmp_val__ = 5; break;                                          \
            default: xxl_setjmp_val__ = xxl_ctx__->state & 0xFFu; break;                  \
            }                                                                             \
            xxl_ctx__->state = (xxl_ctx__->state & ~(0xFFu | ((unsigned int)(XXL_FLAG_HANDLED | XXL_FLAG_ON_EXIT) << 8))) \
                               | xxl_setjmp_val__;                                        \
        }                                                                                 \
        if (XXL__STATE(xxl_ctx__) == XXL_STATE_BODY || XXL__STATE(xxl_ctx__) == XXL_STATE_RETRY)

#define XXL__HANDLER_TEST                                                                 \
    (XXL__STATE(xxl_ctx__) == XXL_STATE_ARRIVED && !(XXL__FLAGS(xxl_ctx__) & XXL_FLAG_HANDLED))

/* Handler section for one exception code. */
#define XXL_ON(code)                                                                      \
    else if (XXL__HANDLER_TEST && xxl_current_error_code() == (code)                      \
             && (XXL__SETFLAG(xxl_ctx__, XXL_FLAG_HANDLED), 1))

/* Handler section for any code; place it after the XXL_ON sections. */
#define XXL_ON_ANY else if (XXL__HANDLER_TEST && (XXL__SETFLAG(xxl_ctx__, XXL_FLAG_HANDLED), 1))

/* Exit section: runs whatever the state. */
#define XXL_ON_EXIT if ((XXL__SETFLAG(xxl_ctx__, XXL_FLAG_ON_EXIT), 1))

#define XXL_BLOCK_END                                                                     \
        {                                                                                 \
            unsigned int xxl_state__ = xxl_ctx__->state;                                  \
            if (xxl_state__ & ((unsigned int)XXL_FLAG_ON_EXIT << 8))                      \
                xxl_ctx__->state = xxl_state__ &= ~((unsigned int)XXL_FLAG_ON_EXIT << 8); \
            if ((xxl_state__ & 0xFFu) == XXL_STATE_PENDING || (xxl_state__ & 0xFFu) == XXL_STATE_PROMOTED \
                || ((xxl_state__ & 0xFFu) == XXL_STATE_ARRIVED                            \
                    && !(xxl_state__ & ((unsigned int)XXL_FLAG_HANDLED << 8))))           \
                xxl_leave_handler(XXL_LEAVE_PROPAGATE);                                   \
        }                                                                                 \
        xxl_pop_contexts();                                                               \
    }

/* Raise an exception with the caller's location. */
#define XXL_THROW_ERROR(code, data) xxl_throw_error((code), (void *)(data), __FILE__, __LINE__)
/* Inside a handler section: run the body again / pass the exception outward. */
#define XXL_RETRY xxl_leave_handler(XXL_LEAVE_RETRY)
#define XXL_PROMOTE xxl_leave_handler(XXL_LEAVE_PROMOTE)
/* The exception being handled by the innermost block. */
#define XXL_EXCEPTION_CODE() xxl_current_error_code()
#define XXL_EXCEPTION_DATA() xxl_current_error_data()
#define XXL_EXCEPTION_FILE() xxl_current_error_file()
#define XXL_EXCEPTION_LINE() xxl_current_error_line()

/* Asset block: owns assets, never receives control. */
#define XXL_ASSET_BLOCK_BEGIN xxl_push_context(NULL);
#define XXL_ASSET_BLOCK_END xxl_pop_context();

KIVO_END_DECLS

#endif
