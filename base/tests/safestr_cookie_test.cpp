// The cookie: made from /dev/urandom at the first creation of a string, and
// SAFESTR_E_NO_RANDOM when the device cannot be opened. The test program
// puts its own open() in front of the C library's to refuse the device.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <kivo/exceptions.h>
#include <kivo/safestr.h>

#include "support/safestr_testing.h"

static volatile int refuse_urandom;

extern "C" int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (refuse_urandom && strcmp(path, "/dev/urandom") == 0) {
        errno = ENOENT;
        return -1;
    }
    return int(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

namespace {

TEST(CookieTest, MissingRandomDeviceIsReportedAndNothingIsMade) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process: no cookie yet
    EXPECT_EXIT(
        {
            refuse_urandom = 1;
            int code = sstest::code_of([] { safestr_create("x", 0); });
            bool ok = code == SAFESTR_E_NO_RANDOM && safestr_cookie == 0;
            refuse_urandom = 0;
            // Once the device is back, the first string makes the cookie.
            code = sstest::code_of([] { safestr_free(safestr_create("y", 0)); });
            _exit(ok && code == 0 && safestr_cookie != 0 ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "");
}

} // namespace
