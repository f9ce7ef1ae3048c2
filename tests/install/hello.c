/* A C program using the installed base library: one protected block. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <kivo/exceptions.h>
#include <kivo/memory.h>

static int cleaned;
static void count_cleanup(void *asset, void *arg) { (void)arg; cleaned += asset != NULL; }

int main(void) {
    volatile int code = 0;
    const char *volatile file = NULL;
    XXL_BLOCK {
        xxl_push_asset(&cleaned, count_cleanup, NULL, XXL_ASSET_ON_ERROR);
        xxl_throw_error(EINVAL, NULL, "hello.c", __LINE__);
    } XXL_ON(EINVAL) {
        code = xxl_current_error_code();
        file = xxl_current_error_file();
    } XXL_BLOCK_END;
    char *p = fr_alloc(16);
    strcpy(p, "done");
    printf("caught %d from %s, cleaned %d\n", code, file ? file : "?", cleaned);
    free(p);
    return code == EINVAL ? 0 : 1;
}
