// The address forms of --listen, and one non-blocking listening socket per
// address a host name stands for.
#include "tools/net/listen_sockets.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/cli/option_parser.h"

bool splitHostPort(const std::string& text, HostPort* result) {
    size_t colon = std::string::npos;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close < 2 || close + 1 >= text.size() || text[close + 1] != ':') return false;
        result->host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        result->host = colon == std::string::npos ? std::string() : text.substr(0, colon);
        if (result->host.find(':') != std::string::npos) return false;  // IPv6 goes in brackets
    }
    if (result->host.empty()) result->host = "127.0.0.1";
    result->port = colon == std::string::npos ? text : text.substr(colon + 1);
    long number = 0;
    return parseWholeNumber(result->port.c_str(), 0, 65535, &number);
}

std::string describeAddress(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (::getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    return address->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

std::vector<int> openListeners(const HostPort& where, std::vector<std::string>* names, std::string* problem) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int result = ::getaddrinfo(where.host.c_str(), where.port.c_str(), &hints, &found)) {
        *problem = ::gai_strerror(result);
        return {};
    }
    std::vector<int> listeners;
    uint16_t chosenPort = 0;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        sockaddr_storage address{};
        std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
        uint16_t& port = entry->ai_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port;
        if (chosenPort != 0) port = chosenPort;
        const int fd = ::socket(entry->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        socklen_t length = entry->ai_addrlen;
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            (entry->ai_family == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            *problem = std::strerror(errno);
            if (fd >= 0) ::close(fd);
            continue;
        }
        chosenPort = port;
        listeners.push_back(fd);
        names->push_back(describeAddress(reinterpret_cast<sockaddr*>(&address), length));
    }
    ::freeaddrinfo(found);
    return listeners;
}

