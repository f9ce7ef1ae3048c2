/* The frame used from plain C: blocks, handler sections, assets, retry and
 * promote through the public macros. Exit status 0 means every check held. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/memory.h>

#include "kivo_c_check.h"

static char trail[128];
static void note(void *asset, void *arg) {
    (void)arg;
    strcat(trail, (const char *)asset);
}

static int parse_digit(char c) {
    if (c < '0' || c > '9')
        XXL_THROW_ERROR(EINVAL, &trail);
    return c - '0';
}

/* Sums digits; a bad digit ends the block through the handler. */
static int sum_digits(const char *s) {
    volatile int sum = 0;
    XXL_BLOCK {
        char *copy = xxl_malloc(strlen(s) + 1, XXL_ASSET_ALWAYS);
        strcpy(copy, s);
        for (const char *p = copy; *p; p++)
            sum = sum + parse_digit(*p);
    } XXL_ON(EINVAL) {
        CHECK(xxl_current_error_data() == &trail);
        CHECK(strstr(xxl_current_error_file(), "frame_c_test.c") != NULL);
        sum = -1;
    } XXL_BLOCK_END;
    return sum;
}

int main(void) {
    CHECK(sum_digits("1234") == 10);
    CHECK(sum_digits("12x4") == -1);

    /* assets by disposition, through an asset block, on an exceptional exit */
    volatile int outer = 0;
    trail[0] = '\0';
    XXL_BLOCK {
        XXL_ASSET_BLOCK_BEGIN
        xxl_push_asset("e", note, NULL, XXL_ASSET_ON_ERROR);
        xxl_push_asset("a", note, NULL, XXL_ASSET_ALWAYS);
        xxl_push_asset("s", note, NULL, XXL_ASSET_ON_SUCCESS);
        xxl_push_asset("k", note, NULL, XXL_ASSET_KEEP);
        XXL_THROW_ERROR(ENOSPC, NULL);
        XXL_ASSET_BLOCK_END
    } XXL_ON(ENOSPC) {
        outer = XXL_EXCEPTION_CODE();
    } XXL_BLOCK_END;
    CHECK(outer == ENOSPC);
    CHECK(strcmp(trail, "ae") == 0);

    /* retry, then promote to an outer block */
    volatile int attempts = 0, got = 0;
    XXL_BLOCK {
        XXL_BLOCK {
            attempts = attempts + 1;
            XXL_THROW_ERROR(attempts == 1 ? EAGAIN : EIO, NULL);
        } XXL_ON(EAGAIN) {
            XXL_RETRY;
        } XXL_ON(EIO) {
            XXL_PROMOTE;
        } XXL_BLOCK_END;
    } XXL_ON_ANY {
        got = XXL_EXCEPTION_CODE();
    } XXL_BLOCK_END;
    CHECK(attempts == 2);
    CHECK(got == EIO);
    CHECK(xxl_current_error_code() == 0);
    printf("%s\n", check_failures ? "FAILED" : "ok");
    return check_failures != 0;
}
