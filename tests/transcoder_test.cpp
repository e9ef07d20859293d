// The transcoder end to end: every image it writes is checked by libjpeg,
// both for clean decoding and for carrying exactly the picture's
// coefficients (the source JPEGs' for full frames, the coded tiles' new and
// the kept tiles' old ones for partial frames), and against the reference
// transcoder, byte for byte; failed frames, tiles whose bits cannot be kept
// as they came, a tile that ends inside the end marker, an image of more
// than 1 MiB, the exact one-tile image and two transcoders side by side. Its
// JPEG writing: block coding of worked examples, stuffing, padding and
// bit-aligned copies, the DC range limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <iterator>
#include <set>

#include "support/libjpeg_helpers.h"
#include "support/piece_source.h"
#include "support/recorders.h"
#include "support/reference_transcoder.h"
#include "vorc/core/fatal_error.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/dsp/kernel_table.h"
#include "vorc/jpeg/block_encoder.h"
#include "vorc/jpeg/scan_bit_reader.h"
#include "vorc/transcode/tile_bit_store.h"
#include "vorc/transcode/jpeg_converter.h"

using namespace vorctest;
using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;
using Frame = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;
using JpegImages = std::shared_ptr<std::vector<Bytes>>;

// Keeps every complete image in a list that outlives it (the transcoder
// destroys its receiver), and the sizes of the pieces it came in.
struct Collector : vorcJPEGReceiver {
    explicit Collector(JpegImages images, std::shared_ptr<std::vector<int>> pieces = nullptr)
        : images(std::move(images)), pieces(std::move(pieces)) {}
    void beginFrame() override { current.clear(); }
    void endFrame() override { images->push_back(current); }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        current.insert(current.end(), bytes, bytes + count);
        if (pieces != nullptr) pieces->push_back(count);
    }
    JpegImages images;
    std::shared_ptr<std::vector<int>> pieces;
    Bytes current;
};

// Checks that libjpeg decodes an image without a warning and reads exactly
// the expected size, quantisation tables and coefficients from it.
void expectImage(const Bytes& jpeg, const JpegCoefficients& expected, const std::string& what) {
    decodeJpegStrictly(jpeg, what);
    const JpegCoefficients read = readJpegCoefficients(jpeg);
    EXPECT_EQ(read.width, expected.width) << what;
    EXPECT_EQ(read.height, expected.height) << what;
    EXPECT_EQ(read.quant, expected.quant) << what;
    EXPECT_TRUE(read.tiles == expected.tiles) << what;
}

// Sparse blocks: DC in -600..600, one AC coefficient in seven set (-40..40).
TileBlocks randomTile(std::mt19937& random) {
    std::uniform_int_distribution<int> value(-600, 600);
    TileBlocks tile;
    for (Block& block : tile)
        for (size_t k = 0; k < 64; ++k) {
            const int v = value(random);
            block[k] = static_cast<int16_t>(k == 0 ? v : v % 7 == 0 ? v / 15 : 0);
        }
    return tile;
}

// Dense blocks: every coefficient in -1023..1023, DC in -511..511.
TileBlocks denseTile(std::mt19937& random) {
    std::uniform_int_distribution<int> value(-1023, 1023);
    TileBlocks tile;
    for (Block& block : tile)
        for (size_t i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(value(random) / (i == 0 ? 2 : 1));
    return tile;
}

// Codes the given tiles of a model picture as one scan.
Bytes scanOf(const std::vector<TileBlocks>& picture, const std::vector<int>& tiles) {
    ScanWriter writer;
    for (int k : tiles)
        for (int b = 0; b < 6; ++b) writer.block(b < 4 ? 0 : b - 3, picture[size_t(k)][size_t(b)]);
    return writer.finish();
}

// Full frames made from libjpeg JPEGs, then a picture of random tiles and
// partial frames updating some of them. A second transcoder takes turns with
// the first on the libjpeg frames in reverse order. Both streams go in small
// pieces, so frames straddle the parser's pulls.
TEST(Transcoder, ImagesCarryTheSourceJpegsOrThePicturesCoefficients) {
    StatusCapture status;
    const Bytes jpegs[] = {compressJpeg(syntheticPicture(96, 64, false, 1), 75),
                           compressJpeg(syntheticPicture(96, 64, false, 2), 40),
                           compressJpeg(syntheticPicture(300, 70, false, 3), 90)};
    std::vector<JpegCoefficients> expected[2];
    StreamBuilder streams[2];
    for (int i = 0; i < 6; ++i) {
        const Bytes& jpeg = jpegs[i < 3 ? i : 5 - i];
        streams[i / 3].raw(jpegToTesraFrame(jpeg));
        expected[i / 3].push_back(readJpegCoefficients(jpeg));
    }
    std::mt19937 random(3);
    std::vector<TileBlocks> model(12);  // 4 x 3 tiles
    JpegCoefficients picture{64, 48, {}, {}, {}};
    for (auto& table : picture.quant) table.fill(12);
    for (TileBlocks& tile : model) tile = randomTile(random);
    streams[0].fullFrame(64, 48, scanOf(model, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), 12);
    expected[0].push_back((picture.tiles = model, picture));
    for (const std::vector<int>& coded :
         std::vector<std::vector<int>>{{1, 5, 6, 11}, {}, {0}, {2, 3, 4, 7, 8, 9, 10}}) {
        for (int k : coded) model[static_cast<size_t>(k)] = randomTile(random);
        streams[0].partialFrame(tileBitmap(4, 3, coded), scanOf(model, coded));
        expected[0].push_back((picture.tiles = model, picture));
    }
    // Decoders 2 and 3: the reference transcoder on the same streams.
    std::unique_ptr<vorcFramewiseTesraDecoder> decoders[4];
    JpegImages images[4];
    std::shared_ptr<std::vector<int>> pieces[4];
    const Bytes bytes[2] = {streams[0].app13().bytes(), streams[1].app13().bytes()};
    for (int t = 0; t < 4; ++t) {
        images[t] = std::make_shared<std::vector<Bytes>>();
        pieces[t] = std::make_shared<std::vector<int>>();
        vorcJPEGReceiver* collector = new Collector(images[t], pieces[t]);
        decoders[t] = std::make_unique<vorcFramewiseTesraDecoder>(
            new PieceSource(bytes[t % 2], {977}),
            new RecordingBackEnd(std::make_shared<CallLog>()),
            t < 2 ? static_cast<vorcFramewiseTesraScanDecoder*>(new Converter(collector))
                  : new ReferenceTranscoder(collector));
    }
    for (bool busy = true; busy;) {
        busy = false;
        for (auto& decoder : decoders)
            busy = decoder->decode(65536) != 0 || decoder->sourceStillUp() || busy;
    }
    for (int t = 0; t < 2; ++t) {
        ASSERT_EQ(images[t]->size(), expected[t].size());
        for (size_t i = 0; i < expected[t].size(); ++i)
            expectImage((*images[t])[i], expected[t][i],
                        std::to_string(t) + "/" + std::to_string(i));
        EXPECT_TRUE(*images[t] == *images[t + 2]) << "against the reference, stream " << t;
        // Segment by segment, as receivers have always had them.
        EXPECT_EQ(*pieces[t], *pieces[t + 2]) << "against the reference, stream " << t;
    }
}

// Direct sweeps, for scans the parser could not deliver; the reference
// transcoder makes the same sweeps beside it.
struct Sweeper {
    JpegImages images = std::make_shared<std::vector<Bytes>>();
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    RecordingBackEnd backEnd{log};
    Converter converter{new Collector(images)};
    JpegImages referenceImages = std::make_shared<std::vector<Bytes>>();
    std::shared_ptr<CallLog> referenceLog = std::make_shared<CallLog>();
    RecordingBackEnd referenceBackEnd{referenceLog};
    ReferenceTranscoder reference{new Collector(referenceImages)};

    Sweeper() {
        converter.setBackEnd(&backEnd);
        reference.setBackEnd(&referenceBackEnd);
    }
    ~Sweeper() { EXPECT_TRUE(*images == *referenceImages) << "against the reference"; }

    // With endMarker the scan ends in FF D9, as the parser delivers it; an
    // empty bitmap codes every tile. Filler bytes after the tiles give the
    // fast readers room to take them.
    void sweep(int width, int height, Bytes scan, bool endMarker = true, Bytes bitmap = {}, size_t filler = 0) {
        scan.insert(scan.end(), filler, 0x5A);
        if (endMarker) scan.insert(scan.end(), {0xFF, 0xD9});
        Frame frame;
        frame.reset(width, height);
        frame.scanBytes = scan.empty() ? nullptr : scan.data();
        frame.scanLength = static_cast<int32_t>(scan.size());
        frame.tileBitmap = bitmap.empty() ? nullptr : bitmap.data();
        converter.performScanSweep(&frame);
        if (withReference) reference.performScanSweep(&frame);
    }
    bool withReference = true;
};

// Frames of hundreds of tiles, whose walk ahead takes a second walker from
// the middle of the scan: clean ones, ones with a tile coded otherwise than
// an encoder codes it or an invalid code just after the middle, and copies
// with flipped bits. Images, back-end calls and skipped stream errors must
// be the reference's, frame after frame.
TEST(Transcoder, FramesOfHundredsOfTilesWithFaultsAfterTheMiddle) {
    StatusCapture status;
    const vorc::detail::SkipStreamErrors skip(true);
    std::mt19937 random(23);
    Sweeper s;
    const int columns = 20, rows = 15;
    std::vector<TileBlocks> model(size_t(columns * rows));
    for (TileBlocks& tile : model) tile = randomTile(random);
    std::vector<int> all(model.size());
    for (size_t k = 0; k < all.size(); ++k) all[k] = int(k);
    // The scan of `coded`, the tile at `odd` (if any) starting with a block
    // whose ZRL leads only to its end, or with an invalid code.
    const auto scanWith = [&](const std::vector<int>& coded, int odd, bool invalid) {
        ScanWriter writer;
        for (int k : coded) {
            for (int b = 0; b < 6; ++b) {
                if (k == odd && b == 0) {
                    writer.bits(0b00, 2);  // DC difference 0
                    if (invalid) writer.bits(0xFFFF, 16);
                    writer.bits(0x7F9, 11);  // ZRL
                    writer.bits(0b1010, 4);  // EOB
                    continue;
                }
                writer.block(b < 4 ? 0 : b - 3, model[size_t(k)][size_t(b)]);
            }
        }
        return writer.finish();
    };
    std::vector<Bytes> scans;
    std::vector<Bytes> bitmaps;
    scans.push_back(scanWith(all, -1, false));
    bitmaps.push_back({});
    for (int frame = 0; frame < 24; ++frame) {
        std::vector<int> coded;
        for (int k : all)
            if (random() % 3 != 0) coded.push_back(k);
        const int odd = coded[coded.size() / 2 + random() % 4];
        // A DC step of 2047 from Y0 to Y1, which has no code an encoder
        // writes: the image cannot be written.
        const TileBlocks kept = model[size_t(odd)];
        if (frame == 9) {
            model[size_t(odd)][0][0] = -1024;
            model[size_t(odd)][1][0] = 1023;
        }
        Bytes scan = scanWith(coded, frame % 3 == 0 ? -1 : odd, frame % 3 == 2);
        if (frame % 4 == 3) {
            for (int flip = 0; flip < 3; ++flip) {
                const size_t bit = random() % (scan.size() * 8);
                scan[bit / 8] ^= uint8_t(0x80 >> bit % 8);
            }
        }
        model[size_t(odd)] = kept;
        scans.push_back(scan);
        bitmaps.push_back(tileBitmap(columns, rows, coded));
    }
    for (size_t frame = 0; frame < scans.size(); ++frame) {
        Bytes scan = scans[frame];
        scan.insert(scan.end(), {0xFF, 0xD9});
        Frame descriptor;
        descriptor.reset(columns * 16, rows * 16);
        descriptor.scanBytes = scan.data();
        descriptor.scanLength = static_cast<int32_t>(scan.size());
        descriptor.tileBitmap = bitmaps[frame].empty() ? nullptr : bitmaps[frame].data();
        bool skipped[2] = {false, false};
        int t = 0;
        for (vorcFramewiseTesraScanDecoder* transcoder :
             {static_cast<vorcFramewiseTesraScanDecoder*>(&s.converter),
              static_cast<vorcFramewiseTesraScanDecoder*>(&s.reference)}) {
            try {
                transcoder->performScanSweep(&descriptor);
            } catch (const vorc::detail::StreamErrorSkipped&) {
                skipped[t] = true;
            }
            ++t;
        }
        EXPECT_EQ(skipped[0], skipped[1]) << "frame " << frame;
        if (frame == 10) EXPECT_TRUE(skipped[0]);
        EXPECT_EQ(*s.log, *s.referenceLog) << "frame " << frame;
        ASSERT_EQ(s.images->size(), s.referenceImages->size()) << "frame " << frame;
    }
    EXPECT_GE(s.images->size(), 10u);
}

TEST(Transcoder, FailedFramesWriteNothingButKeepTheirDecodedTiles) {
    StatusCapture status;
    std::mt19937 random(5);
    Sweeper s;
    std::vector<TileBlocks> next(3);
    for (TileBlocks& tile : next) tile = randomTile(random);
    // A scan that runs out inside tile 1, without an end marker.
    const Bytes full = scanOf(next, {0, 1, 2});
    size_t cut = scanOf(next, {0}).size() + 3;
    while (full[cut - 1] == 0xFF) ++cut;
    s.sweep(48, 16, Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut)), false);
    EXPECT_TRUE(s.images->empty());
    EXPECT_EQ(s.log->back(), "error");

    // A block whose zero runs pass its end: tile 2 fails after tile 0 is in.
    ScanWriter broken;
    for (size_t b = 0; b < 6; ++b) broken.block(b < 4 ? 0 : int(b) - 3, next[0][b]);
    broken.bits(0, 2);  // luminance DC difference 0
    for (int i = 0; i < 4; ++i) broken.bits(0x7F9, 11);
    s.log->clear();
    status.clear();
    s.sweep(48, 16, broken.finish(), true, tileBitmap(3, 1, {0, 2}));
    EXPECT_TRUE(s.images->empty());
    EXPECT_TRUE(status.contains("too many AC coeffs!"));
    EXPECT_EQ(*s.log, (CallLog{"received", "error"}));

    // The next good frame shows tile 0 as decoded before the failure.
    s.sweep(48, 16, {}, true, tileBitmap(3, 1, {}));
    ASSERT_EQ(s.images->size(), 1u);
    decodeJpegStrictly((*s.images)[0], "after failure");
    EXPECT_EQ(readJpegCoefficients((*s.images)[0]).tiles.at(0), next[0]);

    // Skipped as damaged, an invalid codeword well before the end of the
    // scan leaves tile 1's first block as the reference leaves it: the codes
    // before it decoded, the rest of the block as it was. The next image
    // shows it.
    ScanWriter invalid;
    invalid.bits(0, 2);       // luminance DC difference 0
    invalid.bits(0b001, 3);   // AC: one coefficient of size 1, value 1
    invalid.bits(0xFFFF, 16);  // no code
    for (int i = 0; i < 256; ++i) invalid.bits(0xFFFF, 16);
    Bytes scan = invalid.finish();
    scan.insert(scan.end(), {0xFF, 0xD9});
    Frame frame;
    frame.reset(48, 16);
    frame.scanBytes = scan.data();
    frame.scanLength = static_cast<int32_t>(scan.size());
    Bytes bitmap = tileBitmap(3, 1, {1});
    frame.tileBitmap = bitmap.data();
    {
        const vorc::detail::SkipStreamErrors skip(true);
        for (vorcFramewiseTesraScanDecoder* transcoder :
             {static_cast<vorcFramewiseTesraScanDecoder*>(&s.converter),
              static_cast<vorcFramewiseTesraScanDecoder*>(&s.reference)})
            EXPECT_THROW(transcoder->performScanSweep(&frame), vorc::detail::StreamErrorSkipped);
    }
    s.sweep(48, 16, {}, true, tileBitmap(3, 1, {}));
    ASSERT_EQ(s.images->size(), 2u);

    // Tile 1 taken by walking its codes, then a frame whose scan runs out in
    // its fourth block: the blocks it did not reach show the walked tile's
    // coefficients, decoded from its kept bits.
    s.sweep(48, 16, scanOf(next, {1}), true, tileBitmap(3, 1, {1}), 4096);
    ScanWriter shortScan;
    for (size_t b = 0; b < 3; ++b) shortScan.block(0, next[2][b]);
    s.sweep(48, 16, shortScan.finish(), false, tileBitmap(3, 1, {1}));
    s.sweep(48, 16, {}, true, tileBitmap(3, 1, {}));
    ASSERT_EQ(s.images->size(), 4u);
    EXPECT_EQ(readJpegCoefficients((*s.images)[3]).tiles.at(1)[5], next[1][5]);
}

// Puts status messages into a sweeper's call log, so their order against
// the back end's calls shows.
struct LoggingHandler : vorcStatusMessageHandler {
    explicit LoggingHandler(std::shared_ptr<CallLog> log) : log(std::move(log)) {}
    void sendStatusMsg(const char* msg, void*) override { log->push_back(msg); }
    std::shared_ptr<CallLog> log;
};

TEST(Transcoder, ScansThatRunOutReportWhereAndInTheirOwnOrder) {
    // One-byte scans without an end marker, in the default luminance codes.
    const struct {
        unsigned char scan;
        CallLog expected;
    } cases[] = {
        // Y0: DC 1, end of block; Y1 finds no DC code.
        {0x5A, {"error", "JPG converter : 1) huffman_leaf_node DC == NULL"}},
        // DC category 6 with only 4 of its 6 magnitude bits.
        {0xE0, {"JPG converter : Return val consumeAdditionalBits() == NULL", "error"}},
        // DC 0, then AC -1 twice; no code after them.
        {0x00, {"JPG converter : 2)huffman_leaf_node AC == NULL", "error"}},
        // DC 0, AC size 4 with only 2 of its magnitude bits.
        {0x2C, {"JPG converter : return val consumeAdditionalBits() == NULL", "error"}},
    };
    StatusCapture quiet;
    for (const auto& c : cases) {
        Sweeper s;
        s.sweep(16, 16, zeroTilesScan(1));  // sets up the coefficient store
        s.withReference = false;  // its messages would go into the same log
        s.log->clear();
        vorc::setStatusMessageHandler(new LoggingHandler(s.log));
        s.sweep(16, 16, {c.scan}, false);
        EXPECT_EQ(*s.log, c.expected) << "scan byte " << int{c.scan};
        EXPECT_EQ(s.images->size(), 1u);
    }
}

TEST(Transcoder, HugePicturesAndTheOneTileImage) {
    StatusCapture status;
    Sweeper s;
    // 4096 x 4096 tiles: 12.9 GB of coefficients, more than 32 bits can count.
    s.withReference = false;
    s.sweep(65535, 65535, {}, false);
    s.withReference = true;
    EXPECT_EQ(*s.log, CallLog{"error"});
    EXPECT_TRUE(status.contains("JPG converter : reallocated coeff buffer") ||
                status.contains("JPG converter : CoeffBuffer == NULL!"));
    // An all-zero tile without quantisation tables, byte for byte.
    s.sweep(16, 16, zeroTilesScan(1));
    ASSERT_EQ(s.images->size(), 1u);
    const Bytes& image = (*s.images)[0];
    ASSERT_EQ(image.size(), 629u);
    EXPECT_EQ(Bytes(image.begin() + 609, image.end()),
              (Bytes{0xFF, 0xDA, 0,    12, 3,    1,    0,    2,    0x11, 3,
                     0x11, 0,    0x3F, 0,  0x28, 0xA2, 0x8A, 0x00, 0xFF, 0xD9}));
}


// Tiles whose bits a baseline encoder would write otherwise are coded
// afresh; their neighbours' bits are kept. Each case codes tile 1 of three
// in a partial frame after a full one, near the end of the scan and with
// room behind it for the fast reader; the images must match the
// reference's and carry the coefficients the tile decodes to.
TEST(Transcoder, TilesCodedOtherwiseThanAnEncoderWouldAreCodedAfresh) {
    StatusCapture status;
    // Codes of the luminance table: DC category 0, EOB, ZRL, run 14 size 1.
    constexpr uint32_t Dc0 = 0b00, Eob = 0b1010, Zrl = 0x7F9, Run14Size1 = 0xFFEB;
    const struct {
        const char* what;
        std::vector<std::pair<uint32_t, int>> y0;  // the first block's bits; the rest are zero blocks
        Block decoded;
    } cases[] = {
        {"ZRL before EOB", {{Dc0, 2}, {Zrl, 11}, {Eob, 4}}, Block{}},
        {"two ZRL before EOB", {{Dc0, 2}, {Zrl, 11}, {Zrl, 11}, {Eob, 4}}, Block{}},
        // A 1 at zig-zag 15, then three ZRL up to the end of the block.
        {"ZRL chain to the end", {{Dc0, 2}, {Run14Size1, 16}, {1, 1}, {Zrl, 11}, {Zrl, 11}, {Zrl, 11}},
         [] { Block b{}; b[Converter::ZigZagMap[15]] = 1; return b; }()},
        {"canonical", {{Dc0, 2}, {Run14Size1, 16}, {1, 1}, {Eob, 4}},
         [] { Block b{}; b[Converter::ZigZagMap[15]] = 1; return b; }()},
    };
    std::mt19937 random(11);
    for (const auto& c : cases)
      for (const size_t filler : {size_t{0}, size_t{4096}}) {
        Sweeper s;
        std::vector<TileBlocks> model(3);
        for (TileBlocks& tile : model) tile = randomTile(random);
        s.sweep(48, 16, scanOf(model, {0, 1, 2}));
        ScanWriter writer;
        for (const auto& [bits, count] : c.y0) writer.bits(bits, count);
        // Zero blocks after it: every DC of the tile is 0.
        for (int b = 1; b < 6; ++b) writer.block(b < 4 ? 0 : b - 3, Block{});
        const Bytes scan = writer.finish();
        s.sweep(48, 16, scan, true, tileBitmap(3, 1, {1}), filler);
        model[1] = TileBlocks{c.decoded};
        ASSERT_EQ(s.images->size(), 2u) << c.what;
        JpegCoefficients picture{48, 16, {}, model, {}};
        expectImage(s.images->back(), picture, c.what);
      }
}

// A tile whose final bits, all 1s, are the first bits of the end marker's
// FF: the exact readers take them without finishing that byte, so they
// never look for its stuffing. The walk cannot take the tile, which is
// decoded; coded as an encoder codes it, its bits are then kept from the
// scan, the last of them from the marker. 0 to 7 such bits, after sparse
// tiles that the bit-serial reader decodes and after dense ones that the
// fast reader starts; a tile of the picture follows it. The images, of this
// frame and of a later one without tiles, must match the reference's and
// carry the coefficients.
TEST(Transcoder, ATileEndingInsideTheEndMarkerIsDecodedAndKept) {
    StatusCapture status;
    std::mt19937 random(23);
    for (const bool dense : {false, true}) {
        std::vector<TileBlocks> first(4);
        for (TileBlocks& tile : first) tile = dense ? denseTile(random) : randomTile(random);
        std::set<int> bitsSeen;
        for (int values = 0; values < 8; ++values) {
            std::vector<TileBlocks> model = first;
            // Cb: values of 1 at run 0, three bits each, move where the tile
            // ends through every bit of a byte; Cr ends in seven 1 bits, those
            // of 127 at the last position.
            model[2][4] = Block{model[2][4][0]};
            for (int k = 1; k <= values; ++k) model[2][4][size_t(Converter::ZigZagMap[k])] = 1;
            model[2][5] = Block{model[2][5][0]};
            model[2][5][63] = 127;
            ScanWriter writer;
            for (size_t k = 0; k < 3; ++k)
                writer.tile(model[k][0], model[k][1], model[k][2], model[k][3], model[k][4], model[k][5]);
            const int fromMarker = writer.pendingBits();
            bitsSeen.insert(fromMarker);
            Bytes scan = writer.finish();
            // Without the byte that the padding made FF, and its stuffing.
            if (fromMarker != 0) scan.resize(scan.size() - 2);
            const std::string what = std::to_string(fromMarker) + " bits from the marker" + (dense ? ", dense" : "");
            Sweeper s;
            s.sweep(64, 16, scanOf(first, {0, 1, 2, 3}));
            s.sweep(64, 16, scan, true, tileBitmap(4, 1, {0, 1, 2}));
            s.sweep(64, 16, {}, true, tileBitmap(4, 1, {}));
            ASSERT_EQ(s.images->size(), 3u) << what;
            for (size_t i = 0; i < 3; ++i)
                expectImage((*s.images)[i], JpegCoefficients{64, 16, {}, i == 0 ? first : model, {}}, what);
        }
        EXPECT_EQ(bitsSeen.size(), 8u);
    }
}

// Frames whose images take more than 1 MiB: the transcoder used to end the
// process ("Huffman Buffer Overflow!"). The partial frames after the first
// leave more than 1 MiB of replaced bits behind, so the last frames find the
// kept bits, which by then lie out of tile order, moved together.
TEST(Transcoder, ImagesOfMoreThanOneMebibyteAreWritten) {
    StatusCapture status;
    std::mt19937 random(13);
    std::vector<TileBlocks> model(40 * 26);
    std::vector<int> order(model.size());
    for (size_t k = 0; k < model.size(); ++k) order[k] = static_cast<int>(k);
    Sweeper s;
    s.withReference = false;  // it cannot write such images
    for (int frame = 0; frame < 7; ++frame) {
        std::shuffle(order.begin(), order.end(), random);
        std::vector<int> coded(order.begin(), order.begin() + (frame == 0 ? 1040 : frame == 6 ? 0 : 350));
        std::sort(coded.begin(), coded.end());
        for (int k : coded) model[size_t(k)] = denseTile(random);
        s.sweep(640, 416, scanOf(model, coded), true, frame == 0 ? Bytes{} : tileBitmap(40, 26, coded));
        ASSERT_EQ(s.images->size(), size_t(frame) + 1);
        EXPECT_GT(s.images->back().size(), size_t{1} << 20);
        expectImage(s.images->back(), JpegCoefficients{640, 416, {}, model, {}}, "frame " + std::to_string(frame));
    }
    *s.referenceImages = *s.images;
}

// Codes one luminance block with a fresh predictor and closes the scan.
Bytes codeLumaBlock(const Block& block) {
    using namespace vorc::jpeg;
    ByteBuffer buffer;
    ScanBitWriter writer(buffer, 0);
    putDCDifference(writer, block[0], standardCodeBook(Luminance));
    putACCoefficients(writer, block.data(), standardCodeBook(Luminance));
    const size_t length = writer.alignToByte(0);
    return Bytes(buffer.data(), buffer.data() + length);
}

TEST(JpegWriting, CodesTheWorkedExamples) {
    // Blocks with their bits (the last byte padded with 0 bits, FF stuffed).
    const struct {
        int16_t dc;
        int acAt;  // natural index
        int16_t ac;
        Bytes scan;
    } blocks[] = {
        {0, 1, 0, {0x28}},   // 00 1010
        {1, 1, 0, {0x5A}},   // 010 1 1010
        {-1, 1, 0, {0x4A}},  // 010 0 1010
        // Zig-zag 17 after 16 zeros: ZRL and symbol 0x01: 00 11111111001 00 1 1010
        {0, 19, 1, {0x3F, 0xC9, 0xA0}},
        // Zig-zag 18: ZRL and symbol 0x11: 00 11111111001 1100 0 1010
        {0, 26, -1, {0x3F, 0xCE, 0x28}},
        // Last coefficient set: three ZRL, symbol 0xE1 (16-bit code), no EOB:
        // 00 11111111001 11111111001 11111111001 1111111111101011 1
        {0, 63, 1, {0x3F, 0xCF, 0xF9, 0xFF, 0x00, 0x3F, 0xFD, 0x70}},
        // The largest DC difference, category 11: 111111110 11111111110 1010
        {2046, 1, 0, {0xFF, 0x00, 0x7F, 0xEA}},
    };
    for (size_t i = 0; i < std::size(blocks); ++i) {
        Block block{};
        block[0] = blocks[i].dc;
        block[blocks[i].acAt] = blocks[i].ac;
        EXPECT_EQ(codeLumaBlock(block), blocks[i].scan) << "row " << i;
    }
}

// Bit-aligned copies against the same bits put one at a time, in scans
// (stuffed, through the accumulator and by each table's copy kernel) and
// in plain storage, from every bit of a byte, at every alignment and
// length near the word size and past the length from which copies go in
// bulk (where plain storage at the same bit of a byte is copied byte by
// byte); padding with 0 or 1 bits.
TEST(JpegWriting, CopiesAtAnyAlignmentStuffAndPad) {
    using namespace vorc::jpeg;
    std::mt19937 random(17);
    Bytes source(160);
    for (auto& byte : source) byte = random() % 3 == 0 ? 0xFF : static_cast<unsigned char>(random());
    const auto bitAt = [&](size_t i) { return (source[i / 8] >> (7 - i % 8)) & 1u; };
    std::vector<StuffedBitsCopy> stuffedCopies{nullptr};
    for (const vorc::dsp::KernelTable* table : vorc::dsp::supportedKernelTables())
        stuffedCopies.push_back(table->copyStuffedBits);
    for (const StuffedBitsCopy copyStuffed : stuffedCopies)
    for (unsigned lead = 0; lead < 72; ++lead)
      for (unsigned firstBit = 0; firstBit < 8; ++firstBit) {
        for (size_t count : {0, 1, 7, 8, 31, 32, 33, 55, 56, 57, 63, 64, 65, 127, 255, 256, 257, 319, 320, 321, 1000}) {
            ByteBuffer copied, serial, plain, plainSerial;
            ScanBitWriter copying(copied, 0, copyStuffed), oneByOne(serial, 0);
            PlainBitWriter plainCopy(plain, 0), plainOneByOne(plainSerial, 0);
            for (unsigned i = 0; i < lead; ++i)
                copying.put(1, 1), oneByOne.put(1, 1), plainCopy.put(1, 1), plainOneByOne.put(1, 1);
            copying.copy(source.data(), firstBit, count);
            plainCopy.copy(source.data(), firstBit, count);
            for (size_t i = 0; i < count; ++i) oneByOne.put(bitAt(firstBit + i), 1), plainOneByOne.put(bitAt(firstBit + i), 1);
            const size_t length = copying.alignToByte(1);
            const size_t serialLength = oneByOne.alignToByte(1);
            ASSERT_EQ(Bytes(copied.data(), copied.data() + length),
                      Bytes(serial.data(), serial.data() + serialLength))
                << lead << " + " << firstBit << ":" << count;
            EXPECT_EQ(plainCopy.bitsPut(), lead + count);
            const size_t plainLength = plainCopy.alignToByte(0);
            ASSERT_EQ(plainLength, (lead + count + 7) / 8);
            const size_t plainSerialLength = plainOneByOne.alignToByte(0);
            ASSERT_EQ(Bytes(plain.data(), plain.data() + plainLength),
                      Bytes(plainSerial.data(), plainSerial.data() + plainSerialLength))
                << "plain " << lead << " + " << firstBit << ":" << count;
            for (size_t i = 0; i + 1 < length; ++i) {
                if (copied.data()[i] == 0xFF) {
                    EXPECT_EQ(copied.data()[++i], 0x00) << lead << "+" << count;
                }
            }
        }
    }
    // Padding: 10 bits FF C0 with 0 bits, 2 bits with 1 bits.
    ByteBuffer buffer;
    ScanBitWriter writer(buffer, 0);
    writer.put(0x3FF, 10);
    ASSERT_EQ(writer.alignToByte(0), 3u);
    EXPECT_EQ(Bytes(buffer.data(), buffer.data() + 3), (Bytes{0xFF, 0x00, 0xC0}));
    ScanBitWriter ones(buffer, 0);
    ones.put(0, 2);
    ASSERT_EQ(ones.alignToByte(1), 1u);
    EXPECT_EQ(buffer.data()[0], 0x3F);
}

// A long run of one bits comes out twice as long, every byte an FF with
// its 00: the writer makes room for that before a kernel copies (ASan sees
// any byte written past the buffer).
TEST(JpegWriting, LongRunsOfFFsMakeRoomForTheirStuffing) {
    using namespace vorc::jpeg;
    constexpr size_t RunBytes = 40000;
    const Bytes ones(RunBytes + 16, 0xFF);
    for (const vorc::dsp::KernelTable* table : vorc::dsp::supportedKernelTables()) {
        for (const unsigned firstBit : {0u, 5u}) {
            ByteBuffer buffer;
            ScanBitWriter writer(buffer, 0, table->copyStuffedBits);
            writer.copy(ones.data(), firstBit, 8 * RunBytes - firstBit);
            ASSERT_EQ(writer.alignToByte(1), 2 * RunBytes) << table->name << " from bit " << firstBit;
            for (size_t i = 0; i < 2 * RunBytes; i += 2)
                ASSERT_TRUE(buffer.data()[i] == 0xFF && buffer.data()[i + 1] == 0x00) << table->name << " at " << i;
        }
    }
}

TEST(JpegWritingDeathTest, DcOutOfRangeEndsTheProcess) {
    // The default status output goes to standard output; death tests match
    // standard error.
    const auto messagesToStandardError = [] {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        vorc::setStatusMessageHandler(nullptr);
    };
    for (const int16_t dc : {2047, -2047})
        EXPECT_EXIT((messagesToStandardError(), codeLumaBlock(Block{dc})),
                    ::testing::ExitedWithCode(154), "Out of Range");
    // A tile whose second luminance block steps its DC by 2047 decodes, but
    // its bits cannot be kept: coding it afresh meets the same limit. So
    // does a tile whose Y0 or Cr steps by 2047 from the tile before: its
    // bits are kept, but that DC code is not copied into the image.
    for (const TileBlocks& blocks : {TileBlocks{Block{}, Block{2047}, Block{2047}, Block{2047}, Block{}, Block{}},
                                     TileBlocks{Block{2047}, Block{2047}, Block{2047}, Block{2047}, Block{}, Block{}},
                                     TileBlocks{Block{}, Block{}, Block{}, Block{}, Block{}, Block{-2047}}}) {
        ScanWriter writer;
        writer.tile(blocks[0], blocks[1], blocks[2], blocks[3], blocks[4], blocks[5]);
        writer.zeroTile();
        const auto sweepAlone = [&writer] {
            Sweeper s;
            s.withReference = false;
            s.sweep(32, 16, writer.finish());
        };
        EXPECT_EXIT((messagesToStandardError(), sweepAlone()), ::testing::ExitedWithCode(154), "Out of Range");
    }
}

// The fast reader over a scan taken into the tile bit store, against the
// scan's bits taken one at a time: from every first bit, in steps of every
// code length, FF 00 stuffing removed, zero bits and overran() past the
// clean end; and the store's bits against the scan's positions, both ways.
TEST(JpegWriting, FastReaderGivesTheScanBitsFromAnyStart) {
    std::mt19937 random(19);
    vorc::TileBitStore store;
    ASSERT_TRUE(store.resize(1));
    for (int trial = 0; trial < 2000; ++trial) {
        Bytes scan;
        std::vector<int> bits;
        std::vector<size_t> dataBytes;  // where each byte of bits stands in the scan
        for (int i = static_cast<int>(random() % 40); i >= 0; --i) {
            const auto byte = static_cast<unsigned char>(random() % 4 == 0 ? 0xFF : random());
            for (int k = 7; k >= 0; --k) bits.push_back((byte >> k) & 1);
            dataBytes.push_back(scan.size());
            scan.push_back(byte);
            if (byte == 0xFF) scan.push_back(0x00);
        }
        const size_t cleanBytes = scan.size();
        scan.insert(scan.end(), {0xFF, 0xD9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});  // a marker: never walked
        store.takeScan(scan.data(), scan.data() + cleanBytes);
        for (size_t i = 0; i <= dataBytes.size(); ++i) {
            // The clean part ends at the marker's FF.
            const bool atEnd = i == dataBytes.size();
            const unsigned char* const byte = scan.data() + (atEnd ? cleanBytes : dataBytes[i]);
            const auto mask = static_cast<uint8_t>(atEnd ? 0x80 : 0x80 >> (i % 8));
            const uint64_t bit = store.scanFirstBit() + 8 * i + (atEnd ? 0 : i % 8);
            ASSERT_EQ(store.bitOf({byte, mask}), bit) << trial << " byte " << i;
            ASSERT_EQ(store.scanPositionOf(bit).byte, byte) << trial << " byte " << i;
            ASSERT_EQ(store.scanPositionOf(bit).mask, mask) << trial << " byte " << i;
        }
        const size_t first = random() % 8;
        vorc::jpeg::ScanBitReader reader;
        reader.start(store.bits(), store.scanFirstBit() + first, store.scanCleanEndBit());
        for (size_t at = first; at < bits.size() + 40;) {
            reader.refill();
            const int count = static_cast<int>(random() % 26) + 1;
            const uint32_t peeked = reader.peek(count);
            for (int i = 0; i < count; ++i) {
                const int expected = at + i < bits.size() ? bits[at + i] : 0;
                ASSERT_EQ((peeked >> (count - 1 - i)) & 1, static_cast<uint32_t>(expected)) << trial << " @" << at;
            }
            reader.skip(count);
            at += static_cast<size_t>(count);
            ASSERT_EQ(reader.overran(), at > bits.size()) << trial << " @" << at;
        }
    }
}
