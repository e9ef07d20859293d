// The parser fed in decode calls of every size. A frame completes inside one
// call, while the segments already collected for the next frame (tables,
// tile bitmap, scan start) stay where they are until the next call moves
// them to the start of the buffer; the pictures must not depend on where
// the calls end.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/piece_source.h"
#include "support/stream_builder.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/scan_decoder_software.h"

namespace {

using namespace vorctest;
using Picture = std::vector<unsigned int>;

// Copies the whole picture buffer at every frameComplete; a frame that
// failed leaves an empty picture.
class CopyingBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    explicit CopyingBackEnd(std::vector<Picture>& pictures) : pictures_(pictures) {}
    void errorEncountered() override { failed_ = true; }
    void videoTileReceived() override {}
    void frameComplete() override {
        const size_t words = size_t(tileColumns) * size_t(tileRows) * WordsPerTile;
        pictures_.push_back(failed_ || frameBuffer == nullptr ? Picture() : Picture(frameBuffer, frameBuffer + words));
        failed_ = false;
    }

private:
    std::vector<Picture>& pictures_;
    bool failed_ = false;
};

Block texture(int seed) {
    Block block{};
    for (int i = 0; i < 64; i += 7) block[static_cast<size_t>(i)] = static_cast<int16_t>((seed * 13 + i) % 21 - 10);
    return block;
}

void codeTile(ScanWriter& writer, int seed) {
    writer.tile(texture(seed), texture(seed + 1), texture(seed + 2), texture(seed + 3), texture(seed + 4),
                texture(seed + 5));
}

// A full frame of two tiles, then partial frames, with and without
// tables, that code one tile each, alternately the second and the first.
Bytes fourFrames() {
    ScanWriter full;
    codeTile(full, 1);
    codeTile(full, 2);
    StreamBuilder builder;
    builder.fullFrame(32, 16, full.finish(), 4);
    for (int frame = 1; frame < 4; ++frame) {
        ScanWriter partial;
        codeTile(partial, 2 + frame);
        builder.partialFrame(tileBitmap(2, 1, {frame % 2}), partial.finish(), frame == 1, 4);
    }
    builder.app13();
    return builder.bytes();
}

std::vector<Picture> decodeInCallsOf(const Bytes& stream, int bytesPerCall) {
    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler());
    std::vector<Picture> pictures;
    {
        vorcFramewiseTesraDecoder decoder(new PieceSource(stream), new CopyingBackEnd(pictures),
                                          new vorcFramewiseTesraScanDecoderSoftwareOnly());
        while (decoder.decode(bytesPerCall) != 0) {
        }
    }
    vorc::setStatusMessageHandler(nullptr);
    return pictures;
}

TEST(ParserDecodeCalls, PicturesDoNotDependOnWhereDecodeCallsEnd) {
    const Bytes stream = fourFrames();
    const std::vector<Picture> expected = decodeInCallsOf(stream, static_cast<int>(stream.size()));
    ASSERT_EQ(expected.size(), 4u);
    for (size_t frame = 0; frame < expected.size(); ++frame) {
        ASSERT_FALSE(expected[frame].empty());
        if (frame > 0) {
            ASSERT_NE(expected[frame], expected[frame - 1]);
        }
    }

    for (int bytesPerCall = 1; bytesPerCall < static_cast<int>(stream.size()); ++bytesPerCall) {
        EXPECT_EQ(decodeInCallsOf(stream, bytesPerCall), expected) << bytesPerCall << " bytes per call";
    }
}

}  // namespace
