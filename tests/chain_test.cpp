// The chain every user stands on: its account of each frame is judged
// against what the stream encoder says it wrote (where each frame begins,
// full or partial, how many tiles) and against the parser's own counts, in
// pieces of any size; the input observer sees the stream whole and in order;
// the size limit keeps larger pictures from every scan decoder; the tile
// walker reports each frame's tiles as decoding would.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "support/piece_source.h"
#include "support/recorders.h"
#include "support/stream_builder.h"
#include "vorc/backends/default_backend.h"
#include "vorc/chain/chain.h"
#include "vorc/chain/tile_walker.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/encode/stream_encoder.h"
#include "vorc/encode/synthetic_scene.h"

using vorctest::Bytes;

namespace {

// What the encoder wrote of each frame: where it began, full or not, its tiles.
struct Written {
    Bytes stream;
    std::vector<uint64_t> offsets;
    std::vector<bool> full;
    std::vector<int64_t> tiles;
};

struct Collector : vorcByteStreamReceiver {
    explicit Collector(Bytes& out) : out(out) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override { out.insert(out.end(), bytes, bytes + count); }
    Bytes& out;
};

Written encodeScene(int frames, int width, int height) {
    Written written;
    vorc::StreamEncoder encoder(new Collector(written.stream));
    encoder.setKeyFrameInterval(5);
    vorc::SyntheticScene scene(width, height);
    for (int frame = 0; frame < frames; ++frame) {
        written.offsets.push_back(written.stream.size());
        written.tiles.push_back(static_cast<int64_t>(encoder.encodeFrame(scene.renderFrame(frame), width, height)));
        written.full.push_back(encoder.lastFrameWasFull());
    }
    return written;
}

// The frames a chain hands on, with a copy of each one's bitmap.
struct Observed {
    std::vector<vorc::FrameInfo> frames;
    std::vector<Bytes> bitmaps;
};

std::unique_ptr<vorc::Chain> pixelChain(const Bytes& stream, std::vector<size_t> pieces, Observed& observed,
                                        vorc::ChainOptions options = vorc::ChainOptions()) {
    auto chain = std::make_unique<vorc::Chain>(std::make_unique<vorctest::PieceSource>(stream, std::move(pieces)),
                                               std::make_unique<vorcFramewiseTesraScanDecoderSoftwareOnly>(),
                                               std::make_unique<vorcDefaultTesraDecoderBackEnd>(), options);
    chain->observeFrames([&observed](const vorc::FrameInfo& frame, const uint8_t* tileBitmap) {
        observed.frames.push_back(frame);
        const size_t bytes = tileBitmap != nullptr ? (static_cast<size_t>(frame.width + 15) / 16 * ((frame.height + 15) / 16) + 7) / 8 : 0;
        observed.bitmaps.emplace_back(tileBitmap, tileBitmap + bytes);
    });
    return chain;
}

void runToTheEnd(vorc::Chain& chain, int pull = 65536) {
    while (chain.decode(pull) != 0 || chain.sourceStillUp()) {
    }
}

}  // namespace

TEST(Chain, EachFrameIsAccountedAsTheEncoderWroteIt) {
    const Written written = encodeScene(12, 80, 48);
    for (const std::vector<size_t>& pieces : std::vector<std::vector<size_t>>{{}, {1}, {7, 300}}) {
        vorctest::StatusCapture quiet;
        Observed observed;
        std::unique_ptr<vorc::Chain> chain = pixelChain(written.stream, pieces, observed);
        runToTheEnd(*chain, pieces.empty() ? 65536 : 97);
        ASSERT_EQ(observed.frames.size(), 12u);
        int64_t tiles = 0;
        for (size_t i = 0; i < 12; ++i) {
            const vorc::FrameInfo& frame = observed.frames[i];
            EXPECT_EQ(frame.index, i + 1);
            EXPECT_EQ(frame.offset, written.offsets[i]);
            EXPECT_EQ(frame.fullFrame, written.full[i]);
            EXPECT_EQ(frame.codedTiles, written.tiles[i]);
            EXPECT_EQ(observed.bitmaps[i].empty(), written.full[i]);
            EXPECT_TRUE(frame.width == 80 && frame.height == 48 && !frame.damaged && !frame.stale);
            tiles += frame.codedTiles;
        }
        EXPECT_EQ(chain->parser().streamErrorPolicy(), vorc::StreamErrorPolicy::ExitProcess);
        const vorc::ChainStats& stats = chain->stats();
        EXPECT_EQ(stats.frames, 12u);
        EXPECT_EQ(stats.fullFrames, 3u);
        EXPECT_EQ(stats.codedTiles, tiles);
        EXPECT_EQ(stats.bytesRead, written.stream.size());
        EXPECT_FALSE(stats.sizeChanged || stats.lastError || stats.unfinishedFrameOffset);
        EXPECT_EQ(chain->lastFrame().index, 12u);
    }
}

// Damage shows in the account as the parser saw it; the input observer
// sees every byte once, in order, whatever the damage.
TEST(Chain, DamageAndInputAreAccounted) {
    Written written = encodeScene(10, 64, 32);
    written.stream[written.offsets[3] + 1] = 0xD9;  // frame 4's SOI destroyed
    Bytes seen;
    Observed observed;
    vorctest::StatusCapture quiet;
    std::unique_ptr<vorc::Chain> chain =
        pixelChain(written.stream, {5, 1, 900}, observed, vorc::ChainOptions{vorc::StreamErrorPolicy::SkipFrame});
    chain->observeInput([&seen](const uint8_t* bytes, size_t count) { seen.insert(seen.end(), bytes, bytes + count); });
    runToTheEnd(*chain);
    EXPECT_TRUE(seen == written.stream);
    ASSERT_EQ(observed.frames.size(), 10u);
    EXPECT_TRUE(observed.frames[3].damaged && observed.frames[3].stale && observed.frames[3].codedTiles == 0);
    EXPECT_TRUE(observed.frames[4].stale && !observed.frames[4].damaged);
    EXPECT_FALSE(observed.frames[5].stale);
    const vorc::ChainStats& stats = chain->stats();
    EXPECT_EQ(stats.damagedFrames, chain->parser().damagedFrames());
    EXPECT_EQ(stats.damagedFrames, 1u);
    EXPECT_EQ(stats.skippedBytes, chain->parser().skippedBytes());
    ASSERT_TRUE(stats.lastError.has_value());
    EXPECT_EQ(stats.lastError->message, "!!! Tesra decoder failure (no_good_state) !!!");
}

// A picture beyond the chain's limit reaches no scan decoder: its frames
// are damaged and deliver no tile; the next picture, within it, decodes.
TEST(Chain, LargerPicturesThanTheLimitAreNotSwept) {
    vorctest::StreamBuilder builder;
    builder.fullFrame(64, 64, vorctest::zeroTilesScan(16)).fullFrame(32, 16, vorctest::zeroTilesScan(2)).app13();
    auto log = std::make_shared<vorctest::CallLog>();
    vorctest::StatusCapture quiet;
    vorc::Chain chain(std::make_unique<vorctest::PieceSource>(builder.bytes()),
                      std::make_unique<vorcFramewiseTesraScanDecoderSoftwareOnly>(),
                      std::make_unique<vorctest::RecordingBackEnd>(log),
                      vorc::ChainOptions{vorc::StreamErrorPolicy::ExitProcess, 32 * 32});
    std::vector<bool> damaged;
    chain.observeFrames([&damaged](const vorc::FrameInfo& frame, const uint8_t*) { damaged.push_back(frame.damaged); });
    runToTheEnd(chain);
    EXPECT_EQ(damaged, (std::vector<bool>{true, false}));
    EXPECT_EQ(std::count(log->begin(), log->end(), "received"), 2);
}

// Walking without decoding, the default back end reports each frame with
// the tiles the chain counted from its bitmap.
TEST(Chain, TheTileWalkerReportsWhatDecodingWould) {
    const Written written = encodeScene(6, 80, 48);
    auto* tiles = new vorc::TileCountingBackEnd;
    vorctest::StatusCapture status;
    vorc::Chain chain(std::make_unique<vorctest::PieceSource>(written.stream), std::make_unique<vorc::TileWalker>(tiles),
                      std::unique_ptr<vorcTesraDecoderBackEnd>(tiles));
    runToTheEnd(chain);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_TRUE(status.contains("vorcDefaultTesraDecoderBackEnd : ------ video frame #" + std::to_string(i + 1) +
                                    " with " + std::to_string(written.tiles[i]) + " tiles OK ------"))
            << i;
    }
}
