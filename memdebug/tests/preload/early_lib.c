/* A library whose constructor allocates before a preloaded allocator's own
 * constructor has run (libraries a program needs are initialised first). */
#include <stdlib.h>
#include <string.h>

char *early_text;
int *early_numbers;

__attribute__((constructor)) static void early_init(void) {
    void *volatile scratch = malloc(300);
    free(scratch);
    early_text = strdup("allocated before main");
    early_numbers = calloc(64, sizeof(int));
    if (early_numbers)
        early_numbers[63] = 63;
}
