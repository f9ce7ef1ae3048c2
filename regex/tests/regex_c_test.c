/* The regex and validator headers used from plain C99: a split with the
 * list walked through FR_REGNODE, a global search's vectors, validators.
 * Exit status 0 means every check held. */
#include <stdlib.h>
#include <string.h>

#include <kivo/regex.h>
#include <kivo/valid.h>

#include "kivo_c_check.h"

int main(void) {
    CHECK(fr_reginit() == 0);
    safestr_t subject = safestr_create("a,b,,c", 0), comma = safestr_create(",", 0);
    fr_reglink_t list = {&list, &list};
    CHECK(fr_regsplit(subject, comma, &list) == 3);
    const char *want[] = {"a", "b", ""};
    int i = 0;
    for (fr_reglink_t *l = list.next; l != &list; i++) {
        fr_regnode_t *node = FR_REGNODE(l);
        l = l->next;
        CHECK(i < 3 && strcmp(node->string, want[i]) == 0);
        safestr_free(node->string);
        free(node);
    }
    CHECK(i == 3);

    fr_array_t *vectors = NULL;
    int n = 0;
    CHECK(fr_regexec(comma, subject, &vectors, &n) == 3 && n == 1);
    int *v = *(int **)fr_array_get(vectors, 2);
    CHECK(v[0] == 4 && v[1] == 5);
    fr_array_unref(vectors);

    safestr_t mail = safestr_create("John@Example.com", 0);
    CHECK(fr_valid_email(mail) == 1 && strcmp(mail, "john@example.com") == 0);
    safestr_t date = safestr_create("12312024", 0);
    CHECK(is_valid_date(date) == 1);
    safestr_free(mail);
    safestr_free(date);
    safestr_free(subject);
    safestr_free(comma);
    fr_regdestroy();
    return check_failures != 0;
}
