// The ring of call records read by a debugger, and the backtrace switch.
// No frame exceptions exist in this library.
#include <kivo/memdebug.h>

#include "checker.h"

extern "C" {
KIVO_API fr_memdbg_record fr_memdbg_ring[FR_MEMDBG_RING_SIZE];
KIVO_API unsigned long fr_memdbg_calls;
KIVO_API volatile int fr_memdbg_backtrace = 1;
}

namespace memdbg {
static_assert((FR_MEMDBG_RING_SIZE & (FR_MEMDBG_RING_SIZE - 1)) == 0, "ring size is a power of two");

void commit(const call &c) {
    int first = 0, got = 0;
    if (c.got >= 0) {
        reentry = 0;
        got = c.got;
        while (first < got && ours(c.raw[first]))
            ++first;
    }
    put(c.op, c.size, c.old_ptr, c.new_ptr, c.raw + first, got - first);
}

} // namespace memdbg
