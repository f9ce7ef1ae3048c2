/*
 * Chunked FIFO byte buffer: bytes are appended at the end and copied or
 * removed at the front, chunk by chunk. No lock; no frame exception crosses
 * this file.
 */
#define KIVO_FILE "buffer"
#include <kivo/buffer.h>
#include <kivo/memory.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

fr_buffer_chunk *chunk_of(fr_buffer_link *l)
{
    return reinterpret_cast<fr_buffer_chunk *>(reinterpret_cast<char *>(l) -
                                               offsetof(fr_buffer_chunk, link));
}

// Smallest power of two >= n, at least 2. Past 2^30 a power of two no
// longer fits the 32-bit capacity, so such chunks are sized exactly.
int32_t chunk_capacity(int32_t n)
{
    if (n > (1 << 30))
        return n;
    int32_t cap = 2;
    while (cap < n)
        cap <<= 1;
    return cap;
}

void link_last(fr_buffer *b, fr_buffer_chunk *c)
{
    fr_buffer_link *head = &b->chunks;
    c->link.next = head;
    c->link.prev = head->prev;
    head->prev->next = &c->link;
    head->prev = &c->link;
    b->count++;
}

void unlink_chunk(fr_buffer *b, fr_buffer_chunk *c)
{
    c->link.prev->next = c->link.next;
    c->link.next->prev = c->link.prev;
    c->link.next = c->link.prev = nullptr;
    b->count--;
}

// Copies the first size bytes (size already checked against the total) and,
// when remove is set, takes them out of the buffer.
void *take_front(fr_buffer *b, int32_t size, bool remove)
{
    auto *out = static_cast<unsigned char *>(fr_alloc(static_cast<size_t>(size)));
    int32_t left = size;
    size_t off = 0;
    fr_buffer_link *l = b->chunks.next;
    while (left > 0 && l != &b->chunks) {
        fr_buffer_chunk *c = chunk_of(l);
        fr_buffer_link *next = l->next;
        int32_t n = c->used < left ? c->used : left;
        memcpy(out + off, c->data, static_cast<size_t>(n));
        off += static_cast<size_t>(n);
        left -= n;
        if (remove) {
            if (n == c->used) {
                unlink_chunk(b, c);
                chunk_destroy(c);
            } else {
                adjust_chunk(c, n);
            }
            b->total -= n;
        }
        l = next;
    }
    FR_ASSERT(left == 0);
    return out;
}

} // namespace

extern "C" {

KIVO_API fr_buffer_chunk *chunk_new(const void *data, int length)
{
    FR_CHECK_RETURN(data != nullptr && length > 0, nullptr);
    auto *c = static_cast<fr_buffer_chunk *>(fr_alloc(sizeof(fr_buffer_chunk)));
    c->capacity = chunk_capacity(length);
    c->data = static_cast<unsigned char *>(fr_calloc(static_cast<size_t>(c->capacity), 1));
    memcpy(c->data, data, static_cast<size_t>(length));
    c->used = length;
    c->link.next = c->link.prev = nullptr;
    return c;
}

KIVO_API int chunk_destroy(fr_buffer_chunk *chunk)
{
    FR_CHECK_RETURN(chunk != nullptr, 0);
    free(chunk->data);
    free(chunk);
    return 1;
}

KIVO_API void adjust_chunk(fr_buffer_chunk *chunk, int consumed)
{
    FR_CHECK_RETURN_VOID(chunk != nullptr && consumed >= 0);
    int32_t new_length = chunk->used - consumed;
    FR_ASSERT(new_length > 0);
    int32_t cap = chunk_capacity(new_length);
    auto *data = static_cast<unsigned char *>(fr_calloc(static_cast<size_t>(cap), 1));
    memcpy(data, chunk->data + consumed, static_cast<size_t>(new_length));
    free(chunk->data);
    chunk->data = data;
    chunk->used = new_length;
    chunk->capacity = cap;
}

KIVO_API fr_buffer *fr_buffer_new(void)
{
    auto *b = static_cast<fr_buffer *>(fr_alloc(sizeof(fr_buffer)));
    b->chunks.next = b->chunks.prev = &b->chunks;
    b->total = 0;
    b->count = 0;
    return b;
}

KIVO_API void fr_buffer_append(fr_buffer *buffer, const void *data, int length)
{
    FR_CHECK_RETURN_VOID(buffer != nullptr && data != nullptr && length > 0);
    // The total is a signed 32-bit count: refuse rather than wrap it.
    FR_CHECK_RETURN_VOID(length <= INT32_MAX - buffer->total);
    const auto *src = static_cast<const unsigned char *>(data);
    if (buffer->count == 0) {
        link_last(buffer, chunk_new(src, length));
    } else {
        fr_buffer_chunk *last = chunk_of(buffer->chunks.prev);
        int32_t room = last->capacity - last->used;
        if (length < room) {
            memcpy(last->data + last->used, src, static_cast<size_t>(length));
            last->used += length;
        } else {
            if (room > 0) {
                memcpy(last->data + last->used, src, static_cast<size_t>(room));
                last->used += room;
            }
            if (length > room)
                link_last(buffer, chunk_new(src + room, length - room));
        }
    }
    buffer->total += length;
}

KIVO_API void *fr_buffer_get(fr_buffer *buffer, int size)
{
    FR_CHECK_RETURN(buffer != nullptr && size > 0 && size <= buffer->total, nullptr);
    return take_front(buffer, size, false);
}

KIVO_API void *fr_buffer_pop(fr_buffer *buffer, int size)
{
    FR_CHECK_RETURN(buffer != nullptr && size > 0 && size <= buffer->total, nullptr);
    return take_front(buffer, size, true);
}

KIVO_API void fr_buffer_append_buffer(fr_buffer *dst, fr_buffer *src, int size, int move)
{
    FR_CHECK_RETURN_VOID(dst != nullptr && src != nullptr && size > 0 && size <= src->total);
    // Check room in dst before touching src, so a refused move loses nothing.
    bool same_total = move && dst == src;
    FR_CHECK_RETURN_VOID(same_total || size <= INT32_MAX - dst->total);
    void *bytes = take_front(src, size, move != 0);
    fr_buffer_append(dst, bytes, size);
    free(bytes);
}

KIVO_API int fr_buffer_destroy(fr_buffer *buffer)
{
    FR_CHECK_RETURN(buffer != nullptr, 0);
    fr_buffer_link *l = buffer->chunks.next;
    while (l != &buffer->chunks) {
        fr_buffer_link *next = l->next;
        chunk_destroy(chunk_of(l));
        l = next;
    }
    free(buffer);
    return 1;
}

} // extern "C"
