// Valid streams written by the stream encoder under a layout the fuzz input
// drives, and the traces of the pixel and JPEG chains that read them.
#include "valid_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "exact_size_parser.h"
#include "exact_size_source.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/core/picture_limits.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/encode/stream_encoder.h"
#include "vorc/transcode/jpeg_converter.h"

namespace vorcfuzz {

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t checksum(const void* bytes, size_t count, uint64_t hash = 1469598103934665603u) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < count; ++i) hash = (hash ^ p[i]) * 1099511628211u;
    return hash;
}

// The start of a JPEG image with a JFIF header, as thumbnails inside APP13
// payloads begin.
const Bytes EmbeddedImageStart = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};

class FuzzedLayout : public vorc::StreamLayout {
public:
    explicit FuzzedLayout(InputBytes& input) : input_(input) {}

    Bytes gapBefore(uint8_t) override {
        if (!input_.chance(3)) return {};
        Bytes gap(1 + input_.upTo(5));
        for (uint8_t& byte : gap) byte = input_.next() % 0xFF;
        return gap;
    }
    Bytes app0Payload(Bytes plain) override { return input_.chance(3) ? anyBytes(20) : plain; }
    bool imageTag(bool plain) override { return input_.chance(4) ? !plain : plain; }
    Bytes afterTag(bool) override { return input_.chance(3) ? anyBytes(8) : Bytes(); }
    void bitmapHeader(uint8_t (&header)[12]) override {
        if (input_.chance(3))
            for (uint8_t& byte : header) byte = input_.next();
    }
    bool tablesInPartialFrame(bool plain) override { return plain || input_.chance(4); }
    bool namePictureSize() override { return !input_.chance(3); }
    int huffmanTables() override { return input_.chance(4) ? static_cast<int>(input_.upTo(3)) : 4; }
    std::optional<Bytes> app13After() override {
        if (!input_.chance(5)) return std::nullopt;
        Bytes payload = anyBytes(40);
        // What real payloads and damaged streams hold: an embedded image's
        // start, image ends and fill bytes, and an SOI as the last bytes.
        switch (input_.next() % 5) {
            case 0:
                payload.insert(payload.begin() + static_cast<std::ptrdiff_t>(input_.upTo(static_cast<uint32_t>(payload.size()))),
                               EmbeddedImageStart.begin(), EmbeddedImageStart.end());
                break;
            case 1: payload.insert(payload.end(), {0xFF, 0xD8}); break;
            case 2: payload.insert(payload.end(), {0xFF, 0xD9, 0xFF, 0xFF}); break;
            default: break;
        }
        return payload;
    }

private:
    // Any bytes but a frame's tag comment, which a frame's segments never hold.
    Bytes anyBytes(uint32_t most) {
        Bytes bytes(input_.upTo(most));
        for (uint8_t& byte : bytes) byte = input_.next();
        for (size_t i = 0; i + 6 < bytes.size(); ++i)
            if (bytes[i] == 0xFF && bytes[i + 1] == 0xFE && bytes[i + 4] == 'T' && bytes[i + 5] == 'S' && bytes[i + 6] == 'F')
                bytes[i + 6] = 'G';
        return bytes;
    }

    InputBytes& input_;
};

// The end of the frame's EOI and whether it names its size: its segments
// walked from its SOI, past the gaps between them.
void walkFrame(const Bytes& bytes, size_t at, size_t& eoiEnd, bool& namesSize) {
    at += 2;
    namesSize = false;
    while (at + 3 < bytes.size()) {
        if (bytes[at] != 0xFF) {
            ++at;
            continue;
        }
        const uint8_t code = bytes[at + 1];
        const size_t length = static_cast<size_t>(bytes[at + 2]) << 8 | bytes[at + 3];
        if (code == 0xC0) namesSize = true;
        at += 2 + length;
        if (code != 0xDA) continue;
        while (at + 1 < bytes.size() && !(bytes[at] == 0xFF && bytes[at + 1] == 0xD9)) ++at;
        break;
    }
    eoiEnd = at + 2;
}

// Keeps what the encoder writes and where each frame lies in it.
class StreamRecorder : public vorcByteStreamReceiver {
public:
    explicit StreamRecorder(ValidStream& stream) : stream_(stream) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override {
        const size_t start = stream_.bytes.size();
        stream_.bytes.insert(stream_.bytes.end(), bytes, bytes + count);
        // The encoder sends a frame, with what comes before and after it, at
        // once; gaps hold no FF, so the first FF is the frame's SOI.
        const auto soi = std::find(stream_.bytes.begin() + static_cast<std::ptrdiff_t>(start), stream_.bytes.end(), 0xFF);
        if (soi + 1 < stream_.bytes.end() && soi[1] == 0xD8) {
            const size_t at = static_cast<size_t>(soi - stream_.bytes.begin());
            size_t eoiEnd = 0;
            bool namesSize = false;
            walkFrame(stream_.bytes, at, eoiEnd, namesSize);
            stream_.frameStarts.push_back(at);
            stream_.eoiEnds.push_back(eoiEnd);
            stream_.namesSize.push_back(namesSize);
        }
    }

private:
    ValidStream& stream_;
};

struct Picture {
    int width = 0;
    int height = 0;
    Bytes rgb;

    void paint(InputBytes& input, int x, int y, int w, int h) {
        const uint8_t colour[3] = {input.next(), input.next(), input.next()};
        const uint8_t noise = input.next() & 0x3F;
        uint32_t random = input.next();
        for (int row = y; row < std::min(height, y + h); ++row) {
            for (int column = x; column < std::min(width, x + w); ++column) {
                for (int channel = 0; channel < 3; ++channel) {
                    random = random * 1103515245u + 12345u;
                    const int grain = noise == 0 ? 0 : static_cast<int>((random >> 16) % (noise + 1u));
                    rgb[(static_cast<size_t>(row) * width + column) * 3 + channel] =
                        static_cast<uint8_t>(std::min(255, colour[channel] + grain + (column + row) % 7));
                }
            }
        }
    }
};

}  // namespace

uint32_t InputBytes::upTo(uint32_t most) {
    if (most == 0) return 0;
    // One read per statement: the order of reads within an expression is
    // the compiler's choice, and the same input must build the same stream
    // in every build.
    uint32_t value = next();
    if (most >= 256) value = value << 8 | next();
    return value % (most + 1);
}

ValidStream buildValidStream(InputBytes& input, int maxFrames, int maxTiles) {
    ValidStream stream;
    vorc::StreamEncoder encoder(new StreamRecorder(stream));
    encoder.setLayout(std::make_unique<FuzzedLayout>(input));
    encoder.setImageTagEnabled(input.chance(4));
    encoder.setTablesInPartialFramesEnabled(input.chance(4));
    encoder.setKeyFrameInterval(1 + static_cast<int>(input.upTo(7)));
    Picture picture;
    const int frames = 1 + static_cast<int>(input.upTo(static_cast<uint32_t>(maxFrames - 1)));
    for (int frame = 0; frame < frames && !input.exhausted(); ++frame) {
        if (picture.width == 0 || input.chance(1)) {
            // Any size from one pixel on, odd ones included, within the tiles allowed.
            picture.width = 1 + static_cast<int>(input.upTo(16 * 12 - 1));
            const int columns = (picture.width + 15) / 16;
            const int rows = std::max(1, maxTiles / columns);
            picture.height = 1 + static_cast<int>(input.upTo(static_cast<uint32_t>(rows * 16 - 1)));
            picture.rgb.assign(static_cast<size_t>(picture.width) * picture.height * 3, 0);
            picture.paint(input, 0, 0, picture.width, picture.height);
        }
        for (uint32_t change = input.upTo(3); change > 0; --change) {
            const int x = static_cast<int>(input.upTo(static_cast<uint32_t>(picture.width - 1)));
            const int y = static_cast<int>(input.upTo(static_cast<uint32_t>(picture.height - 1)));
            const int width = 1 + static_cast<int>(input.upTo(40));
            const int height = 1 + static_cast<int>(input.upTo(40));
            picture.paint(input, x, y, width, height);
        }
        if (input.chance(1)) encoder.setQuality(1 + static_cast<int>(input.upTo(99)));
        encoder.setChangeThreshold(static_cast<int>(input.upTo(3)) * 40);
        encoder.encodeFrame(picture.rgb.data(), picture.width, picture.height);
        stream.fullFrames.push_back(encoder.lastFrameWasFull());
    }
    if (input.chance(8)) encoder.finish();
    return stream;
}

namespace {

// Keeps the picture, cleared at every size, and logs every call.
class TracingBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    explicit TracingBackEnd(ChainTrace& trace) : trace_(trace) {}
    void setParser(const vorcFramewiseTesraDecoder* parser) { parser_ = parser; }
    void videoResolutionChanged(int newWidth, int newHeight) override {
        vorcBufferedTesraDecoderBackEnd::videoResolutionChanged(newWidth, newHeight);
        if (frameBuffer != nullptr)
            std::memset(frameBuffer, 0, static_cast<size_t>(tileColumns) * tileRows * WordsPerTile * 4);
        trace_.pixels += "R" + std::to_string(newWidth) + "x" + std::to_string(newHeight) + " ";
    }
    void provideVideoTilePixelTarget(int column, int row, unsigned int** target, int* rowPad) override {
        vorcBufferedTesraDecoderBackEnd::provideVideoTilePixelTarget(column, row, target, rowPad);
        trace_.pixels += "T" + std::to_string(column) + "," + std::to_string(row) + " ";
    }
    void errorEncountered() override {
        damaged_ = true;
        trace_.pixels += "E ";
    }
    void videoTileReceived() override {}
    void frameComplete() override {
        const uint64_t picture =
            frameBuffer == nullptr ? 0 : checksum(frameBuffer, static_cast<size_t>(tileColumns) * tileRows * WordsPerTile * 4);
        trace_.pixels += "C" + std::to_string(picture) + " @" + std::to_string(parser_->frameStreamOffset()) + "\n";
        trace_.damaged.push_back(damaged_);
        trace_.pictures.push_back(picture);
        trace_.stale.push_back(parser_->pictureIsStale());
        damaged_ = false;
    }

private:
    ChainTrace& trace_;
    const vorcFramewiseTesraDecoder* parser_ = nullptr;
    bool damaged_ = false;
};

// Logs every image and keeps a checksum of the last one.
class ImageTracer : public vorcJPEGReceiver {
public:
    ImageTracer(std::string& log, uint64_t& last) : log_(log), last_(last) {}
    void beginFrame() override { hash_ = checksum(nullptr, 0); }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        hash_ = checksum(bytes, static_cast<size_t>(count), hash_);
    }
    void endFrame() override {
        log_ += "J" + std::to_string(hash_) + " ";
        last_ = hash_;
    }

private:
    std::string& log_;
    uint64_t& last_;
    uint64_t hash_ = 0;
};

class CallTracer : public vorcTesraDecoderBackEnd {
public:
    CallTracer(ChainTrace& trace, uint64_t& lastImage) : trace_(trace), log_(trace.images), lastImage_(lastImage) {}
    void videoResolutionChanged(int width, int height) override {
        log_ += "R" + std::to_string(width) + "x" + std::to_string(height) + " ";
    }
    void errorEncountered() override { log_ += "E "; }
    void frameComplete() override {
        log_ += "C\n";
        trace_.imageOfFrame.push_back(lastImage_);
        lastImage_ = 0;
    }
    void provideVideoTilePixelTarget(int, int, unsigned int** target, int* rowPad) override {
        *target = nullptr;
        *rowPad = 0;
    }
    void videoTileReceived() override { log_ += "t"; }

private:
    ChainTrace& trace_;
    std::string& log_;
    uint64_t& lastImage_;
};

class MessageTracer : public vorcStatusMessageHandler {
public:
    explicit MessageTracer(std::string& log) : log_(log) {}
    void sendStatusMsg(const char* msg, void*) override { log_ += std::string("M[") + msg + "] "; }

private:
    std::string& log_;
};

void run(ExactSizeParser& parser, bool skipErrors, uint8_t pieceSeed) {
    parser.setStreamErrorPolicy(skipErrors ? vorc::StreamErrorPolicy::SkipFrame : vorc::StreamErrorPolicy::ExitProcess);
    uint32_t sequence = pieceSeed;
    const auto nextSize = [&]() -> int {
        if ((pieceSeed & 0x80) == 0) return 65536;
        sequence = sequence * 1103515245u + 12345u;
        return 1 + static_cast<int>((sequence >> 16) % 97);
    };
    while (parser.decode(nextSize()) != 0 || parser.sourceStillUp()) {
    }
}

// Sets the library's picture limit for its lifetime.
class PictureLimitScope {
public:
    explicit PictureLimitScope(uint64_t pixels) : saved_(vorc::maxPicturePixels()) { vorc::setMaxPicturePixels(pixels); }
    ~PictureLimitScope() { vorc::setMaxPicturePixels(saved_); }
    PictureLimitScope(const PictureLimitScope&) = delete;
    PictureLimitScope& operator=(const PictureLimitScope&) = delete;

private:
    uint64_t saved_;
};

}  // namespace

ChainTrace traceChains(const std::vector<uint8_t>& stream, bool skipErrors, uint8_t pieceSeed, int maxTiles) {
    const PictureLimitScope limit(static_cast<uint64_t>(maxTiles) * 16 * 16);
    ChainTrace trace;
    {
        MessageTracer messages(trace.pixels);
        const vorc::StatusMessageScope scope(&messages);
        auto* backEnd = new TracingBackEnd(trace);
        ExactSizeParser parser(new ExactSizeSource(stream.data(), stream.size(), pieceSeed), backEnd,
                               new vorcFramewiseTesraScanDecoderSoftwareOnly(), stream.size());
        backEnd->setParser(&parser);
        run(parser, skipErrors, pieceSeed);
        trace.framesHandedOn = parser.framesHandedOn();
        trace.damagedFrames = parser.damagedFrames();
        trace.skippedBytes = parser.skippedBytes();
        trace.streamError = parser.lastStreamError().has_value();
    }
    {
        MessageTracer messages(trace.images);
        const vorc::StatusMessageScope scope(&messages);
        uint64_t lastImage = 0;
        ExactSizeParser parser(new ExactSizeSource(stream.data(), stream.size(), pieceSeed ^ 0x55),
                               new CallTracer(trace, lastImage),
                               new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(new ImageTracer(trace.images, lastImage)),
                               stream.size());
        run(parser, skipErrors, pieceSeed ^ 0x55);
    }
    return trace;
}

}  // namespace vorcfuzz
