/* The SQL headers from C99: a connection record passes as a version text,
 * and a pool with a shard comes and goes without a server. */
#include <stdio.h>
#include <string.h>
#include <kivo/sql.h>
#include <kivo/sqlpool.h>

#define CHECK(c)                                                   \
    do {                                                           \
        if (!(c)) {                                                \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #c); \
            return 1;                                              \
        }                                                          \
    } while (0)

int main(void) {
    fr_sql_t rec;
    memset(&rec, 0, sizeof rec);
    strcpy(rec.version, "10.11.19-MariaDB");
    CHECK(fr_sql_srv_has_utf8(&rec) == 1);
    CHECK(fr_sql_srv_has_rollback("4.1.7") == 0);
    CHECK(fr_sql_srv_has_ver("5", "5.0.1") == 0);

    fr_sqlpool_init_api(0, NULL, NULL);
    fr_sql_shard_t *s = fr_sql_shard_parse_info("main:u:p:db");
    CHECK(s != NULL);
    CHECK(fr_sqlpool_shard_add(s) == 0);
    CHECK(fr_sql_shard_master_set(s, "127.0.0.1", 1) == 0);
    CHECK(strcmp(fr_sql_shard_get_name(s), "main") == 0);
    CHECK(fr_sqlpool_conn_get("absent") == NULL);
    CHECK(fr_sqlpool_destroy() == 0);
    CHECK(fr_sqlpool_destroy() == 0);
    return 0;
}
