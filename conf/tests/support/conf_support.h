// Test helpers of the configuration library: running code inside a
// protected block, collecting log lines, counting live safe strings.
#ifndef KIVO_CONF_SUPPORT_H
#define KIVO_CONF_SUPPORT_H

#include <string>
#include <vector>

#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/safestr.h>

namespace ctest {

// Runs f inside a protected block; the exception code, or 0. f must hold
// nothing with a destructor that matters (a fault leaves it by longjmp).
template <class F> int run(F &&f) {
    volatile int code = 0;
    XXL_BLOCK {
        f();
    }
    XXL_ON_ANY {
        code = xxl_current_error_code();
    }
    XXL_BLOCK_END;
    return code;
}

struct log_line {
    std::string file;
    std::string function;
    int level;
    std::string message;
};

// Every message while it lives; the default logger again afterwards.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    const std::vector<log_line> &lines() const;
    bool has(const std::string &message, int level = -1) const;
    void clear();
};

// Safe-string memory hooks counting live blocks while installed.
class StringCounter {
  public:
    StringCounter();
    ~StringCounter();
    long live() const;
};

// The bytes of a safe string (zero bytes included), "<null>" for null.
std::string text(safestr_t s);

} // namespace ctest

#endif
