// Descriptor I/O and connection set-up against real pipes, files and
// sockets: time-outs, restored flags, chunking, line reads, refused and
// successful connects, and descriptor leaks.
#include <gtest/gtest.h>
#include <kivo/net.h>

#include "support/fdcount.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {


double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A listening TCP socket on the given address, port chosen by the kernel.
int tcp_listener(in_addr_t addr, unsigned short *port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    socklen_t l = sizeof(sa);
    if (bind(s, (struct sockaddr *)&sa, sizeof(sa)) || listen(s, 4) || getsockname(s, (struct sockaddr *)&sa, &l)) {
        close(s);
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return s;
}

} // namespace

TEST(DescriptorIO, TimedReadTimesOutAndRestoresBlockingMode)
{
    Pipe p;
    ASSERT_GE(p.r, 0);
    ASSERT_EQ(0, fcntl(p.r, F_GETFL) & O_NONBLOCK);
    char buf[16];
    auto t0 = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(-1, fr_read_nb(p.r, buf, sizeof(buf), 0.5f));
    EXPECT_EQ(ETIMEDOUT, errno);
    double took = seconds_since(t0);
    EXPECT_GE(took, 0.45);
    EXPECT_LT(took, 30.0);
    EXPECT_EQ(0, fcntl(p.r, F_GETFL) & O_NONBLOCK);

    // A descriptor that was non-blocking stays so.
    ASSERT_EQ(0, fr_set_nb(p.r));
    EXPECT_EQ(-1, fr_read_nb(p.r, buf, sizeof(buf), 0.0f));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_NE(0, fcntl(p.r, F_GETFL) & O_NONBLOCK);

    // Data already there is read at once, whatever the time-out.
    ASSERT_EQ(3, write(p.w, "abc", 3));
    EXPECT_EQ(3, fr_read_nb(p.r, buf, sizeof(buf), 0.0f));
    EXPECT_EQ(0, memcmp(buf, "abc", 3));
}

TEST(DescriptorIO, NegativeTimeoutWaitsForData)
{
    Pipe p;
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(5, write(p.w, "hello", 5));
    });
    char buf[16];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(5, fr_read_nb(p.r, buf, sizeof(buf), -1.0f));
    EXPECT_GE(seconds_since(t0), 0.15);
    writer.join();
    EXPECT_EQ(0, memcmp(buf, "hello", 5));
}

TEST(DescriptorIO, WriteFullIssuesChunksOf4096)
{
    // A sequenced-packet socket keeps the boundaries of every write.
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv));
    int big = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    std::vector<char> data(10000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i * 7);
    std::vector<int> sizes;
    std::vector<char> got;
    std::thread reader([&] {
        std::vector<char> rec(20000);
        while (got.size() < data.size()) {
            ssize_t n = recv(sv[1], rec.data(), rec.size(), 0);
            if (n <= 0)
                break;
            sizes.push_back((int)n);
            got.insert(got.end(), rec.begin(), rec.begin() + n);
        }
    });
    EXPECT_EQ(0, fr_write_nb_full(sv[0], data.data(), (int)data.size(), 5.0f));
    reader.join();
    EXPECT_EQ((std::vector<int>{4096, 4096, 1808}), sizes);
    EXPECT_EQ(data, got);
    close(sv[0]);
    close(sv[1]);

    EXPECT_EQ(-1, fr_write_nb_full(0, "x", 1, 1.0f));
    EXPECT_EQ(-1, fr_write_nb_full(5, nullptr, 1, 1.0f));
}

TEST(DescriptorIO, TimedWriteOnFullPipeAndBadDescriptors)
{
    Pipe p;
    fr_set_nb(p.w);
    std::vector<char> fill(1 << 16, 'x');
    while (write(p.w, fill.data(), fill.size()) > 0) {
    }
    int fl = fcntl(p.w, F_GETFL);
    ASSERT_NE(-1, fcntl(p.w, F_SETFL, fl & ~O_NONBLOCK));
    EXPECT_EQ(-1, fr_write_nb(p.w, "y", 1, 0.1f));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ(0, fcntl(p.w, F_GETFL) & O_NONBLOCK);

    char buf[4];
    EXPECT_EQ(-1, fr_read_nb(-1, buf, 4, 1.0f));
    EXPECT_EQ(EBADF, errno);
    int closed = dup(p.r);
    close(closed);
    EXPECT_EQ(-1, fr_read_nb(closed, buf, 4, 1.0f));
    EXPECT_EQ(-1, fr_write_nb(closed, buf, 4, 1.0f));
    EXPECT_EQ(-1, fr_read_b(closed, buf, 4));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, fr_write_b(closed, "ab", 2));
    EXPECT_EQ(-1, fr_read_nb(p.r, nullptr, 4, 1.0f));
    EXPECT_EQ(-1, fr_read_nb(p.r, buf, -1, 1.0f));
    EXPECT_EQ(-1, fr_read_b(p.r, buf, 0));
    EXPECT_EQ(-1, fr_read_b(p.r, nullptr, 4));
    EXPECT_EQ(-1, fr_write_b(p.w, nullptr, 1));
    EXPECT_EQ(0, fr_write_b(p.w, "", 0));
}

TEST(DescriptorIO, BlockingLoopsCollectEverything)
{
    Pipe p;
    std::thread writer([&] {
        for (int i = 0; i < 5; i++) {
            EXPECT_EQ(4, write(p.w, "0123", 4));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        close(p.w);
        p.w = -1;
    });
    char buf[64];
    EXPECT_EQ(20, fr_read_b(p.r, buf, 64)); // stops at end of file
    writer.join();
    EXPECT_EQ(0, memcmp(buf + 16, "0123", 4));

    Pipe q;
    std::string big(200000, 'z');
    std::string got;
    std::thread reader([&] {
        char chunk[8192];
        ssize_t n;
        while ((n = read(q.r, chunk, sizeof(chunk))) > 0)
            got.append(chunk, n);
    });
    EXPECT_EQ((int)big.size(), fr_write_b(q.w, big.data(), (int)big.size()));
    close(q.w);
    q.w = -1;
    reader.join();
    EXPECT_EQ(big, got);
}

TEST(DescriptorIO, LineReadsContinueAfterTheLineOnFiles)
{
    EXPECT_EQ(3, eol_pos("abc\ndef\n", 8));
    EXPECT_EQ(-1, eol_pos("abc\ndef", 3));
    EXPECT_EQ(-1, eol_pos(nullptr, 3));

    TempDir dir;
    std::string f = dir / "lines";
    FILE *fp = fopen(f.c_str(), "w");
    ASSERT_NE(nullptr, fp);
    fputs("first\nsecond line\r\n\nrest", fp);
    fclose(fp);
    int fd = open(f.c_str(), O_RDONLY);
    char buf[64];
    EXPECT_EQ(5, fr_readln_nb(fd, buf, sizeof(buf), 1.0f));
    EXPECT_STREQ("first", buf);
    EXPECT_EQ(12, fr_readln_nb(fd, buf, sizeof(buf), 1.0f));
    EXPECT_STREQ("second line\r", buf);
    EXPECT_EQ(0, fr_readln_nb(fd, buf, sizeof(buf), 1.0f));
    EXPECT_EQ(4, fr_readln_nb(fd, buf, sizeof(buf), 1.0f));
    EXPECT_STREQ("rest", buf);
    EXPECT_EQ(0, fr_readln_nb(fd, buf, sizeof(buf), 1.0f));
    // A buffer shorter than the line: the part that fits, terminated.
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(3, fr_readln_nb(fd, buf, 4, 1.0f));
    EXPECT_STREQ("fir", buf);
    EXPECT_EQ(-1, fr_readln_nb(fd, buf, 1, 1.0f));
    close(fd);
}

TEST(Connect, RefusedPortLeavesNoDescriptor)
{
    unsigned short port = 0;
    int l = tcp_listener(htonl(INADDR_LOOPBACK), &port);
    ASSERT_GE(l, 0);
    close(l); // nothing listens on port now
    int before = count_open_fds();
    errno = 0;
    EXPECT_EQ(-1, fr_connect_nb("127.0.0.1", port, 2.0f));
    EXPECT_EQ(ECONNREFUSED, errno);
    EXPECT_EQ(before, count_open_fds());
    EXPECT_EQ(-1, fr_connect_b("127.0.0.1", port));
    EXPECT_EQ(ECONNREFUSED, errno);
    EXPECT_EQ(before, count_open_fds());
    EXPECT_EQ(-1, fr_connect_nb("no-such-host.invalid", port, 1.0f));
    EXPECT_EQ(before, count_open_fds());
}

TEST(Connect, TcpConnectionsCarryData)
{
    unsigned short port = 0;
    int l = tcp_listener(htonl(INADDR_ANY), &port);
    ASSERT_GE(l, 0);

    int c = fr_connect_nb("127.0.0.1", port, 2.0f);
    ASSERT_GE(c, 0);
    EXPECT_EQ(0, fcntl(c, F_GETFL) & O_NONBLOCK); // flags restored
    int a = accept(l, nullptr, nullptr);
    ASSERT_GE(a, 0);
    EXPECT_EQ(0, fr_write_nb_full(c, "ping\n", 5, 2.0f));
    char buf[16];
    EXPECT_EQ(4, fr_readln_nb(a, buf, sizeof(buf), 2.0f));
    EXPECT_STREQ("ping", buf);
    close(a);
    close(c);

    // Null host: this machine's own name.
    c = fr_connect_b(nullptr, port);
    ASSERT_GE(c, 0);
    a = accept(l, nullptr, nullptr);
    EXPECT_GE(a, 0);
    EXPECT_EQ(2, fr_write_b(c, "ok", 2));
    EXPECT_EQ(2, fr_read_b(a, buf, 2));
    close(a);
    close(c);

    struct sockaddr_in sa;
    int s = build_sockaddr_in("localhost", 8080, &sa);
    ASSERT_GE(s, 0);
    EXPECT_EQ(AF_INET, sa.sin_family);
    EXPECT_EQ(htons(8080), sa.sin_port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), sa.sin_addr.s_addr);
    close(s);
    EXPECT_EQ(-1, build_sockaddr_in("1.2.3.4", 1, nullptr));
    close(l);
}

TEST(Connect, UnixDomainSocket)
{
    TempDir dir;
    std::string path = dir / "sock";
    int l = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, path.c_str());
    ASSERT_EQ(0, bind(l, (struct sockaddr *)&sa, sizeof(sa)));
    ASSERT_EQ(0, listen(l, 4));

    int c = fr_connect_nb_unix(path.c_str(), 2.0f);
    ASSERT_GE(c, 0);
    int a = accept(l, nullptr, nullptr);
    ASSERT_GE(a, 0);
    EXPECT_EQ(0, fr_write_nb_full(a, "hi", 2, 1.0f));
    char buf[4];
    EXPECT_EQ(2, fr_read_nb(c, buf, sizeof(buf), 1.0f));
    close(a);
    close(c);
    close(l);

    int before = count_open_fds();
    EXPECT_EQ(-1, fr_connect_nb_unix((dir / "missing").c_str(), 1.0f));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(-1, fr_connect_nb_unix(std::string(200, 'a').c_str(), 1.0f));
    EXPECT_EQ(ENAMETOOLONG, errno);
    EXPECT_EQ(-1, fr_connect_nb_unix(nullptr, 1.0f));
    EXPECT_EQ(before, count_open_fds());
}
