#include "support/struct_support.h"
#include <stdlib.h>
#include <string.h>
#include <kivo/log.h>

namespace {
std::vector<Report> g_reports;
void capture(const char *file, int, const char *function, int level, const char *message) {
    g_reports.push_back(Report{file ? file : "", function ? function : "", message ? message : "", level});
}

bool should_fail() {
    if (CountingAlloc::fail_in < 0) return false;
    if (CountingAlloc::fail_in-- == 0) return true;
    return false;
}
void *c_alloc(size_t n) {
    if (should_fail()) return nullptr;
    CountingAlloc::calls++;
    CountingAlloc::live++;
    return malloc(n);
}
void *c_calloc(size_t n, size_t s) {
    if (should_fail()) return nullptr;
    CountingAlloc::calls++;
    CountingAlloc::live++;
    return calloc(n, s);
}
void *c_realloc(void *p, size_t n) {
    if (should_fail()) return nullptr;
    if (!p) {
        CountingAlloc::calls++;
        CountingAlloc::live++;
    }
    return realloc(p, n);
}
void c_free(void *p) {
    if (!p) return;
    CountingAlloc::frees++;
    CountingAlloc::live--;
    free(p);
}
}  // namespace

fr_alloc_api CountingAlloc::api = {c_alloc, c_calloc, c_realloc, c_free};
long CountingAlloc::calls, CountingAlloc::frees, CountingAlloc::live;
long CountingAlloc::fail_in = -1;
void CountingAlloc::reset() { calls = frees = live = 0, fail_in = -1; }

LogCapture::LogCapture() {
    g_reports.clear();
    fr_log_init_custom(capture);
}
LogCapture::~LogCapture() {
    fr_log_setlogger(nullptr);
    fr_log_close();
}
const std::vector<Report> &LogCapture::reports() const { return g_reports; }
void LogCapture::clear() { g_reports.clear(); }
int LogCapture::conditional(const char *function) const {
    int n = 0;
    for (const Report &r : g_reports)
        if (r.function == function && r.level == 7 && r.message.find(":conditional return") != std::string::npos &&
            r.message.rfind(r.file + ":", 0) == 0)
            n++;
    return n;
}
