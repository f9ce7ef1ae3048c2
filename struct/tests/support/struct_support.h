// Test helpers: a log callback that records precondition reports, and a
// caller allocator that counts blocks and can be told to fail.
#pragma once
#include <string>
#include <vector>
#include <kivo/object.h>

struct Report {
    std::string file, function, message;
    int level;
};

// Installs a log callback for its lifetime and records every message.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    const std::vector<Report> &reports() const;
    void clear();
    // Number of "conditional return" lines logged by `function`.
    int conditional(const char *function) const;
};

// A caller allocator over malloc. live() is the number of blocks handed out
// and not yet freed; fail_after(n) makes the allocation after the next n
// fail (n < 0: never fail).
struct CountingAlloc {
    static fr_alloc_api api;
    static long calls, frees, live;
    static long fail_in;
    static void reset();
    static void fail_after(long n) { fail_in = n; }
};
