/* The mail headers from C99: a message built and read back, the SMTP
 * record's setters, and the lock functions of both builds. */
#include <stdio.h>
#include <string.h>
#include <kivo/mail.h>
#include <kivo/smtp.h>
#include "kivo_c_check.h"

int main(void) {
    fr_mail_t *m = fr_mail_init();
    char buf[4096];
    size_t n;
    FILE *f = tmpfile();
    CHECK(m != NULL);
    CHECK(fr_mail_add_from(m, "C Program", "c@kivo.test") == 0);
    CHECK(fr_mail_add_to(m, "\"Reader\" <r@kivo.test>") == 0);
    CHECK(fr_mail_add_subject(m, "from C %d", 99) == 0);
    CHECK(fr_mail_add_body(m, "%s", "body") == 0);
    CHECK(fr_mail_set_encoding(m, FR_MAIL_ENC_BASE64) == 0);
    CHECK(fr_mail_lock(m) == (KIVO_THREADS ? 0 : 1));
    CHECK(fr_mail_build(m, f) == 0);
    CHECK(fr_mail_unlock(m) == (KIVO_THREADS ? 0 : 1));
    rewind(f);
    n = fread(buf, 1, sizeof buf - 1, f);
    buf[n] = '\0';
    fclose(f);
    CHECK(strstr(buf, "\r\nFrom:C Program <c@kivo.test>\r\n") != NULL);
    CHECK(strstr(buf, "\r\nTo: r@kivo.test,\r\n") != NULL);
    CHECK(strstr(buf, "\r\nSubject: =?utf-8?q?from_C_99?=\r\n") != NULL);
    CHECK(strstr(buf, "Content-Transfer-Encoding: base64\r\n") != NULL);
    CHECK(strstr(buf, "\r\n\r\n\r\nYm9keQ==\r\n") != NULL);
    CHECK(fr_mail_destroy(m) == 1);

    fr_smtp_t *s = fr_smtp_init();
    CHECK(s != NULL);
    CHECK(fr_smtp_enable_tls(s, 0, 1) == s);
    CHECK(strcmp(fr_smtp_set_credentials(s, "u", "p"), "p") == 0);
    CHECK(fr_smtp_add_recipient(s, "r@kivo.test") != NULL);
    CHECK(fr_smtp_destroy(s) == 1);
    return check_failures != 0;
}
