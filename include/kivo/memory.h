/*
 * Conventions every kivo library follows: allocation that never returns
 * null, precondition checks, assertions, exception logging in catch-all
 * handler sections, and retried system calls.
 */
#ifndef KIVO_MEMORY_H
#define KIVO_MEMORY_H

#include <stddef.h>
#include <stdlib.h>
#include <kivo/export.h>
#include <kivo/exceptions.h>
#include <kivo/log.h>

KIVO_BEGIN_DECLS

/* Never return null: on exhaustion write "out of memory" to standard error
 * and exit(12). fr_alloc(0) counts as exhaustion. Release with free(). */
KIVO_API void *fr_alloc(size_t size);
KIVO_API void *fr_calloc(size_t count, size_t size);
KIVO_API void *fr_realloc(void *ptr, size_t size);

/* Result of the latest wrapped system call (process-wide, not per thread). */
KIVO_API extern int __fr_wrap_ret;

/* 0: done (result not -1, or failure logged); 1: call again (EINTR or
 * EINPROGRESS and report_always is 0). */
KIVO_API int handle_wrap_result(int report_always, const char *context, const char *call, int result);

/* Source name given to the log by the macros below; a library source file
 * defines KIVO_FILE as its bare name before using them. */
#ifndef KIVO_FILE
#define KIVO_FILE __FILE__
#endif

#if defined(__GNUC__)
#define KIVO__NO_EXTRA_ARGS_WARNING_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wformat-extra-args\"")
#define KIVO__NO_EXTRA_ARGS_WARNING_END _Pragma("GCC diagnostic pop")
#else
#define KIVO__NO_EXTRA_ARGS_WARNING_BEGIN
#define KIVO__NO_EXTRA_ARGS_WARNING_END
#endif

/* Logs "<file>:<line>:conditional return" at LOG_DEBUG to syslog. */
#define FR_LOG_CONDITIONAL_RETURN()                                                        \
    do {                                                                                   \
        KIVO__NO_EXTRA_ARGS_WARNING_BEGIN                                                  \
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 7, "%s:%d:conditional return", \
                    KIVO_FILE, __LINE__, "");                                              \
        KIVO__NO_EXTRA_ARGS_WARNING_END                                                    \
    } while (0)

/* Precondition: when cond is false, log and return retval. */
#define FR_CHECK_RETURN(cond, retval)                                                      \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            FR_LOG_CONDITIONAL_RETURN();                                                   \
            return retval;                                                                 \
        }                                                                                  \
    } while (0)

/* Same, for functions returning nothing. */
#define FR_CHECK_RETURN_VOID(cond)                                                         \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            FR_LOG_CONDITIONAL_RETURN();                                                   \
            return;                                                                        \
        }                                                                                  \
    } while (0)

/* Internal invariant: log "Fatal:Assertion '<expr>' failed" to syslog and
 * standard error at LOG_ERR, close the logger, exit(1). */
#define FR_ASSERT(expr)                                                                    \
    do {                                                                                   \
        if (!(expr)) {                                                                     \
            fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_CONSOLE | FR_LOG_SYSLOG, 3,  \
                        "Fatal:Assertion '%s' failed", #expr);                             \
            fr_log_close();                                                                \
            exit(1);                                                                       \
        }                                                                                  \
    } while (0)

/* Catch-all handler section that logs the exception and swallows it:
 *   XXL_BLOCK { ... } FR_LOG_EXCEPTION XXL_BLOCK_END;  */
#define FR_LOG_EXCEPTION                                                                   \
    XXL_ON_ANY {                                                                           \
        int fr_exc_code__ = xxl_current_error_code();                                      \
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, 7,                       \
                    "%s:%d:exception %d at %s:%s:%d", KIVO_FILE, __LINE__, fr_exc_code__,  \
                    KIVO_FILE, __func__, __LINE__);                                        \
    }

/* Wrapped system call: FR_WRAP_CALL(close, fd); then test __fr_wrap_ret. */
#define FR_WRAP_CALL(fn, ...)                                                              \
    do {                                                                                   \
        __fr_wrap_ret = (int)fn(__VA_ARGS__);                                              \
    } while (handle_wrap_result(0, "", #fn, __fr_wrap_ret))

KIVO_END_DECLS

#endif
