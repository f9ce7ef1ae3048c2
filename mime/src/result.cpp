// The result string of the string forms: one block of the exact size, made
// up front and filled in place through the edit protocol of the safe
// strings. Frame exceptions pass here (no locals with destructors).
#include "mime_internal.h"

namespace kivo::mime {

void result_begin(result *r, uint64_t length) {
    // The header keeps lengths in 32 bits; past that the result cannot exist.
    if (length >= 0xFFFFFFFFull)
        xxl_throw_error(SAFESTR_E_TOO_LONG, nullptr, KIVO_FILE, __LINE__);
    // safestr_alloc checks safestr_maxlength and sizes the block once.
    r->s = safestr_alloc(static_cast<uint32_t>(length), 0);
    xxl_push_context(nullptr);
    safestr_header_t *h = safestr_get(r->s, SAFESTR_GET_WRITABLE);
    r->h = h;
    h = safestr_resize(h, static_cast<uint32_t>(length)); // fits: the same block
    r->text = text_of(h);
    if (h != r->h) {
        // Not expected (the block was made for this length); keep the
        // protocol right anyway.
        r->s = safestr_complete(r->h, h);
        r->h = h;
    }
}

safestr_t result_end(result *r, uint64_t length) {
    if (length != r->h->length)
        safestr_resize(r->h, static_cast<uint32_t>(length)); // shorter: in place
    r->s = safestr_complete(r->h, r->h);
    xxl_pop_context();
    return r->s;
}

} // namespace kivo::mime
