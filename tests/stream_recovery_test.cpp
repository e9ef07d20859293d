// Damaged streams under the SkipFrame policy: the whole pixel path (parser,
// software scan decoder, buffered back end) must decode every frame that the
// damage did not touch exactly as it decodes the clean stream, hand the
// damaged frame on as damaged, and keep count. Also the last frame of a
// stream that ends right after its EOI, the reasons of skipped errors and
// the level the library gives each message.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

#include "support/piece_source.h"
#include "support/stream_builder.h"
#include "support/picture_backend.h"
#include "support/recorders.h"
#include "support/recording_scan_decoder.h"
#include "vorc/backends/default_backend.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/core/status_messages.h"
#include "vorc/transcode/jpeg_converter.h"

using vorc::StreamErrorPolicy;
using vorctest::Bytes;
using vorctest::DecodeOutcome;
using vorctest::RgbPicture;

namespace {

// Five full 32x16 frames of different content and one quality, as a camera
// sends them, and where each one starts.
struct CleanStream {
    Bytes bytes;
    std::vector<size_t> frameStarts;
};

CleanStream cleanStream() {
    CleanStream clean;
    for (uint32_t seed = 1; seed <= 5; ++seed) {
        const RgbPicture picture = vorctest::syntheticPicture(32, 16, false, seed);
        const Bytes frame = vorctest::jpegToTesraFrame(vorctest::compressJpeg(picture, 80));
        clean.frameStarts.push_back(clean.bytes.size());
        clean.bytes.insert(clean.bytes.end(), frame.begin(), frame.end());
    }
    return clean;
}

DecodeOutcome skipping(const Bytes& stream, std::vector<size_t> pieces = {}, int pull = 65536) {
    return vorctest::decodeStream(stream, std::move(pieces), pull, StreamErrorPolicy::SkipFrame);
}

// The pictures of the frames handed on without damage.
std::vector<std::vector<uint8_t>> intactPictures(const DecodeOutcome& outcome) {
    std::vector<std::vector<uint8_t>> pictures;
    for (size_t i = 0; i < outcome.frames.size(); ++i)
        if (!outcome.damaged[i]) pictures.push_back(outcome.frames[i].pixels);
    return pictures;
}

// Every frame but the damaged one decodes as in the clean stream; the
// damaged one is handed on as damaged, lost, or (when the damage still
// parses, say in its pixels) decoded to something else.
void expectOthersIntact(const DecodeOutcome& damaged, const DecodeOutcome& clean, size_t hitFrame) {
    std::vector<std::vector<uint8_t>> expected = intactPictures(clean);
    std::vector<std::vector<uint8_t>> got = intactPictures(damaged);
    if (got.size() == expected.size()) got.erase(got.begin() + static_cast<std::ptrdiff_t>(hitFrame));
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(hitFrame));
    EXPECT_TRUE(got == expected);
}

}  // namespace

TEST(StreamRecovery, CleanStreamDecodesAlikeUnderBothPolicies) {
    const CleanStream clean = cleanStream();
    const DecodeOutcome exiting = vorctest::decodeStream(clean.bytes);
    const DecodeOutcome skipped = skipping(clean.bytes);
    // The last frame ends with the stream, right after its EOI: handed on too.
    ASSERT_EQ(exiting.frames.size(), 5u);
    EXPECT_EQ(exiting.errors, 0);
    EXPECT_TRUE(intactPictures(skipped) == intactPictures(exiting));
    EXPECT_EQ(skipped.skippedBytes, 0u);
    EXPECT_FALSE(skipped.lastError.has_value());
}

TEST(StreamRecovery, DamagedFramesLeaveTheOthersAlone) {
    const CleanStream clean = cleanStream();
    const DecodeOutcome reference = skipping(clean.bytes);
    const size_t hit = 2;
    const size_t start = clean.frameStarts[hit], end = clean.frameStarts[hit + 1];
    // The third frame cut short at every position: the rest of it is missing.
    for (size_t cut = start; cut < end; ++cut) {
        Bytes stream(clean.bytes.begin(), clean.bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        stream.insert(stream.end(), clean.bytes.begin() + static_cast<std::ptrdiff_t>(end), clean.bytes.end());
        SCOPED_TRACE("cut at " + std::to_string(cut - start));
        expectOthersIntact(skipping(stream), reference, hit);
    }
    // One bit of every byte of the third frame flipped, a different bit
    // from byte to byte, and every bit of its length fields.
    for (size_t at = start; at < end; ++at) {
        const bool lengthByte = at >= start + 2 && clean.bytes[at - 2] == 0xFF && clean.bytes[at - 1] != 0x00;
        for (int bit = 0; bit < 8; ++bit) {
            if (!lengthByte && bit != int(at % 8)) continue;
            Bytes stream = clean.bytes;
            stream[at] = static_cast<uint8_t>(stream[at] ^ (1 << bit));
            SCOPED_TRACE("byte " + std::to_string(at - start) + " bit " + std::to_string(bit));
            expectOthersIntact(skipping(stream), reference, hit);
        }
    }
}

TEST(StreamRecovery, GarbageBetweenFramesInAnyPieces) {
    const CleanStream clean = cleanStream();
    const DecodeOutcome reference = skipping(clean.bytes);
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        Bytes garbage(1 + random() % 300);
        for (uint8_t& byte : garbage) byte = static_cast<uint8_t>(random() % 4 == 0 ? 0xFF : random());
        // A start of image in the garbage begins a frame that can only fail.
        if (round % 4 == 0) garbage.insert(garbage.begin() + 1, {0xFF, 0xD8});
        Bytes stream = clean.bytes;
        const size_t at = clean.frameStarts[1 + round % 4];
        stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), garbage.begin(), garbage.end());
        SCOPED_TRACE("round " + std::to_string(round));
        const auto pieces = vorctest::PieceSource::randomPieces(stream.size(), 1 + round * 5, round);
        const DecodeOutcome outcome = skipping(stream, pieces, round % 3 == 0 ? 1 : 4093);
        EXPECT_TRUE(intactPictures(outcome) == intactPictures(reference));
    }
}

TEST(StreamRecovery, CountsAndLastError) {
    const CleanStream clean = cleanStream();
    // Frame 1 loses its last 10 bytes and 5 bytes of garbage follow it; the
    // error shows at the next frame's SOI inside the cut scan.
    const size_t cutEnd = clean.frameStarts[2] - 10;
    Bytes stream(clean.bytes.begin(), clean.bytes.begin() + static_cast<std::ptrdiff_t>(cutEnd));
    stream.insert(stream.end(), {0x01, 0x02, 0xFF, 0x00, 0x03});
    const size_t nextFrame = stream.size();
    stream.insert(stream.end(), clean.bytes.begin() + static_cast<std::ptrdiff_t>(clean.frameStarts[2]),
                  clean.bytes.end());
    for (const int pull : {1, 4093}) {
        const DecodeOutcome outcome = skipping(stream, {}, pull);
        ASSERT_EQ(outcome.frames.size(), 5u);
        EXPECT_EQ(outcome.damaged, (std::vector<bool>{false, true, false, false, false}));
        // Everything after the damaged frame's SOI up to the next SOI.
        EXPECT_EQ(outcome.skippedBytes, nextFrame - clean.frameStarts[1] - 2);
        ASSERT_TRUE(outcome.lastError.has_value());
        EXPECT_EQ(outcome.lastError->message, "!!! Tesra decoder failure (invalid scan termination) !!!");
        EXPECT_EQ(outcome.lastError->frameNumber, 1u);
        EXPECT_EQ(outcome.lastError->streamOffset, nextFrame + 2);
    }
}

TEST(StreamRecovery, OversizedFrameAndBadDecodeSizes) {
    const CleanStream clean = cleanStream();
    // A frame whose scan never ends fills the 4 MiB buffer; the frames
    // after it still come through.
    Bytes stream(clean.bytes.begin(), clean.bytes.begin() + static_cast<std::ptrdiff_t>(clean.frameStarts[1]));
    const size_t hugeStart = stream.size();
    stream.insert(stream.end(), clean.bytes.begin() + static_cast<std::ptrdiff_t>(clean.frameStarts[1]),
                  clean.bytes.begin() + static_cast<std::ptrdiff_t>(clean.frameStarts[2]) - 2);
    stream.insert(stream.end(), 5u << 20, 0x11);
    stream.insert(stream.end(), clean.bytes.begin() + static_cast<std::ptrdiff_t>(clean.frameStarts[2]),
                  clean.bytes.end());
    const DecodeOutcome outcome = skipping(stream, {}, 1 << 20);
    EXPECT_EQ(intactPictures(outcome).size(), 4u);
    EXPECT_EQ(std::count(outcome.damaged.begin(), outcome.damaged.end(), true), 1);
    ASSERT_TRUE(outcome.lastError.has_value());
    EXPECT_EQ(outcome.lastError->message, "!!! Tesra decoder failure (prefetch buffer overflow) !!!");
    EXPECT_EQ(outcome.lastError->streamOffset, hugeStart + 2 + 4194304);

    // decode with a size below 1 is reported and does nothing else.
    vorctest::StatusCapture status;
    auto log = std::make_shared<vorctest::CallLog>();
    vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(clean.bytes), new vorctest::RecordingBackEnd(log),
                                      new vorctest::RecordingScanDecoder(log));
    decoder.setStreamErrorPolicy(StreamErrorPolicy::SkipFrame);
    EXPECT_EQ(decoder.decode(100), 100);
    status.clear();
    for (const int size : {0, -5}) EXPECT_EQ(decoder.decode(size), 0);
    EXPECT_EQ(status.messages(), vorctest::CallLog(2, "!!! Tesra decoder failure (prefetch buffer overflow) !!!"));
    while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
    }
    EXPECT_EQ(std::count(log->begin(), log->end(), "complete"), 5);
    EXPECT_EQ(std::count(log->begin(), log->end(), "error"), 0);
    EXPECT_EQ(decoder.damagedFrames(), 0u);
    EXPECT_EQ(decoder.framesHandedOn(), 5u);
}

// An invalid codeword reports through the status handler: nothing reaches
// standard output, where an MJPEG stream may be going.
TEST(StreamRecovery, InvalidCodewordGoesThroughTheStatusHandler) {
    // A luminance DC code of nine 1 bits does not exist.
    vorctest::ScanWriter writer;
    writer.bits(0x1FF, 9);
    const Bytes badScan = writer.finish();
    vorctest::StreamBuilder stream;
    stream.fullFrame(16, 16, badScan).fullFrame(16, 16, vorctest::zeroTilesScan(1));
    testing::internal::CaptureStdout();
    const DecodeOutcome outcome = skipping(stream.bytes());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(outcome.damaged, (std::vector<bool>{true, false}));
    ASSERT_TRUE(outcome.lastError.has_value());
    EXPECT_EQ(outcome.lastError->message, " !!! invalid codeword !!!");
}

// The transcoder reports through the same fatal path. A picture store whose
// DC values lie too far apart for a baseline code (1500 beside -1500, from
// two frames) makes the second frame's image fail: under SkipFrame it is
// lost whole, and the images before and after it are complete.
TEST(StreamRecovery, TranscoderLosesOnlyTheImageThatCannotBeCoded) {
    struct Images : vorcJPEGReceiver {
        explicit Images(std::vector<Bytes>& images) : images(images) {}
        void beginFrame() override { open.emplace(); }
        void receiveJPEGBytes(const unsigned char* bytes, int count) override {
            if (open) open->insert(open->end(), bytes, bytes + count);
        }
        void endFrame() override {
            if (open) images.push_back(*open);
            open.reset();
        }
        std::vector<Bytes>& images;
        std::optional<Bytes> open;
    };
    vorctest::Block bright{}, dark{};
    bright[0] = 1500;
    dark[0] = -1500;
    vorctest::ScanWriter first, second;
    for (int tile = 0; tile < 2; ++tile) first.tile(bright, bright, bright, bright, bright, bright);
    second.tile(dark, dark, dark, dark, dark, dark);
    vorctest::StreamBuilder stream;
    stream.fullFrame(32, 16, first.finish()).partialFrame(vorctest::tileBitmap(2, 1, {1}), second.finish());
    stream.fullFrame(32, 16, vorctest::zeroTilesScan(2)).app13();

    vorctest::StatusCapture status;
    std::vector<Bytes> images;
    {
        vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(stream.bytes()), new vorcDefaultTesraDecoderBackEnd,
                                          new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(new Images(images)));
        decoder.setStreamErrorPolicy(StreamErrorPolicy::SkipFrame);
        while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
        }
        EXPECT_EQ(decoder.damagedFrames(), 1u);
        ASSERT_TRUE(decoder.lastStreamError().has_value());
        EXPECT_EQ(decoder.lastStreamError()->message, "Out of Range");
    }
    ASSERT_EQ(images.size(), 2u);
    const RgbPicture grey = vorctest::decompressJpeg(images[1]);
    ASSERT_EQ(grey.width, 32);
    EXPECT_EQ(std::count(grey.pixels.begin(), grey.pixels.end(), 128), 32 * 16 * 3);
}

// Every message carries the library's own level: under SkipFrame a stream
// error is a warning, and so is the back end's corrupt frame, while progress
// is information; a plain handler gets the same texts without levels. Under
// the default policy the same stream error is an error, and the process ends.
struct LevelLog : vorc::LeveledStatusMessageHandler {
    void statusMessage(vorc::StatusLevel level, const char* msg, void*) override {
        lines.push_back(std::to_string(static_cast<int>(level)) + " " + msg);
    }
    std::vector<std::string> lines;
};

TEST(StatusLevels, TheLibrarySaysHowMuchEachMessageMatters) {
    vorctest::StreamBuilder stream;
    stream.fullFrame(16, 16, vorctest::zeroTilesScan(1)).raw({0xFF, 0x00}).fullFrame(16, 16, vorctest::zeroTilesScan(1)).app13();
    LevelLog levels;
    {
        const vorc::StatusMessageScope scope(&levels);
        vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(stream.bytes()), new vorcDefaultTesraDecoderBackEnd,
                                          new vorcFramewiseTesraScanDecoderSoftwareOnly);
        decoder.setStreamErrorPolicy(StreamErrorPolicy::SkipFrame);
        while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
        }
    }
    const std::vector<std::string> expected = {
        "0 vorcDefaultTesraDecoderBackEnd : ------ video frame #1 with 1 tiles OK ------",
        "1 !!! Tesra decoder failure (no_good_state) !!!",
        "0 vorcDefaultTesraDecoderBackEnd : ------ video frame #2 with 1 tiles OK ------"};
    std::vector<std::string> found;
    for (const std::string& line : levels.lines)
        if (std::find(expected.begin(), expected.end(), line) != expected.end()) found.push_back(line);
    EXPECT_EQ(found, expected);
    EXPECT_EQ(std::count_if(levels.lines.begin(), levels.lines.end(), [](const std::string& line) { return line[0] != '0'; }), 1);

    const DecodeOutcome plain = skipping(stream.bytes());
    EXPECT_EQ(std::count(plain.messages.begin(), plain.messages.end(), "!!! Tesra decoder failure (no_good_state) !!!"), 1);
}

TEST(StatusLevelsDeathTest, AFatalStreamErrorIsAnError) {
    const Bytes stream = vorctest::StreamBuilder().raw({0x12, 0xFF, 0x00, 0x34}).bytes();
    struct ToStandardError : vorc::LeveledStatusMessageHandler {
        void statusMessage(vorc::StatusLevel level, const char* msg, void*) override {
            if (level == vorc::StatusLevel::Error) std::fprintf(stderr, "error: %s\n", msg);
        }
    };
    EXPECT_EXIT(
        {
            ToStandardError handler;
            const vorc::StatusMessageScope scope(&handler);
            vorctest::decodeStream(stream);
        },
        ::testing::ExitedWithCode(154), "error: !!! Tesra decoder failure \\(no_good_state\\) !!!");
}
