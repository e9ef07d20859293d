// An IPv4 address as the four octets of its written form, used to name the
// camera that a live stream source connects to; and the split of a written
// camera address with a host name or an IPv6 address, a port and an
// optional login.
#ifndef VORC_SOURCES_IP_ADDRESS_H
#define VORC_SOURCES_IP_ADDRESS_H

#include <cstdint>
#include <optional>
#include <string>

class vorcIPAddress {
public:
    // Each octet is clamped to 0..255.
    vorcIPAddress(int a, int b, int c, int d);
    // The loopback address 127.0.0.1.
    vorcIPAddress();

    // In written order: a is the most significant octet.
    int32_t a;
    int32_t b;
    int32_t c;
    int32_t d;
};

namespace vorc {

// The user and password a camera that asks for a login is sent (HTTP Basic).
struct CameraLogin {
    std::string user;  // without ':', which would end it early
    std::string password;
};

struct HostAndPort {
    std::string host;  // a name or an IPv4 address; an IPv6 address without brackets
    int port = 0;
    std::optional<CameraLogin> login;
};

// "name:port", "192.0.2.1:port" or "[2001:db8::1]:port" with a port of 1 to
// 65535, each optionally after "user:password@" (the password may hold ':'
// and '@', the user neither; both are taken as written, not URL-decoded);
// nothing for anything else.
std::optional<HostAndPort> parseHostAndPort(const std::string& text);

}  // namespace vorc

#endif
