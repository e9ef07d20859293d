// The framewise parser: frame grammar, callback order, piece-size
// independence, buffer compaction, ownership.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/piece_source.h"
#include "support/recorders.h"
#include "support/recording_scan_decoder.h"
#include "support/stream_builder.h"
#include "vorc/core/framewise_decoder.h"

namespace {

using vorctest::Bytes;
using vorctest::CallLog;
using vorctest::PieceSource;
using vorctest::RecordingBackEnd;
using vorctest::RecordingScanDecoder;
using vorctest::StatusCapture;
using vorctest::StreamBuilder;

struct ParseResult {
    CallLog log;
    std::vector<std::string> messages;
};

// Feeds the stream through a parser, pieces as given, with decode(pull)
// until the source is exhausted, and returns everything that was called.
ParseResult parse(const Bytes& stream, std::vector<size_t> pieces = {}, int pull = 65536) {
    StatusCapture status;
    auto log = std::make_shared<CallLog>();
    {
        vorcFramewiseTesraDecoder decoder(new PieceSource(stream, std::move(pieces)), new RecordingBackEnd(log),
                                          new RecordingScanDecoder(log));
        while (decoder.decode(pull) != 0 || decoder.sourceStillUp()) {
        }
        log->push_back("end");
    }
    return ParseResult{*log, status.messages()};
}

std::string hex(const Bytes& bytes) { return vorctest::hexOf(bytes.data(), bytes.size()); }

std::string table(uint8_t value) { return hex(Bytes(64, value)); }

// A stream that exercises every branch of the grammar, with junk between
// segments and a scan that contains stuffed FF bytes.
struct RichStream {
    Bytes stuffedScan{0x12, 0xFF, 0x00, 0x34, 0xFF, 0x00, 0xFF, 0x00, 0x56};
    Bytes bitmap2 = vorctest::tileBitmap(2, 1, {1});
    Bytes bitmap5 = vorctest::tileBitmap(4, 3, {0, 5, 11});
    Bytes stream;

    RichStream() {
        StreamBuilder b;
        b.raw({0x00, 0x11, 0x22})  // junk before the first SOI
            .soi().app0().k7img().tsf().dqt(0, 10).dqt(1, 11).sof0(32, 16).dht().sos().scan(stuffedScan);
        // Bitmap frame without tables, followed by APP13 and junk.
        b.app13().raw({0x01, 0x02, 0x03}).partialFrame(bitmap2, {0xAA});
        // DHT-only frame without SOF0, with junk between segments.
        b.soi().app0().raw({0x55}).tsf().dqt(0, 12).raw({0x66, 0x77}).dqt(1, 13).dht().dht().sos().scan({0xBB});
        // Bitmap frame with tables and a new size.
        b.soi().app0().tsf().bitmapComment(bitmap5).dqt(0, 14).dqt(1, 15).sof0(64, 48).sos().scan({0xCC});
        // Same size again, full picture after a bitmap frame.
        b.fullFrame(64, 48, {0xDD}, 16);
        // Last frame: only completed by the following SOI.
        b.partialFrame(bitmap5, {0xEE}).soi();
        stream = b.bytes();
    }

    CallLog expected() const {
        return {"Y " + table(10),
                "UV " + table(11),
                "resolution 32x16",
                "sweep 32x16 2x1 bitmap=null scan=" + hex(stuffedScan) + "ffd9",
                "complete",
                "sweep 32x16 2x1 bitmap=" + hex(bitmap2) + " scan=aaffd9",
                "complete",
                "Y " + table(12),
                "UV " + table(13),
                "sweep 32x16 2x1 bitmap=null scan=bbffd9",
                "complete",
                "Y " + table(14),
                "UV " + table(15),
                "resolution 64x48",
                "sweep 64x48 4x3 bitmap=" + hex(bitmap5) + " scan=ccffd9",
                "complete",
                "Y " + table(16),
                "UV " + table(16),
                "sweep 64x48 4x3 bitmap=null scan=ddffd9",
                "complete",
                "sweep 64x48 4x3 bitmap=" + hex(bitmap5) + " scan=eeffd9",
                "complete",
                "end",
                "scan decoder destroyed"};
    }
};

TEST(Parser, SmallestFrameFedByteByByte) {
    const Bytes scan = vorctest::zeroTilesScan(1);
    Bytes stream{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xFE, 0x00, 0x05, 'T', 'S', 'F'};
    for (uint8_t id : {0, 1}) {
        stream.insert(stream.end(), {0xFF, 0xDB, 0x00, 0x43, id});
        stream.insert(stream.end(), 64, static_cast<uint8_t>(id + 1));
    }
    stream.insert(stream.end(), {0xFF, 0xC0, 0x00, 0x07, 0x08, 0x00, 0x10, 0x00, 0x10, 0xFF, 0xDA, 0x00, 0x02});
    stream.insert(stream.end(), scan.begin(), scan.end());
    stream.insert(stream.end(), {0xFF, 0xD9});

    // Without the next frame's SOI nothing is handed on.
    ParseResult alone = parse(stream, {}, 1);
    EXPECT_EQ(alone.log, (CallLog{"Y " + table(1), "UV " + table(2), "end", "scan decoder destroyed"}));

    stream.insert(stream.end(), {0xFF, 0xD8});
    ParseResult run = parse(stream, {}, 1);
    EXPECT_EQ(run.log, (CallLog{"Y " + table(1), "UV " + table(2), "resolution 16x16",
                                "sweep 16x16 1x1 bitmap=null scan=" + hex(scan) + "ffd9", "complete", "end",
                                "scan decoder destroyed"}));
    EXPECT_EQ(run.messages, (std::vector<std::string>{"FramewiseTesraDecoder : acceleration method : none"}));
}

TEST(Parser, GrammarAndCallbackOrder) {
    RichStream rich;
    EXPECT_EQ(parse(rich.stream).log, rich.expected());
}

TEST(Parser, SameCallbacksForEveryPieceSize) {
    RichStream rich;
    const CallLog expected = rich.expected();
    EXPECT_EQ(parse(rich.stream, {}, 1).log, expected) << "decode(1)";
    for (unsigned seed = 1; seed <= 20; ++seed) {
        EXPECT_EQ(parse(rich.stream, PieceSource::randomPieces(rich.stream.size(), 1 + seed * 3, seed)).log, expected)
            << "seed " << seed;
    }
    // Two pieces split at every position: every marker, length field,
    // stuffing pair and closing FF D9 is cut somewhere.
    for (size_t cut = 1; cut < rich.stream.size(); ++cut) {
        ASSERT_EQ(parse(rich.stream, {cut, rich.stream.size()}).log, expected) << "cut at " << cut;
    }
}

TEST(Parser, SizeDefaultsAndResolutionReports) {
    StreamBuilder b;
    // No SOF0 at all: 640x480. Then SOF0 with width 0: 640 wide as well.
    b.soi().app0().tsf().dqt(0, 1).dqt(1, 1).dht().sos().scan({0x01});
    b.soi().app0().tsf().dqt(0, 1).dqt(1, 1).sof0(0, 480).sos().scan({0x02});
    b.fullFrame(704, 576, {0x03}).partialFrame(vorctest::tileBitmap(44, 36, {}), {0x04}).soi();
    CallLog sizes;
    for (const std::string& line : parse(b.bytes()).log) {
        if (line.rfind("resolution", 0) == 0 || line.rfind("sweep", 0) == 0) sizes.push_back(line.substr(0, 22));
    }
    EXPECT_EQ(sizes, (CallLog{"resolution 640x480", "sweep 640x480 40x30 bi", "sweep 640x480 40x30 bi",
                              "resolution 704x576", "sweep 704x576 44x36 bi", "sweep 704x576 44x36 bi"}));
}

TEST(Parser, CompactsTheBufferAfterEachFrame) {
    // Three frames of 1.5 MiB each only fit the 4 MiB buffer one at a time.
    const Bytes bigScan(3 << 19, 0x5A);
    StreamBuilder b;
    for (int i = 0; i < 3; ++i) b.fullFrame(16, 16, bigScan);
    b.soi();
    int sweeps = 0;
    for (const std::string& line : parse(b.bytes(), {1000003}).log) {
        if (line.rfind("sweep 16x16 1x1 bitmap=null scan=5a5a", 0) == 0 &&
            line.size() == std::string("sweep 16x16 1x1 bitmap=null scan=").size() + 2 * (bigScan.size() + 2)) {
            ++sweeps;
        }
    }
    EXPECT_EQ(sweeps, 3);
}

TEST(Parser, OwnsAndDestroysItsPartsInOrder) {
    auto log = std::make_shared<CallLog>();
    struct LoggingBackEnd : RecordingBackEnd {
        explicit LoggingBackEnd(std::shared_ptr<CallLog> l) : RecordingBackEnd(l), log(std::move(l)) {}
        ~LoggingBackEnd() override { log->push_back("back end destroyed"); }
        std::shared_ptr<CallLog> log;
    };
    {
        StatusCapture status;
        const std::string longName(150, 'x');
        vorcFramewiseTesraDecoder decoder(new PieceSource({}, {}, log), new LoggingBackEnd(log),
                                          new RecordingScanDecoder(log, longName.c_str()));
        // The announced method name is cut to 99 characters.
        ASSERT_EQ(status.messages().size(), 1u);
        EXPECT_EQ(status.messages()[0], "FramewiseTesraDecoder : acceleration method : " + std::string(99, 'x'));
        EXPECT_EQ(decoder.decode(10), 0);
        EXPECT_FALSE(decoder.sourceStillUp());
    }
    EXPECT_EQ(*log, (CallLog{"scan decoder destroyed", "back end destroyed", "source destroyed"}));
}

}  // namespace
