// Test support: loopback stand-in for a camera.
#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace vorctest {

namespace {

constexpr int WaitMillis = 5000;
constexpr size_t MaxRequest = 4096;

int boundLoopbackSocket(int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind");
    }
    *port = ntohs(address.sin_port);
    return fd;
}

bool readable(int fd, int millis) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, millis) == 1;
}

}  // namespace

LoopbackServer::LoopbackServer(Bytes reply, int connections, bool holdReply)
    : reply_(std::move(reply)), holdReply_(holdReply) {
    listenFd_ = boundLoopbackSocket(&port_);
    if (::listen(listenFd_, 16) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("listen");
    }
    thread_ = std::thread([this, connections] { serve(connections); });
}

LoopbackServer::~LoopbackServer() {
    released_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listenFd_);
}

std::vector<std::string> LoopbackServer::finish() {
    released_ = true;
    if (thread_.joinable()) thread_.join();
    return requests_;
}

void LoopbackServer::serve(int connections) {
    for (int served = 0; served < connections; ++served) {
        if (!readable(listenFd_, WaitMillis)) return;
        const int client = ::accept(listenFd_, nullptr, nullptr);
        if (client < 0) return;
        answer(client);
        ::close(client);
    }
}

void LoopbackServer::answer(int client) {
    std::string request;
    char chunk[512];
    while (request.size() < MaxRequest && request.find("\n\n") == std::string::npos && readable(client, WaitMillis)) {
        const ssize_t got = ::read(client, chunk, sizeof chunk);
        if (got <= 0) break;
        request.append(chunk, static_cast<size_t>(got));
    }
    requests_.push_back(request);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMillis);
    while (holdReply_ && !released_ && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    size_t sent = 0;
    while (sent < reply_.size()) {
        const ssize_t n = ::send(client, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
    ::shutdown(client, SHUT_WR);
}

RefusingPort::RefusingPort() { fd_ = boundLoopbackSocket(&port_); }

RefusingPort::~RefusingPort() { ::close(fd_); }

int openDescriptorCount() {
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) return -1;
    int count = 0;
    while (::readdir(directory) != nullptr) ++count;
    ::closedir(directory);
    return count;
}

}  // namespace vorctest
