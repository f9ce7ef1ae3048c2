/* Uses what early_lib's constructor allocated, then frees it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern char *early_text;
extern int *early_numbers;

int main(void) {
    if (!early_text || !early_numbers || strcmp(early_text, "allocated before main") != 0 || early_numbers[63] != 63 ||
        early_numbers[0] != 0) {
        puts("early allocations failed");
        return 1;
    }
    char *grown = realloc(early_text, 4096);
    if (!grown)
        return 1;
    printf("%s\n", grown);
    free(grown);
    free(early_numbers);
    return 0;
}
