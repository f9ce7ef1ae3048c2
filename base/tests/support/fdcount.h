// Test helpers: open-descriptor count and self-removing temporary folders.
#pragma once
#include <string>

// Number of descriptors open in this process (from /proc/self/fd).
int count_open_fds();

struct TempDir {
    explicit TempDir(const char *base = "/tmp");
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    std::string path;
};
