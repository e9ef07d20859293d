// The framewise parser: frame grammar, callback order, independence of piece
// sizes and decode call sizes, the search for the end of long scans against
// its serial reference, buffer compaction, and the fatal stream errors, each
// of which ends the process with status 666 (154 as the parent sees it)
// after its message.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "support/piece_source.h"
#include "support/recording_scan_decoder.h"
#include "support/stream_builder.h"
#include "vorc/backends/default_backend.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/dsp/kernel_table.h"
#include "vorc/core/status_messages.h"

using vorctest::Bytes;
using vorctest::CallLog;
using vorctest::PieceSource;
using vorctest::RecordingScanDecoder;
using vorctest::StreamBuilder;

// Feeds the stream through a parser, pieces as given, with decode(pull)
// until the source is exhausted, and returns everything that was called.
CallLog parse(const Bytes& stream, std::vector<size_t> pieces = {}, int pull = 65536) {
    vorctest::StatusCapture quiet;
    auto log = std::make_shared<CallLog>();
    {
        vorcFramewiseTesraDecoder decoder(new PieceSource(stream, std::move(pieces)),
                                          new vorctest::RecordingBackEnd(log),
                                          new RecordingScanDecoder(log));
        while (decoder.decode(pull) != 0 || decoder.sourceStillUp()) {
        }
        log->push_back("end");
    }
    return *log;
}

std::string hex(const Bytes& bytes) { return vorctest::hexOf(bytes.data(), bytes.size()); }
std::string table(uint8_t value) { return hex(Bytes(64, value)); }
// Start of a frame up to and including its "TSF" comment, then both tables.
StreamBuilder head() { return StreamBuilder().soi().app0().tsf(); }
StreamBuilder tables(uint8_t y = 1, uint8_t uv = 1) { return head().dqt(0, y).dqt(1, uv); }

TEST(Parser, GrammarAndCallbackOrderForEveryPieceSize) {
    const Bytes stuffed{0x12, 0xFF, 0x00, 0x34, 0xFF, 0x00, 0xFF, 0x00, 0x56};
    const Bytes bitmap2 = vorctest::tileBitmap(2, 1, {1});
    const Bytes bitmap5 = vorctest::tileBitmap(4, 3, {0, 5, 11});
    StreamBuilder b;
    // Junk before the first SOI, the optional "#:K7IMG" comment, SOF0 and DHT.
    b.raw({0x00, 0x11, 0x22}).soi().app0().k7img().tsf().dqt(0, 10).dqt(1, 11);
    b.sof0(32, 16).dht().sos().scan(stuffed);
    // Bitmap frame without tables, after APP13 and junk.
    b.app13().raw({0x01, 0x02, 0x03}).partialFrame(bitmap2, {0xAA});
    // DHT-only frame without SOF0 (the size stays), with junk between segments.
    b.soi().app0().raw({0x55}).tsf().dqt(0, 12).raw({0x66, 0x77}).dqt(1, 13);
    b.dht().dht().sos().scan({0xBB});
    // Bitmap frame with tables and a new size; then the same size again.
    b.raw(head().bitmapComment(bitmap5).dqt(0, 14).dqt(1, 15).sof0(64, 48).bytes());
    b.sos().scan({0xCC}).fullFrame(64, 48, {0xDD}, 16);
    // The last frame is only completed by the following SOI.
    b.partialFrame(bitmap5, {0xEE}).soi();
    const Bytes& stream = b.bytes();
    CallLog expected;
    auto frame = [&](const CallLog& calls) {
        expected.insert(expected.end(), calls.begin(), calls.end());
    };
    frame({"Y " + table(10), "UV " + table(11), "resolution 32x16"});
    frame({"sweep 32x16 2x1 bitmap=null scan=" + hex(stuffed) + "ffd9", "complete"});
    frame({"sweep 32x16 2x1 bitmap=" + hex(bitmap2) + " scan=aaffd9", "complete"});
    frame({"Y " + table(12), "UV " + table(13)});
    frame({"sweep 32x16 2x1 bitmap=null scan=bbffd9", "complete"});
    frame({"Y " + table(14), "UV " + table(15), "resolution 64x48"});
    frame({"sweep 64x48 4x3 bitmap=" + hex(bitmap5) + " scan=ccffd9", "complete"});
    frame({"Y " + table(16), "UV " + table(16), "sweep 64x48 4x3 bitmap=null scan=ddffd9"});
    frame({"complete", "sweep 64x48 4x3 bitmap=" + hex(bitmap5) + " scan=eeffd9", "complete"});
    frame({"end", "scan decoder destroyed"});
    EXPECT_EQ(parse(stream), expected) << "one piece";
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const auto pieces = PieceSource::randomPieces(stream.size(), 1 + seed * 3, seed);
        EXPECT_EQ(parse(stream, pieces), expected) << seed;
    }
    // Two pieces split at every position: every marker, length field,
    // stuffing pair and closing FF D9 is cut somewhere. Decode calls of every
    // size, decode(1) first: what the next frame has collected when a frame
    // completes inside a call moves to the buffer start in the next call.
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        ASSERT_EQ(parse(stream, {}, int(cut)), expected) << "decode(" << cut << ")";
        ASSERT_EQ(parse(stream, {cut, stream.size()}), expected) << "cut at " << cut;
    }
}

// Entropy-coded bytes with every data byte FF stuffed, dense in FF 00 pairs
// so that they fall on every lane of the 16-byte search and on piece edges.
Bytes stuffedScan(size_t length, std::mt19937& random) {
    Bytes scan;
    while (scan.size() < length) {
        const auto byte = static_cast<uint8_t>(random() % 3 == 0 ? 0xFF : random());
        scan.push_back(byte);
        if (byte == 0xFF) scan.push_back(0x00);
    }
    return scan;
}

// The search runs in buffers exactly as large as the range, so that a read
// past it shows under AddressSanitizer: every length up to 300 (several of
// the widest steps and every tail after them) with FF and 00 in every
// density, so that markers, stuffing pairs and lone FFs fall on every lane
// and on the range's last byte.
TEST(ScanMarkerSearch, EveryTableAgreesWithTheReference) {
    const auto reference = vorc::dsp::referenceKernels().findScanMarker;
    const struct {
        Bytes range;
        size_t marker;
    } known[] = {{{}, 0}, {{0xFF}, 0}, {{0xFF, 0x00}, 2}, {{0x12, 0xFF, 0x00, 0xFF, 0xD9}, 3},
                 {{0x12, 0xFF, 0xFF, 0x00}, 1}, {{0xFF, 0x00, 0x00, 0xFF}, 3}};
    for (const auto& k : known) {
        const unsigned char* begin = k.range.data();
        EXPECT_EQ(reference(begin, begin + k.range.size()) - begin, ptrdiff_t(k.marker)) << hex(k.range);
    }
    std::mt19937 random(9);
    for (const unsigned ffPercent : {0u, 3u, 25u, 50u, 90u}) {
        for (size_t length = 0; length <= 300; ++length) {
            for (int round = 0; round < 30; ++round) {
                const auto range = std::make_unique<unsigned char[]>(length);
                for (size_t i = 0; i < length; ++i) {
                    const unsigned draw = random() % 100;
                    range[i] = draw < ffPercent ? 0xFF : draw % 2 == 0 ? 0x00 : static_cast<unsigned char>(random());
                }
                const unsigned char* begin = range.get();
                const unsigned char* end = begin + length;
                for (const vorc::dsp::KernelTable* table : vorc::dsp::supportedKernelTables()) {
                    ASSERT_EQ(table->findScanMarker(begin, end), reference(begin, end))
                        << table->name << " " << hex(Bytes(begin, end));
                }
            }
        }
    }
}

TEST(Parser, LongScansInPiecesOfAnySize) {
    std::mt19937 random(5);
    for (const size_t length : {15, 16, 17, 31, 33, 64, 200, 5000}) {
        const Bytes first = stuffedScan(length, random), second = stuffedScan(length + 1, random);
        const Bytes bitmap = vorctest::tileBitmap(2, 1, {1});
        const Bytes stream =
            StreamBuilder().fullFrame(32, 16, first).app13().partialFrame(bitmap, second).soi().bytes();
        const CallLog whole = parse(stream);
        ASSERT_EQ(std::count(whole.begin(), whole.end(), "sweep 32x16 2x1 bitmap=null scan=" + hex(first) + "ffd9"), 1);
        ASSERT_EQ(std::count(whole.begin(), whole.end(),
                             "sweep 32x16 2x1 bitmap=" + hex(bitmap) + " scan=" + hex(second) + "ffd9"),
                  1);
        EXPECT_EQ(parse(stream, {1}), whole) << "byte by byte, " << length;
        for (unsigned seed = 1; seed <= 10; ++seed)
            EXPECT_EQ(parse(stream, PieceSource::randomPieces(stream.size(), 1 + seed * 7, seed)), whole) << seed;
        if (length > 64) continue;
        for (size_t cut = 1; cut < stream.size(); ++cut)
            ASSERT_EQ(parse(stream, {cut, stream.size()}), whole) << "cut at " << cut << ", " << length;
    }
}

// Under SkipFrame a marker inside a long scan damages its frame wherever it
// lies and however the stream is cut; the error is placed right after it.
TEST(Parser, MarkerInALongScanUnderSkipFrame) {
    std::mt19937 random(3);
    const Bytes after = StreamBuilder().fullFrame(16, 16, {0x12}).app13().bytes();
    for (size_t position : {0, 14, 15, 16, 17, 40, 47, 63, 64, 100}) {
        for (const uint8_t code : {0xD0, 0xFF}) {
            Bytes scan = stuffedScan(128, random);
            scan.resize(position);
            if (!scan.empty() && scan.back() == 0xFF) scan.back() = 0x01;
            scan.insert(scan.end(), {0xFF, code, 0x01, 0x02});
            const Bytes start = StreamBuilder().fullFrame(16, 16, {}).bytes();
            Bytes stream(start.begin(), start.end() - 2);
            const size_t marker = stream.size() + position;
            stream.insert(stream.end(), scan.begin(), scan.end());
            stream.insert(stream.end(), after.begin(), after.end());
            for (const std::vector<size_t>& pieces : std::vector<std::vector<size_t>>{{}, {1}, {7, 16, 3}}) {
                vorctest::StatusCapture quiet;
                auto log = std::make_shared<CallLog>();
                vorcFramewiseTesraDecoder decoder(new PieceSource(stream, pieces), new vorctest::RecordingBackEnd(log),
                                                  new RecordingScanDecoder(log));
                decoder.setStreamErrorPolicy(vorc::StreamErrorPolicy::SkipFrame);
                while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
                }
                SCOPED_TRACE("marker " + std::to_string(code) + " at " + std::to_string(position));
                ASSERT_TRUE(decoder.lastStreamError().has_value());
                EXPECT_EQ(decoder.lastStreamError()->streamOffset, marker + 2);
                EXPECT_EQ(decoder.damagedFrames(), 1u);
                EXPECT_EQ(decoder.framesHandedOn(), 2u);
            }
        }
    }
}

TEST(Parser, BufferCompaction) {
    // Three frames of 1.5 MiB each only fit the 4 MiB buffer one at a time.
    const Bytes bigScan(3 << 19, 0x5A);
    StreamBuilder big;
    for (int i = 0; i < 3; ++i) big.fullFrame(16, 16, bigScan);
    const CallLog log = parse(big.soi().bytes(), {1000003});
    const std::string sweep = "sweep 16x16 1x1 bitmap=null scan=" + hex(bigScan) + "ffd9";
    EXPECT_EQ(std::count(log.begin(), log.end(), sweep), 3);
}

// Death tests match standard error: status messages go there in the child,
// and so does every scan sweep.
struct StandardErrorHandler : vorcStatusMessageHandler {
    void sendStatusMsg(const char* msg, void*) override { std::fprintf(stderr, "%s\n", msg); }
};
struct SweepReporter : RecordingScanDecoder {
    SweepReporter() : RecordingScanDecoder(std::make_shared<CallLog>()) {}
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor*) override {
        std::fputs("swept\n", stderr);
    }
};

void parseOrDie(const Bytes& stream, int pull) {
    vorc::setStatusMessageHandler(new StandardErrorHandler);
    vorcFramewiseTesraDecoder decoder(new PieceSource(stream), new vorcDefaultTesraDecoderBackEnd,
                                      new SweepReporter);
    while (decoder.decode(pull) != 0 || decoder.sourceStillUp()) {
    }
}

TEST(ParserDeathTest, FatalStreamErrors) {
    const std::string failure = "!!! Tesra decoder failure \\(", bad = failure + "no_good_state\\)";
    const std::string shortDqt = failure + "quantization table segment too short";
    const std::string shortLength = failure + "segment length below 2";
    const std::string shortBitmap = failure + "tile bitmap too short";
    const std::string overflow = failure + "prefetch buffer overflow\\)";
    const Bytes frame = StreamBuilder().fullFrame(16, 16, {1}).bytes();
    const Bytes bitmap4x4 = head().bitmapComment({0xFF, 0xFF}).dqt(0, 1).dqt(1, 1).bytes();
    const struct {
        Bytes stream;
        std::string message;
        std::vector<int> pulls = {65536, 1};
    } cases[] = {
        // Each waiting state refuses the markers it does not list (the
        // trailing byte lets the rejection act): no SOI, COM instead of
        // APP0, an unknown or cut tag, neither SOF0 nor DHT, SOF0 after DHT
        // or after a bitmap, APP0 after EOI.
        {StreamBuilder().raw({0xFF, 0xE0, 0x00}).bytes(), bad},
        {StreamBuilder().soi().tsf().raw({0x00}).bytes(), bad},
        {StreamBuilder().soi().app0().segment(0xFE, {'X', 'Y', 'Z'}).raw({0}).bytes(), bad},
        {StreamBuilder().soi().app0().segment(0xFE, {'T', 'S'}).raw({0}).bytes(), bad},
        {tables().sos().raw({0}).bytes(), bad},
        {tables().dht().sof0(16, 16).raw({0}).bytes(), bad},
        {head().bitmapComment({0}).sof0(16, 16).raw({0}).bytes(), bad},
        {StreamBuilder().raw(frame).app0().raw({0}).bytes(), bad},
        // The frame before a rejected marker is still completed.
        {StreamBuilder().raw(frame).raw({0xFF, 0xC4, 0x00}).bytes(), "tiles OK ------\n" + bad},
        // Stuffing or fill bytes between segments; a restart marker in a scan.
        {StreamBuilder().raw({0x12, 0xFF, 0x00, 0x34}).bytes(), bad},
        {head().raw({0xFF, 0xFF, 0xDB, 0x00}).bytes(), bad},
        {tables().sof0(16, 16).sos().raw({0x12, 0xFF, 0xD0, 0x34}).bytes(),
         failure + "invalid scan termination\\)"},
        // The same, and fill bytes, on either side of a 16-byte step of a long scan.
        {tables().sof0(16, 16).sos().raw(Bytes(15, 0x12)).raw({0xFF, 0xD0, 0x34}).bytes(),
         failure + "invalid scan termination\\)"},
        {tables().sof0(16, 16).sos().raw(Bytes(16, 0x12)).raw({0xFF, 0xFF, 0x00}).bytes(),
         failure + "invalid scan termination\\)"},
        {tables().sof0(16, 16).sos().raw(Bytes(40, 0x12)).raw({0xFF, 0x00, 0xFF, 0xD7}).raw(Bytes(40, 0)).bytes(),
         failure + "invalid scan termination\\)"},
        // decode(0) or less, and a frame that fills the 4 MiB buffer.
        {StreamBuilder().soi().bytes(), overflow, {0, -5}},
        {tables().sof0(16, 16).sos().raw(Bytes(4194304, 0x11)).bytes(), overflow, {65536}},
        // Segments too short for what is read from them; length fields
        // below 2 at any phase of reading the length.
        {StreamBuilder().soi().raw({0xFF, 0xE0, 0x00, 0x01, 0x00}).bytes(), shortLength},
        {StreamBuilder().soi().raw({0xFF, 0xE0, 0x00, 0x00, 0x00}).bytes(), shortLength},
        {head().segment(0xDB, Bytes(64, 1)).raw({0}).bytes(), shortDqt},
        {head().dqt(0, 1).segment(0xDB, {1}).raw({0}).bytes(), shortDqt},
        {tables().segment(0xC0, {8, 0, 16, 0}).raw({0}).bytes(),
         failure + "frame header segment too short"},
        {head().segment(0xFE, Bytes(11, 0)).raw({0}).bytes(), shortBitmap},
        // 12 bytes plus 2 bitmap bytes suit 16 tiles but not the 4x5 tiles
        // that the frame's own SOF0, after the bitmap, announces.
        {StreamBuilder().raw(bitmap4x4).sof0(64, 80).sos().scan({1}).soi().bytes(), shortBitmap},
        // A 640x480 frame (the default size) with a bitmap of 149 instead of
        // 150 bytes fails before the sweep, right after the parser's first line.
        {head().bitmapComment(Bytes(149, 0xFF)).sos().scan({1}).soi().bytes(),
         "method : none\n" + shortBitmap},
    };
    for (const auto& c : cases) {
        for (int pull : c.pulls) {
            EXPECT_EXIT(parseOrDie(c.stream, pull), ::testing::ExitedWithCode(154), c.message)
                << "case " << (&c - cases) << ", pull " << pull;
        }
    }
}
