// A process that only sends the same image to its readers, for the floor
// under `vorc serve`'s processor time.
#include "sending_floor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

namespace vorcbench {
namespace {

using Clock = std::chrono::steady_clock;

// As `vorc serve` sets it for a stream client.
constexpr int SendBufferBytes = 256 * 1024;

struct Reader {
    int fd;
    std::string request;
    bool streaming = false;
    size_t sent = 0;  // of the part being sent; the part's size when idle
    uint64_t lastImage = 0;
};

[[noreturn]] void serve(int listener, const std::string& jpeg, int fps) {
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=floor\r\nConnection: close\r\n\r\n";
    const std::string head =
        "--floor\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) + "\r\n\r\n";
    const std::string part = head + jpeg + "\r\n";
    std::vector<Reader> readers;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
    auto nextImage = Clock::now();
    uint64_t image = 0;
    std::vector<pollfd> entries;
    while (true) {
        if (Clock::now() >= nextImage) {
            ++image;
            nextImage += period;
        }
        entries.assign(1, pollfd{listener, POLLIN, 0});
        for (const Reader& reader : readers) {
            const bool pending = reader.streaming && (reader.sent < part.size() || reader.lastImage < image);
            entries.push_back(pollfd{reader.fd, static_cast<short>(reader.streaming ? (pending ? POLLOUT : 0) : POLLIN), 0});
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextImage - Clock::now()).count();
        ::poll(entries.data(), entries.size(), static_cast<int>(wait < 0 ? 0 : wait + 1));
        if (entries[0].revents & POLLIN) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
            if (fd >= 0) readers.push_back(Reader{fd, std::string()});
        }
        for (size_t i = 1; i < entries.size(); ++i) {
            Reader& reader = readers[i - 1];
            if (!reader.streaming && (entries[i].revents & POLLIN)) {
                char chunk[4096];
                const ssize_t got = ::recv(reader.fd, chunk, sizeof chunk, 0);
                if (got > 0) reader.request.append(chunk, static_cast<size_t>(got));
                if (reader.request.find("\r\n\r\n") == std::string::npos) continue;
                ::setsockopt(reader.fd, SOL_SOCKET, SO_SNDBUF, &SendBufferBytes, sizeof SendBufferBytes);
                ::send(reader.fd, answer.data(), answer.size(), MSG_NOSIGNAL);
                reader.streaming = true;
                reader.sent = part.size();
            }
            if (!reader.streaming || !(entries[i].revents & POLLOUT)) continue;
            if (reader.sent == part.size() && reader.lastImage < image) {
                reader.sent = 0;
                reader.lastImage = image;
            }
            iovec unsent{const_cast<char*>(part.data() + reader.sent), part.size() - reader.sent};
            msghdr message{};
            message.msg_iov = &unsent;
            message.msg_iovlen = 1;
            const ssize_t count = ::sendmsg(reader.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (count > 0) reader.sent += static_cast<size_t>(count);
        }
    }
}

}  // namespace

SendingFloorProcess::SendingFloorProcess(const std::string& jpeg, int fps) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("sending floor: listen");
        if (listener >= 0) ::close(listener);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) serve(listener, jpeg, fps);
    ::close(listener);
    if (pid_ > 0) port_ = ntohs(address.sin_port);
}

SendingFloorProcess::~SendingFloorProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

}  // namespace vorcbench
