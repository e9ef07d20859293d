// IPv4 address octets, and written camera addresses.
#include "vorc/sources/ip_address.h"

#include <cstddef>

#include "vorc/core/version.h"

namespace {
int32_t octet(int value) {
    vorc::clamp_int(&value, 0, 255);
    return value;
}
}  // namespace

vorcIPAddress::vorcIPAddress(int a, int b, int c, int d) : a(octet(a)), b(octet(b)), c(octet(c)), d(octet(d)) {}

vorcIPAddress::vorcIPAddress() : a(127), b(0), c(0), d(1) {}

namespace vorc {

std::optional<HostAndPort> parseHostAndPort(const std::string& given) {
    // A host holds no '@', so the last one ends the login.
    const size_t at = given.rfind('@');
    std::optional<CameraLogin> login;
    if (at != std::string::npos) {
        const std::string userAndPassword = given.substr(0, at);
        const size_t separator = userAndPassword.find(':');
        if (separator == std::string::npos || userAndPassword.find('@') < separator) return std::nullopt;
        login = CameraLogin{userAndPassword.substr(0, separator), userAndPassword.substr(separator + 1)};
    }
    const std::string text = at == std::string::npos ? given : given.substr(at + 1);
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find_first_of(":[]") != std::string::npos) {
        // An IPv6 address needs its brackets, or its last group would be
        // taken for the port.
        return std::nullopt;
    }
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int port = std::stoi(digits);
    if (port < 1 || port > 65535) return std::nullopt;
    return HostAndPort{host, port, login};
}

}  // namespace vorc
