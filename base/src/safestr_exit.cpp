// fr_error: print a safe string to standard error and end the process.
// Frame exceptions raised while printing stop here.
#include <stdio.h>
#include <stdlib.h>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

extern "C" {

KIVO_API void fr_error(int status, safestr_t message) {
    if (message) {
        // The message is printed as the argument of "%s": read as a format
        // of its own, a stray "%s" or "%d" in it would read arguments that
        // were never passed. A message that is not a safe string, or any
        // other fault while printing, still ends in exit(status).
        XXL_BLOCK {
            safestr_t format = safestr_create("%s", SAFESTR_F_TEMPORARY | SAFESTR_F_TRUSTED);
            safestr_fprintf(stderr, format, message);
        }
        XXL_ON_ANY {}
        XXL_BLOCK_END;
        fflush(stderr);
    }
    exit(status);
}

} // extern "C"
