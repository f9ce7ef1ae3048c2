/* Public records read by a C program compiled with no kivo macro at all, the
 * way a user links a library by hand. The build links this same source with
 * the thread-safe and with the plain libraries: the fields it reads must sit
 * where the library wrote them in both. */
#include <stdlib.h>
#include <kivo/array.h>
#include <kivo/exceptions.h>
#include <kivo/fifobuf.h>
#include <kivo/hash.h>
#include <kivo/log.h>
#include <kivo/memory.h>

#include "kivo_c_check.h"

static int cleaned;
static void count_cleanup(void *asset, void *arg)
{
    (void)asset;
    (void)arg;
    cleaned++;
}

static void quiet(const char *file, int line, const char *function, int level, const char *message)
{
    (void)file;
    (void)line;
    (void)function;
    (void)level;
    (void)message;
}

int main(void)
{
    /* logger: header fields after the mutex */
    CHECK(fr_log_init_custom(quiet) == 0);
    CHECK(fr_log_obj.refcount == 1);
    CHECK(fr_log_obj.flags == 0x2);
    CHECK(fr_log_obj.force == 0);
    CHECK(fr_log_force_skip_time() == fr_log_obj.force && fr_log_obj.force == FR_LOG_SKIP_TIME);
    CHECK(fr_log_obj.destroy == NULL);
    CHECK(fr_log_obj.callback == quiet);
    fr_log_force_unset(FR_LOG_SKIP_TIME);

    /* exception frame: the asset list after the cancellation type */
    int x = 0;
    xxl_context_t *c = xxl_push_context(NULL);
    xxl_push_asset(&x, count_cleanup, NULL, XXL_ASSET_ALWAYS);
    CHECK(c->assets != NULL && c->assets->asset == &x && c->assets->type == XXL_ASSET_ALWAYS);
    CHECK(c->next == NULL && c->context == NULL);
    xxl_pop_context();
    CHECK(cleaned == 1);

    /* object headers of the data structures */
    fr_hash_t *h = fr_hash_init_api(8, NULL, NULL, NULL);
    CHECK(h != NULL);
    if (h) {
        CHECK(h->hdr.refcount == 1 && (h->hdr.flags & 0xFF) == 0 && h->hdr.destroy != NULL);
        CHECK(fr_hash_ref(h) == h && h->hdr.refcount == 2);
        CHECK(fr_hash_unref(h) == 0 && h->hdr.refcount == 1);
        fr_hash_unref(h);
    }
    fr_array_t *a = fr_array_init_sized_api(4, 0, NULL, 0, NULL, NULL);
    CHECK(a != NULL);
    if (a) {
        CHECK(a->element_size == 4 && a->hdr.refcount == 1 && a->hdr.destroy != NULL);
        CHECK(fr_array_ref(a) == a && a->hdr.refcount == 2);
        fr_array_unref(a);
        fr_array_unref(a);
    }
    fr_fifobuf_t *b = fr_fifobuf_init(0, 0);
    CHECK(b != NULL);
    if (b) {
        CHECK(b->capacity == 512 && b->maximum == FR_FIFOBUF_DEFAULT_MAX);
        CHECK(b->api.alloc == fr_alloc && b->api.free != NULL);
        CHECK(b->hdr.refcount == 1 && (b->hdr.type_word & FR_FIFOBUF_EMPTY) && b->hdr.destroy != NULL);
        fr_fifobuf_unref(b);
    }
    fr_log_close();
    return check_failures != 0;
}
