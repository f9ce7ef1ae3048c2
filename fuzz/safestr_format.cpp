// libFuzzer target of the safe-string format engine: the input is the
// format (its first byte picks the destination), the argument list is fixed.
//
// The list is built so that any reading of it is harmless: every integer or
// pointer slot holds a live safe string (so a %s, whatever its position,
// finds one, and %d reads its address bits), and eight doubles fill the
// floating registers. Hundreds of handles cover the 256 arguments the engine
// may read, long doubles included. A low length limit turns huge widths and
// precisions into SAFESTR_E_TOO_LONG instead of gigabytes of output.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

namespace {

safestr_t g_args[4];
safestr_t g_dest;
FILE *g_null;

safestr_t make_format(const uint8_t *data, size_t size)
{
    safestr_t f = safestr_alloc((uint32_t)size, 0);
    safestr_header_t *h = reinterpret_cast<safestr_header_t *>(const_cast<char *>(f)) - 1;
    memcpy(const_cast<char *>(f), data, size);
    h->length = (uint32_t)size;
    return f;
}

#define H4 a0, a1, a2, a3
#define H20 H4, H4, H4, H4, H4
#define H100 H20, H20, H20, H20, H20
#define ARGS 1.5, -2.25, 1e308, 5e-324, 0.1, -0.0, 3.0, 1e-10, H100, H100, H100, H100, H100, H100

void run(int dest, safestr_t format)
{
    safestr_t a0 = g_args[0], a1 = g_args[1], a2 = g_args[2], a3 = g_args[3];
    XXL_BLOCK {
        if (dest == 0) {
            safestr_t out = nullptr;
            safestr_asprintf(&out, format, ARGS);
            safestr_free(out);
        } else if (dest == 1) {
            safestr_sprintf(&g_dest, format, ARGS);
        } else {
            safestr_fprintf(g_null, format, ARGS);
        }
    }
    XXL_ON_ANY {
    }
    XXL_BLOCK_END;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    safestr_maxlength = 1 << 16;
    g_args[0] = safestr_create("abc", SAFESTR_F_TRUSTED);
    g_args[1] = safestr_create("", 0);
    g_args[2] = safestr_create("read-only", SAFESTR_F_READONLY);
    g_args[3] = safestr_create("a somewhat longer string of text for %s conversions", 0);
    g_dest = safestr_create("destination", 0);
    g_null = fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 4096)
        return 0;
    int dest = data[0] % 8 == 7 ? 2 : data[0] % 2;
    safestr_t format = nullptr;
    XXL_BLOCK {
        format = make_format(data + 1, size - 1);
    }
    XXL_ON_ANY {
    }
    XXL_BLOCK_END;
    if (!format)
        return 0;
    run(dest, format);
    XXL_BLOCK {
        safestr_free(format);
    }
    XXL_ON_ANY {
    }
    XXL_BLOCK_END;
    return 0;
}
