// The configuration store reading 10 000 keys from a file and rewriting it,
// beside GLib's GKeyFile loading and saving the same settings in its own
// syntax. Each runs on tmpfs (/dev/shm: a sync costs nothing there, so this
// is the work without the disk) and on the disk under /tmp (with the syncs
// each one makes: ours syncs the new file and its directory; GLib's save
// syncs the new file when it replaces an existing one).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <glib.h>
#include <kivo/conf.h>
#include <kivo/exceptions.h>
#include <kivo/hash.h>
#include <kivo/safestr.h>

namespace {

constexpr int kKeys = 10000;

const char *dir_of(int where) { return where ? "/tmp" : "/dev/shm"; }

std::string make_file(int where, bool keyfile) {
    std::string path = std::string(dir_of(where)) + "/kivo_bench_conf_" + std::to_string(getpid()) +
                       (keyfile ? ".ini" : ".conf");
    FILE *f = fopen(path.c_str(), "w");
    if (keyfile) fputs("[main]\n", f);
    for (int i = 0; i < kKeys; i++) {
        if (i % 10 == 0) fprintf(f, "# section %d\n", i / 10);
        fprintf(f, keyfile ? "setting_%05d=value number %d\n" : "setting_%05d value number %d\n", i, i);
    }
    fclose(f);
    return path;
}

void bm_kivo(benchmark::State &st) {
    std::string path = make_file(static_cast<int>(st.range(0)), false);
    std::vector<std::string> names;
    for (int i = 0; i < kKeys; i++) {
        char k[32];
        snprintf(k, sizeof k, "setting_%05d", i);
        names.push_back(k);
    }
    std::vector<const char *> keys;
    for (const auto &n : names) keys.push_back(n.c_str());
    keys.push_back(nullptr);
    for (auto _ : st) {
        int rc = -1;
        XXL_BLOCK {
            fr_hash_t *t = fr_conf_read_file(SAFESTR_TEMP(path.c_str()), keys.data());
            if (t && t->count == kKeys) rc = fr_conf_write_file(SAFESTR_TEMP(path.c_str()), t);
            if (t) fr_hash_unref(t);
        }
        XXL_ON_ANY {}
        XXL_BLOCK_END;
        if (rc != 0) st.SkipWithError("read or write failed");
    }
    unlink(path.c_str());
}

void bm_gkeyfile(benchmark::State &st) {
    std::string path = make_file(static_cast<int>(st.range(0)), true);
    for (auto _ : st) {
        GKeyFile *kf = g_key_file_new();
        gboolean ok = g_key_file_load_from_file(kf, path.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
        gsize n = 0;
        gchar **k = g_key_file_get_keys(kf, "main", &n, nullptr);
        g_strfreev(k);
        ok = ok && n == kKeys && g_key_file_save_to_file(kf, path.c_str(), nullptr);
        g_key_file_free(kf);
        if (!ok) st.SkipWithError("load or save failed");
    }
    unlink(path.c_str());
}

} // namespace

// Argument: 0 tmpfs (no disk syncs), 1 disk.
BENCHMARK(bm_kivo)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_gkeyfile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
