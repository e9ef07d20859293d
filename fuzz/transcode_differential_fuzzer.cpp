// Differential fuzz target for the JPEG transcoder (parser -> transcoder ->
// JPEG receiver): the library's transcoder, which keeps its tiles' coded
// bits, against the reference that codes the whole picture again for every
// image (tests/support/reference_transcoder.*). The input drives a series of
// sweeps: new quantisation tables, and frames of a picture size the input
// picks, full or partial, whose scans code the tiles with values and codings
// the input picks (ZRL runs that only lead to the end of a block, the
// largest DC differences), sometimes damaged or cut short, and perhaps
// followed by filler that lets the fast readers in. Two pairs take
// turns, the second on every other step, and in each pair both transcoders
// must write the same images byte for byte and make the same back-end calls.
// A fatal stream error must meet both at the same step; both then go on, as
// under a parser that skips damaged frames, so what a failed frame leaves
// behind is compared in the images after it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "exact_size_parser.h"
#include "fuzz_check.h"
#include "support/reference_transcoder.h"
#include "vorc/core/fatal_error.h"
#include "vorc/jpeg/bit_writer.h"
#include "vorc/jpeg/block_encoder.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Frame = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;

// What one transcoder did: its images and back-end calls, in order.
struct Outcome {
    std::vector<Bytes> images;
    std::string calls;
};

class RecordingReceiver : public vorcJPEGReceiver {
public:
    explicit RecordingReceiver(Outcome& outcome) : outcome_(outcome) {}
    void beginFrame() override { outcome_.images.emplace_back(); }
    void endFrame() override { outcome_.calls += 'E'; }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        outcome_.images.back().insert(outcome_.images.back().end(), bytes, bytes + count);
    }

private:
    Outcome& outcome_;
};

class RecordingBackEnd : public vorcTesraDecoderBackEnd {
public:
    explicit RecordingBackEnd(Outcome& outcome) : outcome_(outcome) {}
    void videoResolutionChanged(int, int) override {}
    void errorEncountered() override { outcome_.calls += 'x'; }
    void frameComplete() override {}
    void provideVideoTilePixelTarget(int, int, unsigned int**, int*) override {}
    void videoTileReceived() override { outcome_.calls += 't'; }

private:
    Outcome& outcome_;
};

struct Contender {
    Outcome outcome;
    RecordingBackEnd backEnd{outcome};
    std::unique_ptr<vorcFramewiseTesraScanDecoder> transcoder;

    explicit Contender(bool reference) {
        auto* receiver = new RecordingReceiver(outcome);
        if (reference)
            transcoder = std::make_unique<vorctest::ReferenceTranscoder>(receiver);
        else
            transcoder = std::make_unique<vorcFramewiseTesraScanToJPEGConverterSoftwareOnly>(receiver);
        transcoder->setBackEnd(&backEnd);
    }
    void run(const std::vector<unsigned char>& tables, Frame* frame) {
        // Stream errors unwind to here instead of ending the process.
        const vorc::detail::SkipStreamErrors skipStreamErrors(true);
        try {
            if (frame == nullptr) {
                transcoder->setYQuantizationTable(const_cast<unsigned char*>(tables.data()));
                transcoder->setUVQuantizationTable(const_cast<unsigned char*>(tables.data() + 64));
            } else {
                transcoder->performScanSweep(frame);
            }
        } catch (const vorc::detail::StreamErrorSkipped&) {
            outcome.calls += 'F';
        }
    }
};

// The input, a byte at a time; zeros once it is used up.
struct Input {
    const uint8_t* data;
    size_t size;
    bool empty() const { return size == 0; }
    unsigned byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
};

// Codes one block with the standard tables from the input: a DC difference,
// then (run, value) pairs, closed by EOB or by a ZRL chain that only leads
// to the end of the block, as the input says.
void codeBlock(vorc::jpeg::ScanBitWriter& writer, const vorc::jpeg::EncoderCodeBook& book, Input& in) {
    const auto putValue = [&](const vorc::jpeg::HuffmanCode& code, int value) {
        const unsigned category =
            vorc::jpeg::magnitudeCategory(static_cast<uint32_t>(value < 0 ? -value : value));
        vorc::jpeg::putCodedValue(writer, code, value, category);
    };
    const unsigned dcChoice = in.byte();
    const int dc = dcChoice >= 250 ? (dcChoice & 1 ? 2047 : -2047) : static_cast<int>(dcChoice) - 125;
    putValue(book.dc[vorc::jpeg::magnitudeCategory(static_cast<uint32_t>(dc < 0 ? -dc : dc))], dc);
    int position = 1;
    for (unsigned pairs = in.byte() % 8; pairs > 0 && position < 64; --pairs) {
        const unsigned runChoice = in.byte();
        const int run = static_cast<int>(runChoice % 16);
        if (position + run > 63) break;
        int value = static_cast<int>(in.byte()) - 128;
        if (value == 0) value = runChoice & 0x80 ? 1023 : -1023;
        putValue(book.ac[static_cast<unsigned>(run) << 4 |
                         vorc::jpeg::magnitudeCategory(static_cast<uint32_t>(value < 0 ? -value : value))],
                 value);
        position += run + 1;
    }
    const unsigned ending = in.byte() % 4;
    // A ZRL where at least 16 zeros are left, before EOB or up to the end.
    for (; ending >= 2 && position + 16 <= 64; position += 16) writer.put(book.ac[0xF0].bits, book.ac[0xF0].length);
    if (position < 64) writer.put(book.ac[0x00].bits, book.ac[0x00].length);
}

// One frame's scan for the given coded tiles, as the parser delivers it
// (closed by FF D9), perhaps damaged.
Bytes frameScan(size_t codedTiles, Input& in) {
    using namespace vorc::jpeg;
    ByteBuffer buffer;
    ScanBitWriter writer(buffer, 0);
    for (size_t tile = 0; tile < codedTiles && !in.empty(); ++tile)
        for (int block = 0; block < 6; ++block)
            codeBlock(writer, standardCodeBook(block < 4 ? Luminance : Chrominance), in);
    const size_t length = writer.alignToByte(1);
    Bytes scan(buffer.data(), buffer.data() + length);
    const unsigned damage = in.byte();
    if (!scan.empty() && damage % 8 == 1) scan[in.byte() * 7 % scan.size()] ^= static_cast<unsigned char>(in.byte() | 1);
    if (damage % 8 == 2) scan.resize(scan.size() * in.byte() / 256);
    // Bytes after the last tile give the fast readers room: without them a
    // short scan is all too near its end for anything but the exact reader.
    scan.insert(scan.end(), (damage >> 3) % 4 * 512, static_cast<unsigned char>(damage & 0x80 ? 0x00 : 0x5A));
    if (damage % 8 != 3) scan.insert(scan.end(), {0xFF, 0xD9});
    return scan;
}

[[noreturn]] void differ(const char* what) { vorcfuzz::failCheck("transcoder differs from the reference", what); }

void compare(const Contender& library, const Contender& reference) {
    if (library.outcome.calls != reference.outcome.calls) differ("back-end or receiver calls");
    if (library.outcome.images != reference.outcome.images) differ("image bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vorcfuzz::silenceStatusMessages();
    Input in{data, size};
    Contender pairs[2][2] = {{Contender(false), Contender(true)}, {Contender(false), Contender(true)}};
    int tileColumns = 1;
    int tileRows = 1;
    for (int step = 0; !in.empty() && step < 64; ++step) {
        const unsigned op = in.byte();
        std::vector<unsigned char> tables(128);
        Bytes scan;
        Bytes bitmap;
        Frame frame;
        Frame* sweep = nullptr;
        if (op % 8 == 0) {
            for (auto& value : tables) value = static_cast<unsigned char>(in.byte());
        } else {
            // Up to 12 x 12 tiles: frames of many coded tiles are walked
            // by two walkers, the second started in the middle of the scan.
            if (op % 8 == 1) {
                tileColumns = 1 + static_cast<int>(in.byte() % 12);
                tileRows = 1 + static_cast<int>(in.byte() % 12);
            }
            frame.reset(tileColumns * 16 - static_cast<int>(op >> 4), tileRows * 16 - static_cast<int>(op >> 6));
            const size_t tiles = static_cast<size_t>(tileColumns * tileRows);
            size_t coded = tiles;
            if (op & 8) {
                bitmap.assign((tiles + 7) / 8, 0);
                coded = 0;
                for (auto& bits : bitmap) bits = static_cast<unsigned char>(in.byte());
                for (size_t tile = 0; tile < tiles; ++tile) coded += (bitmap[tile / 8] >> (7 - tile % 8)) & 1;
                frame.tileBitmap = bitmap.data();
            }
            scan = frameScan(coded, in);
            frame.scanBytes = scan.empty() ? nullptr : scan.data();
            frame.scanLength = static_cast<int32_t>(scan.size());
            sweep = &frame;
        }
        for (int pair = 0; pair < 2; ++pair) {
            if (pair == 1 && step % 2 == 1) continue;
            for (Contender& contender : pairs[pair]) contender.run(tables, sweep);
            compare(pairs[pair][0], pairs[pair][1]);
        }
    }
    return 0;
}
