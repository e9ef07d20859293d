// The last picture of a stream for `vorc motion --heatmap`, and the heat map
// drawn over it.
#include "tools/motion/heatmap.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "tools/imageio/png_writer.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/chain/chain.h"
#include "vorc/decode/scan_decoder_software.h"

namespace {

constexpr int PieceSize = 65536;

// Hands the parser the bytes pushed into it; it ends only when told.
class PushedBytesSource : public vorcStreamSource {
public:
    void push(const unsigned char* bytes, size_t count) {
        if (next_ == bytes_.size()) {
            bytes_.clear();
            next_ = 0;
        }
        bytes_.insert(bytes_.end(), bytes, bytes + count);
    }
    void end() { ended_ = true; }
    int fetchBytes(unsigned char* buffer, int maxBytes) override {
        const size_t count = std::min(bytes_.size() - next_, static_cast<size_t>(std::max(maxBytes, 0)));
        if (count > 0) std::memcpy(buffer, bytes_.data() + next_, count);
        next_ += count;
        return static_cast<int>(count);
    }
    bool stillUp() override { return !ended_ || next_ < bytes_.size(); }

private:
    std::vector<unsigned char> bytes_;
    size_t next_ = 0;
    bool ended_ = false;
};

// Keeps the picture; nothing else to do with a frame.
class PictureBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    void errorEncountered() override {}
    void frameComplete() override { ++frames; }
    void videoTileReceived() override {}
    long frames = 0;
};

// A tile's colour for its share of the highest count (0 to 256): blue, then
// through yellow to red.
void heatColour(int level, int rgb[3]) {
    if (level < 128) {
        rgb[0] = level * 2;
        rgb[1] = 64 + level * 3 / 2;
        rgb[2] = 255 - level * 2;
    } else {
        rgb[0] = 255;
        rgb[1] = std::max(0, 255 - (level - 128) * 2);
        rgb[2] = 0;
    }
}

}  // namespace

// The pixel chain over pushed bytes: the picture after the last frame.
class PictureDecoder {
public:
    PictureDecoder() {
        auto source = std::make_unique<PushedBytesSource>();
        auto picture = std::make_unique<PictureBackEnd>();
        source_ = source.get();
        picture_ = picture.get();
        // The walk has already dealt with damage as the user asked.
        chain_ = std::make_unique<vorc::Chain>(std::move(source), std::make_unique<vorcFramewiseTesraScanDecoderSoftwareOnly>(),
                                               std::move(picture), vorc::ChainOptions{vorc::StreamErrorPolicy::SkipFrame});
    }
    void push(const unsigned char* bytes, size_t count) {
        source_->push(bytes, count);
        while (chain_->decode(PieceSize) > 0) {
        }
    }
    bool finish(int* width, int* height, std::vector<unsigned char>* rgb) {
        source_->end();
        while (chain_->decode(PieceSize) != 0 || chain_->sourceStillUp()) {
        }
        if (picture_->frames == 0 || picture_->frameBuffer == nullptr) return false;
        *width = picture_->width;
        *height = picture_->height;
        const size_t rowBytes = static_cast<size_t>(picture_->width) * 3;
        rgb->resize(rowBytes * static_cast<size_t>(picture_->height));
        for (int y = 0; y < picture_->height; ++y)
            std::memcpy(rgb->data() + static_cast<size_t>(y) * rowBytes, picture_->pictureRow(y), rowBytes);
        return true;
    }

private:
    PushedBytesSource* source_;  // owned by the chain, as is picture_
    PictureBackEnd* picture_;
    std::unique_ptr<vorc::Chain> chain_;
};

LastPictureKeeper::LastPictureKeeper(size_t retainedBytesLimit) : retainedBytesLimit_(retainedBytesLimit) {}
LastPictureKeeper::~LastPictureKeeper() = default;

void LastPictureKeeper::input(const unsigned char* bytes, size_t count) {
    if (decoder_ != nullptr) {
        decoder_->push(bytes, count);
        return;
    }
    retained_.insert(retained_.end(), bytes, bytes + count);
    if (retained_.size() > retainedBytesLimit_) startDecoder();
}

void LastPictureKeeper::fullFrameAt(uint64_t offset) {
    // Once decoding has begun, the decoder meets the full frame itself.
    if (decoder_ != nullptr || offset <= retainedFrom_) return;
    const size_t drop = static_cast<size_t>(std::min<uint64_t>(offset - retainedFrom_, retained_.size()));
    retained_.erase(retained_.begin(), retained_.begin() + static_cast<std::ptrdiff_t>(drop));
    retainedFrom_ += drop;
}

void LastPictureKeeper::startDecoder() {
    decoder_.reset(new PictureDecoder);
    decoder_->push(retained_.data(), retained_.size());
    retainedFrom_ += retained_.size();
    retained_.clear();
    retained_.shrink_to_fit();
}

bool LastPictureKeeper::decode(int* width, int* height, std::vector<unsigned char>* rgb) {
    if (decoder_ == nullptr) startDecoder();
    const bool decoded = decoder_->finish(width, height, rgb);
    decoder_.reset();
    return decoded;
}

bool writeHeatMapPng(std::FILE* out, const vorc::HeatMap& heat, int width, int height,
                     const std::vector<unsigned char>& rgb) {
    if ((width + vorc::MotionTileSize - 1) / vorc::MotionTileSize != heat.columns ||
        (height + vorc::MotionTileSize - 1) / vorc::MotionTileSize != heat.rows)
        return false;
    const uint32_t highest = heat.counts.empty() ? 0 : *std::max_element(heat.counts.begin(), heat.counts.end());
    std::vector<unsigned char> drawn(rgb.size());
    std::vector<const unsigned char*> rows(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        const size_t rowStart = static_cast<size_t>(y) * static_cast<size_t>(width) * 3;
        rows[static_cast<size_t>(y)] = drawn.data() + rowStart;
        for (int x = 0; x < width; ++x) {
            const size_t at = rowStart + static_cast<size_t>(x) * 3;
            const uint32_t count = heat.counts[static_cast<size_t>(y / vorc::MotionTileSize) * heat.columns +
                                               static_cast<size_t>(x / vorc::MotionTileSize)];
            // Dimmed to three fifths, so that the colours stand out.
            int pixel[3] = {rgb[at] * 3 / 5, rgb[at + 1] * 3 / 5, rgb[at + 2] * 3 / 5};
            if (count > 0) {
                const int level = static_cast<int>(uint64_t{count} * 256 / highest);
                int colour[3];
                heatColour(level, colour);
                // From 40% colour for the rarest change to 90% for the most frequent.
                const int alpha = 102 + level * 128 / 256;
                for (int c = 0; c < 3; ++c) pixel[c] = (pixel[c] * (256 - alpha) + colour[c] * alpha) / 256;
            }
            for (int c = 0; c < 3; ++c) drawn[at + static_cast<size_t>(c)] = static_cast<unsigned char>(pixel[c]);
        }
    }
    return writeRgbPng(out, width, height, rows);
}
