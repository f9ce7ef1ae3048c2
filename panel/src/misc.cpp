// Settings and administrator password of the hosting control panel. The
// safe-string calls run inside protected blocks of this file; no function
// holds an object with a destructor.
#define KIVO_FILE "misc"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>

#include <kivo/exceptions.h>
#include <kivo/hash.h>
#include <kivo/log.h>
#include <kivo/memory.h>
#include <kivo/panel.h>
#include <kivo/parseconfig.h>
#include <kivo/safestr.h>

namespace {

constexpr const char *kConfFile = "/etc/psa/psa.conf";
constexpr const char *kShadowFile = "/etc/psa/.psa.shadow";

fr_hash_t *cache = nullptr;

// A cached value: its length, then its bytes and a zero.
struct cached {
    uint32_t length;
    char bytes[1];
};

safestr_t string_of(const char *p, uint32_t n) {
    if (!memchr(p, 0, n)) return safestr_create(p, 0);
    safestr_t s = safestr_alloc(n, 0);
    volatile safestr_t keep = s;
    XXL_BLOCK {
        safestr_header_t *h = safestr_get(keep, SAFESTR_GET_WRITABLE);
        safestr_header_t *nh = safestr_resize(h, n);
        memcpy(reinterpret_cast<char *>(nh + 1), p, n);
        keep = safestr_complete(h, nh);
    }
    XXL_ON_ANY {
        safestr_free(keep);
        XXL_PROMOTE;
    }
    XXL_BLOCK_END;
    return keep;
}

} // namespace

extern "C" {

KIVO_API safestr_t fr_psa_getconf(const char *key, void *context) {
    if (!key || !context) return nullptr;
    size_t klen = strlen(key);
    if (klen == 0 || klen > UINT32_MAX) return nullptr;
    if (!cache) cache = fr_hash_init_api(50, nullptr, nullptr, nullptr);
    if (!cache) return nullptr;

    volatile safestr_t result = nullptr;
    volatile safestr_t value = nullptr;
    XXL_BLOCK {
        auto *hit = static_cast<cached *>(fr_hash_find(cache, key, static_cast<uint32_t>(klen)));
        if (hit) {
            result = string_of(hit->bytes, hit->length);
        } else {
            safestr_t found = nullptr;
            parseconfig_entry table[2] = {};
            table[0].name = key;
            table[0].type = PC_STRING;
            table[0].dest = &found;
            parseconfig(kConfFile, table);
            value = found;
            if (found) {
                uint32_t n = safestr_length(found);
                if (n <= UINT32_MAX - sizeof(cached)) {
                    uint32_t size = static_cast<uint32_t>(offsetof(cached, bytes) + n + 1);
                    auto *c = static_cast<cached *>(fr_alloc(size));
                    c->length = n;
                    memcpy(c->bytes, found, n + 1);
                    fr_hash_force_add(cache, key, static_cast<uint32_t>(klen), c, size);
                    free(c);
                }
                result = value;
                value = nullptr;
            }
        }
    }
    FR_LOG_EXCEPTION XXL_BLOCK_END;
    if (value) {
        XXL_BLOCK {
            safestr_free(value);
        }
        FR_LOG_EXCEPTION XXL_BLOCK_END;
    }
    return result;
}

KIVO_API int fr_psa_destroyconf(void) {
    fr_hash_t *c = cache;
    cache = nullptr;
    if (c) fr_hash_unref(c);
    return 1;
}

KIVO_API safestr_t fr_getadminpass(void) {
    FILE *f = fopen(kShadowFile, "re");
    struct stat st;
    if (f && (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))) {
        // A folder or a device in its place holds no password either.
        fclose(f);
        f = nullptr;
    }
    if (!f) {
        fr_log_impl(KIVO_FILE, __LINE__, __func__, FR_LOG_SYSLOG, LOG_ERR,
                    "cannot open the psa shadow file, make sure you are root");
        exit(2);
    }
    FILE *volatile in = f;
    volatile safestr_t line = nullptr;
    XXL_BLOCK {
        line = safestr_readline(in);
    }
    FR_LOG_EXCEPTION XXL_BLOCK_END;
    fclose(in);
    return line;
}

} // extern "C"
