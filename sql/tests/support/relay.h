// A TCP relay between a client and a server on 127.0.0.1 that, once armed
// with a marker, passes the first client packet holding the marker on to
// the server and then cuts the client off before the server's reply gets
// back: the statement ran, the client never learns it.
#pragma once
#include <atomic>
#include <string>
#include <thread>
#include <vector>
#include <mutex>

namespace kt {
class Relay {
public:
    explicit Relay(unsigned upstream_port);
    ~Relay();
    unsigned port() const { return port_; }
    void arm(const std::string &marker);
    // Client packets seen holding the marker (armed or not).
    int marker_seen() const { return seen_.load(); }
    bool cut_done() const { return cut_.load(); }

private:
    void accept_loop();
    void pump(int client);
    unsigned upstream_, port_ = 0;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false}, armed_{false}, cut_{false};
    std::atomic<int> seen_{0};
    std::mutex mu_;
    std::string marker_;
    std::thread acceptor_;
    std::vector<std::thread> pumps_;
};
}  // namespace kt
