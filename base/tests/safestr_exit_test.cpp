// fr_error: the message reaches standard error byte for byte and the
// process ends with the given status, whatever the message holds.
#include <stdlib.h>

#include <gtest/gtest.h>
#include <kivo/exceptions.h>
#include <kivo/safestr.h>

namespace {

TEST(FrErrorTest, PrintsTheMessageAndExits) {
    EXPECT_EXIT(fr_error(3, safestr_create("fatal: disk full\n", 0)), ::testing::ExitedWithCode(3),
                "^fatal: disk full\n$");
    // Conversions in the message are text, not requests for arguments.
    EXPECT_EXIT(fr_error(4, safestr_create("100% done %s %d %n", 0)), ::testing::ExitedWithCode(4),
                "^100% done %s %d %n$");
    EXPECT_EXIT(fr_error(0, nullptr), ::testing::ExitedWithCode(0), "^$");
    // Not a safe string: nothing printed, the status still given.
    static char foreign[64] = {0};
    EXPECT_EXIT(fr_error(5, foreign + 32), ::testing::ExitedWithCode(5), "^$");
}

} // namespace
