// The kernel table and the fast decoder against their references, in the
// manner of a checkasm: every kernel this CPU runs on random and extreme
// input (16-bit coefficients and quantisers whose products and transform
// intermediates wrap), with guard bytes around what it writes; the
// reference transforms against known answers; the marker
// search at the end of its range; the DC-only shortcut; the fast block
// decoder on blocks made to end in every way; and whole sweeps of the fast
// decoder against the bit-serial one on libjpeg-made scans, cut at many
// points, and on a clean part that ends inside a code.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include "support/libjpeg_helpers.h"
#include "support/recorders.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/dsp/kernel_table.h"
#include "vorc/jpeg/plain_scan.h"
#include "vorc/jpeg/scan_bit_reader.h"
#include "vorc/jpeg/tile_decoder.h"

using vorc::dsp::KernelTable;

namespace {

constexpr int Guard = 32;
constexpr uint8_t GuardByte = 0xA5;

std::vector<const KernelTable*> acceleratedTables() {
    std::vector<const KernelTable*> tables = vorc::dsp::supportedKernelTables();
    tables.erase(tables.begin());  // the reference itself
    return tables;
}

constexpr int BlockKinds = 8;

// A block of the given kind: 0 small values, 1 any 16-bit values, 2 only
// extremes, 3 DC and a few low frequencies, 4 one coefficient anywhere;
// 5..7 as 0..2 but only in the first column, which the kernels may
// transform by a shortcut.
void fillBlock(std::mt19937& random, int kind, int16_t* block) {
    std::uniform_int_distribution<int> any(-32768, 32767), small(-64, 64), index(0, 63), pick(0, 3);
    const int16_t extremes[4] = {-32768, 32767, -32767, 0};
    const int valueKind = kind < 5 ? kind : kind - 5;
    for (int i = 0; i < 64; ++i) {
        switch (valueKind) {
            case 0: block[i] = static_cast<int16_t>(small(random)); break;
            case 1: block[i] = static_cast<int16_t>(any(random)); break;
            case 2: block[i] = extremes[pick(random)]; break;
            case 3: block[i] = static_cast<int16_t>(i < 10 ? small(random) * 8 : 0); break;
            default: block[i] = 0;
        }
        if (kind >= 5 && i % 8 != 0) block[i] = 0;
    }
    if (kind == 4) block[index(random)] = static_cast<int16_t>(any(random));
}

// Quantisers of the given kind: 0 stream values 1..255, 1 all 255, 2 any 16-bit value.
void fillQuantizer(std::mt19937& random, int kind, uint16_t* quant) {
    std::uniform_int_distribution<int> byte(1, 255), word(0, 65535);
    for (int i = 0; i < 64; ++i) quant[i] = static_cast<uint16_t>(kind == 0 ? byte(random) : kind == 1 ? 255 : word(random));
}

}  // namespace

TEST(Kernels, TableChoiceAndNames) {
    const std::vector<const KernelTable*> tables = vorc::dsp::supportedKernelTables();
    ASSERT_FALSE(tables.empty());
    EXPECT_EQ(tables.front(), &vorc::dsp::referenceKernels());
    EXPECT_STREQ(tables.front()->name, "none");
    // The best table unless VORC_CPU names one ("generic" the reference).
    const std::string forced = std::getenv("VORC_CPU") != nullptr ? std::getenv("VORC_CPU") : "";
    const KernelTable* expected = forced == "generic" ? tables.front() : tables.back();
    for (const KernelTable* table : tables)
        if (forced == table->name) expected = table;
    EXPECT_EQ(&vorc::dsp::selectedKernels(), expected);
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder;
    EXPECT_STREQ(decoder.getAccelerationTypeString(), vorc::dsp::selectedKernels().name);
    for (const KernelTable* table : tables) {
        ASSERT_NE(table->dequantizeTransformBlock, nullptr);
        ASSERT_NE(table->convertTileToRgb, nullptr);
        ASSERT_NE(table->forwardTransformBlock, nullptr);
    }
}

TEST(Kernels, DequantizeTransformMatchesReference) {
    const KernelTable& reference = vorc::dsp::referenceKernels();
    for (const KernelTable* table : acceleratedTables()) {
        SCOPED_TRACE(table->name);
        std::mt19937 random(5);
        for (int trial = 0; trial < 24000; ++trial) {
            int16_t block[64];
            uint16_t quant[64];
            fillBlock(random, trial % BlockKinds, block);
            fillQuantizer(random, (trial / BlockKinds) % 3, quant);
            uint8_t expected[64];
            uint8_t actual[64 + 2 * Guard];
            std::fill(std::begin(actual), std::end(actual), GuardByte);
            int16_t copy[64];
            std::copy(std::begin(block), std::end(block), copy);
            reference.dequantizeTransformBlock(block, quant, expected);
            table->dequantizeTransformBlock(copy, quant, actual + Guard);
            ASSERT_TRUE(std::equal(expected, expected + 64, actual + Guard)) << "trial " << trial;
            // Both leave the coefficients zero.
            ASSERT_TRUE(std::all_of(std::begin(block), std::end(block), [](int16_t c) { return c == 0; }));
            ASSERT_TRUE(std::all_of(std::begin(copy), std::end(copy), [](int16_t c) { return c == 0; }));
            for (int i = 0; i < Guard; ++i) {
                ASSERT_EQ(actual[i], GuardByte);
                ASSERT_EQ(actual[Guard + 64 + i], GuardByte);
            }
        }
    }
}

// A scan's clean part as plain bits and back, by every table against the
// bytes as they are: the FF bytes named where they stand, runs of FF and
// FF at every place of a vector, with guard bytes behind the room each
// copy may use.
TEST(Kernels, StuffingTakenOutAndPutBackMatchesTheBytes) {
    std::mt19937 random(23);
    for (const KernelTable* table : vorc::dsp::supportedKernelTables()) {
        SCOPED_TRACE(table->name);
        for (int trial = 0; trial < 3000; ++trial) {
            vorctest::Bytes plain(random() % 300);
            std::vector<uint32_t> expectedOffsets;
            const unsigned density = 1 + random() % 8;
            for (size_t i = 0; i < plain.size(); ++i) {
                plain[i] = static_cast<unsigned char>(random() % 16 < density ? 0xFF : random());
                if (plain[i] == 0xFF) expectedOffsets.push_back(static_cast<uint32_t>(i));
            }
            vorctest::Bytes scan(2 * plain.size() + Guard, GuardByte);
            const size_t scanLength = table->copyStuffedBits(plain.data(), 0, plain.size(), scan.data());
            ASSERT_EQ(scanLength, plain.size() + expectedOffsets.size()) << trial;
            ASSERT_TRUE(std::all_of(scan.end() - Guard, scan.end(), [](uint8_t b) { return b == GuardByte; }));
            for (size_t i = 0, at = 0; i < scanLength; ++i, ++at) {
                ASSERT_EQ(scan[i], plain[at]) << trial;
                if (scan[i] == 0xFF) {
                    ASSERT_EQ(scan[++i], 0x00) << trial;
                }
            }
            vorctest::Bytes back(scanLength + Guard, GuardByte);
            std::vector<uint32_t> offsets{7};
            const size_t backLength = table->copyPlainBits(scan.data(), scan.data() + scanLength, back.data(), offsets);
            ASSERT_EQ(vorctest::Bytes(back.begin(), back.begin() + static_cast<long>(backLength)), plain) << trial;
            ASSERT_EQ(offsets, expectedOffsets) << trial;
            ASSERT_TRUE(std::all_of(back.end() - Guard, back.end(), [](uint8_t b) { return b == GuardByte; }));
        }
    }
}

// Bits put back into a scan from any bit of a byte on, by every table
// against the bytes made bit by bit: every shift, every length up to well
// past a few vectors, bytes that come out FF rarely, often or always (and
// never), with the source ending exactly where the kernel may stop reading
// (so that ASan sees a read past it) and guard bytes behind the room each
// copy may use.
TEST(Kernels, ShiftedBitsPutBackIntoAScanMatchTheBits) {
    std::mt19937 random(29);
    for (unsigned shift = 0; shift < 8; ++shift) {
        for (size_t count = 0; count <= 200; ++count) {
            for (const unsigned outputFFs : {0u, 1u, 4u, 8u, 16u}) {
                // The bytes to come out, as bits behind `shift` leading bits,
                // then bits up to the end of the last byte the kernel reads.
                vorctest::Bytes expectedBytes(count);
                for (auto& byte : expectedBytes) {
                    byte = static_cast<unsigned char>(random() % 16 < outputFFs ? 0xFF : random());
                    if (outputFFs == 0 && byte == 0xFF) byte = 0xFE;
                }
                const size_t readable = count + (shift != 0 ? 1 : 0);
                std::vector<bool> bits;
                for (unsigned i = 0; i < shift; ++i) bits.push_back(random() & 1);
                for (const unsigned char byte : expectedBytes)
                    for (int bit = 7; bit >= 0; --bit) bits.push_back((byte >> bit) & 1);
                while (bits.size() < 8 * readable) bits.push_back(outputFFs == 16 || (random() & 1) != 0);
                auto plain = std::make_unique<unsigned char[]>(readable);
                for (size_t i = 0; i < readable; ++i) {
                    unsigned byte = 0;
                    for (size_t bit = 0; bit < 8; ++bit) byte = byte << 1 | bits[8 * i + bit];
                    plain[i] = static_cast<unsigned char>(byte);
                }
                vorctest::Bytes expected;
                for (const unsigned char byte : expectedBytes) {
                    expected.push_back(byte);
                    if (byte == 0xFF) expected.push_back(0x00);
                }
                for (const KernelTable* table : vorc::dsp::supportedKernelTables()) {
                    vorctest::Bytes scan(2 * count + Guard, GuardByte);
                    const size_t length = table->copyStuffedBits(plain.get(), shift, count, scan.data());
                    ASSERT_EQ(vorctest::Bytes(scan.begin(), scan.begin() + static_cast<long>(std::min(length, scan.size()))),
                              expected)
                        << table->name << ": shift " << shift << ", " << count << " bytes, FFs " << outputFFs;
                    ASSERT_TRUE(std::all_of(scan.end() - Guard, scan.end(), [](uint8_t b) { return b == GuardByte; }))
                        << table->name << ": shift " << shift << ", " << count << " bytes";
                }
            }
        }
    }
}

TEST(Kernels, DcOnlyShortcutMatchesTheTransform) {
    const int16_t dcValues[] = {-32768, -32767, -4097, -1024, -129, -17, -5, -4, -1, 0, 1, 4, 15, 16, 80, 127, 128, 2100, 4095, 32767};
    for (int quant = 0; quant <= 65535; quant += quant < 300 ? 1 : 257) {
        for (const int16_t dc : dcValues) {
            int16_t block[64] = {dc};
            uint16_t quantizer[64];
            std::fill(std::begin(quantizer), std::end(quantizer), static_cast<uint16_t>(quant));
            uint8_t samples[64];
            vorc::dsp::referenceKernels().dequantizeTransformBlock(block, quantizer, samples);
            const uint8_t shortcut = vorc::dsp::dcOnlySample(dc, static_cast<uint16_t>(quant));
            for (const uint8_t sample : samples) ASSERT_EQ(sample, shortcut) << "dc " << dc << " quant " << quant;
        }
    }
}

TEST(Kernels, TileColourConversionMatchesReference) {
    const KernelTable& reference = vorc::dsp::referenceKernels();
    // Row steps: packed, padded, and bottom-up as the buffered back end has them.
    const ptrdiff_t steps[] = {48, 48 + 2 * Guard, -(48 + 2 * Guard)};
    for (const KernelTable* table : acceleratedTables()) {
        SCOPED_TRACE(table->name);
        std::mt19937 random(7);
        std::uniform_int_distribution<int> byte(0, 255), pick(0, 1);
        for (int trial = 0; trial < 3000; ++trial) {
            vorc::dsp::TileSamples samples;
            for (auto& block : samples)
                for (uint8_t& sample : block)
                    sample = static_cast<uint8_t>(trial % 3 == 0 ? 255 * pick(random) : byte(random));
            const ptrdiff_t step = steps[trial % 3];
            const ptrdiff_t span = 16 * (48 + 2 * Guard);
            std::vector<uint8_t> expected(static_cast<size_t>(span), GuardByte), actual = expected;
            const ptrdiff_t first = step > 0 ? Guard : span - (48 + 2 * Guard) + Guard;
            reference.convertTileToRgb(samples, expected.data() + first, step);
            table->convertTileToRgb(samples, actual.data() + first, step);
            ASSERT_EQ(actual, expected) << "trial " << trial << ", row step " << step;
        }
    }
}

// The marker search inside a larger buffer whose bytes after the range
// would change the answer if read: FF there is a marker, and the 00 after
// an FF that is the range's last byte would make it stuffing. Ranges of
// every length up to 300 (the 4-lane and 1-lane steps of both vector
// searches and every tail after them), at shifting alignments, with a
// stuffing pair or a marker at every position.
TEST(Kernels, ScanMarkerSearchReadsNothingPastTheRange) {
    constexpr size_t Longest = 300;
    std::vector<unsigned char> buffer(Guard + Longest + Guard);
    for (size_t length = 1; length <= Longest; ++length) {
        unsigned char* const begin = buffer.data() + length % Guard;
        unsigned char* const end = begin + length;
        // at == length: no FF in the range.
        for (size_t at = 0; at <= length; ++at) {
            for (const unsigned char second : {0x00, 0xD9}) {
                std::fill(buffer.begin(), buffer.end(), 0xFF);
                std::fill(begin, end, 0x12);
                const unsigned char* expected = end;
                if (at < length) {
                    begin[at] = 0xFF;
                    begin[at + 1] = second;
                    if (second != 0x00 || at + 1 == length) expected = begin + at;
                }
                for (const KernelTable* table : vorc::dsp::supportedKernelTables()) {
                    ASSERT_EQ(table->findScanMarker(begin, end), expected)
                        << table->name << ": length " << length << ", FF " << std::hex << int{second} << std::dec
                        << " at " << at;
                }
            }
        }
    }
}

TEST(Kernels, ForwardTransformMatchesReference) {
    std::mt19937 random(3);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const KernelTable* table : acceleratedTables()) {
        for (int trial = 0; trial < 2000; ++trial) {
            unsigned char samples[64];
            for (unsigned char& s : samples) s = static_cast<unsigned char>(trial % 2 == 0 ? byte(random) : 255 * (byte(random) & 1));
            int32_t expected[64], actual[64];
            vorc::dsp::referenceKernels().forwardTransformBlock(samples, expected);
            table->forwardTransformBlock(samples, actual);
            ASSERT_TRUE(std::equal(expected, expected + 64, actual)) << table->name << " trial " << trial;
        }
    }
}

// The reference transforms, which every table must match, against known
// answers: hashes of their results on fixed blocks, as the decoder and
// the encoder have always computed them. A changed constant, scale or
// rounding moves the reference and the fast kernels alike, and only this
// shows it. Raw Mersenne twister words, whose sequence the standard fixes.
TEST(Kernels, ReferenceTransformsKeepTheirKnownAnswers) {
    const KernelTable& reference = vorc::dsp::referenceKernels();
    std::mt19937 random(11);
    uint64_t inverseHash = 14695981039346656037u;
    uint64_t forwardHash = inverseHash;
    const auto mix = [](uint64_t& hash, uint32_t value) { hash = (hash ^ value) * 1099511628211u; };
    for (int trial = 0; trial < 4000; ++trial) {
        int16_t block[64];
        uint16_t quant[64];
        unsigned char samples[64];
        for (int i = 0; i < 64; ++i) {
            const uint32_t word = random();
            // Small values mostly, any 16-bit value in one block of four.
            block[i] = static_cast<int16_t>(trial % 4 == 0 ? word : (word % 129) - 64);
            if (trial % 2 == 1 && i % 8 != 0) block[i] = 0;
            quant[i] = static_cast<uint16_t>(trial % 3 == 0 ? word >> 16 : 1 + (word >> 16) % 255);
            samples[i] = static_cast<unsigned char>(word >> 8);
        }
        uint8_t pixels[64];
        reference.dequantizeTransformBlock(block, quant, pixels);
        for (const uint8_t pixel : pixels) mix(inverseHash, pixel);
        int32_t coefficients[64];
        reference.forwardTransformBlock(samples, coefficients);
        for (const int32_t coefficient : coefficients) mix(forwardHash, static_cast<uint32_t>(coefficient));
    }
    EXPECT_EQ(inverseHash, 15854191847941822474u);
    EXPECT_EQ(forwardHash, 4790075223148658176u);
}

// What a sweep shows: back-end calls in order, and the picture.
struct SweepRecord : vorcTesraDecoderBackEnd {
    SweepRecord(int columns, int rows) : columns(columns), pixels(size_t(columns) * rows * 768, 0x33) {}
    void videoResolutionChanged(int, int) override {}
    void errorEncountered() override { calls.push_back("error"); }
    void frameComplete() override {}
    void provideVideoTilePixelTarget(int column, int row, unsigned int** target, int* pad) override {
        calls.push_back("tile " + std::to_string(column) + "," + std::to_string(row));
        *target = reinterpret_cast<unsigned int*>(&pixels[(size_t(row) * 16 * columns + column) * 48]);
        *pad = (columns - 1) * 12;
    }
    void videoTileReceived() override { calls.push_back("received"); }
    bool operator==(const SweepRecord& other) const { return calls == other.calls && pixels == other.pixels; }

    int columns;
    std::vector<uint8_t> pixels;
    std::vector<std::string> calls;
};

// Decodes one frame with each kernel table; what each sweep showed, the
// status messages after the back-end calls.
std::vector<std::unique_ptr<SweepRecord>> sweepWithEveryTable(const vorctest::Bytes& scanBytes, int width,
                                                              int height) {
    std::vector<std::unique_ptr<SweepRecord>> records;
    vorctest::StatusCapture status;
    std::vector<unsigned char> quant(64, 3);
    for (const KernelTable* table : vorc::dsp::supportedKernelTables()) {
        vorctest::Bytes scan = scanBytes;  // an exact-size copy: a read past its end is caught
        vorcFramewiseTesraDecoder::UndecodedFrameDescriptor frame;
        frame.reset(width, height);
        frame.scanBytes = scan.data();
        frame.scanLength = static_cast<int32_t>(scan.size());
        records.push_back(std::make_unique<SweepRecord>(frame.tileColumns, frame.tileRows));
        vorcFramewiseTesraScanDecoderSoftwareOnly decoder(*table);
        decoder.setBackEnd(records.back().get());
        decoder.setYQuantizationTable(quant.data());
        decoder.setUVQuantizationTable(quant.data());
        status.clear();
        decoder.performScanSweep(&frame);
        records.back()->calls.insert(records.back()->calls.end(), status.messages().begin(),
                                     status.messages().end());
    }
    return records;
}

// A block of one of the kinds that end a fast lookup in different ways:
// filled to the last position with small values, long zero runs, the
// largest magnitudes and long codes, DC only, scattered small values.
vorctest::Block madeBlock(std::mt19937& random) {
    auto below = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto signedValue = [&](int largest) { return static_cast<int16_t>((below(2) != 0 ? 1 : -1) * (1 + below(largest))); };
    vorctest::Block block{};
    block[0] = static_cast<int16_t>(below(2047) - 1023);
    const int kind = below(5);
    for (int position = 1; position < 64; ++position) {
        int16_t& coefficient = block[static_cast<size_t>(vorc::jpeg::ZigZagNaturalOrder[position])];
        if (kind == 0) coefficient = signedValue(below(8) == 0 ? 7 : 2);
        if (kind == 1 && below(24) == 0) coefficient = signedValue(3);
        if (kind == 2 && below(4) == 0) coefficient = signedValue(1023);
        if (kind == 4 && below(3) == 0) coefficient = signedValue(4);
    }
    return block;
}

// The fast block decoder, block by block and in each table's tile decoder,
// gives back the coefficients that were coded and the position of the last
// non-zero one, whatever follows a block: where a block's last lookup could
// take the next block's first code along as a second symbol, it must not.
// With filler after the scan and without, where the last blocks are read up
// to the end of the clean part.
TEST(FastDecoder, RoundTripsBlocksThatEndInEveryWay) {
    std::mt19937 random(11);
    std::vector<vorctest::Block> blocks;
    vorctest::ScanWriter writer;
    for (int tile = 0; tile < 400; ++tile) {
        vorctest::Block made[6];
        for (vorctest::Block& block : made) block = madeBlock(random);
        writer.tile(made[0], made[1], made[2], made[3], made[4], made[5]);
        blocks.insert(blocks.end(), made, made + 6);
    }
    const vorctest::Bytes scan = writer.finish();
    const vorc::jpeg::StandardLookups& lookups = vorc::jpeg::standardLookups();
    auto lastPositionOf = [](const vorctest::Block& block) {
        int last = 0;
        for (int position = 1; position < 64; ++position)
            if (block[static_cast<size_t>(vorc::jpeg::ZigZagNaturalOrder[position])] != 0) last = position;
        return last;
    };
    std::vector<const KernelTable*> tables = acceleratedTables();
    tables.push_back(nullptr);  // block by block
    for (const KernelTable* table : tables) {
        for (const bool filler : {true, false}) {
            // The scan's plain bits, and zero bytes that are data with filler.
            vorctest::Bytes bytes(scan.size() + 2 * vorc::jpeg::ScanBitReader::ZeroMargin);
            std::vector<uint32_t> ffOffsets;
            size_t length = vorc::dsp::referenceKernels().copyPlainBits(scan.data(), scan.data() + scan.size(),
                                                                        bytes.data(), ffOffsets);
            if (filler) length += vorc::jpeg::ScanBitReader::ZeroMargin;
            vorc::jpeg::ScanBitReader reader;
            reader.start(bytes.data(), 0, uint64_t{length} * 8);
            int16_t predictors[3] = {};
            for (size_t tile = 0; tile < blocks.size() / 6; ++tile) {
                SCOPED_TRACE(std::string(table != nullptr ? table->name : "blocks") + (filler ? " with filler" : "") +
                             ", tile " + std::to_string(tile));
                int16_t decoded[6][64] = {};
                int lastPositions[6] = {};
                if (table != nullptr) {
                    ASSERT_EQ(table->decodeTile(reader, lookups, decoded, predictors, lastPositions),
                              vorc::jpeg::FastBlockOutcome::Decoded);
                }
                for (size_t b = 0; b < 6; ++b) {
                    const vorctest::Block& expected = blocks[6 * tile + b];
                    if (table == nullptr) {
                        const size_t component = b < 4 ? 0 : b - 3;
                        int end = -1;
                        ASSERT_EQ(vorc::jpeg::decodeBlock(reader, lookups.dc[component != 0], lookups.ac[component != 0],
                                                          decoded[b], predictors[component], lastPositions[b], end),
                                  vorc::jpeg::FastBlockOutcome::Decoded);
                        ASSERT_EQ(end, std::min(lastPositionOf(expected) + 1, 64));
                    }
                    ASSERT_TRUE(std::equal(decoded[b], decoded[b] + 64, expected.begin())) << "block " << b;
                    ASSERT_EQ(lastPositions[b], lastPositionOf(expected)) << "block " << b;
                }
            }
        }
    }
}

// The plain bits of scans whose last data bytes are stuffed 0xFF, with
// the way between the scan's bytes and the plain ones: the fast reader
// hands out exactly the scan's bits, then says it overran. Once it took up
// to 7 such bytes, 14 in the scan, from anywhere 8 or more bytes before the
// end, so it read past the end (caught under ASan) or into a marker, and
// took those bits for data.
TEST(FastDecoder, ReaderStopsAtTheEndOfStuffedBytes) {
    for (int plain = 0; plain < 12; ++plain) {
        for (int stuffed = 1; stuffed <= 9; ++stuffed) {
            SCOPED_TRACE(std::to_string(plain) + " plain bytes, " + std::to_string(stuffed) + " stuffed");
            vorctest::Bytes scan(static_cast<size_t>(plain), 0x12);
            for (int i = 0; i < stuffed; ++i) scan.insert(scan.end(), {0xFF, 0x00});
            scan.insert(scan.end(), {0xFF, 0xD9});
            const unsigned char* cleanEnd = vorc::dsp::selectedKernels().findScanMarker(scan.data(), scan.data() + scan.size());
            ASSERT_EQ(cleanEnd, scan.data() + scan.size() - 2);
            vorctest::Bytes bits(scan.size() + vorc::jpeg::ScanBitReader::ZeroMargin, 0x77);
            std::vector<uint32_t> ffOffsets;
            const size_t length =
                vorc::dsp::referenceKernels().copyPlainBits(scan.data(), cleanEnd, bits.data(), ffOffsets);
            ASSERT_EQ(length, static_cast<size_t>(plain + stuffed));
            EXPECT_EQ(vorctest::Bytes(bits.begin(), bits.begin() + plain), vorctest::Bytes(static_cast<size_t>(plain), 0x12));
            EXPECT_EQ(vorctest::Bytes(bits.begin() + plain, bits.begin() + static_cast<long>(length)),
                      vorctest::Bytes(static_cast<size_t>(stuffed), 0xFF));
            for (size_t byte = 0; byte <= length; ++byte) {
                const size_t inScan = byte <= static_cast<size_t>(plain) ? byte : 2 * byte - static_cast<size_t>(plain);
                EXPECT_EQ(vorc::jpeg::scanOffsetOf(byte, ffOffsets), inScan) << byte;
                EXPECT_EQ(vorc::jpeg::plainOffsetOf(inScan, ffOffsets), byte) << byte;
            }
            std::fill(bits.begin() + static_cast<long>(length), bits.end(), 0);
            vorc::jpeg::ScanBitReader reader;
            reader.start(bits.data(), 0, uint64_t{length} * 8);
            for (size_t at = 0; at < 8 * length;) {
                reader.refill();
                const int step = static_cast<int>(std::min<size_t>(8 * length - at, 7));
                for (int i = 0; i < step; ++i, ++at) {
                    const unsigned expected = at < 8u * plain ? (0x12u >> (7 - at % 8)) & 1 : 1;
                    ASSERT_EQ(reader.peek(i + 1) & 1, expected) << "bit " << at;
                }
                reader.skip(step);
                ASSERT_FALSE(reader.overran());
            }
            reader.refill();
            EXPECT_EQ(reader.peek(16), 0u);
            reader.skip(1);
            EXPECT_TRUE(reader.overran());
        }
    }
}

// Sixteen 1 bits where an AC code starts, as the last bits of the clean
// part: no code of either AC table, but one bit short of what the
// bit-serial reader needs to call them invalid, so it runs out of scan, an
// error the frame survives. The fast reader must hand such a block over
// rather than end the stream; in each block of a tile, after tiles of
// every kind.
TEST(FastDecoder, SixteenOneBitsEndingTheCleanPartRunOutAsInTheReference) {
    std::mt19937 random(23);
    for (int tiles = 0; tiles < 12; ++tiles) {
        for (int block = 0; block < 6; ++block) {
            SCOPED_TRACE(std::to_string(tiles) + " tiles before, block " + std::to_string(block));
            vorctest::ScanWriter writer;
            auto component = [](int b) { return b < 4 ? 0 : b - 3; };
            for (int b = 0; b < 6 * tiles + block; ++b) writer.block(component(b % 6), madeBlock(random));
            // DC difference 0, then AC values 1 (run 0) until a byte starts.
            writer.bits(0b00, 2);
            while (writer.pendingBits() != 0) writer.bits(component(block) == 0 ? 0b001 : 0b011, 3);
            writer.bits(0xFFFF, 16);
            const auto records = sweepWithEveryTable(writer.finish(), 16 * (tiles + 1), 16);
            ASSERT_NE(std::find(records[0]->calls.begin(), records[0]->calls.end(), "error"), records[0]->calls.end());
            for (size_t i = 1; i < records.size(); ++i)
                ASSERT_TRUE(*records[i] == *records[0]) << vorc::dsp::supportedKernelTables()[i]->name;
        }
    }
}

// The fast reader hands over to the bit-serial one near the end of the
// scan: cut anywhere (without EOI, and not between an 0xFF and its
// stuffing, so the scan runs out instead of ending the process), the fast
// decoder delivers the same tiles and pixels and reports the same error
// and status messages.
TEST(FastDecoder, MatchesTheReferenceOnScansCutAnywhere) {
    const int width = 160, height = 96;
    for (const int quality : {30, 75, 98}) {
        const vorctest::Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(width, height, false), quality);
        const vorctest::JpegCoefficients coefficients = vorctest::readJpegCoefficients(jpeg);
        vorctest::ScanWriter writer;
        for (const vorctest::TileBlocks& t : coefficients.tiles) writer.tile(t[0], t[1], t[2], t[3], t[4], t[5]);
        const vorctest::Bytes whole = writer.finish();
        for (size_t cut = whole.size(); cut > 0; cut = cut > 1200 ? cut - 97 : cut * 3 / 4) {
            if (whole[cut - 1] == 0xFF) continue;
            SCOPED_TRACE("q" + std::to_string(quality) + ", cut at " + std::to_string(cut));
            const auto records =
                sweepWithEveryTable(vorctest::Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)), width, height);
            for (size_t i = 1; i < records.size(); ++i)
                ASSERT_TRUE(*records[i] == *records[0]) << vorc::dsp::supportedKernelTables()[i]->name;
        }
    }
}
