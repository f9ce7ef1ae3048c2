// Fills every template of the template fuzzer's corpus (folders given on
// the command line) and prints each file's name, output length and output,
// so that the outputs of the two builds can be compared byte for byte.
#include <dirent.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <kivo/log.h>

#include "../../fuzz/tpl_fill_input.h"

static void quiet(const char *, int, const char *, int, const char *) {}

int main(int argc, char **argv) {
    fr_log_init_custom(quiet);
    int files = 0;
    for (int a = 1; a < argc; a++) {
        std::vector<std::string> names;
        if (DIR *d = opendir(argv[a])) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') names.push_back(std::string(argv[a]) + "/" + e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            std::ifstream in(n, std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            std::string data = ss.str();
            fr_tpl_t *t = tpl_from_input(reinterpret_cast<const uint8_t *>(data.data()), data.size());
            std::string out = t ? tpl_fill_text(t) : "<no template>";
            if (t) _tpl_destroy(t);
            printf("== %s %zu\n", n.substr(n.rfind('/') + 1).c_str(), out.size());
            fwrite(out.data(), 1, out.size(), stdout);
            printf("\n");
            files++;
        }
    }
    fprintf(stderr, "%d templates filled\n", files);
    return files > 0 ? 0 : 1;
}
