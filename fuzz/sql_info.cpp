// Connection-info files of the SQL pool: any bytes, read through a real
// temporary file into two shards, must neither crash nor leak, and every
// master or slave set must be a host that came from the input.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <kivo/sqlpool.h>

namespace {
char g_path[64];

void setup() {
    fr_sqlpool_init_api(0, nullptr, nullptr);
    snprintf(g_path, sizeof g_path, "/tmp/kivo_fuzz_sql_info_%d", static_cast<int>(getpid()));
}

void check(fr_sql_shard_t *s, const uint8_t *data, size_t size) {
    if (s->master && !memmem(data, size, s->master->host, strlen(s->master->host))) abort();
    for (int32_t i = 0; i < fr_array_length(s->slaves); ++i) {
        fr_sql_server_t *srv = *static_cast<fr_sql_server_t **>(fr_array_get(s->slaves, i));
        if (srv->index != i || srv->port < 0 || srv->port > 65535) abort();
    }
    if (s->pool->limit <= 0) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (setup(), true);
    (void)ready;
    FILE *f = fopen(g_path, "w");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    // Fresh shards each round; adding replaces (and frees) the old ones.
    fr_sql_shard_t *a = fr_sql_shard_init_api_simple("main", nullptr, nullptr);
    fr_sql_shard_t *b = fr_sql_shard_init_api_simple("b", nullptr, nullptr);
    fr_sqlpool_shard_add(a);
    fr_sqlpool_shard_add(b);
    int rc = fr_sql_shard_parse_connection_info(g_path, static_cast<int>(size & 1), static_cast<int>(size & 2));
    if (rc == 0 && !a->master && !b->master) abort();
    check(a, data, size);
    check(b, data, size);
    unlink(g_path);
    return 0;
}
