// libFuzzer target: option-file contents through parseconfig() with a table
// of every entry type, scalar and list. The first byte picks the key case
// mode. Everything the parse stores is released afterwards, so the leak
// checker sees any string or array the parser loses.
#include <kivo/log.h>
#include <kivo/parseconfig.h>
#include <kivo/safestr.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void quiet(const char *, int, const char *, int, const char *) {}
static void hook() {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char path[64];
    if (!path[0]) {
        fr_log_init_custom(quiet);
        snprintf(path, sizeof(path), "/dev/shm/kivo_fuzz_pc_%d", (int)getpid());
    }
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    if (size > 1)
        fwrite(data + 1, 1, size - 1, f);
    fclose(f);
    parseconfig_set_casesensitive(size > 0 && (data[0] & 1));

    int32_t i = 0, b = 0, *il = nullptr, *fl = nullptr;
    uint32_t u = 0, *ul = nullptr;
    safestr_t s = nullptr, *sl = nullptr;
    int32_t ni = 0, nf = 3, nu = 0, ns = 0;
    parseconfig_entry table[] = {{"i", PC_INT, &i, nullptr, nullptr, 0, 0},
                                 {"u", PC_UINT, &u, nullptr, nullptr, 0, 0},
                                 {"s", PC_STRING, &s, nullptr, nullptr, 0, 0},
                                 {"b", PC_BOOL, &b, nullptr, nullptr, 0, 0},
                                 {"c", PC_CALLBACK, nullptr, nullptr, hook, 0, 0},
                                 {"li", PC_INT, &il, &ni, nullptr, 0, 0},
                                 {"lf", PC_INT, &fl, &nf, nullptr, 0, 0},
                                 {"lu", PC_UINT, &ul, &nu, nullptr, 0, 0},
                                 {"ls", PC_STRING, &sl, &ns, nullptr, 0, 0},
                                 {"s", PC_STRING, &s, nullptr, nullptr, 0, 0},
                                 {nullptr, 0, nullptr, nullptr, nullptr, 0, 0}};
    if (parseconfig(path, table) != 0)
        abort();
    if (ni < 0 || nf < 0 || nf > 3 || nu < 0 || ns < 0)
        abort();
    if (s)
        safestr_free(s);
    for (int k = 0; k < ns; k++)
        safestr_free(sl[k]);
    free(il);
    free(fl);
    free(ul);
    free(sl);
    return 0;
}
