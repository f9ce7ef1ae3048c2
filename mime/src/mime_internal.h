// Pieces shared by the encoders: block sizes of the stream forms, block
// reads and writes, and the result string of the string forms.
// Frame exceptions pass through the string-form helpers declared here: no
// local with a destructor anywhere in this library.
#ifndef KIVO_MIME_INTERNAL_H
#define KIVO_MIME_INTERNAL_H

#define KIVO_FILE "mime"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <kivo/exceptions.h>
#include <kivo/memory.h>
#include <kivo/mime.h>
#include <kivo/safestr.h>

namespace kivo::mime {

// Input block of the stream forms; the output blocks are sized for the
// worst case of one input block, so the stream forms hold a fixed amount
// of memory whatever the input size.
constexpr size_t in_block = 16384;

// Reads up to `want` bytes; a short count means end of input (end-of-file
// or a read error alike).
inline size_t read_block(FILE *in, unsigned char *buf, size_t want) { return fread(buf, 1, want, in); }

// Writes len bytes. Returns len when all went, else the offset of the first
// byte that was not taken.
inline size_t write_block(FILE *out, const char *buf, size_t len) {
    if (len == 0)
        return 0;
    return fwrite(buf, 1, len, out);
}

inline char *text_of(safestr_header_t *h) { return reinterpret_cast<char *>(h + 1); }

// The result of a string form, built through the edit protocol of the safe
// strings: begin() makes a new string of exactly `length` characters and
// opens the edit, the caller fills text, end() completes it. Nothing between
// them may throw. begin() throws SAFESTR_E_TOO_LONG past the limit, ENOMEM.
struct result {
    safestr_t s;
    safestr_header_t *h;
    char *text;
};
void result_begin(result *r, uint64_t length);
// Sets the final length (at most the one given to begin) and ends the edit.
safestr_t result_end(result *r, uint64_t length);

} // namespace kivo::mime

// Releases one auxiliary string of a string form; a fault while freeing it
// is logged with the catch-all convention under the calling function's name
// and not passed on. A macro so that the log names the public function.
#define MIME_FREE_AUX(s)                                                                  \
    do {                                                                                  \
        safestr_t mime_aux__ = (s);                                                       \
        if (mime_aux__) {                                                                 \
            XXL_BLOCK {                                                                   \
                safestr_free(mime_aux__);                                                 \
            }                                                                             \
            FR_LOG_EXCEPTION                                                              \
            XXL_BLOCK_END;                                                                \
        }                                                                                 \
    } while (0)

#endif
