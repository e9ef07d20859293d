// Test support: a scan decoder that decodes nothing and logs what the parser
// gives it (tables, descriptor fields, bitmap and scan bytes as hex) into a
// log shared with a RecordingBackEnd, so the order of all calls is visible.
#ifndef VORC_TESTS_SUPPORT_RECORDING_SCAN_DECODER_H
#define VORC_TESTS_SUPPORT_RECORDING_SCAN_DECODER_H

#include <memory>
#include <string>
#include <vector>

#include "support/recorders.h"
#include "vorc/core/scan_decoder.h"

namespace vorctest {

// Lowercase hex of count bytes, no separators.
std::string hexOf(const unsigned char* bytes, size_t count);

class RecordingScanDecoder : public vorcFramewiseTesraScanDecoder {
public:
    // Log lines: "Y <hex of 64>", "UV <hex of 64>", and per frame
    // "sweep WxH CxR bitmap=<hex|null> scan=<hex of scanLength bytes>".
    explicit RecordingScanDecoder(std::shared_ptr<CallLog> log, const char* acceleration = "none")
        : log_(std::move(log)), acceleration_(acceleration) {}
    ~RecordingScanDecoder() override { log_->push_back("scan decoder destroyed"); }

    const char* getAccelerationTypeString() override { return acceleration_; }
    void setYQuantizationTable(unsigned char* table) override { log_->push_back("Y " + hexOf(table, 64)); }
    void setUVQuantizationTable(unsigned char* table) override { log_->push_back("UV " + hexOf(table, 64)); }
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override;

private:
    std::shared_ptr<CallLog> log_;
    const char* acceleration_;
};

}  // namespace vorctest

#endif
