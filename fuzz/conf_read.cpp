// libFuzzer target: a fuzzed configuration file read, rewritten and read
// again. The input's first line is the key list (words cut at spaces), the
// rest the file. Whatever the reader keeps, the rewrite must keep: after
// the round trip every key has the value it had, and the count of stored
// pairs is the same.
#include <kivo/conf.h>
#include <kivo/exceptions.h>
#include <kivo/hash.h>
#include <kivo/log.h>
#include <kivo/safestr.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

static void quiet(const char *, int, const char *, int, const char *) {}

static fr_hash_t *read_back(const char *path, const char **keys) {
    fr_hash_t *volatile t = nullptr;
    XXL_BLOCK {
        t = fr_conf_read_file(safestr_create(path, SAFESTR_F_TEMPORARY), keys);
    }
    XXL_ON_ANY {
        abort();
    }
    XXL_BLOCK_END;
    return t;
}

static std::string value(fr_hash_t *t, const void *key, uint32_t len) {
    safestr_t *slot = static_cast<safestr_t *>(fr_hash_find(t, key, len));
    if (!slot) return "<absent>";
    return std::string(*slot, safestr_length(*slot));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char path[64];
    if (!path[0]) {
        fr_log_init_custom(quiet);
        snprintf(path, sizeof(path), "/dev/shm/kivo_fuzz_conf_%d", (int)getpid());
    }
    const uint8_t *nl = static_cast<const uint8_t *>(memchr(data, '\n', size));
    size_t head = nl ? static_cast<size_t>(nl - data) : size;
    std::vector<std::string> words(1);
    for (size_t i = 0; i < head && words.size() < 64; i++) {
        if (data[i] == ' ')
            words.emplace_back();
        else if (data[i] != 0)
            words.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<const char *> keys;
    for (const std::string &w : words) keys.push_back(w.c_str());
    keys.push_back(nullptr);

    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    if (nl) fwrite(nl + 1, 1, size - head - 1, f);
    fclose(f);

    fr_hash_t *first = read_back(path, keys.data());
    if (!first) abort(); // a readable regular file always gives a table
    int rc = -1;
    XXL_BLOCK {
        rc = fr_conf_write_file(safestr_create(path, SAFESTR_F_TEMPORARY), first);
    }
    XXL_ON_ANY {
        abort();
    }
    XXL_BLOCK_END;
    if (rc != 0) abort();
    fr_hash_t *second = read_back(path, keys.data());
    if (!second || second->count != first->count) abort();
    fr_array_t *k = fr_hash_getkeys(first);
    for (int32_t i = 0; k && i < fr_array_length(k); i++) {
        fr_hash_key_t *e = static_cast<fr_hash_key_t *>(fr_array_get(k, i));
        if (value(first, e->key, e->len) != value(second, e->key, e->len)) abort();
    }
    if (k) fr_hash_destroy_keys_array(k);
    fr_hash_unref(first);
    fr_hash_unref(second);
    unlink(path);
    return 0;
}
