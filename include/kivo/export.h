/* Export and linkage macros shared by every kivo header. */
#ifndef KIVO_EXPORT_H
#define KIVO_EXPORT_H

#if defined(KIVO_BUILDING)
#define KIVO_API __attribute__((visibility("default")))
#else
#define KIVO_API
#endif

#ifdef __cplusplus
#define KIVO_BEGIN_DECLS extern "C" {
#define KIVO_END_DECLS }
#else
#define KIVO_BEGIN_DECLS
#define KIVO_END_DECLS
#endif

#if defined(__GNUC__)
#define KIVO_NORETURN __attribute__((noreturn))
#define KIVO_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KIVO_NORETURN
#define KIVO_PRINTF(f, a)
#endif

/* Build flavour seen by the caller: 1 when linking a *_r library. */
#ifndef KIVO_THREADS
#define KIVO_THREADS 0
#endif

#endif
