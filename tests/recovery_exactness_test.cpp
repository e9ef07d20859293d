// Recovery that is exact: under SkipFrame a valid stream, in whatever layout
// the format allows, reads exactly as under the default policy; and the
// damage that used to pass unseen (a scan header length that runs into the
// next frame, scan data after the last tile, an APP13 length that swallows
// the next frame's start, a destroyed SOI) is found, counted and contained,
// with the pictures built on a damaged frame called stale until a full frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "support/picture_backend.h"
#include "support/stream_builder.h"
#include "vorc/core/exceptions.h"
#include "vorc/encode/stream_encoder.h"
#include "vorc/encode/synthetic_scene.h"

using vorc::StreamErrorPolicy;
using vorctest::Bytes;
using vorctest::DecodeOutcome;

namespace {

struct Collector : vorcByteStreamReceiver {
    explicit Collector(Bytes& out) : out(out) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override { out.insert(out.end(), bytes, bytes + count); }
    Bytes& out;
};

// The valid layouts the tests use: an embedded JPEG's start in an APP13
// segment after every frame (as image-resource blocks carry thumbnails),
// ending in FF D8 every other time; a byte other than FF before every
// segment; no Huffman tables and no size in frames that may leave them out.
struct ThumbnailLayout : vorc::StreamLayout {
    std::optional<Bytes> app13After() override {
        Bytes payload = {'8', 'B', 'I', 'M', 0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 0xFF, 0xD9, 0xFF};
        if (++frames % 2 == 0) payload.insert(payload.end(), {0xFF, 0xD8});
        return payload;
    }
    int frames = 0;
};
struct StrayByteLayout : vorc::StreamLayout {
    Bytes gapBefore(uint8_t marker) override { return {static_cast<uint8_t>(marker ^ 0x5A)}; }
    bool namePictureSize() override { return false; }
    int huffmanTables() override { return 0; }
    bool tablesInPartialFrame(bool) override { return true; }
};

// A moving scene, a full frame every keyInterval frames.
Bytes sceneStream(int frames, std::unique_ptr<vorc::StreamLayout> layout = nullptr, int keyInterval = 4,
                  int width = 80, int height = 48) {
    Bytes stream;
    vorc::StreamEncoder encoder(new Collector(stream));
    encoder.setKeyFrameInterval(keyInterval);
    encoder.setLayout(std::move(layout));
    vorc::SyntheticScene scene(width, height);
    for (int frame = 0; frame < frames; ++frame) encoder.encodeFrame(scene.renderFrame(frame), width, height);
    return stream;
}

DecodeOutcome decode(const Bytes& stream, StreamErrorPolicy policy, std::vector<size_t> pieces = {}, int pull = 65536) {
    return vorctest::decodeStream(stream, std::move(pieces), pull, policy);
}

size_t findSegment(const Bytes& stream, size_t from, uint8_t code) {
    while (!(stream[from] == 0xFF && stream[from + 1] == code)) ++from;
    return from;
}

// Where each frame's SOI lies: the one before each "TSF" tag comment.
std::vector<size_t> frameStarts(const Bytes& stream) {
    const Bytes tag = {0xFF, 0xFE, 0x00, 0x05, 'T', 'S', 'F'};
    std::vector<size_t> starts;
    for (auto at = stream.begin(); (at = std::search(at, stream.end(), tag.begin(), tag.end())) != stream.end(); ++at) {
        size_t soi = static_cast<size_t>(at - stream.begin());
        while (!(stream[soi] == 0xFF && stream[soi + 1] == 0xD8)) --soi;
        starts.push_back(soi);
    }
    return starts;
}

void expectSameReading(const DecodeOutcome& a, const DecodeOutcome& b) {
    ASSERT_EQ(a.frames.size(), b.frames.size());
    for (size_t i = 0; i < a.frames.size(); ++i) EXPECT_TRUE(a.frames[i].pixels == b.frames[i].pixels) << "frame " << i;
    EXPECT_EQ(a.damaged, b.damaged);
    EXPECT_EQ(a.offsets, b.offsets);
    EXPECT_EQ(a.messages, b.messages);
    EXPECT_EQ(a.tiles, b.tiles);
}

}  // namespace

TEST(ExactRecovery, ValidLayoutsReadAlikeUnderBothPolicies) {
    std::vector<std::unique_ptr<vorc::StreamLayout>> layouts;
    layouts.push_back(std::make_unique<ThumbnailLayout>());
    layouts.push_back(std::make_unique<StrayByteLayout>());
    for (auto& layout : layouts) {
        const Bytes stream = sceneStream(8, std::move(layout));
        const DecodeOutcome exiting = decode(stream, StreamErrorPolicy::ExitProcess);
        ASSERT_EQ(exiting.frames.size(), 8u);
        EXPECT_EQ(exiting.errors, 0);
        for (const std::vector<size_t>& pieces : std::vector<std::vector<size_t>>{{}, {1}, {3, 250, 17}}) {
            const DecodeOutcome skipping = decode(stream, StreamErrorPolicy::SkipFrame, pieces);
            expectSameReading(exiting, skipping);
            EXPECT_EQ(skipping.damagedFrames, 0u);
            EXPECT_EQ(skipping.skippedBytes, 0u);
            EXPECT_FALSE(skipping.lastError.has_value());
            EXPECT_EQ(skipping.stale, std::vector<bool>(8, false));
        }
    }
}

// The scan header's length runs 200 bytes on, into the next frame's scan:
// the frame is damaged, and the frame it swallowed comes back.
TEST(ExactRecovery, AScanHeaderThatRunsIntoTheNextFrameIsDamage) {
    Bytes stream = sceneStream(12, nullptr, 12);
    const DecodeOutcome clean = decode(stream, StreamErrorPolicy::SkipFrame);
    const std::vector<size_t> starts = frameStarts(stream);
    ASSERT_EQ(starts.size(), 12u);
    size_t sos = starts[4];
    while (!(stream[sos] == 0xFF && stream[sos + 1] == 0xDA)) ++sos;
    ASSERT_LT(sos + 200, starts[6]);
    stream[sos + 3] = static_cast<uint8_t>(stream[sos + 3] + 200);
    for (const std::vector<size_t>& pieces : std::vector<std::vector<size_t>>{{}, {1}, {64}}) {
        const DecodeOutcome damaged = decode(stream, StreamErrorPolicy::SkipFrame, pieces);
        ASSERT_EQ(damaged.frames.size(), 12u);
        EXPECT_EQ(damaged.damaged, (std::vector<bool>{false, false, false, false, true, false, false, false, false,
                                                        false, false, false}));
        EXPECT_EQ(damaged.damagedFrames, 1u);
        EXPECT_EQ(damaged.lastError->message, "!!! Tesra decoder failure (scan header of a foreign length) !!!");
        // The frames after it are built on a picture that lacks frame 4's tiles.
        for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(damaged.frames[i].pixels == clean.frames[i].pixels);
        EXPECT_EQ(damaged.stale, (std::vector<bool>{false, false, false, false, true, true, true, true, true, true,
                                                      true, true}));
        EXPECT_EQ(damaged.offsets[5], starts[5]);
    }
}

// A last scan byte of FF, padded with 1 bits, and its stuffed 00 are the
// end of a valid scan, not data after it.
TEST(ExactRecovery, AScanEndingInAStuffedFFIsWhole) {
    // The last block ends with a value at position 63 and no end of block,
    // so its last bits are that value's; one of them makes the padded last
    // byte FF.
    for (int value = 1; value < 64; ++value) {
        vorctest::Block last{};
        last[63] = static_cast<int16_t>(value);
        vorctest::ScanWriter writer;
        writer.tile({}, {}, {}, {}, {}, last);
        const bool padded = writer.pendingBits() != 0;
        const Bytes scan = writer.finish();
        if (!padded || scan.size() < 2 || scan[scan.size() - 2] != 0xFF || scan.back() != 0x00) continue;
        vorctest::StreamBuilder builder;
        builder.fullFrame(16, 16, scan).fullFrame(16, 16, scan);
        const DecodeOutcome outcome = decode(builder.bytes(), StreamErrorPolicy::SkipFrame);
        EXPECT_EQ(outcome.damaged, (std::vector<bool>{false, false}));
        return;
    }
    FAIL() << "no scan ends in a stuffed FF";
}

// A bitmap may hold any bits, a frame's start among them.
TEST(ExactRecovery, ABitmapMayHoldAnyBits) {
    const Bytes bitmap = {0xFF, 0xD8, 0xFF, 0xE0};
    vorctest::StreamBuilder builder;
    builder.fullFrame(128, 64, vorctest::zeroTilesScan(32)).partialFrame(bitmap, vorctest::zeroTilesScan(23));
    const DecodeOutcome outcome = decode(builder.bytes(), StreamErrorPolicy::SkipFrame);
    EXPECT_EQ(outcome.damaged, (std::vector<bool>{false, false}));
    EXPECT_EQ(outcome.tiles, 32 + 23);
}

// Whole bytes of scan data after the last tile: only a damaged stream has
// them, so SkipFrame calls the frame damaged; the default policy reads on.
TEST(ExactRecovery, ScanDataAfterTheLastTile) {
    for (const bool fullFrame : {true, false}) {
        vorctest::StreamBuilder builder;
        const Bytes scan = vorctest::zeroTilesScan(1);
        Bytes longer = scan;
        longer.push_back(0x2A);
        builder.fullFrame(16, 16, scan);
        if (fullFrame) {
            builder.fullFrame(16, 16, longer);
        } else {
            builder.partialFrame(vorctest::tileBitmap(1, 1, {}), {0x2A});
        }
        builder.fullFrame(16, 16, scan).app13();
        const DecodeOutcome exiting = decode(builder.bytes(), StreamErrorPolicy::ExitProcess);
        EXPECT_EQ(exiting.damaged, (std::vector<bool>{false, false, false}));
        const DecodeOutcome skipping = decode(builder.bytes(), StreamErrorPolicy::SkipFrame);
        EXPECT_EQ(skipping.damaged, (std::vector<bool>{false, true, false}));
        EXPECT_EQ(skipping.stale, (std::vector<bool>{false, true, false}));
        EXPECT_EQ(skipping.lastError->message, "!!! Tesra decoder failure (scan data after the last tile) !!!");
    }
}

// A scan decoder that reports a failed frame to the back end, without a
// stream error (here: AC runs past the end of a block), damages it too.
TEST(ExactRecovery, AFailedSweepIsCountedAndLeavesAStalePicture) {
    vorctest::ScanWriter writer;
    writer.bits(0b00, 2);
    for (int run = 0; run < 4; ++run) writer.bits(0x7F9, 11);
    vorctest::StreamBuilder builder;
    builder.fullFrame(32, 16, vorctest::zeroTilesScan(2))
        .partialFrame(vorctest::tileBitmap(2, 1, {1}), writer.finish())
        .partialFrame(vorctest::tileBitmap(2, 1, {0}), vorctest::zeroTilesScan(1))
        .fullFrame(32, 16, vorctest::zeroTilesScan(2));
    for (const StreamErrorPolicy policy : {StreamErrorPolicy::ExitProcess, StreamErrorPolicy::SkipFrame}) {
        const DecodeOutcome outcome = decode(builder.bytes(), policy);
        EXPECT_EQ(outcome.damaged, (std::vector<bool>{false, true, false, false}));
        EXPECT_EQ(outcome.damagedFrames, 1u);
        EXPECT_EQ(outcome.stale, (std::vector<bool>{false, true, true, false}));
    }
}

// FF D8 hit into FF D9, or its FF lost: the frame is handed on as damaged in
// its place, found by its tag comment, so that the frames after it keep
// their numbers; the partial frames after it are stale up to the next full one.
TEST(ExactRecovery, AFrameWhoseStartIsDestroyedIsCounted) {
    const Bytes clean = sceneStream(10, nullptr, 5);
    const DecodeOutcome expected = decode(clean, StreamErrorPolicy::SkipFrame);
    const std::vector<size_t> starts = frameStarts(clean);
    const size_t tag = findSegment(clean, starts[2], 0xFE);
    for (const int way : {0, 1, 2}) {
        Bytes stream = clean;
        if (way == 0) stream[starts[2] + 1] = 0xD9;
        if (way == 1) stream[starts[2]] = 0x00;
        if (way == 2) stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(starts[2]));
        SCOPED_TRACE(way);
        const DecodeOutcome outcome = decode(stream, StreamErrorPolicy::SkipFrame, {way == 1 ? 1u : 0u});
        ASSERT_EQ(outcome.frames.size(), 10u);
        std::vector<bool> damaged(10, false);
        damaged[2] = true;
        EXPECT_EQ(outcome.damaged, damaged);
        EXPECT_EQ(outcome.damagedFrames, 1u);
        EXPECT_EQ(outcome.stale, (std::vector<bool>{false, false, true, true, true, false, false, false, false, false}));
        for (size_t i : {0, 1, 5, 6, 7, 8, 9}) EXPECT_TRUE(outcome.frames[i].pixels == expected.frames[i].pixels) << i;
        // The lost frame lies where its tag comment does.
        EXPECT_EQ(outcome.offsets[2], way == 2 ? tag - 1 : tag);
    }
}

// A stream that begins with the first frame's tag comment, what came before
// it gone and a stray byte or two in its place: the damage is the comment's
// own marker, and the lost frame is found at the same place however the
// decode calls cut the stream, even where the marker's FF came with the
// call before.
TEST(ExactRecovery, AStreamThatBeginsAtATagCommentHasLostItsFirstFrame) {
    Bytes stream = sceneStream(6, nullptr, 3);
    stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(findSegment(stream, 0, 0xFE)));
    stream.insert(stream.begin(), {'F', 0x00});
    const DecodeOutcome whole = decode(stream, StreamErrorPolicy::SkipFrame);
    ASSERT_EQ(whole.frames.size(), 6u);
    EXPECT_EQ(whole.offsets[0], 2u);
    EXPECT_TRUE(whole.damaged[0]);
    for (const int pull : {1, 3, 7}) {
        SCOPED_TRACE(pull);
        expectSameReading(whole, decode(stream, StreamErrorPolicy::SkipFrame, {1}, pull));
    }
}

// Lengths damaged before the frame's tag and in its bitmap comment: the
// damaged frame is counted once (its own tag, met again in the search, is not
// another frame), and a frame swallowed whole by a bitmap comment that ends
// just before its tables comes back when the sweep fails.
TEST(ExactRecovery, DamagedLengthsBeforeTheScan) {
    const Bytes clean = sceneStream(10, nullptr, 5);
    const DecodeOutcome expected = decode(clean, StreamErrorPolicy::SkipFrame);
    const std::vector<size_t> starts = frameStarts(clean);
    Bytes app0 = clean;
    app0[starts[2] + 5] = static_cast<uint8_t>(app0[starts[2] + 5] + 3);
    // An APP0 that ends right before the next frame's tag comment, which
    // the frame then takes for its own.
    Bytes swallowing = clean;
    const size_t nextTag = findSegment(clean, starts[3], 0xFE) - starts[2] - 4;
    swallowing[starts[2] + 4] = static_cast<uint8_t>(nextTag >> 8);
    swallowing[starts[2] + 5] = static_cast<uint8_t>(nextTag);
    Bytes bitmap = clean;
    const size_t comment = findSegment(clean, findSegment(clean, starts[3], 0xFE) + 2, 0xFE);
    const size_t length = findSegment(clean, starts[5], 0xDB) - comment - 2;
    ASSERT_LT(length, 65536u);
    bitmap[comment + 2] = static_cast<uint8_t>(length >> 8);
    bitmap[comment + 3] = static_cast<uint8_t>(length);
    for (const auto& [stream, hit] :
         {std::pair{app0, size_t{2}}, std::pair{bitmap, size_t{3}}, std::pair{swallowing, size_t{2}}}) {
        const DecodeOutcome outcome = decode(stream, StreamErrorPolicy::SkipFrame);
        ASSERT_EQ(outcome.frames.size(), 10u) << hit;
        std::vector<bool> damaged(10, false);
        damaged[hit] = true;
        EXPECT_EQ(outcome.damaged, damaged);
        for (size_t i = 5; i < 10; ++i) EXPECT_TRUE(outcome.frames[i].pixels == expected.frames[i].pixels) << hit << " " << i;
    }
}

// An APP13 length damaged to run over the next frame's start: what follows
// the segment is no frame, so the search goes back into its payload, past
// the thumbnail's start that it holds, to the swallowed frame.
TEST(ExactRecovery, AnAPP13ThatSwallowsTheNextFrameIsSearched) {
    Bytes stream = sceneStream(6, std::make_unique<ThumbnailLayout>(), 6);
    const DecodeOutcome expected = decode(stream, StreamErrorPolicy::SkipFrame);
    const std::vector<size_t> starts = frameStarts(stream);
    size_t app13 = starts[3] - 1;
    while (!(stream[app13] == 0xFF && stream[app13 + 1] == 0xED)) --app13;
    stream[app13 + 3] = static_cast<uint8_t>(stream[app13 + 3] + 40);
    // Also in small decode calls, between which the parser lets go of what it has read.
    for (const auto& [pieces, pull] : {std::pair{std::vector<size_t>{}, 65536}, std::pair{std::vector<size_t>{1}, 65536},
                                       std::pair{std::vector<size_t>{}, 7}}) {
        const DecodeOutcome outcome = decode(stream, StreamErrorPolicy::SkipFrame, pieces, pull);
        ASSERT_EQ(outcome.frames.size(), 6u);
        EXPECT_EQ(outcome.damaged, (std::vector<bool>(6, false)));
        for (size_t i = 0; i < 6; ++i) EXPECT_TRUE(outcome.frames[i].pixels == expected.frames[i].pixels) << i;
        EXPECT_GT(outcome.skippedBytes, 0u);
        // Found again from inside the segment, the frame is dated from the
        // first SOI that leads to its tag: here the embedded image's, which
        // an APP0 length takes into the frame.
        EXPECT_GT(outcome.offsets[3], app13);
        EXPECT_LE(outcome.offsets[3], starts[3]);
    }
}

// After damage, an FF D8 that the search finds is a frame only once its tag
// comment has been read: one that is not (an embedded image, a long run of
// other bytes that fills the buffer) is passed over quietly, and only the
// damage itself is reported.
TEST(ExactRecovery, StartsThatTheSearchFindsAreFramesOnlyWithTheirTag) {
    const Bytes frame = vorctest::StreamBuilder().fullFrame(16, 16, vorctest::zeroTilesScan(1)).bytes();
    const Bytes embedded = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x4A, 0x46, 0xFF, 0xDB, 0x00, 0x03, 0x00};
    for (const size_t filler : {size_t{0}, size_t{5} << 20}) {
        vorctest::StreamBuilder builder;
        builder.raw(frame).raw({0xFF, 0x00}).raw(embedded).raw({0xFF, 0xD8}).raw(Bytes(filler, 0x11)).raw(frame).raw(frame);
        const DecodeOutcome outcome = decode(builder.bytes(), StreamErrorPolicy::SkipFrame, {}, 1 << 20);
        EXPECT_EQ(outcome.damaged, (std::vector<bool>{false, false, false})) << filler;
        EXPECT_EQ(std::count_if(outcome.messages.begin(), outcome.messages.end(),
                                [](const std::string& message) { return message.find("!!!") != std::string::npos; }),
                  1)
            << filler;
        EXPECT_EQ(outcome.lastError->message, "!!! Tesra decoder failure (no_good_state) !!!");
    }
}

// The encoder writes only valid streams, whatever its layout asks for.
TEST(ExactRecovery, TheEncoderRefusesAGapHoldingFF) {
    struct FillByteLayout : vorc::StreamLayout {
        Bytes gapBefore(uint8_t) override { return {0x00, 0xFF}; }
    };
    Bytes stream;
    vorc::StreamEncoder encoder(new Collector(stream));
    encoder.setLayout(std::make_unique<FillByteLayout>());
    const Bytes picture(16 * 16 * 3, 90);
    EXPECT_THROW(encoder.encodeFrame(picture.data(), 16, 16), vorc::InvalidArgument);
    EXPECT_TRUE(stream.empty());
}

// A stream cut inside a frame: the parser says where that frame began,
// whatever the policy; under SkipFrame the frame also comes out damaged.
TEST(ExactRecovery, TheEndOfTheSourceInsideAFrameIsReported) {
    const Bytes whole = sceneStream(3);
    const std::vector<size_t> starts = frameStarts(whole);
    const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(starts[2] + 100));
    const DecodeOutcome exiting = decode(cut, StreamErrorPolicy::ExitProcess);
    EXPECT_EQ(exiting.frames.size(), 2u);
    EXPECT_EQ(exiting.unfinishedFrameOffset, std::optional<uint64_t>(starts[2]));
    const DecodeOutcome skipping = decode(cut, StreamErrorPolicy::SkipFrame);
    EXPECT_EQ(skipping.damaged, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(skipping.unfinishedFrameOffset, std::optional<uint64_t>(starts[2]));
    EXPECT_FALSE(decode(whole, StreamErrorPolicy::SkipFrame).unfinishedFrameOffset.has_value());
}
