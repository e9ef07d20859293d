// Test support: reading the buffered back end's bottom-up picture at every
// frame end, in a complete decoding chain over a byte vector.
#include "support/picture_backend.h"

#include <cstring>
#include <memory>
#include <utility>

#include "support/piece_source.h"
#include "support/recorders.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/decode/scan_decoder_software.h"

namespace vorctest {

namespace {

class PictureBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    explicit PictureBackEnd(std::shared_ptr<DecodeOutcome> outcome)
        : outcome_(std::move(outcome)) {}
    void setParser(const vorcFramewiseTesraDecoder* parser) { parser_ = parser; }
    void errorEncountered() override {
        ++outcome_->errors;
        frameDamaged_ = true;
    }
    void videoTileReceived() override { ++outcome_->tiles; }
    void frameComplete() override {
        RgbPicture picture;
        if (frameBuffer != nullptr) {
            picture = {width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
            const size_t rowBytes = size_t(tileColumns) * 48;
            const auto* lastRow = reinterpret_cast<const uint8_t*>(frameBuffer) +
                                  (size_t(tileRows) * 16 - 1) * rowBytes;
            for (int y = 0; y < height; ++y)
                std::memcpy(&picture.pixels[size_t(y) * width * 3], lastRow - y * rowBytes,
                            size_t(width) * 3);
        }
        outcome_->frames.push_back(std::move(picture));
        outcome_->damaged.push_back(std::exchange(frameDamaged_, false));
        outcome_->stale.push_back(parser_->pictureIsStale());
        outcome_->offsets.push_back(parser_->frameStreamOffset());
    }

private:
    const vorcFramewiseTesraDecoder* parser_ = nullptr;
    bool frameDamaged_ = false;
    std::shared_ptr<DecodeOutcome> outcome_;
};

}  // namespace

DecodeOutcome decodeStream(const Bytes& stream, std::vector<size_t> pieces, int pull,
                           vorc::StreamErrorPolicy policy) {
    StatusCapture status;
    auto outcome = std::make_shared<DecodeOutcome>();
    {
        auto* backEnd = new PictureBackEnd(outcome);
        vorcFramewiseTesraDecoder decoder(new PieceSource(stream, std::move(pieces)), backEnd,
                                          new vorcFramewiseTesraScanDecoderSoftwareOnly());
        backEnd->setParser(&decoder);
        decoder.setStreamErrorPolicy(policy);
        while (decoder.decode(pull) != 0 || decoder.sourceStillUp()) {
        }
        outcome->damagedFrames = decoder.damagedFrames();
        outcome->skippedBytes = decoder.skippedBytes();
        outcome->lastError = decoder.lastStreamError();
        outcome->unfinishedFrameOffset = decoder.unfinishedFrameOffset();
    }
    outcome->messages = status.messages();
    return *outcome;
}

}  // namespace vorctest
