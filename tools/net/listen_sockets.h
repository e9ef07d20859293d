// The listening side of the tool's servers, `vorc serve` and `vorc camera`:
// where --listen points, and the sockets that listen there.
#ifndef VORC_TOOLS_NET_LISTEN_SOCKETS_H
#define VORC_TOOLS_NET_LISTEN_SOCKETS_H

#include <sys/socket.h>

#include <string>
#include <vector>

struct HostPort {
    std::string host;
    std::string port;  // digits, 0 to 65535
};

// "HOST:PORT" with a name or an IPv4 address, "[IPV6]:PORT", or ":PORT" and
// "PORT" for 127.0.0.1; false for anything else.
bool splitHostPort(const std::string& text, HostPort* result);

// Non-blocking listening sockets on every address the host stands for, all
// on one port (the one the first socket got, when port 0 asks for any free
// one), with each address as "127.0.0.1:8080" or "[::1]:8080" in *names.
// Empty, with the reason in *problem, when none could be opened.
std::vector<int> openListeners(const HostPort& where, std::vector<std::string>* names, std::string* problem);

// "127.0.0.1:8080" or "[::1]:8080"; "?" when it cannot be said.
std::string describeAddress(const sockaddr* address, socklen_t length);

#endif
