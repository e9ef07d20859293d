// Test support: a camera on a free loopback port that takes one connection,
// reads the request and sends a canned answer, for the tools that read
// cameras (`vorc record`, `vorc serve`).
#ifndef VORC_TESTS_SUPPORT_FAKE_CAMERA_H
#define VORC_TESTS_SUPPORT_FAKE_CAMERA_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace vorctest {

// Listens on IPv4 or IPv6. After its answer it closes the connection, or,
// told to hold it, sends nothing more and keeps it open until it dies: a
// camera that falls silent (with an empty answer, at once).
class FakeCamera {
public:
    FakeCamera(std::string answer, bool holdOpen, int family = AF_INET)
        : listenFd_(::socket(family, SOCK_STREAM, 0)), answer_(std::move(answer)), holdOpen_(holdOpen) {
        sockaddr_in6 address{};
        address.sin6_family = static_cast<sa_family_t>(family);
        if (family == AF_INET6) {
            address.sin6_addr = in6addr_loopback;
        } else {
            reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        EXPECT_EQ(::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = ntohs(address.sin6_port);  // at the same place in both address types
        EXPECT_EQ(::listen(listenFd_, 4), 0);
        server_ = std::thread([this] { serve(); });
    }
    ~FakeCamera() {
        ::shutdown(listenFd_, SHUT_RDWR);
        stop_ = true;
        server_.join();
        ::close(listenFd_);
    }
    FakeCamera(const FakeCamera&) = delete;
    FakeCamera& operator=(const FakeCamera&) = delete;

    int port = 0;

private:
    void serve() {
        pollfd entry{listenFd_, POLLIN, 0};
        if (::poll(&entry, 1, 10000) != 1) return;
        const int client = ::accept(listenFd_, nullptr, nullptr);
        if (client < 0) return;
        char request[512];
        (void)::read(client, request, sizeof request);
        ::send(client, answer_.data(), answer_.size(), MSG_NOSIGNAL);
        while (holdOpen_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::close(client);
    }

    const int listenFd_;
    const std::string answer_;
    const bool holdOpen_;
    std::atomic<bool> stop_{false};
    std::thread server_;
};

}  // namespace vorctest

#endif
