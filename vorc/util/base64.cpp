// Base64 encoder.
#include "vorc/util/base64.h"

#include <cstring>

namespace vorc {

const char* Base64EncodeTable = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void encode_base64_block(unsigned char* in, unsigned char* out, int count) {
    out[0] = static_cast<unsigned char>(Base64EncodeTable[in[0] >> 2]);
    out[1] = static_cast<unsigned char>(Base64EncodeTable[((in[0] & 0x03) << 4) | (in[1] >> 4)]);
    out[2] = count < 2 ? '=' : static_cast<unsigned char>(Base64EncodeTable[((in[1] & 0x0F) << 2) | (in[2] >> 6)]);
    out[3] = count < 3 ? '=' : static_cast<unsigned char>(Base64EncodeTable[in[2] & 0x3F]);
}

void encode_base64(unsigned char* in, int length, unsigned char* out) {
    int done = 0;
    for (; length - done >= 3; done += 3, out += 4) encode_base64_block(in + done, out, 3);
    const int rest = length - done;
    if (rest > 0) {
        // The block step reads three bytes; the tail is copied into a
        // zero-filled group so nothing past the caller's input is read.
        unsigned char group[3] = {0, 0, 0};
        std::memcpy(group, in + done, static_cast<size_t>(rest));
        encode_base64_block(group, out, rest);
        out += 4;
    }
    *out = 0;
}

}  // namespace vorc
