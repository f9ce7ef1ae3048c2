/* The utility headers from C99: strings, descriptors, files, option files
 * and the safe-string readers through their C macros. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <kivo/files.h>
#include <kivo/net.h>
#include <kivo/parseconfig.h>
#include <kivo/safestr.h>
#include <kivo/strings.h>

#define CHECK(c) do { if (!(c)) { fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #c); return 1; } } while (0)

int main(void)
{
    char **parts = NULL;
    int n = 0;
    CHECK(fr_explode("a,b", ',', &parts, &n) == 2);
    char *joined = fr_implode(parts, n, ';');
    CHECK(strcmp(joined, "a;b") == 0);
    free(joined);
    fr_explode_free(&parts, n);

    char path[] = "/tmp/kivo_c_test_XXXXXX";
    int fd = mkstemp(path);
    CHECK(fd >= 0);
    CHECK(fr_write_b(fd, "port 81\nname \"x y\"\n", 19) == 19);
    close(fd);
    int32_t port = 0;
    safestr_t name = NULL;
    parseconfig_entry table[] = {{"port", PC_INT, &port, NULL, NULL, 0, 0},
                                 {"name", PC_STRING, &name, NULL, NULL, 0, 0},
                                 {NULL, 0, NULL, NULL, NULL, 0, 0}};
    CHECK(parseconfig(path, table) == 0);
    CHECK(port == 81 && name && strcmp(name, "x y") == 0);
    safestr_free(name);

    FILE *f = fopen(path, "r");
    safestr_t line = safestr_readline(f);
    CHECK(line && strcmp(line, "port 81") == 0);
    int32_t v = 0;
    CHECK(str_toint32_err(SAFESTR_TEMP("-5"), &v) == 0 && v == -5);
    safestr_free(line);
    fclose(f);
    CHECK(fr_rm(path, 0) == 0 && !fr_file_exists(path));
    return 0;
}
