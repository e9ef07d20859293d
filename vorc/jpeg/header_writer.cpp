// The JPEG header segments of transcoded images and encoded frames.
#include "vorc/jpeg/header_writer.h"

#include "vorc/jpeg/jpeg_format.h"
#include "vorc/jpeg/standard_tables.h"

namespace vorc::jpeg {

void appendBigEndian16(HeaderBytes& out, size_t value) {
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}

void appendMarker(HeaderBytes& out, unsigned char code) {
    out.push_back(MarkerPrefix);
    out.push_back(code);
}

void appendSegment(HeaderBytes& out, unsigned char code, const unsigned char* payload, size_t length) {
    appendMarker(out, code);
    appendBigEndian16(out, length + 2);
    out.insert(out.end(), payload, payload + length);
}

void appendQuantisationTable(HeaderBytes& out, int tableId, const uint16_t (&table)[64]) {
    unsigned char payload[65];
    payload[0] = static_cast<unsigned char>(tableId);
    for (int k = 0; k < 64; ++k) payload[1 + k] = static_cast<unsigned char>(table[ZigZagNaturalOrder[k]]);
    appendSegment(out, MarkerDQT, payload, sizeof payload);
}

void appendQuantisationTables(HeaderBytes& out, const uint16_t (&lumaTable)[64], const uint16_t (&chromaTable)[64]) {
    appendQuantisationTable(out, 0, lumaTable);
    appendQuantisationTable(out, 1, chromaTable);
}

void appendFrameHeader(HeaderBytes& out, int width, int height) {
    unsigned char frameHeader[sizeof TileFrameHeaderPayload];
    for (size_t i = 0; i < sizeof frameHeader; ++i) frameHeader[i] = TileFrameHeaderPayload[i];
    frameHeader[1] = static_cast<unsigned char>((height >> 8) & 0xFF);
    frameHeader[2] = static_cast<unsigned char>(height & 0xFF);
    frameHeader[3] = static_cast<unsigned char>((width >> 8) & 0xFF);
    frameHeader[4] = static_cast<unsigned char>(width & 0xFF);
    appendSegment(out, MarkerSOF0, frameHeader, sizeof frameHeader);
}

void appendHuffmanTable(HeaderBytes& out, int index) {
    const int componentClass = index / 2;
    const int acClass = index % 2;
    const unsigned char* table = acClass == 0 ? standardDCTable(componentClass) : standardACTable(componentClass);
    const size_t size = acClass == 0 ? DCTableBytes : ACTableBytes;
    appendMarker(out, MarkerDHT);
    appendBigEndian16(out, size + 3);
    // Table class (0 DC, 1 AC) in the high nibble, identifier in the low one.
    out.push_back(static_cast<unsigned char>(acClass << 4 | componentClass));
    out.insert(out.end(), table, table + size);
}

void appendHuffmanTables(HeaderBytes& out) {
    for (int index = 0; index < StandardHuffmanTables; ++index) appendHuffmanTable(out, index);
}

void appendScanHeader(HeaderBytes& out) {
    appendSegment(out, MarkerSOS, TileScanHeaderPayload, sizeof TileScanHeaderPayload);
}

}  // namespace vorc::jpeg
