// IPv4 address octets.
#include "vorc/sources/ip_address.h"

#include "vorc/core/version.h"

namespace {
int32_t octet(int value) {
    vorc::clamp_int(&value, 0, 255);
    return value;
}
}  // namespace

vorcIPAddress::vorcIPAddress(int a, int b, int c, int d) : a(octet(a)), b(octet(b)), c(octet(c)), d(octet(d)) {}

vorcIPAddress::vorcIPAddress() : a(127), b(0), c(0), d(1) {}
