/* CHECK() for the C test programs: reports a failed condition with its
 * place and counts it; main() returns check_failures != 0. */
#ifndef KIVO_C_CHECK_H
#define KIVO_C_CHECK_H

#include <stdio.h>

static int check_failures;
#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            check_failures++;                                                        \
        }                                                                            \
    } while (0)

#endif
