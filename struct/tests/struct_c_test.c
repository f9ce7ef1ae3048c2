/* The data-structure headers used from plain C99: a table with its key
 * pairs, an array searched in order, a FIFO round trip. Exit status 0 means
 * every check held. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kivo/array.h>
#include <kivo/fifobuf.h>
#include <kivo/hash.h>

#include "kivo_c_check.h"

static int cmp_int(const void *a, const void *b) { return *(const int *)a - *(const int *)b; }

int main(void) {
    fr_hash_t *t = fr_hash_init_api(0, NULL, NULL, NULL);
    const char *words[] = {"alpha", "beta", "gamma"};
    for (int i = 0; i < 3; i++) CHECK(fr_hash_add(t, words[i], (uint32_t)strlen(words[i]), &i, sizeof i) == 0);
    CHECK(*(int *)fr_hash_find(t, "beta", 4) == 1);
    fr_array_t *keys = fr_hash_getkeys(t);
    CHECK(fr_array_element_size(keys) == (int32_t)sizeof(fr_hash_key_t));
    CHECK(sizeof(((fr_hash_key_t *)0)->key) == sizeof(void *));
    for (int i = 0; i < 3; i++) {
        fr_hash_key_t *k = (fr_hash_key_t *)fr_array_get(keys, i);
        CHECK(k && k->len == strlen(words[i]) && memcmp(k->key, words[i], k->len) == 0);
    }
    CHECK(fr_hash_destroy_keys_array(keys) == 1);
    CHECK(fr_hash_unref(t) == 1);

    int v[] = {1, 3, 5, 7}, key = 5;
    fr_array_t *a = fr_array_init_sized_api(sizeof(int), 0, NULL, 0, NULL, NULL);
    CHECK(fr_array_append_many(a, v, 4) == 0);
    CHECK(fr_array_binary_search(a, cmp_int, &key) == 2);
    CHECK(fr_array_unref(a) == 1);

    char out[16] = {0};
    fr_fifobuf_t *b = fr_fifobuf_init(0, 0);
#if KIVO_THREADS
    CHECK(fr_fifobuf_write(b, "hello", 5, 0) == 5);
#else
    CHECK(fr_fifobuf_write(b, "hello", 5) == 5);
#endif
    CHECK(fr_fifobuf_read(b, out, sizeof out) == 5 && strcmp(out, "hello") == 0);
    CHECK(fr_fifobuf_unref(b) == 1);
    return check_failures != 0;
}
