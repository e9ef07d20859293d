// `vorc motion --heatmap`: the heat map drawn over the last picture of the
// stream, the only pixels the command decodes. The picture after the last
// frame needs the frames from the last full frame on, so the input is kept
// from there (each full frame lets go of what came before it) and decoded
// once, at the end. A stream whose full frames lie further apart than a
// limit (64 MiB) is decoded from then on as it arrives instead, which keeps
// the memory bounded.
#ifndef VORC_TOOLS_MOTION_HEATMAP_H
#define VORC_TOOLS_MOTION_HEATMAP_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "vorc/motion/motion_detector.h"

class PictureDecoder;

class LastPictureKeeper {
public:
    static constexpr size_t DefaultRetainedBytesLimit = size_t{64} << 20;

    explicit LastPictureKeeper(size_t retainedBytesLimit = DefaultRetainedBytesLimit);
    ~LastPictureKeeper();
    LastPictureKeeper(const LastPictureKeeper&) = delete;
    LastPictureKeeper& operator=(const LastPictureKeeper&) = delete;

    // Every byte of the stream, in order.
    void input(const unsigned char* bytes, size_t count);
    // A complete frame that was full began at this stream offset.
    void fullFrameAt(uint64_t offset);
    // Bytes kept for decoding at the end.
    size_t retainedBytes() const { return retained_.size(); }
    // Decodes what is kept: the RGB picture after the last frame (3 bytes a
    // pixel, top row first), or false when no picture came out.
    bool decode(int* width, int* height, std::vector<unsigned char>* rgb);

private:
    void startDecoder();

    size_t retainedBytesLimit_;
    std::vector<unsigned char> retained_;
    uint64_t retainedFrom_ = 0;  // stream offset of retained_[0]
    std::unique_ptr<PictureDecoder> decoder_;  // once the kept bytes grew too many
};

// Writes the picture, darkened, with each tile that changed tinted from
// blue (rarely) to red (most often) as a PNG. False when the heat map does
// not match the picture's size or writing fails (errno then says why).
bool writeHeatMapPng(std::FILE* out, const vorc::HeatMap& heat, int width, int height,
                     const std::vector<unsigned char>& rgb);

#endif
