// Fatal stream errors of the parser: each ends the process with status 666
// (154 as seen by the parent) after its message.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "support/piece_source.h"
#include "support/recorders.h"
#include "support/recording_scan_decoder.h"
#include "support/stream_builder.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/status_messages.h"

namespace {

using vorctest::Bytes;
using vorctest::StreamBuilder;

constexpr int Fatal = 154;

// Death tests match standard error; status messages go there in the child.
class StandardErrorHandler : public vorcStatusMessageHandler {
public:
    void sendStatusMsg(const char* msg, void*) override { std::fprintf(stderr, "%s\n", msg); }
};

void parseAll(const Bytes& stream, int pull = 65536) {
    vorc::setStatusMessageHandler(new StandardErrorHandler);
    auto log = std::make_shared<vorctest::CallLog>();
    vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(stream), new vorctest::RecordingBackEnd(log),
                                      new vorctest::RecordingScanDecoder(log));
    while (decoder.decode(pull) != 0 || decoder.sourceStillUp()) {
    }
}

// Start of a frame up to and including its "TSF" comment.
StreamBuilder frameHead() {
    StreamBuilder b;
    b.soi().app0().tsf();
    return b;
}

constexpr const char* NoGoodState = "Tesra decoder failure \\(no_good_state\\)";

TEST(ParserDeathTest, RejectedMarkers) {
    // Every waiting state refuses the markers it does not list; the trailing
    // byte lets the rejection act.
    const Bytes cases[] = {
        StreamBuilder().raw({0xFF, 0xE0, 0x00}).bytes(),                                 // no SOI
        StreamBuilder().soi().tsf().raw({0x00}).bytes(),                                 // COM instead of APP0
        StreamBuilder().soi().app0().segment(0xFE, {'X', 'Y', 'Z'}).raw({0}).bytes(),    // unknown tag
        StreamBuilder().soi().app0().segment(0xFE, {'T', 'S'}).raw({0}).bytes(),         // tag cut short
        frameHead().dqt(0, 1).dqt(1, 1).sos().raw({0}).bytes(),                          // neither SOF0 nor DHT
        frameHead().dqt(0, 1).dqt(1, 1).dht().sof0(16, 16).raw({0}).bytes(),             // SOF0 after DHT
        frameHead().bitmapComment({0}).sof0(16, 16).raw({0}).bytes(),                    // SOF0 after bitmap
        StreamBuilder().fullFrame(16, 16, {1}).app0().raw({0}).bytes(),                  // APP0 after EOI
    };
    for (const Bytes& stream : cases) {
        EXPECT_EXIT(parseAll(stream), ::testing::ExitedWithCode(Fatal), NoGoodState);
    }
}

TEST(ParserDeathTest, FrameBeforeARejectedMarkerIsStillCompleted) {
    const Bytes stream = StreamBuilder().fullFrame(16, 16, {1}).raw({0xFF, 0xC4, 0x00}).bytes();
    EXPECT_EXIT(
        {
            vorc::setStatusMessageHandler(new StandardErrorHandler);
            auto log = std::make_shared<vorctest::CallLog>();
            struct Reporting : vorctest::RecordingBackEnd {
                using RecordingBackEnd::RecordingBackEnd;
                void frameComplete() override { std::fprintf(stderr, "frame complete\n"); }
            };
            vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(stream), new Reporting(log),
                                              new vorctest::RecordingScanDecoder(log));
            decoder.decode(65536);
        },
        ::testing::ExitedWithCode(Fatal), "frame complete\n.*no_good_state");
}

TEST(ParserDeathTest, StuffingOrFillBytesBetweenSegments) {
    EXPECT_EXIT(parseAll(StreamBuilder().raw({0x12, 0xFF, 0x00, 0x34}).bytes()), ::testing::ExitedWithCode(Fatal),
                NoGoodState);
    EXPECT_EXIT(parseAll(frameHead().raw({0xFF, 0xFF, 0xDB, 0x00}).bytes()), ::testing::ExitedWithCode(Fatal),
                NoGoodState);
}

TEST(ParserDeathTest, RestartMarkerInScan) {
    const Bytes stream = frameHead().dqt(0, 1).dqt(1, 1).sof0(16, 16).sos().raw({0x12, 0xFF, 0xD0, 0x34}).bytes();
    EXPECT_EXIT(parseAll(stream), ::testing::ExitedWithCode(Fatal),
                "Tesra decoder failure \\(invalid scan termination\\)");
    EXPECT_EXIT(parseAll(stream, 1), ::testing::ExitedWithCode(Fatal), "invalid scan termination");
}

TEST(ParserDeathTest, PrefetchBufferOverflow) {
    constexpr const char* Overflow = "Tesra decoder failure \\(prefetch buffer overflow\\)";
    EXPECT_EXIT(parseAll(StreamBuilder().soi().bytes(), 0), ::testing::ExitedWithCode(Fatal), Overflow);
    EXPECT_EXIT(parseAll(StreamBuilder().soi().bytes(), -5), ::testing::ExitedWithCode(Fatal), Overflow);
    // A frame bigger than the buffer: the 4 MiB fill up, the next decode fails.
    const Bytes tooBig = frameHead().dqt(0, 1).dqt(1, 1).sof0(16, 16).sos().raw(Bytes(4194304, 0x11)).bytes();
    EXPECT_EXIT(parseAll(tooBig), ::testing::ExitedWithCode(Fatal), Overflow);
}

TEST(ParserDeathTest, SegmentsTooShortForWhatIsReadFromThem) {
    const StreamBuilder tables = StreamBuilder(frameHead()).dqt(0, 1).dqt(1, 1);
    const struct {
        Bytes stream;
        const char* message;
    } cases[] = {
        // Length fields below 2, at any phase of reading the length.
        {StreamBuilder().soi().raw({0xFF, 0xE0, 0x00, 0x01, 0x00}).bytes(), "segment length below 2"},
        {StreamBuilder().soi().raw({0xFF, 0xE0, 0x00, 0x00, 0x00}).bytes(), "segment length below 2"},
        {frameHead().segment(0xDB, Bytes(64, 1)).raw({0}).bytes(), "quantization table segment too short"},
        {frameHead().dqt(0, 1).segment(0xDB, {1}).raw({0}).bytes(), "quantization table segment too short"},
        {StreamBuilder(tables).segment(0xC0, {8, 0, 16, 0}).raw({0}).bytes(), "frame header segment too short"},
        {frameHead().segment(0xFE, Bytes(11, 0)).raw({0}).bytes(), "tile bitmap too short"},
        // 12 bytes plus 2 bitmap bytes suit 16 tiles but not the 4x5 tiles
        // that the frame's own SOF0, after the bitmap, announces.
        {frameHead()
             .bitmapComment({0xFF, 0xFF})
             .dqt(0, 1)
             .dqt(1, 1)
             .sof0(64, 80)
             .sos()
             .scan({1})
             .soi()
             .bytes(),
         "tile bitmap too short"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(parseAll(c.stream), ::testing::ExitedWithCode(Fatal),
                    std::string("!!! Tesra decoder failure \\(") + c.message);
        EXPECT_EXIT(parseAll(c.stream, 1), ::testing::ExitedWithCode(Fatal), c.message);
    }
}

TEST(ParserDeathTest, ShortBitmapIsCaughtBeforeTheSweep) {
    // A 640x480 frame (the default size) with a bitmap of 149 instead of 150 bytes.
    const Bytes stream = frameHead().bitmapComment(Bytes(149, 0xFF)).sos().scan({1}).soi().bytes();
    EXPECT_EXIT(
        {
            vorc::setStatusMessageHandler(new StandardErrorHandler);
            auto log = std::make_shared<vorctest::CallLog>();
            struct Reporting : vorctest::RecordingScanDecoder {
                using RecordingScanDecoder::RecordingScanDecoder;
                void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor*) override {
                    std::fprintf(stderr, "swept\n");
                }
            };
            vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(stream), new vorctest::RecordingBackEnd(log),
                                              new Reporting(log));
            decoder.decode(65536);
        },
        // Nothing is printed between the parser's first message and the failure.
        ::testing::ExitedWithCode(Fatal), "method : none\n!!! Tesra decoder failure \\(tile bitmap too short");
}

}  // namespace
