// Exception frame: blocks, handler sections, assets, retry, promote,
// pending exceptions, wrappers and the fatal paths.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdlib.h>
#include <gtest/gtest.h>
#include <kivo/exceptions.h>

namespace {

// Cleanup log: each cleanup appends its tag, so order and presence show.
char trail[256];
void note(void *asset, void *arg) {
    (void)arg;
    size_t n = strlen(trail);
    snprintf(trail + n, sizeof trail - n, "%s;", static_cast<const char *>(asset));
}
void reset() { trail[0] = '\0'; }

int marker;

} // namespace

TEST(Frame, ErrorAccessorsWithoutHandler) {
    EXPECT_EQ(xxl_current_error_code(), 0);
    EXPECT_EQ(xxl_current_error_data(), nullptr);
    EXPECT_EQ(xxl_current_error_file(), nullptr);
    EXPECT_EQ(xxl_current_error_line(), 0);
    // an asset block alone is no handler
    xxl_push_context(nullptr);
    EXPECT_EQ(xxl_current_error_code(), 0);
    xxl_pop_context();
    // popping an empty stack is harmless
    xxl_pop_context();
    xxl_pop_contexts();
}

TEST(Frame, NestedBlocksDeliverExceptionUnchangedThroughAssetBlocks) {
    reset();
    volatile int outer_code = 0, inner_ran = 0, body_after = 0;
    void *volatile data = nullptr;
    const char *volatile file = nullptr;
    volatile int line = 0;
    XXL_BLOCK {
        xxl_push_asset((void *)"outer-err", note, nullptr, XXL_ASSET_ON_ERROR);
        XXL_BLOCK {
            xxl_push_context(nullptr); // asset block between the two handlers
            xxl_push_asset((void *)"ab-err", note, nullptr, XXL_ASSET_ON_ERROR);
            xxl_push_asset((void *)"ab-always", note, nullptr, XXL_ASSET_ALWAYS);
            xxl_push_asset((void *)"ab-success", note, nullptr, XXL_ASSET_ON_SUCCESS);
            xxl_push_asset((void *)"ab-keep", note, nullptr, XXL_ASSET_KEEP);
            // the innermost handler is seen through the asset block
            EXPECT_EQ(xxl_current_error_code(), 0);
            xxl_throw_error(EFAULT, &marker, "thrower.c", 4242);
            body_after = 1;
            xxl_pop_context();
        } XXL_ON(EINVAL) {
            inner_ran = 1;
        } XXL_BLOCK_END;
        body_after = 2;
    } XXL_ON(EFAULT) {
        outer_code = xxl_current_error_code();
        data = xxl_current_error_data();
        file = xxl_current_error_file();
        line = xxl_current_error_line();
    } XXL_BLOCK_END;
    EXPECT_EQ(outer_code, EFAULT);
    EXPECT_EQ(data, &marker);
    EXPECT_STREQ(file, "thrower.c");
    EXPECT_EQ(line, 4242);
    EXPECT_EQ(inner_ran, 0);
    EXPECT_EQ(body_after, 0);
    // asset block cleaned as an exceptional exit, newest first; then the
    // outer handler's own error asset when its block closes
    EXPECT_STREQ(trail, "ab-always;ab-err;outer-err;");
    EXPECT_EQ(xxl_current_error_code(), 0);
}

TEST(Frame, DispositionsOnNormalAndExceptionalExit) {
    reset();
    XXL_BLOCK {
        xxl_push_asset((void *)"err", note, nullptr, XXL_ASSET_ON_ERROR);
        xxl_push_asset((void *)"always", note, nullptr, XXL_ASSET_ALWAYS);
        xxl_push_asset((void *)"keep", note, nullptr, XXL_ASSET_KEEP);
        xxl_push_asset((void *)"success", note, nullptr, XXL_ASSET_ON_SUCCESS);
        xxl_push_asset((void *)"none", note, nullptr, 0);
        xxl_push_asset((void *)"nullfn", nullptr, nullptr, XXL_ASSET_ALWAYS);
    } XXL_BLOCK_END;
    EXPECT_STREQ(trail, "success;always;");

    reset();
    volatile int caught = 0;
    XXL_BLOCK {
        xxl_push_asset((void *)"err", note, nullptr, XXL_ASSET_ON_ERROR);
        xxl_push_asset((void *)"always", note, nullptr, XXL_ASSET_ALWAYS);
        xxl_push_asset((void *)"keep", note, nullptr, XXL_ASSET_KEEP);
        xxl_push_asset((void *)"success", note, nullptr, XXL_ASSET_ON_SUCCESS);
        xxl_throw_error(ENOMEM, nullptr, __FILE__, __LINE__);
    } XXL_ON_ANY {
        caught = xxl_current_error_code();
    } XXL_BLOCK_END;
    EXPECT_EQ(caught, ENOMEM);
    EXPECT_STREQ(trail, "always;err;");
}

TEST(Frame, FirstMatchingSectionOnly) {
    volatile int which = 0;
    XXL_BLOCK {
        xxl_throw_error(EINVAL, nullptr, __FILE__, __LINE__);
    } XXL_ON(ENOMEM) {
        which = 1;
    } XXL_ON(EINVAL) {
        which = which + 2;
    } XXL_ON(EINVAL) {
        which = which + 4;
    } XXL_ON_ANY {
        which = which + 8;
    } XXL_BLOCK_END;
    EXPECT_EQ(which, 2);
}

TEST(Frame, UnhandledCodeReachesOuterBlockWithInnerErrorAssetsCleaned) {
    reset();
    volatile int outer = 0;
    XXL_BLOCK {
        XXL_BLOCK {
            xxl_push_asset((void *)"inner-err", note, nullptr, XXL_ASSET_ON_ERROR);
            xxl_push_asset((void *)"inner-ok", note, nullptr, XXL_ASSET_ON_SUCCESS);
            xxl_throw_error(0x80000003, &marker, "f.c", 7);
        } XXL_ON(EINVAL) {
            outer = -1;
        } XXL_BLOCK_END;
    } XXL_ON((int)0x80000003) {
        outer = xxl_current_error_line();
        EXPECT_EQ(xxl_current_error_data(), &marker);
    } XXL_BLOCK_END;
    EXPECT_EQ(outer, 7);
    EXPECT_STREQ(trail, "inner-err;");
}

TEST(Frame, ThrowInHandlerReplacesException) {
    reset();
    volatile int outer = 0, exit_ran = 0;
    XXL_BLOCK {
        XXL_BLOCK {
            xxl_push_asset((void *)"inner-err", note, nullptr, XXL_ASSET_ON_ERROR);
            xxl_throw_error(EINVAL, nullptr, "a.c", 1);
        } XXL_ON(EINVAL) {
            xxl_throw_error(ENOSPC, &marker, "b.c", 2);
        } XXL_ON(ENOSPC) {
            outer = -1; // a section does not catch its own block's new exception
        } XXL_ON_EXIT {
            exit_ran = exit_ran + 1;
        } XXL_BLOCK_END;
    } XXL_ON(EINVAL) {
        outer = 1;
    } XXL_ON(ENOSPC) {
        outer = 2;
        EXPECT_EQ(xxl_current_error_data(), &marker);
        EXPECT_STREQ(xxl_current_error_file(), "b.c");
    } XXL_BLOCK_END;
    EXPECT_EQ(outer, 2);
    EXPECT_EQ(exit_ran, 1);
    EXPECT_STREQ(trail, "inner-err;");
}

TEST(Frame, ThrowInExitSectionAfterPendingGoesOutward) {
    volatile int outer = 0;
    XXL_BLOCK {
        XXL_BLOCK {
            xxl_throw_error(EINVAL, nullptr, "a.c", 1);
        } XXL_ON(EINVAL) {
            xxl_throw_error(ENOSPC, nullptr, "b.c", 2);
        } XXL_ON_EXIT {
            if (XXL__STATE(xxl_ctx__) == XXL_STATE_PENDING)
                xxl_throw_error(EPIPE, nullptr, "c.c", 3);
        } XXL_BLOCK_END;
    } XXL_ON_ANY {
        outer = xxl_current_error_code();
    } XXL_BLOCK_END;
    EXPECT_EQ(outer, EPIPE);
}

TEST(Frame, RetryRunsBodyAgainAfterReleasingFirstAttempt) {
    reset();
    volatile int attempts = 0, handled = 0;
    XXL_BLOCK {
        attempts = attempts + 1;
        if (attempts == 1) {
            xxl_push_asset((void *)"first-err", note, nullptr, XXL_ASSET_ON_ERROR);
            xxl_push_asset((void *)"first-always", note, nullptr, XXL_ASSET_ALWAYS);
            xxl_throw_error(EAGAIN, nullptr, __FILE__, __LINE__);
        }
        // the first attempt's assets are gone before the second starts
        EXPECT_STREQ(trail, "first-always;first-err;");
        EXPECT_EQ(xxl_current_error_code(), 0);
        xxl_push_asset((void *)"second-ok", note, nullptr, XXL_ASSET_ON_SUCCESS);
        xxl_push_asset((void *)"second-err", note, nullptr, XXL_ASSET_ON_ERROR);
    } XXL_ON(EAGAIN) {
        handled = handled + 1;
        XXL_RETRY;
    } XXL_BLOCK_END;
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(handled, 1);
    // a successful retry is a normal exit
    EXPECT_STREQ(trail, "first-always;first-err;second-ok;");
}

TEST(Frame, PromotePassesExceptionOutward) {
    reset();
    volatile int inner = 0, outer = 0, exit_ran = 0;
    XXL_BLOCK {
        XXL_BLOCK {
            xxl_push_asset((void *)"inner-err", note, nullptr, XXL_ASSET_ON_ERROR);
            xxl_throw_error(EIO, &marker, "p.c", 9);
        } XXL_ON(EIO) {
            inner = 1;
            XXL_PROMOTE;
        } XXL_ON_EXIT {
            exit_ran = 1;
        } XXL_BLOCK_END;
    } XXL_ON(EIO) {
        outer = xxl_current_error_line();
        EXPECT_EQ(xxl_current_error_data(), &marker);
    } XXL_BLOCK_END;
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(exit_ran, 1);
    EXPECT_EQ(outer, 9);
    EXPECT_STREQ(trail, "inner-err;");
}

TEST(Frame, ReleaseAndUpdateAssets) {
    reset();
    XXL_BLOCK {
        xxl_push_asset((void *)"a", note, nullptr, XXL_ASSET_ALWAYS);
        xxl_push_context(nullptr);
        xxl_push_asset((void *)"a", note, nullptr, XXL_ASSET_ALWAYS);
        xxl_push_asset((void *)"a", note, nullptr, XXL_ASSET_ALWAYS);
        xxl_push_asset((void *)"b", note, nullptr, XXL_ASSET_ALWAYS);
        // innermost only, first match: one of the two inner "a"
        xxl_release_asset((void *)"a", XXL_RELEASE_INNERMOST);
        // first found anywhere: the other inner "a"
        xxl_release_asset((void *)"a", XXL_RELEASE_FIRST);
        // unregistered asset: nothing happens
        xxl_release_asset((void *)"zz", XXL_RELEASE_ALL);
        xxl_pop_context();
        EXPECT_STREQ(trail, "b;");
        xxl_push_context(nullptr);
        xxl_push_asset((void *)"a", note, nullptr, XXL_ASSET_ALWAYS);
        // every context loses its first "a"; unknown mode counts as ALL
        xxl_release_asset((void *)"a", 77);
        xxl_pop_context();
    } XXL_BLOCK_END;
    EXPECT_STREQ(trail, "b;");

    reset();
    static char old_tag[] = "old", new_tag[] = "new";
    XXL_BLOCK {
        xxl_push_asset(old_tag, note, nullptr, XXL_ASSET_ALWAYS);
        xxl_push_context(nullptr);
        xxl_push_asset(old_tag, note, nullptr, XXL_ASSET_ALWAYS);
        xxl_update_asset(old_tag, new_tag);
        xxl_pop_context();
    } XXL_BLOCK_END;
    EXPECT_STREQ(trail, "new;new;");
}

TEST(Frame, ResourceWrappers) {
    int fds_before = 0;
    for (int fd = 0; fd < 256; fd++)
        fds_before += fcntl(fd, F_GETFD) != -1;
    volatile int caught = 0;
    XXL_BLOCK {
        void *p = xxl_malloc(64, XXL_ASSET_ON_ERROR);
        EXPECT_NE(p, nullptr);
        void *q = xxl_realloc(p, 1 << 20); // moved: the registration follows
        EXPECT_NE(q, nullptr);
        FILE *f = xxl_fopen("/dev/null", "r", XXL_ASSET_ON_ERROR);
        int fd = xxl_open("/dev/null", O_RDONLY, 0, XXL_ASSET_ON_ERROR);
        int sd = xxl_socket(AF_UNIX, SOCK_STREAM, 0, XXL_ASSET_ON_ERROR);
        EXPECT_NE(f, nullptr);
        EXPECT_GE(fd, 0);
        EXPECT_GE(sd, 0);
        EXPECT_EQ(xxl_fopen("/nonexistent/x", "r", XXL_ASSET_ALWAYS), nullptr);
        EXPECT_EQ(xxl_open("/nonexistent/x", O_RDONLY, 0, XXL_ASSET_ALWAYS), -1);
        xxl_throw_error(ENOENT, nullptr, __FILE__, __LINE__);
    } XXL_ON(ENOENT) {
        caught = 1;
    } XXL_BLOCK_END;
    EXPECT_EQ(caught, 1);
    int fds_after = 0;
    for (int fd = 0; fd < 256; fd++)
        fds_after += fcntl(fd, F_GETFD) != -1;
    EXPECT_EQ(fds_before, fds_after); // everything released on the error path

    // explicit close/free drops the registration: no double free or close
    // at pop, even when the descriptor number is reused meanwhile
    volatile int keep = -1, closed_fd = -2;
    XXL_BLOCK {
        void *p = xxl_malloc(16, XXL_ASSET_ALWAYS);
        xxl_free(p);
        int fd = xxl_open("/dev/null", O_RDONLY, 0, XXL_ASSET_ALWAYS);
        EXPECT_EQ(xxl_close(fd), 0);
        closed_fd = fd;
        FILE *f = xxl_fopen("/dev/null", "r", XXL_ASSET_ALWAYS);
        EXPECT_EQ(xxl_fclose(f), 0);
        int sd = xxl_socket(AF_UNIX, SOCK_STREAM, 0, XXL_ASSET_ALWAYS);
        EXPECT_EQ(xxl_closesocket(sd), 0);
        keep = open("/dev/null", O_RDONLY);
    } XXL_BLOCK_END;
    EXPECT_EQ(keep, closed_fd);
    EXPECT_NE(fcntl(keep, F_GETFD), -1);
    close(keep);
}

TEST(Frame, ShutdownReleasesButKeepsDescriptor) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    volatile int sd = -1;
    XXL_BLOCK {
        sd = sv[0];
        xxl_push_asset((void *)(intptr_t)sd, xxl_cleanup_socket, nullptr, XXL_ASSET_ALWAYS);
        EXPECT_EQ(xxl_shutdown(sd, SHUT_RDWR), 0);
    } XXL_BLOCK_END;
    EXPECT_NE(fcntl(sv[0], F_GETFD), -1);
    close(sv[0]);
    close(sv[1]);
}

TEST(Frame, FatalMessages) {
    EXPECT_EXIT(xxl_throw_error(EINVAL, nullptr, "x", 1), testing::KilledBySignal(SIGABRT),
                "^XXL: Exception thrown with no handler to catch it!\n$");
    EXPECT_EXIT(xxl_push_asset(&marker, nullptr, nullptr, XXL_ASSET_ALWAYS), testing::KilledBySignal(SIGABRT),
                "^XXL_: Attempt to push an asset outside of an asset block!\n$");
    xxl_push_asset(&marker, nullptr, nullptr, 0); // disposition 0 with an empty stack: nothing
    EXPECT_EXIT(
        {
            xxl_push_context(nullptr);
            xxl_push_asset(&marker, nullptr, nullptr, 5);
            xxl_pop_context();
        },
        testing::KilledBySignal(SIGABRT), "^XXL: Unknown asset type to pop!\n$");
    EXPECT_EXIT(
        {
            XXL_BLOCK {
                XXL_PROMOTE;
            } XXL_BLOCK_END;
        },
        testing::KilledBySignal(SIGABRT), "^XXL: Cannot promote a non-existant exception!\n$");
    EXPECT_EXIT(xxl_leave_handler(XXL_LEAVE_PROPAGATE), testing::KilledBySignal(SIGABRT),
                "^XXL: Exception thrown with no handler to catch it!\n$");
    // the only handler propagates: nothing left to catch it
    EXPECT_EXIT(
        {
            XXL_BLOCK {
                xxl_throw_error(EINVAL, nullptr, "x", 1);
            } XXL_BLOCK_END;
        },
        testing::KilledBySignal(SIGABRT), "^XXL: Exception thrown with no handler to catch it!\n$");
    EXPECT_EXIT(
        {
            XXL_BLOCK {
                xxl_ctx__->state = (xxl_ctx__->state & ~0xFFu) | 7u;
                xxl_throw_error(EINVAL, nullptr, "x", 1);
            } XXL_BLOCK_END;
        },
        testing::KilledBySignal(SIGABRT), "^XXL: Inconsistent state in xxl_throw_error\\(\\)!\n$");
    // state 5 without the exit flag
    EXPECT_EXIT(
        {
            XXL_BLOCK {
                xxl_throw_error(EINVAL, nullptr, "a", 1);
            } XXL_ON(EINVAL) {
                xxl_throw_error(ENOSPC, nullptr, "b", 2);
            } XXL_BLOCK_END;
        },
        testing::KilledBySignal(SIGABRT), "^XXL: Exception thrown with no handler to catch it!\n$");
    EXPECT_EXIT(
        {
            XXL_BLOCK {
                xxl_throw_error(EINVAL, nullptr, "a", 1);
            } XXL_ON_ANY {
                // a pending state without the exit flag admits no throw
                xxl_ctx__->state = (xxl_ctx__->state & ~0xFFu) | XXL_STATE_PENDING;
                xxl_throw_error(EIO, nullptr, "c", 3);
            } XXL_BLOCK_END;
        },
        testing::KilledBySignal(SIGABRT), "^XXL: Inconsistent state in xxl_throw_error\\(\\)!\n$");
}

namespace {

// Registrations of one asset in the innermost context.
int registrations(xxl_context_t *c, void *asset) {
    int n = 0;
    for (xxl_asset_t *a = c->assets; a; a = a->next)
        n += a->asset == asset;
    return n;
}

} // namespace

// A wrapper whose call released the resource, even while failing, drops the
// registration, so the block's end never releases it a second time; a new
// block from realloc is registered as itself, never through someone else's
// null registration.
TEST(Frame, WrappersDropWhatTheCallReleased) {
    xxl_context_t *c = xxl_push_context(nullptr);
    struct Case {
        const char *what;
        void *key;     // the registration looked at afterwards
        int result;    // the wrapper's result (a pointer result as 0 / 1)
        int expected_result;
        int left;      // registrations of key left
    };
    Case cases[4] = {};
    int n = 0;

    // fclose that fails to flush frees the FILE all the same
    FILE *full = xxl_fopen("/dev/full", "w", XXL_ASSET_ALWAYS);
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IOFBF, 4096);
    fputs("lost", full);
    cases[n++] = {"fclose that fails", full, xxl_fclose(full), EOF, 0};

    // realloc to size 0 frees the block
    void *p = xxl_malloc(32, XXL_ASSET_ALWAYS);
    ASSERT_NE(p, nullptr);
    void *r0 = xxl_realloc(p, 0);
    cases[n++] = {"realloc to 0", p, r0 != nullptr, 0, 0};
    if (r0)
        xxl_release_asset(r0, XXL_RELEASE_ALL);

    // realloc of null leaves a null registration alone and registers the
    // new block itself
    xxl_push_asset(nullptr, nullptr, nullptr, XXL_ASSET_ALWAYS);
    void *fresh = xxl_realloc(nullptr, 48);
    cases[n++] = {"null stays null", nullptr, fresh != nullptr, 1, 1};
    cases[n++] = {"new block registered", fresh, fresh != nullptr, 1, 1};

    for (int i = 0; i < n; i++) {
        EXPECT_EQ(cases[i].result, cases[i].expected_result) << cases[i].what;
        EXPECT_EQ(registrations(c, cases[i].key), cases[i].left) << cases[i].what;
    }
    // Whatever the outcome, leave nothing behind that the pop would free
    // twice; the fresh block is freed here.
    xxl_release_asset(full, XXL_RELEASE_ALL);
    xxl_release_asset(p, XXL_RELEASE_ALL);
    xxl_release_asset(nullptr, XXL_RELEASE_ALL);
    xxl_release_asset(fresh, XXL_RELEASE_ALL);
    free(fresh);
    EXPECT_EQ(c->assets, nullptr);
    xxl_pop_context();

    // inside a block, a fresh block from realloc is freed by an exception
    // (registered on error) and kept on a normal exit
    void *volatile kept = nullptr;
    XXL_BLOCK {
        kept = xxl_realloc(nullptr, 16);
        EXPECT_EQ(registrations(xxl_ctx__, kept), 1);
    } XXL_BLOCK_END;
    free(kept);
}

// A handler that leaves with a code the block does not list (neither
// arrival, retry, promote nor pending) closes the block quietly; the block
// sees that code in its state, as it sees the listed ones.
namespace {
unsigned leave_with(int code, int *body_runs, int *handler_runs) {
    volatile unsigned seen = 0;
    XXL_BLOCK {
        *body_runs += 1;
        xxl_throw_error(EIO, nullptr, __FILE__, __LINE__);
    } XXL_ON(EIO) {
        *handler_runs += 1;
        xxl_leave_handler(code);
    } XXL_ON_EXIT {
        seen = xxl_ctx__->state & 0xFFu;
    } XXL_BLOCK_END;
    return seen;
}
} // namespace

TEST(Frame, LeavingWithOtherCodesReachesTheBlock) {
    const int codes[] = {4, 7, 0x41};
    for (int code : codes) {
        int body_runs = 0, handler_runs = 0;
        EXPECT_EQ(leave_with(code, &body_runs, &handler_runs), static_cast<unsigned>(code)) << code;
        EXPECT_EQ(body_runs, 1) << code;
        EXPECT_EQ(handler_runs, 1) << code;
        EXPECT_EQ(xxl_current_error_code(), 0) << code;
    }
}
