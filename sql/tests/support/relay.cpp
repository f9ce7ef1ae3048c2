#include "relay.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kt {

Relay::Relay(unsigned upstream) : upstream_(upstream) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(listen_fd_, 16);
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

Relay::~Relay() {
    stop_ = true;
    acceptor_.join();
    for (auto &t : pumps_) t.join();
    close(listen_fd_);
}

void Relay::arm(const std::string &marker) {
    std::lock_guard<std::mutex> g(mu_);
    marker_ = marker;
    armed_ = true;
}

void Relay::accept_loop() {
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int c = accept(listen_fd_, nullptr, nullptr);
        if (c < 0) continue;
        pumps_.emplace_back([this, c] { pump(c); });
    }
}

void Relay::pump(int client) {
    int up = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(upstream_));
    if (connect(up, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(up);
        close(client);
        return;
    }
    bool cutting = false;
    char buf[65536];
    while (!stop_) {
        pollfd p[2] = {{client, POLLIN, 0}, {up, POLLIN, 0}};
        if (poll(p, 2, 50) <= 0) continue;
        if (p[0].revents) {
            ssize_t n = read(client, buf, sizeof buf);
            if (n <= 0) break;
            std::string chunk(buf, static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> g(mu_);
                if (!marker_.empty() && chunk.find(marker_) != std::string::npos) {
                    ++seen_;
                    if (armed_ && !cut_) cutting = true;
                }
            }
            if (write(up, buf, static_cast<size_t>(n)) != n) break;
        }
        if (p[1].revents) {
            ssize_t n = read(up, buf, sizeof buf);
            if (n <= 0) break;
            if (cutting) {
                // The server answered: it ran the statement. Drop the
                // answer and the client.
                cut_ = true;
                armed_ = false;
                break;
            }
            if (write(client, buf, static_cast<size_t>(n)) != n) break;
        }
    }
    shutdown(client, SHUT_RDWR);
    close(client);
    close(up);
}

}  // namespace kt
