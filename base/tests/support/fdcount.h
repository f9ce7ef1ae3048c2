// Test helpers: open-descriptor count, a self-closing pipe and
// self-removing temporary folders.
#pragma once
#include <string>

#include <unistd.h>

// Number of descriptors open in this process (from /proc/self/fd).
int count_open_fds();

struct TempDir {
    explicit TempDir(const char *base = "/tmp");
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    std::string path;
};

// A pipe whose ends close with the object; r and w are -1 when pipe() failed.
struct Pipe {
    int r = -1, w = -1;
    Pipe()
    {
        int p[2];
        if (pipe(p) == 0) {
            r = p[0];
            w = p[1];
        }
    }
    void close_w()
    {
        if (w >= 0)
            ::close(w);
        w = -1;
    }
    ~Pipe()
    {
        if (r >= 0)
            ::close(r);
        close_w();
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
};
