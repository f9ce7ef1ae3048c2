// Allocation wrappers, the wrapped-call retry rule and the precondition,
// assertion and exception-logging conventions.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kivo/memory.h>

#undef KIVO_FILE
#define KIVO_FILE "memtest"

namespace {

struct entry {
    std::string file, function, message;
    int line, level;
};
std::vector<entry> entries;

void callback(const char *file, int line, const char *function, int level, const char *message) {
    entries.push_back({file, function, message, line, level});
}

int checked(const char *arg) {
    FR_CHECK_RETURN(arg != nullptr, -1);
    return 0;
}

int check_line; // line of the check above, found through the log

int swallow(int code) {
    volatile int result = 0;
    XXL_BLOCK {
        xxl_throw_error(code, nullptr, "elsewhere", 999);
        result = 1;
    } FR_LOG_EXCEPTION XXL_BLOCK_END;
    return result == 0 ? -1 : 0;
}

int invariant(int left) {
    FR_ASSERT(left == 0);
    return 0;
}

class Conventions : public testing::Test {
  protected:
    void SetUp() override {
        entries.clear();
        fr_log_init_custom(callback);
    }
    void TearDown() override {
        fr_log_setlogger(nullptr);
        fr_log_close();
    }
};

} // namespace

// ASan reports the failed allocation before our message.
#if defined(__SANITIZE_ADDRESS__)
#define START ""
#else
#define START "^"
#endif

TEST(Memory, AllocationFailuresEndTheProcess) {
    EXPECT_EXIT(fr_alloc(0), testing::ExitedWithCode(12), START "out of memory\n$");
    EXPECT_EXIT(fr_alloc(SIZE_MAX), testing::ExitedWithCode(12), START "out of memory\n$");
    EXPECT_EXIT(fr_calloc(SIZE_MAX / 2, 4), testing::ExitedWithCode(12), START "out of memory$");
    EXPECT_EXIT(fr_realloc(nullptr, SIZE_MAX), testing::ExitedWithCode(12), START "out of memory$");
    void *p = fr_calloc(0, 16); // count 0 succeeds where the allocator gives a block
    free(p);
    char *q = static_cast<char *>(fr_alloc(3));
    q[0] = 'a';
    q = static_cast<char *>(fr_realloc(q, 100000));
    EXPECT_EQ(q[0], 'a');
    unsigned char *z = static_cast<unsigned char *>(fr_calloc(8, 8));
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(z[i], 0);
    free(q);
    free(z);
}

TEST_F(Conventions, WrapResult) {
    errno = EINTR;
    EXPECT_EQ(handle_wrap_result(0, "ctx", "read", 0), 0);
    EXPECT_EQ(handle_wrap_result(0, "ctx", "read", 5), 0);
    EXPECT_EQ(handle_wrap_result(0, "ctx", "read", -2), 0);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(handle_wrap_result(0, "ctx", "read", -1), 1);
    errno = EINPROGRESS;
    EXPECT_EQ(handle_wrap_result(0, "ctx", "connect", -1), 1);
    EXPECT_TRUE(entries.empty());
    errno = EINTR;
    EXPECT_EQ(handle_wrap_result(1, "ctx", "read", -1), 0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].file, "wrappers");
    EXPECT_EQ(entries[0].line, 31);
    EXPECT_EQ(entries[0].function, "handle_wrap_result");
    EXPECT_EQ(entries[0].level, 7);
    EXPECT_EQ(entries[0].message, "ctx:read -- Interrupted system call");

    // the wrapped-call construct: empty context, bare call name
    entries.clear();
    FR_WRAP_CALL(close, -1);
    EXPECT_EQ(__fr_wrap_ret, -1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, ":close -- Bad file descriptor");
    FR_WRAP_CALL(getpid);
    EXPECT_EQ(__fr_wrap_ret, (int)getpid());
}

TEST_F(Conventions, PreconditionLine) {
    EXPECT_EQ(checked("x"), 0);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(checked(nullptr), -1);
    ASSERT_EQ(entries.size(), 1u);
    check_line = entries[0].line;
    EXPECT_EQ(entries[0].file, "memtest");
    EXPECT_EQ(entries[0].function, "checked");
    EXPECT_EQ(entries[0].level, 7);
    EXPECT_EQ(entries[0].message, "memtest:" + std::to_string(check_line) + ":conditional return");
}

TEST_F(Conventions, ExceptionLogLine) {
    EXPECT_EQ(swallow((int)0x80000002), -1);
    ASSERT_EQ(entries.size(), 1u);
    const entry &e = entries[0];
    EXPECT_EQ(e.function, "swallow");
    EXPECT_EQ(e.level, 7);
    // the handler section's own place, the code as a signed number
    std::string l = std::to_string(e.line);
    EXPECT_EQ(e.message, "memtest:" + l + ":exception -2147483646 at memtest:swallow:" + l);
}

TEST(ConventionsDeath, AssertionLogsClosesAndExits) {
    EXPECT_EQ(invariant(0), 0);
    EXPECT_EXIT(
        {
            fr_log_force_skip_time();
            invariant(3);
        },
        testing::ExitedWithCode(1), "LOG_ERR:\tmemtest:[0-9]+ invariant\\(\\): Fatal:Assertion 'left == 0' failed\n");
}
