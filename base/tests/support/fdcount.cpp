// Test helpers shared by the base tests: counting this process's open
// descriptors, and temporary directories removed at the end of a test.
#include "support/fdcount.h"

#include <dirent.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int count_open_fds()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n - 1; // the directory stream itself
}

TempDir::TempDir(const char *base)
{
    std::string tmpl = std::string(base) + "/kivo_test_XXXXXX";
    char *p = strdup(tmpl.c_str());
    if (mkdtemp(p))
        path = p;
    free(p);
}

TempDir::~TempDir()
{
    if (!path.empty()) {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
}
