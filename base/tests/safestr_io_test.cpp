// Safe-string conversions, case and trim edits, descriptor and stream
// reads, and the password reader on a real pseudo-terminal: echo off while
// reading, terminal and signal mask restored after success and failure.
#include <gtest/gtest.h>
#include <kivo/safestr.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <sys/syscall.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "support/fdcount.h"

namespace {

// Runs f inside a protected block; returns the code it threw, or 0.
template <typename F>
int caught(F f)
{
    volatile int code = 0;
    XXL_BLOCK {
        f();
    }
    XXL_ON_ANY {
        code = xxl_current_error_code();
    }
    XXL_BLOCK_END;
    return code;
}

std::string str(safestr_t s) { return s ? std::string(s, safestr_length(s)) : std::string("<null>"); }

// Takes the string's text and frees it.
std::string take(safestr_t s)
{
    std::string r = str(s);
    if (s)
        safestr_free(s);
    return r;
}


} // namespace

TEST(SafestrConvert, IntegerParser)
{
    int32_t i = 0;
    uint32_t u = 0;
    auto i32 = [&](const char *t, int base) { return caught([&] { i = safestr_toint32(SAFESTR_TEMP(t), base); }); };
    auto u32 = [&](const char *t, int base) { return caught([&] { u = safestr_touint32(SAFESTR_TEMP(t), base); }); };

    struct {
        const char *text;
        int base;
        int32_t value;
    } ok[] = {{" -42", 10, -42}, {"+7", 10, 7},          {"12 apples", 10, 12}, {"", 10, 0},
              {" \t", 10, 0},    {"-", 10, 0},           {"0x", 0, 0},          {"4294967295", 10, -1},
              {"-0x10", 0, -16}, {"zz", 36, 35 * 36 + 35}, {"0b11", 2, 3}};
    for (auto &c : ok) {
        EXPECT_EQ(0, i32(c.text, c.base)) << c.text;
        EXPECT_EQ(c.value, i) << c.text;
    }
    EXPECT_EQ(SAFESTR_E_BAD_NUMBER, i32("12\n", 10));
    EXPECT_EQ(SAFESTR_E_BAD_NUMBER, i32("1\t2", 10));
    EXPECT_EQ(SAFESTR_E_BAD_NUMBER, i32("19", 8));

    EXPECT_EQ(SAFESTR_E_BAD_NUMBER, u32("-1", 10));
    for (int base : {0, 16}) {
        EXPECT_EQ(0, u32("0x1F", base));
        EXPECT_EQ(31u, u);
    }
    EXPECT_EQ(SAFESTR_E_BAD_NUMBER, u32("0x1F", 10));
    EXPECT_EQ(SAFESTR_E_BAD_NUMBER, u32("0b1", 16));
    EXPECT_EQ(0, u32("ff", 16));
    EXPECT_EQ(255u, u);
    EXPECT_EQ(0, u32("0b101", 0));
    EXPECT_EQ(5u, u);
    EXPECT_EQ(0, u32("4294967296", 10));
    EXPECT_EQ(0u, u);
    EXPECT_EQ(EINVAL, u32("1", 1));
    EXPECT_EQ(EINVAL, u32("1", 37));
    EXPECT_EQ(EINVAL, u32("1", -2));

    int64_t i64 = 0;
    uint64_t u64 = 0;
    EXPECT_EQ(0, caught([&] { i64 = safestr_toint64(SAFESTR_TEMP("-9223372036854775808"), 10); }));
    EXPECT_EQ(INT64_MIN, i64);
    EXPECT_EQ(0, caught([&] { u64 = safestr_touint64(SAFESTR_TEMP("18446744073709551615"), 0); }));
    EXPECT_EQ(UINT64_MAX, u64);
    EXPECT_EQ(0, caught([&] { u64 = safestr_touint64(SAFESTR_TEMP("0xFFFFFFFFFF"), 0); }));
    EXPECT_EQ(0xFFFFFFFFFFull, u64);
}

TEST(SafestrConvert, DoublesAndWrappers)
{
    double d = 0;
    EXPECT_EQ(0, caught([&] { d = safestr_todouble(SAFESTR_TEMP("1.5")); }));
    EXPECT_DOUBLE_EQ(1.5, d);
    EXPECT_EQ(SAFESTR_E_BAD_NUMBER, caught([&] { d = safestr_todouble(SAFESTR_TEMP("1.5 ")); }));
    EXPECT_EQ(SAFESTR_E_BAD_NUMBER, caught([&] { d = safestr_todouble(SAFESTR_TEMP("")); }));

    safestr_t empty = safestr_create("", 0), abc = safestr_create("abc", 0), n = safestr_create("-17", 0);
    int32_t out = 99;
    EXPECT_EQ(-1, str_toint32_err(empty, &out));
    EXPECT_EQ(-1, str_toint32_err(abc, &out));
    EXPECT_EQ(99, out);
    EXPECT_EQ(0, str_toint32_err(n, &out));
    EXPECT_EQ(-17, out);
    uint32_t uo = 5;
    EXPECT_EQ(-1, str_touint32_err(n, &uo));
    EXPECT_EQ(5u, uo);
    int64_t o64 = 0;
    EXPECT_EQ(0, str_toint64_err(n, &o64));
    EXPECT_EQ(-17, o64);
    double dd = 0;
    EXPECT_EQ(-1, str_todouble_err(abc, &dd));
    EXPECT_EQ(0, str_todouble_err(n, &dd));
    EXPECT_DOUBLE_EQ(-17.0, dd);
    EXPECT_EQ(0, str_toint32(abc, 10));
    EXPECT_EQ(0u, str_touint32(n, 10));
    EXPECT_EQ(-17, str_toint32(n, 0));
    EXPECT_EQ(0, str_toint32(n, 99)); // EINVAL caught
    EXPECT_DOUBLE_EQ(0.0, str_todouble(abc));
    // Plain reads leave the strings as they were.
    EXPECT_EQ("-17", str(n));
    safestr_free(empty);
    safestr_free(abc);
    safestr_free(n);

    // A temporary string serves the one conversion it is given to.
    EXPECT_EQ(0, str_toint32_err(SAFESTR_TEMP("41"), &out));
    EXPECT_EQ(41, out);
    EXPECT_EQ(-1, str_toint32_err(SAFESTR_TEMP(""), &out));

    // A handle that is not a safe string reaches the caller's handler.
    alignas(8) char fake[64] = {0};
    strcpy(fake + 32, "12");
    EXPECT_EQ(EFAULT, caught([&] { str_toint32_err(fake + 32, &out); }));
    EXPECT_EQ(EINVAL, caught([&] { str_toint32_err(nullptr, &out); }));
    EXPECT_EQ(41, out);
}

TEST(SafestrConvert, CaseAndTrim)
{
    struct {
        const char *in, *out;
    } titles[] = {{"hamcat", "HaMcAt"},   {"a  b", "A  b"},        {"hello world", "Hello World"},
                  {"HELLO", "Hello"},     {"mcdonald", "McDonald"}, {"o'neil", "O'Neil"},
                  {"mc", "Mc"},           {"", ""}};
    for (auto &t : titles) {
        safestr_t s = safestr_create(t.in, SAFESTR_F_TRUSTED);
        EXPECT_EQ(0, caught([&] { safestr_convert(s, SAFESTR_CONVERT_TITLECASE); }));
        EXPECT_EQ(t.out, str(s)) << t.in;
        EXPECT_EQ(1, safestr_istrusted(s));
        safestr_free(s);
    }
    safestr_t s = safestr_create("MiXeD 1", 0);
    safestr_convert(s, SAFESTR_CONVERT_UPPERCASE | SAFESTR_CONVERT_LOWERCASE);
    EXPECT_EQ("MIXED 1", str(s));
    safestr_convert(s, SAFESTR_CONVERT_LOWERCASE);
    EXPECT_EQ("mixed 1", str(s));
    safestr_convert(s, 0);
    EXPECT_EQ("mixed 1", str(s));
    safestr_makereadonly(s);
    EXPECT_EQ(SAFESTR_E_NOT_WRITABLE, caught([&] { safestr_convert(s, SAFESTR_CONVERT_UPPERCASE); }));
    EXPECT_EQ("mixed 1", str(s));
    safestr_free(s);

    struct {
        const char *in;
        uint32_t flags;
        const char *out;
    } trims[] = {{" \t a b \n", 0, "a b"},      {" \t a b \n", 0x01, "a b \n"},
                 {" \t a b \n", 0x02, " \t a b"}, {" \t a b \n", 0x03, "a b"},
                 {"\x01\x7f x\x7f", 0, "x"},    {"   ", 0, ""},
                 {"", 0, ""},                   {"none", 0, "none"}};
    for (auto &t : trims) {
        safestr_t v = safestr_create(t.in, 0);
        safestr_t before = v;
        safestr_trim(v, t.flags);
        EXPECT_EQ(t.out, str(v)) << t.in;
        EXPECT_EQ(strlen(t.out), safestr_length(v));
        EXPECT_EQ(0, v[safestr_length(v)]);
        EXPECT_EQ(before, v); // in place
        safestr_free(v);
    }
}

TEST(SafestrDescriptors, WriteAndRead)
{
    Pipe p;
    safestr_t s = safestr_create("hello world", 0);
    EXPECT_EQ(11, safestr_fd_write(p.w, s, 0.0f));
    EXPECT_EQ(0, safestr_fd_write(p.w, s, 1.0f));
    EXPECT_EQ(0, safestr_fd_write(p.w, SAFESTR_TEMP(""), 1.0f));

    safestr_t in = nullptr;
    EXPECT_EQ(11, safestr_fd_read(p.r, 11, &in, 0.0f)); // exactly the size
    EXPECT_EQ("hello world", str(in));
    EXPECT_EQ(11u, safestr_length(in));
    safestr_free(in);
    EXPECT_EQ(5, safestr_fd_read(p.r, 5, &in, 1.0f));
    EXPECT_EQ("hello", take(in));
    EXPECT_EQ(6, safestr_fd_read(p.r, 100, &in, 1.0f)); // one timed read: what is there
    EXPECT_EQ(" world", take(in));

    // Time-out on an empty pipe: -1 and no string.
    in = s;
    EXPECT_EQ(-1, safestr_fd_read(p.r, 10, &in, 0.2f));
    EXPECT_EQ(nullptr, in);
    EXPECT_EQ(-1, safestr_fd_write(-1, s, 1.0f));

    // End of file before the size: what arrived.
    ASSERT_EQ(3, write(p.w, "abc", 3));
    p.close_w();
    EXPECT_EQ(3, safestr_fd_read(p.r, 9, &in, 0.0f));
    EXPECT_EQ("abc", take(in));
    EXPECT_EQ(0, safestr_fd_read(p.r, 9, &in, 0.0f));
    EXPECT_EQ("", take(in));

    int closed = dup(p.r);
    ::close(closed);
    EXPECT_EQ(-1, safestr_fd_read(closed, 4, &in, 0.0f));
    EXPECT_EQ(nullptr, in);
    EXPECT_EQ(0, safestr_fd_write(closed, s, 0.0f)); // nothing written
    EXPECT_EQ(-1, safestr_fd_read(p.r, -1, &in, 0.0f));
    EXPECT_EQ(EINVAL, caught([&] { safestr_fd_read(p.r, 1, nullptr, 0.0f); }));
    EXPECT_EQ("hello world", str(s));
    safestr_free(s);
}

TEST(SafestrDescriptors, LinesAndTerminators)
{
    for (float timeout : {0.0f, 2.0f}) {
        Pipe p;
        std::string longline(1000, 'x');
        std::string data = "one\r\ntwo\n" + longline + "\nlast";
        ASSERT_EQ((ssize_t)data.size(), write(p.w, data.data(), data.size()));
        p.close_w();
        EXPECT_EQ("one\r", take(safestr_fd_readline(p.r, timeout)));
        EXPECT_EQ("two", take(safestr_fd_readline(p.r, timeout)));
        EXPECT_EQ(longline, take(safestr_fd_readline(p.r, timeout)));
        EXPECT_EQ("last", take(safestr_fd_readline(p.r, timeout)));
        EXPECT_EQ("", take(safestr_fd_readline(p.r, timeout)));
    }
    Pipe q;
    EXPECT_EQ(nullptr, safestr_fd_readline(q.r, 0.2f)); // timed out
    const int closed = -1;
    EXPECT_EQ(EBADF, caught([&] { safestr_fd_readline(closed, 0.0f); }));
    EXPECT_EQ(EBADF, caught([&] { safestr_fd_readline(closed, 1.0f); }));

    Pipe r;
    ASSERT_EQ(4, write(r.w, "a\r\nb", 4));
    r.close_w();
    safestr_t crlf = safestr_create("\r\n", 0);
    EXPECT_EQ("a\r\n", take(safestr_fd_read_until(r.r, crlf)));
    EXPECT_EQ("b", take(safestr_fd_read_until(r.r, crlf)));
    EXPECT_EQ("<null>", take(safestr_fd_read_until(r.r, crlf)));
    EXPECT_EQ("\r\n", str(crlf));
    EXPECT_EQ(EINVAL, caught([&] { safestr_fd_read_until(r.r, SAFESTR_TEMP("")); }));
    EXPECT_EQ(EBADF, caught([&] { safestr_fd_read_until(closed, crlf); }));
    safestr_free(crlf);
}

TEST(SafestrStreams, ReadLine)
{
    FILE *f = tmpfile();
    ASSERT_NE(nullptr, f);
    std::string longline(5000, 'y');
    fputs("one\r\n\n", f);
    fputs(longline.c_str(), f);
    fputs("\r\ntwo", f);
    rewind(f);
    EXPECT_EQ("one", take(safestr_readline(f)));
    EXPECT_EQ("", take(safestr_readline(f)));
    EXPECT_EQ(longline, take(safestr_readline(f)));
    EXPECT_EQ("two", take(safestr_readline(f)));
    EXPECT_EQ("<null>", take(safestr_readline(f)));
    fclose(f);

    // A line of exactly the first capacity, and one just past it.
    for (size_t n : {106u, 107u, 108u, 214u}) {
        f = tmpfile();
        std::string l(n, 'z');
        fputs((l + "\n").c_str(), f);
        rewind(f);
        EXPECT_EQ(l, take(safestr_readline(f))) << n;
        EXPECT_EQ("<null>", take(safestr_readline(f)));
        fclose(f);
    }
    EXPECT_EQ(EINVAL, caught([] { safestr_readline(nullptr); }));
}

namespace {

bool echo_on(int fd)
{
    struct termios t;
    return tcgetattr(fd, &t) == 0 && (t.c_lflag & ECHO);
}

// The signals blocked in thread tid, from /proc.
unsigned long long blocked_signals(pid_t tid)
{
    std::ifstream st("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(st, line))
        if (line.rfind("SigBlk:", 0) == 0)
            return std::stoull(line.substr(7), nullptr, 16);
    return ~0ull;
}

const unsigned long long sigint_bit = 1ull << (SIGINT - 1), sigtstp_bit = 1ull << (SIGTSTP - 1);

struct Pty {
    int master = -1, slave = -1;
    FILE *stream = nullptr;
    Pty()
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0)
            stream = fdopen(dup(slave), "r+");
    }
    ~Pty()
    {
        if (stream)
            fclose(stream);
        if (slave >= 0)
            close(slave);
        if (master >= 0)
            close(master);
    }
    std::string drain()
    {
        std::string out;
        char buf[256];
        int fl = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, fl | O_NONBLOCK);
        ssize_t n;
        while ((n = read(master, buf, sizeof(buf))) > 0)
            out.append(buf, n);
        fcntl(master, F_SETFL, fl);
        return out;
    }
};

} // namespace

TEST(SafestrPassword, ReadsFromATerminalWithEchoOff)
{
    Pty pty;
    ASSERT_NE(nullptr, pty.stream);
    ASSERT_TRUE(echo_on(pty.slave));
    struct termios before;
    ASSERT_EQ(0, tcgetattr(pty.slave, &before));

    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::string result;
    sigset_t mask_before, mask_after; // the kernel fills only part of a sigset_t
    memset(&mask_before, 0, sizeof(mask_before));
    memset(&mask_after, 0, sizeof(mask_after));
    std::thread reader([&] {
        pthread_sigmask(SIG_SETMASK, nullptr, &mask_before);
        tid = (pid_t)syscall(SYS_gettid);
        safestr_t pw = safestr_getpassword(pty.stream, SAFESTR_TEMP("Password: "));
        pthread_sigmask(SIG_SETMASK, nullptr, &mask_after);
        result = take(pw);
        done = true;
    });
    // Type only once echo is off (switching it off flushes pending input).
    auto t0 = std::chrono::steady_clock::now();
    while ((tid == 0 || echo_on(pty.slave)) && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bool echo_was_off = !echo_on(pty.slave);
    unsigned long long blocked = blocked_signals(tid);
    ASSERT_EQ(10, write(pty.master, "s3cr3t pw\n", 10));
    reader.join();
    EXPECT_TRUE(echo_was_off);
#if KIVO_THREADS
    EXPECT_EQ(sigint_bit | sigtstp_bit, blocked & (sigint_bit | sigtstp_bit));
#else
    EXPECT_EQ(0u, blocked & (sigint_bit | sigtstp_bit));
#endif
    EXPECT_TRUE(done);
    EXPECT_EQ("s3cr3t pw", result);
    // Restored afterwards: terminal settings and signal mask.
    struct termios after;
    ASSERT_EQ(0, tcgetattr(pty.slave, &after));
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_TRUE(echo_on(pty.slave));
    EXPECT_EQ(0, memcmp(&mask_before, &mask_after, sizeof(sigset_t)));
    std::string screen = pty.drain();
    EXPECT_NE(std::string::npos, screen.find("Password: "));
    EXPECT_EQ(std::string::npos, screen.find("s3cr3t"));
}

TEST(SafestrPassword, FailedReadRestoresTerminalAndMask)
{
    Pty pty;
    ASSERT_NE(nullptr, pty.stream);
    struct termios before, after;
    ASSERT_EQ(0, tcgetattr(pty.slave, &before));
    sigset_t mask_before, mask_after;
    memset(&mask_before, 0, sizeof(mask_before));
    memset(&mask_after, 0, sizeof(mask_after));
    pthread_sigmask(SIG_SETMASK, nullptr, &mask_before);
    // A non-blocking terminal with nothing typed: the read fails at once.
    int fd = fileno(pty.stream);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    EXPECT_EQ(EAGAIN, caught([&] { safestr_getpassword(pty.stream, SAFESTR_TEMP("pw? ")); }));
    pthread_sigmask(SIG_SETMASK, nullptr, &mask_after);
    ASSERT_EQ(0, tcgetattr(pty.slave, &after));
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_TRUE(echo_on(pty.slave));
    EXPECT_EQ(0, memcmp(&mask_before, &mask_after, sizeof(sigset_t)));
}

TEST(SafestrPassword, NonTerminalStreamAndEndOfInput)
{
    FILE *f = tmpfile();
    ASSERT_NE(nullptr, f);
    fputs("abc", f);
    fflush(f);
    lseek(fileno(f), 0, SEEK_SET);
    EXPECT_EQ("abc", take(safestr_getpassword(f, nullptr)));
    fclose(f);
}
