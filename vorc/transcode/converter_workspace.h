// What the transcoder keeps beside the fields its class shows: the bits of
// every tile of the last image, the image being written and the readers of
// the scan being swept. Internal to the transcoder.
#ifndef VORC_TRANSCODE_CONVERTER_WORKSPACE_H
#define VORC_TRANSCODE_CONVERTER_WORKSPACE_H

#include <vector>

#include "vorc/jpeg/bit_writer.h"
#include "vorc/jpeg/scan_bit_reader.h"
#include "vorc/jpeg/slot_walker.h"
#include "vorc/transcode/jpeg_converter.h"
#include "vorc/transcode/tile_bit_store.h"

struct vorcFramewiseTesraScanToJPEGConverterSoftwareOnly::Workspace {
    // Each transcoder has its own.
    vorc::TileBitStore tileBits;
    std::vector<unsigned char> imageHeader;  // header, scan and EOI
    vorc::jpeg::ByteBuffer imageBuffer;
    // The end of the clean part of the scan being swept (up to its first
    // marker). Tiles are walked while `walking`, by walkReader over the
    // scan's plain bits in the tile bit store; the others are read exactly,
    // by the fast reader over the same bits while fastReading and
    // bit-serially otherwise.
    const unsigned char* sweptScanCleanEnd = nullptr;
    vorc::jpeg::ScanBitReader walkReader;
    bool walking = false;
    // The walk ahead of the tiles, and its second walker's records.
    vorc::jpeg::TileRunWalk tileWalk;
    vorc::jpeg::TileRunWalk spareWalk;
    vorc::jpeg::ScanBitReader fastReader;
    bool fastReading = false;
};

#endif
