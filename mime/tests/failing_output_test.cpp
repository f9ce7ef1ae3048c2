// Stream forms against outputs that fail: /dev/full, a pipe whose reader
// has gone, and a file that takes only n bytes (RLIMIT_FSIZE). Every failed
// write gives -1; it is logged unless the byte that failed belongs to a hard
// line break or, in Q, to an underscore. The 8-bit form does not check its
// writes and gives 0.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/mime_testing.h"

using namespace mimetest;

namespace {

FILE *input_of(const std::string &s) {
    FILE *f = tmpfile();
    fwrite(s.data(), 1, s.size(), f);
    rewind(f);
    return f;
}

struct first_write_case {
    const char *encoding;
    std::string in;
    int rc;
    bool logged;
};

std::vector<first_write_case> first_write_cases() {
    return {
        {"base64", "abc", -1, true},      {"base64", "", 0, false},
        {"base64_dec", "QUJD", -1, true}, {"base64_dec", "Q", 0, false},
        {"qp", "abc", -1, true},          {"qp", "\nabc", -1, false},
        {"qp", "\r\n", -1, false},        {"qp", "=", -1, true},
        {"q", "abc", -1, true},           {"q", " abc", -1, false},
        {"q", "\rx", -1, false},          {"q", "?", -1, true},
        {"eightbit", "abc", 0, false},    {"eightbit", "", 0, false},
    };
}

// Runs every case against an unbuffered output made by open_out.
template <class Open> void check_first_write(const char *what, Open open_out) {
    for (const first_write_case &c : first_write_cases()) {
        FILE *in = input_of(c.in);
        FILE *out = open_out();
        ASSERT_NE(out, nullptr) << what;
        setvbuf(out, nullptr, _IONBF, 0);
        log_capture log;
        EXPECT_EQ(by_name(c.encoding).stream(in, out), c.rc) << what << " " << c.encoding << " [" << c.in << "]";
        EXPECT_EQ(log.lines().size(), c.logged ? 1u : 0u) << what << " " << c.encoding << " [" << c.in << "]";
        if (!log.lines().empty()) {
            EXPECT_EQ(log.lines()[0].file, "mime");
            EXPECT_EQ(log.lines()[0].message, "mime:" + std::to_string(log.lines()[0].line) + ":conditional return");
        }
        fclose(in);
        fclose(out);
    }
}

TEST(FailingOutput, DevFull) {
    check_first_write("/dev/full", [] { return fopen("/dev/full", "w"); });
}

TEST(FailingOutput, PipeWithoutReader) {
    struct sigaction ign = {}, old = {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);
    check_first_write("pipe", [] {
        int fds[2];
        if (pipe(fds) != 0)
            return (FILE *)nullptr;
        close(fds[0]);
        return fdopen(fds[1], "w");
    });
    sigaction(SIGPIPE, &old, nullptr);
}

// A descriptor closed under the stream: reads fail (the end of the input),
// writes fail like any other.
TEST(FailingOutput, ClosedDescriptors) {
    // Nothing is opened between a close and its use, so the number is not
    // taken again under the stream.
    FILE *in = input_of("abc"), *out = tmpfile();
    ASSERT_TRUE(in && out);
    close(fileno(in));
    EXPECT_EQ(base64_enc(in, out), 0);
    EXPECT_EQ(ftell(out), 0);
    fclose(in);
    in = input_of("abc");
    setvbuf(out, nullptr, _IONBF, 0);
    close(fileno(out));
    log_capture log;
    EXPECT_EQ(qp_enc(in, out), -1);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(eightbit_enc(in, out), 0);
    fclose(in);
    fclose(out);
}

// The items of an encoded text, read back from its bytes: for each byte,
// whether a failed write of it is quiet (hard break, Q underscore).
std::vector<bool> quiet_bytes(const std::string &enc, bool base64, bool q) {
    std::vector<bool> quiet(enc.size(), false);
    for (size_t i = 0; i < enc.size();) {
        if (!base64 && enc.compare(i, 3, "=\r\n") == 0) {
            i += 3; // soft break: logged
        } else if (enc[i] == '=' && !base64) {
            i += 3; // escape
        } else if (enc.compare(i, 2, "\r\n") == 0) {
            quiet[i] = quiet[i + 1] = true;
            i += 2;
        } else {
            quiet[i] = q && enc[i] == '_';
            i++;
        }
    }
    return quiet;
}

// Output that fails after n bytes: every position of the encoded text is
// tried, so each kind of item fails once at each of its bytes.
TEST(FailingOutput, FailureAtEveryByte) {
    struct sigaction ign = {}, old = {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ign, &old);
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    std::string text = std::string(80, 'a') + " \n=\xE9 b\r\nc?_( ) " + std::string(20, 'x') + "\t\r\nend";
    struct {
        const char *encoding;
        bool base64, q;
    } runs[] = {{"base64", true, false}, {"qp", false, false}, {"q", false, true}};
    char path[] = "/tmp/mime_fsizeXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (auto &run : runs) {
        const encoding &e = by_name(run.encoding);
        std::string enc = via_string(e.string, text.c_str());
        std::vector<bool> quiet = quiet_bytes(enc, run.base64, run.q);
        for (size_t n = 0; n < enc.size(); n++) {
            FILE *in = input_of(text);
            FILE *out = fopen(path, "w");
            ASSERT_NE(out, nullptr);
            setvbuf(out, nullptr, _IONBF, 0);
            struct rlimit lim = saved;
            lim.rlim_cur = n;
            log_capture log;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
            int rc = e.stream(in, out);
            setrlimit(RLIMIT_FSIZE, &saved);
            EXPECT_EQ(rc, -1) << run.encoding << " fails at " << n;
            EXPECT_EQ(log.lines().size(), quiet[n] ? 0u : 1u)
                << run.encoding << " fails at " << n << " on byte " << int(enc[n]);
            fclose(in);
            fclose(out);
        }
        // And the whole text goes through when the limit allows it.
        FILE *in = input_of(text);
        FILE *out = fopen(path, "w");
        EXPECT_EQ(e.stream(in, out), 0);
        fclose(in);
        fclose(out);
    }
    unlink(path);
    sigaction(SIGXFSZ, &old, nullptr);
}

} // namespace
