/* The header and library used from C: one value through every string form
 * and through a stream form. */
#include <stdio.h>
#include <string.h>

#include <kivo/mime.h>

#include "kivo_c_check.h"

int main(void) {
    safestr_t s = base64_enc_str("ABC");
    CHECK(s && strcmp(s, "QUJD\r\n") == 0);
    safestr_free(s);
    s = base64_dec_str("QUJD");
    CHECK(s && safestr_length(s) == 3 && strcmp(s, "ABC") == 0);
    safestr_free(s);
    s = qp_enc_str("a=b ");
    CHECK(s && strcmp(s, "a=3Db=20") == 0);
    safestr_free(s);
    s = q_enc_str("a b?");
    CHECK(s && strcmp(s, "a_b=3F") == 0);
    safestr_free(s);
    s = eightbit_enc_str("x\r\ny");
    CHECK(s && strcmp(s, "x\ny\n") == 0);
    safestr_free(s);

    FILE *in = tmpfile(), *out = tmpfile();
    CHECK(in && out);
    fputs("hello", in);
    rewind(in);
    CHECK(base64_enc(in, out) == 0);
    rewind(out);
    char buf[32] = {0};
    CHECK(fread(buf, 1, sizeof buf - 1, out) == 10);
    CHECK(strcmp(buf, "aGVsbG8=\r\n") == 0);
    fclose(in);
    fclose(out);
    return check_failures != 0;
}
