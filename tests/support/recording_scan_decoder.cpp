// Test support: recording scan decoder.
#include "support/recording_scan_decoder.h"

#include <cstdint>

namespace vorctest {

std::string hexOf(const unsigned char* bytes, size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

void RecordingScanDecoder::performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) {
    const size_t bitmapBytes = (static_cast<size_t>(frame->tileColumns) * static_cast<size_t>(frame->tileRows) + 7) / 8;
    std::string line = "sweep " + std::to_string(frame->width) + "x" + std::to_string(frame->height) + " " +
                       std::to_string(frame->tileColumns) + "x" + std::to_string(frame->tileRows) + " bitmap=" +
                       (frame->tileBitmap == nullptr ? std::string("null") : hexOf(frame->tileBitmap, bitmapBytes)) +
                       " scan=" +
                       (frame->scanBytes == nullptr ? std::string("null")
                                                    : hexOf(frame->scanBytes, static_cast<size_t>(frame->scanLength)));
    log_->push_back(line);
}

}  // namespace vorctest
