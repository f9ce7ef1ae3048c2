// Test helpers of the configuration library.
#include "conf_support.h"

#include <stdlib.h>

namespace ctest {
namespace {

std::vector<log_line> captured;

void collect(const char *file, int, const char *function, int level, const char *message) {
    captured.push_back({file ? file : "", function ? function : "", level, message ? message : ""});
}

long live_blocks = 0;

void *count_malloc(size_t size, const char *, int) {
    void *p = malloc(size);
    if (p) live_blocks++;
    return p;
}
void *count_realloc(void *memory, size_t size, const char *, int) {
    void *p = realloc(memory, size);
    if (p && !memory) live_blocks++;
    return p;
}
void count_free(void *memory, const char *, int) {
    if (memory) live_blocks--;
    free(memory);
}

} // namespace

LogCapture::LogCapture() {
    captured.clear();
    fr_log_init_custom(collect);
}
LogCapture::~LogCapture() {
    fr_log_setlogger(nullptr);
    fr_log_close();
}
const std::vector<log_line> &LogCapture::lines() const { return captured; }
bool LogCapture::has(const std::string &message, int level) const {
    for (const auto &l : captured)
        if (l.message == message && (level < 0 || l.level == level)) return true;
    return false;
}
void LogCapture::clear() { captured.clear(); }

StringCounter::StringCounter() {
    live_blocks = 0;
    safestr_setmemfns(count_malloc, count_realloc, count_free);
}
StringCounter::~StringCounter() { safestr_setmemfns(nullptr, nullptr, nullptr); }
long StringCounter::live() const { return live_blocks; }

std::string text(safestr_t s) {
    if (!s) return "<null>";
    return std::string(s, safestr_length(s));
}

} // namespace ctest
