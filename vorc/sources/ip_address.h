// An IPv4 address as the four octets of its written form, used to name the
// camera that a live stream source (the first link of the chain source ->
// parser -> scan decoder -> back end) connects to.
#ifndef VORC_SOURCES_IP_ADDRESS_H
#define VORC_SOURCES_IP_ADDRESS_H

#include <cstdint>

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

#endif
