// parseconfig of generated option files of 10000 and 20000 lines (mixed
// integers, strings, booleans, lists, comments and unknown keys): the time
// must double with the input. GLib's GKeyFile reading the same settings in
// its own syntax is the comparison.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <glib.h>
#include <kivo/parseconfig.h>
#include <kivo/safestr.h>

namespace {

// Writes lines settings; keyfile selects "key=value" under a group.
void make_file(const char *path, int lines, bool keyfile)
{
    FILE *f = fopen(path, "w");
    if (keyfile)
        fputs("[main]\n", f);
    const char *sep = keyfile ? "=" : "   ";
    for (int i = 0; i < lines; i++) {
        switch (i % 8) {
        case 0: fprintf(f, "port%s%d\n", sep, 1000 + i); break;
        case 1: fprintf(f, "name%s\"server number %d\"\n", sep, i); break;
        case 2: fprintf(f, "verbose%s%s\n", sep, i % 3 ? "yes" : "no"); break;
        case 3: fprintf(f, "# comment line %d\n", i); break;
        case 4: fprintf(f, "unknown%d%svalue\n", i, sep); break;
        case 5: fprintf(f, "limit%s%u\n", sep, 4000000000u - i); break;
        case 6: fprintf(f, "path%s/var/lib/kivo/data/%d\n", sep, i); break;
        default: fprintf(f, "weight%s%d\n", sep, i * 7); break;
        }
    }
    fclose(f);
}

void bm_parseconfig(benchmark::State &st)
{
    char path[] = "/tmp/kivo_bench_pc_XXXXXX";
    close(mkstemp(path));
    int lines = (int)st.range(0);
    make_file(path, lines, false);
    for (auto _ : st) {
        int32_t port = 0, verbose = 0, *weights = nullptr, nweights = 0;
        uint32_t limit = 0;
        safestr_t name = nullptr, dir = nullptr;
        parseconfig_entry table[] = {{"port", PC_INT, &port, nullptr, nullptr, 0, 0},
                                     {"name", PC_STRING, &name, nullptr, nullptr, 0, 0},
                                     {"verbose", PC_BOOL, &verbose, nullptr, nullptr, 0, 0},
                                     {"limit", PC_UINT, &limit, nullptr, nullptr, 0, 0},
                                     {"path", PC_STRING, &dir, nullptr, nullptr, 0, 0},
                                     {"weight", PC_INT, &weights, &nweights, nullptr, 0, 0},
                                     {nullptr, 0, nullptr, nullptr, nullptr, 0, 0}};
        if (parseconfig(path, table) != 0 || nweights != lines / 8)
            st.SkipWithError("parse failed");
        safestr_free(name);
        safestr_free(dir);
        free(weights);
    }
    unlink(path);
    st.SetItemsProcessed(st.iterations() * lines);
}
BENCHMARK(bm_parseconfig)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);

void bm_gkeyfile(benchmark::State &st)
{
    char path[] = "/tmp/kivo_bench_kf_XXXXXX";
    close(mkstemp(path));
    int lines = (int)st.range(0);
    make_file(path, lines, true);
    for (auto _ : st) {
        GKeyFile *kf = g_key_file_new();
        if (!g_key_file_load_from_file(kf, path, G_KEY_FILE_NONE, nullptr))
            st.SkipWithError("load failed");
        benchmark::DoNotOptimize(g_key_file_get_integer(kf, "main", "port", nullptr));
        g_key_file_free(kf);
    }
    unlink(path);
    st.SetItemsProcessed(st.iterations() * lines);
}
BENCHMARK(bm_gkeyfile)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);

} // namespace
