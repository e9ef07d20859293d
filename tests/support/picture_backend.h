// Test support: a concrete buffered back end that copies the picture out at
// every frameComplete (top row first, picture width and height only), and a
// helper that runs a whole stream through the parser and the pixel decoder.
#ifndef VORC_TESTS_SUPPORT_PICTURE_BACKEND_H
#define VORC_TESTS_SUPPORT_PICTURE_BACKEND_H

#include <memory>
#include <vector>

#include "support/libjpeg_helpers.h"
#include "vorc/backends/buffered_backend.h"

namespace vorctest {

struct DecodeOutcome {
    std::vector<RgbPicture> frames;  // one per frameComplete
    int errors = 0;
    int tiles = 0;
};

// Picture of a buffered back end, top row first; empty without a buffer.
RgbPicture pictureOf(const vorcBufferedTesraDecoderBackEnd& backEnd);

class PictureBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    explicit PictureBackEnd(std::shared_ptr<DecodeOutcome> outcome) : outcome_(std::move(outcome)) {}
    void errorEncountered() override { ++outcome_->errors; }
    void frameComplete() override { outcome_->frames.push_back(pictureOf(*this)); }
    void videoTileReceived() override { ++outcome_->tiles; }

private:
    std::shared_ptr<DecodeOutcome> outcome_;
};

// Parser + software scan decoder + PictureBackEnd over the whole stream,
// served in the given piece sizes (empty: all at once). Status messages are
// collected and dropped.
DecodeOutcome decodeStream(const Bytes& stream, std::vector<size_t> pieces = {});

}  // namespace vorctest

#endif
