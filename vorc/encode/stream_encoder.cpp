// The stream encoder: colour conversion and 4:2:0 averaging per tile, the
// forward DCT and quantisation, change detection against what the reader
// holds, and the frame layout that the framewise parser accepts.
#include "vorc/encode/stream_encoder.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>

#include "vorc/backends/color_conversion.h"
#include "vorc/core/exceptions.h"
#include "vorc/jpeg/jpeg_format.h"
#include "vorc/encode/forward_dct.h"
#include "vorc/encode/scan_entropy_coder.h"
#include "vorc/jpeg/header_writer.h"

namespace vorc {

namespace {

using namespace vorc::jpeg;

constexpr size_t LargestSegmentPayload = 65533;  // the length field counts itself
constexpr size_t BitmapHeaderBytes = 12;
// More tiles than this and the bitmap no longer fits into one comment.
constexpr size_t LargestBitmapTiles = (LargestSegmentPayload - BitmapHeaderBytes) * 8;

constexpr unsigned char ImageTag[] = {'#', ':', 'K', '7', 'I', 'M', 'G'};
constexpr unsigned char StreamTag[] = {'T', 'S', 'F'};
// Ends a stream: a non-empty payload, because a reader that has just read
// the length of an empty segment at the very end would wait for more bytes.
constexpr unsigned char EndOfStreamPayload[] = {'E', 'O', 'S'};

void putBigEndian32(std::vector<unsigned char>& out, uint64_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

}  // namespace

// What the encoder keeps between frames, and its steps.
struct StreamEncoder::State {
    explicit State(vorcByteStreamReceiver* receiver);
    ~State();

    size_t encodeFrame(const unsigned char* rgb, int width, int height);
    int writeApplicationSegment(const unsigned char* payload, int length);
    // Quantised coefficients of one tile: Y0 Y1 Y2 Y3 Cb Cr, natural order.
    static constexpr size_t CoefficientsPerTile = 6 * 64;


    void resize(int width, int height);
    void transformTile(const unsigned char* rgb, size_t tileColumn, size_t tileRow, int16_t* out) const;
    void appendGapBefore(unsigned char markerCode);
    void appendLaidOutSegment(unsigned char code, const std::vector<uint8_t>& payload);
    void appendTables();
    void appendFrameStart();
    void send(const std::vector<unsigned char>& bytes);

    vorcByteStreamReceiver* receiver_;  // owned
    std::unique_ptr<vorc::StreamLayout> layout_;
    vorc::ScanEntropyCoder entropyCoder_;

    int quality_ = DefaultQuality;
    int keyFrameInterval_ = DefaultKeyFrameInterval;
    int changeThreshold_ = 0;
    bool tablesInPartialFrames_ = false;
    bool imageTag_ = false;
    bool fullFrameRequested_ = true;

    int width_ = 0;
    int height_ = 0;
    // The size a reader takes for a frame that does not name one.
    int readerWidth_ = 640;
    int readerHeight_ = 480;
    int codedQuality_ = 0;  // quality of the tables the reader holds
    size_t tileColumns_ = 0;
    size_t tileRows_ = 0;
    unsigned char lumaTable_[64] = {};
    unsigned char chromaTable_[64] = {};
    std::vector<int16_t> reference_;  // what the reader holds, per tile
    std::vector<int16_t> candidate_;  // one tile of the picture being coded
    std::vector<unsigned char> frame_;
    std::vector<unsigned char> scan_;

    int framesSinceFull_ = 0;
    bool app13Allowed_ = false;  // a frame ended and nothing follows it yet
    uint64_t framesEncoded_ = 0;
    uint64_t fullFramesEncoded_ = 0;
    bool lastFrameWasFull_ = false;
    uint64_t bytesWritten_ = 0;
};


StreamEncoder::State::State(vorcByteStreamReceiver* receiver)
    : receiver_(receiver), layout_(std::make_unique<vorc::StreamLayout>()), candidate_(CoefficientsPerTile) {
    if (receiver_ == nullptr) {
        throw vorc::InvalidArgument("vorc::StreamEncoder: the byte receiver is null");
    }
}

StreamEncoder::State::~State() { delete receiver_; }

void StreamEncoder::setQuality(int quality) {
    if (quality < 1 || quality > 100) {
        throw vorc::InvalidArgument("vorc::StreamEncoder: the quality must be 1 to 100");
    }
    state_->quality_ = quality;
}

void StreamEncoder::setKeyFrameInterval(int frames) {
    if (frames < 1) throw vorc::InvalidArgument("vorc::StreamEncoder: the key-frame interval must be at least 1");
    state_->keyFrameInterval_ = frames;
}

void StreamEncoder::setChangeThreshold(int sumOfAbsoluteDifferences) {
    if (sumOfAbsoluteDifferences < 0) {
        throw vorc::InvalidArgument("vorc::StreamEncoder: the change threshold must not be negative");
    }
    state_->changeThreshold_ = sumOfAbsoluteDifferences;
}

void StreamEncoder::setTablesInPartialFramesEnabled(bool enabled) { state_->tablesInPartialFrames_ = enabled; }

void StreamEncoder::setImageTagEnabled(bool enabled) { state_->imageTag_ = enabled; }

void StreamEncoder::requestFullFrame() { state_->fullFrameRequested_ = true; }

void StreamEncoder::setLayout(std::unique_ptr<StreamLayout> layout) {
    state_->layout_ = layout != nullptr ? std::move(layout) : std::make_unique<StreamLayout>();
}

void StreamEncoder::State::resize(int width, int height) {
    const size_t columns = (static_cast<size_t>(width) + 15) / 16;
    const size_t rows = (static_cast<size_t>(height) + 15) / 16;
    // Release first: at the largest sizes two reference stores need not fit.
    reference_.clear();
    reference_.shrink_to_fit();
    reference_.resize(columns * rows * CoefficientsPerTile);
    width_ = width;
    height_ = height;
    tileColumns_ = columns;
    tileRows_ = rows;
}

void StreamEncoder::State::transformTile(const unsigned char* rgb, size_t tileColumn, size_t tileRow,
                                           int16_t* out) const {
    unsigned char luma[4][64];
    int chromaSums[2][64] = {};
    const size_t lastColumn = static_cast<size_t>(width_) - 1;
    const size_t lastRow = static_cast<size_t>(height_) - 1;
    for (size_t y = 0; y < 16; ++y) {
        // Beyond the picture's edge the last row and column repeat, which
        // keeps the padding smooth and cheap to code.
        const size_t sourceRow = std::min(tileRow * 16 + y, lastRow);
        const unsigned char* row = rgb + sourceRow * static_cast<size_t>(width_) * 3;
        for (size_t x = 0; x < 16; ++x) {
            const unsigned char* pixel = row + std::min(tileColumn * 16 + x, lastColumn) * 3;
            unsigned char lumaSample = 0;
            unsigned char blueDifference = 0;
            unsigned char redDifference = 0;
            vorc::convert_RGB_to_YCbCr(pixel[0], pixel[1], pixel[2], &lumaSample, &blueDifference, &redDifference);
            luma[(y / 8) * 2 + x / 8][(y % 8) * 8 + x % 8] = lumaSample;
            const size_t chromaIndex = (y / 2) * 8 + x / 2;
            chromaSums[0][chromaIndex] += blueDifference;
            chromaSums[1][chromaIndex] += redDifference;
        }
    }
    int32_t coefficients[64];
    for (int block = 0; block < 4; ++block) {
        vorc::forward_DCT_8x8(luma[block], coefficients);
        vorc::quantize_block(coefficients, lumaTable_, out + block * 64);
    }
    for (int component = 0; component < 2; ++component) {
        unsigned char chroma[64];
        for (int i = 0; i < 64; ++i) chroma[i] = static_cast<unsigned char>((chromaSums[component][i] + 2) / 4);
        vorc::forward_DCT_8x8(chroma, coefficients);
        vorc::quantize_block(coefficients, chromaTable_, out + (4 + component) * 64);
    }
}

void StreamEncoder::State::appendGapBefore(unsigned char markerCode) {
    const std::vector<uint8_t> gap = layout_->gapBefore(markerCode);
    if (std::find(gap.begin(), gap.end(), MarkerPrefix) != gap.end())
        throw vorc::InvalidArgument("vorc::StreamEncoder: a gap between segments must not hold FF");
    frame_.insert(frame_.end(), gap.begin(), gap.end());
}

void StreamEncoder::State::appendLaidOutSegment(unsigned char code, const std::vector<uint8_t>& payload) {
    if (payload.size() > LargestSegmentPayload)
        throw vorc::InvalidArgument("vorc::StreamEncoder: a segment payload must hold at most 65533 bytes");
    appendGapBefore(code);
    appendSegment(frame_, code, payload.data(), payload.size());
}

void StreamEncoder::State::appendFrameStart() {
    appendGapBefore(MarkerSOI);
    appendMarker(frame_, MarkerSOI);
    appendLaidOutSegment(MarkerAPP0, layout_->app0Payload({std::begin(JfifApp0Payload), std::end(JfifApp0Payload)}));
    const bool imageTag = layout_->imageTag(imageTag_);
    for (const bool tagOfImage : {true, false}) {
        if (tagOfImage && !imageTag) continue;
        std::vector<uint8_t> comment(tagOfImage ? std::begin(ImageTag) : std::begin(StreamTag),
                                     tagOfImage ? std::end(ImageTag) : std::end(StreamTag));
        const std::vector<uint8_t> tail = layout_->afterTag(tagOfImage);
        comment.insert(comment.end(), tail.begin(), tail.end());
        appendLaidOutSegment(MarkerCOM, comment);
    }
}

// The same tables as the transcoder's JPEG images.
void StreamEncoder::State::appendTables() {
    uint16_t tables[2][64];
    std::copy(std::begin(lumaTable_), std::end(lumaTable_), tables[0]);
    std::copy(std::begin(chromaTable_), std::end(chromaTable_), tables[1]);
    for (int table = 0; table < 2; ++table) {
        appendGapBefore(MarkerDQT);
        appendQuantisationTable(frame_, table, tables[table]);
    }
    // A frame without its size takes the one the reader had.
    const bool namedSize = width_ != readerWidth_ || height_ != readerHeight_ || layout_->namePictureSize();
    if (namedSize) {
        appendGapBefore(MarkerSOF0);
        appendFrameHeader(frame_, width_, height_);
        readerWidth_ = width_;
        readerHeight_ = height_;
    }
    // The tables are followed by the size or a Huffman table, or the frame is rejected.
    const int huffmanTables = std::clamp(layout_->huffmanTables(), namedSize ? 0 : 1, StandardHuffmanTables);
    for (int index = 0; index < huffmanTables; ++index) {
        appendGapBefore(MarkerDHT);
        appendHuffmanTable(frame_, index);
    }
}

void StreamEncoder::State::send(const std::vector<unsigned char>& bytes) {
    size_t offset = 0;
    while (offset < bytes.size()) {
        const size_t piece = std::min(bytes.size() - offset, static_cast<size_t>(INT_MAX));
        receiver_->receiveStreamBytes(bytes.data() + offset, static_cast<int>(piece));
        offset += piece;
    }
    bytesWritten_ += bytes.size();
}

size_t StreamEncoder::State::encodeFrame(const unsigned char* rgb, int width, int height) {
    if (rgb == nullptr) throw vorc::InvalidArgument("vorc::StreamEncoder: the picture is null");
    if (width < 1 || width > LargestPictureSide || height < 1 || height > LargestPictureSide) {
        throw vorc::InvalidArgument("vorc::StreamEncoder: width and height must be 1 to 65535 pixels");
    }

    if (width != width_ || height != height_) {
        fullFrameRequested_ = true;
        resize(width, height);
    }
    if (quality_ != codedQuality_) {
        fullFrameRequested_ = true;
        vorc::make_quantization_table(quality_, false, lumaTable_);
        vorc::make_quantization_table(quality_, true, chromaTable_);
        codedQuality_ = quality_;
    }
    const size_t tiles = tileColumns_ * tileRows_;
    const bool full = fullFrameRequested_ || framesSinceFull_ >= keyFrameInterval_ || tiles > LargestBitmapTiles;
    // Until this frame is out, the reference may hold tiles the reader
    // never got; should anything fail on the way, the next frame is full.
    fullFrameRequested_ = true;

    std::vector<unsigned char> bitmap(full ? 0 : (tiles + 7) / 8);
    scan_.clear();
    entropyCoder_.beginScan(&scan_);
    size_t codedTiles = 0;
    for (size_t k = 0; k < tiles; ++k) {
        transformTile(rgb, k % tileColumns_, k / tileColumns_, candidate_.data());
        int16_t* reference = reference_.data() + k * CoefficientsPerTile;
        if (!full) {
            int64_t difference = 0;
            for (size_t i = 0; i < CoefficientsPerTile; ++i) difference += std::abs(candidate_[i] - reference[i]);
            if (difference <= changeThreshold_) continue;
            bitmap[k / 8] = static_cast<unsigned char>(bitmap[k / 8] | (0x80 >> (k % 8)));
        }
        std::copy(candidate_.begin(), candidate_.end(), reference);
        for (int block = 0; block < 6; ++block) {
            const auto component = block < 4 ? ScanEntropyCoder::Luminance
                                             : (block == 4 ? ScanEntropyCoder::BlueDifference
                                                           : ScanEntropyCoder::RedDifference);
            entropyCoder_.encodeBlock(component, reference + block * 64);
        }
        ++codedTiles;
    }
    entropyCoder_.endScan();

    frame_.clear();
    appendFrameStart();
    if (!full) {
        // The 12 bytes before the bitmap are not read by the parser; they
        // carry the tile grid, the coded tiles and the frame number for
        // whoever looks at a stream by hand.
        std::vector<unsigned char> fields;
        appendBigEndian16(fields, tileColumns_);
        appendBigEndian16(fields, tileRows_);
        putBigEndian32(fields, codedTiles);
        putBigEndian32(fields, framesEncoded_);
        uint8_t header[BitmapHeaderBytes] = {};
        std::memcpy(header, fields.data(), std::min(fields.size(), sizeof header));
        layout_->bitmapHeader(header);
        std::vector<uint8_t> payload(BitmapHeaderBytes + bitmap.size());
        std::memcpy(payload.data(), header, BitmapHeaderBytes);
        std::copy(bitmap.begin(), bitmap.end(), payload.begin() + BitmapHeaderBytes);
        appendLaidOutSegment(MarkerCOM, payload);
    }
    if (full || layout_->tablesInPartialFrame(tablesInPartialFrames_)) appendTables();
    appendGapBefore(MarkerSOS);
    appendScanHeader(frame_);
    frame_.insert(frame_.end(), scan_.begin(), scan_.end());
    appendMarker(frame_, MarkerEOI);
    const std::optional<std::vector<uint8_t>> app13 = layout_->app13After();
    if (app13) appendLaidOutSegment(MarkerAPP13, *app13);
    send(frame_);

    fullFrameRequested_ = false;
    framesSinceFull_ = full ? 1 : framesSinceFull_ + 1;
    app13Allowed_ = !app13;
    ++framesEncoded_;
    if (full) ++fullFramesEncoded_;
    lastFrameWasFull_ = full;
    return codedTiles;
}

int StreamEncoder::State::writeApplicationSegment(const unsigned char* payload, int length) {
    if (length < 1 || static_cast<size_t>(length) > LargestSegmentPayload || payload == nullptr) {
        throw vorc::InvalidArgument("vorc::StreamEncoder: an APP13 payload must hold 1 to 65533 bytes");
    }
    if (!app13Allowed_) return 1;
    frame_.clear();
    appendLaidOutSegment(MarkerAPP13, std::vector<uint8_t>(payload, payload + length));
    send(frame_);
    app13Allowed_ = false;
    return 0;
}

StreamEncoder::StreamEncoder(vorcByteStreamReceiver* receiver) : state_(std::make_unique<State>(receiver)) {}

StreamEncoder::~StreamEncoder() = default;

size_t StreamEncoder::encodeFrame(const unsigned char* rgb, int width, int height) {
    return state_->encodeFrame(rgb, width, height);
}

int StreamEncoder::writeApplicationSegment(const unsigned char* payload, int length) {
    return state_->writeApplicationSegment(payload, length);
}

void StreamEncoder::finish() {
    if (state_->app13Allowed_) state_->writeApplicationSegment(EndOfStreamPayload, sizeof EndOfStreamPayload);
}

uint64_t StreamEncoder::getFramesEncoded() const { return state_->framesEncoded_; }
uint64_t StreamEncoder::getFullFramesEncoded() const { return state_->fullFramesEncoded_; }
bool StreamEncoder::lastFrameWasFull() const { return state_->lastFrameWasFull_; }
uint64_t StreamEncoder::getBytesWritten() const { return state_->bytesWritten_; }

}  // namespace vorc
