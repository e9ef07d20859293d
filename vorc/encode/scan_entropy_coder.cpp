// Baseline Huffman coding of the encoder's scans, each data byte FF followed
// by a stuffed 00 so that a reader's marker search never stops inside the
// scan.
#include "vorc/encode/scan_entropy_coder.h"

#include "vorc/jpeg/block_encoder.h"

namespace vorc {

void ScanEntropyCoder::beginScan(std::vector<unsigned char>* out) {
    out_ = out;
    predictors_[0] = predictors_[1] = predictors_[2] = 0;
    writer_.emplace(buffer_, 0);
}

void ScanEntropyCoder::encodeBlock(Component component, const int16_t* block) {
    const vorc::jpeg::EncoderCodeBook& book = vorc::jpeg::standardCodeBook(
        component == Luminance ? vorc::jpeg::Luminance : vorc::jpeg::Chrominance);
    vorc::jpeg::putDCDifference(*writer_, block[0] - predictors_[component], book);
    predictors_[component] = block[0];
    vorc::jpeg::putACCoefficients(*writer_, block, book);
}

void ScanEntropyCoder::endScan() {
    const size_t length = writer_->alignToByte(1);
    out_->insert(out_->end(), buffer_.data(), buffer_.data() + length);
    writer_.reset();
    out_ = nullptr;
}

}  // namespace vorc
