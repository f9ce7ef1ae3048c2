// Allocation that never returns null, and the retry rule for wrapped system
// calls. No frame exception passes through this file.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kivo/log.h>
#include <kivo/memory.h>

namespace {
[[noreturn]] void out_of_memory(const char *message, size_t len) {
    fwrite(message, 1, len, stderr);
    exit(12);
}
} // namespace

extern "C" {

KIVO_API int __fr_wrap_ret;

KIVO_API void *fr_alloc(size_t size) {
    void *p = size ? malloc(size) : nullptr;
    if (!p)
        out_of_memory("out of memory\n", 14);
    return p;
}

KIVO_API void *fr_calloc(size_t count, size_t size) {
    void *p = calloc(count, size);
    if (!p)
        out_of_memory("out of memory", 13);
    return p;
}

KIVO_API void *fr_realloc(void *ptr, size_t size) {
    void *p = realloc(ptr, size);
    if (!p)
        out_of_memory("out of memory", 13);
    return p;
}

KIVO_API int handle_wrap_result(int report_always, const char *context, const char *call, int result) {
    if (result != -1)
        return 0;
    int e = errno;
    if (!report_always && (e == EINTR || e == EINPROGRESS))
        return 1;
    fr_log_impl("wrappers", 31, "handle_wrap_result", FR_LOG_CONSOLE, 7, "%s:%s -- %s", context ? context : "",
                call ? call : "", strerror(e));
    errno = e;
    return 0;
}

} // extern "C"
