// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks), offered
// to applications, e.g. for HTTP basic authentication towards a camera.
#ifndef VORC_UTIL_BASE64_H
#define VORC_UTIL_BASE64_H

namespace vorc {

// The 64-character alphabet through which every character is looked up.
extern const char* Base64EncodeTable;

// Encodes the 3 bytes at in (all three are read) into 4 characters at out;
// count below 2 or 3 pads the third or fourth character with "=".
// Writes no terminator.
void encode_base64_block(unsigned char* in, unsigned char* out, int count);

// Encodes length bytes and appends a NUL; out must hold
// 4 * ceil(length / 3) + 1 bytes.
void encode_base64(unsigned char* in, int length, unsigned char* out);

}  // namespace vorc

#endif
