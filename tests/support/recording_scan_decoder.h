// Test support: a scan decoder that decodes nothing and logs what the parser
// gives it (tables, descriptor fields, bitmap and scan bytes as hex) into a
// log shared with a RecordingBackEnd, so the order of all calls is visible.
#ifndef VORC_TESTS_SUPPORT_RECORDING_SCAN_DECODER_H
#define VORC_TESTS_SUPPORT_RECORDING_SCAN_DECODER_H

#include <memory>
#include <string>

#include "support/recorders.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/parse/scan_decoder.h"

namespace vorctest {

// Lowercase hex of count bytes, no separators; "null" for a null pointer.
inline std::string hexOf(const unsigned char* bytes, size_t count) {
    if (bytes == nullptr) return "null";
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i) text += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return text;
}

class RecordingScanDecoder : public vorcFramewiseTesraScanDecoder {
public:
    // Log lines: "Y <hex of 64>", "UV <hex of 64>", and per frame
    // "sweep WxH CxR bitmap=<hex|null> scan=<hex of scanLength bytes>".
    explicit RecordingScanDecoder(std::shared_ptr<CallLog> log, const char* acceleration = "none")
        : log_(std::move(log)), acceleration_(acceleration) {}
    ~RecordingScanDecoder() override { log_->push_back("scan decoder destroyed"); }

    const char* getAccelerationTypeString() override { return acceleration_; }
    void setYQuantizationTable(unsigned char* table) override {
        log_->push_back("Y " + hexOf(table, 64));
    }
    void setUVQuantizationTable(unsigned char* table) override {
        log_->push_back("UV " + hexOf(table, 64));
    }
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* f) override {
        const size_t bitmapBytes =
            (static_cast<size_t>(f->tileColumns) * static_cast<size_t>(f->tileRows) + 7) / 8;
        log_->push_back("sweep " + std::to_string(f->width) + "x" + std::to_string(f->height) +
                        " " + std::to_string(f->tileColumns) + "x" + std::to_string(f->tileRows) +
                        " bitmap=" + hexOf(f->tileBitmap, bitmapBytes) +
                        " scan=" + hexOf(f->scanBytes, static_cast<size_t>(f->scanLength)));
    }

private:
    std::shared_ptr<CallLog> log_;
    const char* acceleration_;
};

}  // namespace vorctest

#endif
