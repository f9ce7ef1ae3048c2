/* Eight threads allocating, filling, resizing, checking and freeing blocks;
 * prints one checksum per thread. Run with and without the checker. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define THREADS 8
#define SLOTS 256
#define ROUNDS 200000

static uint64_t sums[THREADS];

static uint32_t next_rand(uint32_t *s) {
    *s ^= *s << 13;
    *s ^= *s >> 17;
    *s ^= *s << 5;
    return *s;
}

static void *work(void *arg) {
    int t = (int)(intptr_t)arg;
    uint32_t seed = 2463534242u + (uint32_t)t;
    unsigned char *slot[SLOTS] = {0};
    size_t len[SLOTS] = {0};
    uint64_t sum = 0;
    for (int i = 0; i < ROUNDS; ++i) {
        uint32_t r = next_rand(&seed);
        int k = (int)(r % SLOTS);
        size_t n = 1 + (r >> 8) % 512;
        if (slot[k] && (r & 0x10)) {
            for (size_t j = 0; j < len[k]; ++j)
                if (slot[k][j] != (unsigned char)(k + len[k])) {
                    fprintf(stderr, "thread %d: block %d damaged\n", t, k);
                    exit(3);
                }
            sum += len[k];
            free(slot[k]);
            slot[k] = NULL;
        } else if (slot[k]) {
            unsigned char *p = realloc(slot[k], n);
            if (!p)
                exit(2);
            slot[k] = p;
            len[k] = n;
            memset(p, (unsigned char)(k + n), n);
        } else {
            unsigned char *p = (r & 0x20) ? calloc(1, n) : malloc(n);
            if (!p)
                exit(2);
            slot[k] = p;
            len[k] = n;
            memset(p, (unsigned char)(k + n), n);
        }
    }
    for (int k = 0; k < SLOTS; ++k)
        free(slot[k]);
    sums[t] = sum;
    return NULL;
}

int main(void) {
    pthread_t th[THREADS];
    for (int t = 0; t < THREADS; ++t)
        if (pthread_create(&th[t], NULL, work, (void *)(intptr_t)t) != 0)
            return 1;
    for (int t = 0; t < THREADS; ++t)
        pthread_join(th[t], NULL);
    for (int t = 0; t < THREADS; ++t)
        printf("thread %d: %llu\n", t, (unsigned long long)sums[t]);
    return 0;
}
