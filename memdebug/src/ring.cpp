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
} // namespace memdbg
