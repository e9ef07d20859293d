// The chain: its parts joined, the frame tracker between the parser and the
// back end, and the run's account kept up to date.
#include "vorc/chain/chain.h"

#include <utility>

#include "vorc/parse/coded_tiles.h"

namespace vorc {

// Between the parser and the caller's back end: notes every frame as it is
// handed on and passes every call on.
class Chain::Tracker : public vorcTesraDecoderBackEnd {
public:
    explicit Tracker(std::unique_ptr<vorcTesraDecoderBackEnd> inner) : inner_(std::move(inner)) {}

    void videoResolutionChanged(int width, int height) override {
        if (stats.frames > 0 && (width != stats.width || height != stats.height)) stats.sizeChanged = true;
        stats.width = width;
        stats.height = height;
        inner_->videoResolutionChanged(width, height);
    }
    void errorEncountered() override {
        damaged_ = true;
        inner_->errorEncountered();
    }
    void frameComplete() override {
        const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame = parser->frameInHand();
        FrameInfo info;
        info.index = ++stats.frames;
        info.offset = parser->frameStreamOffset();
        info.width = stats.width;
        info.height = stats.height;
        info.damaged = damaged_;
        info.stale = parser->pictureIsStale();
        info.fullFrame = frame != nullptr && frame->tileBitmap == nullptr;
        info.codedTiles = frame != nullptr ? codedTiles(*frame) : 0;
        stats.fullFrames += info.fullFrame ? 1 : 0;
        stats.damagedFrames += info.damaged ? 1 : 0;
        stats.codedTiles += info.codedTiles;
        last = info;
        damaged_ = false;
        if (observer) observer(last, frame != nullptr ? frame->tileBitmap : nullptr);
        inner_->frameComplete();
    }
    void provideVideoTilePixelTarget(int tileColumn, int tileRow, unsigned int** pixelTarget, int* rowPad) override {
        inner_->provideVideoTilePixelTarget(tileColumn, tileRow, pixelTarget, rowPad);
    }
    void videoTileReceived() override { inner_->videoTileReceived(); }

    const vorcFramewiseTesraDecoder* parser = nullptr;
    FrameObserver observer;
    ChainStats stats;
    FrameInfo last;

private:
    std::unique_ptr<vorcTesraDecoderBackEnd> inner_;
    bool damaged_ = false;
};

// Shows every piece of input to the observer on its way to the parser.
class Chain::ObservedSource : public vorcStreamSource {
public:
    ObservedSource(std::unique_ptr<vorcStreamSource> inner, const InputObserver& observer)
        : inner_(std::move(inner)), observer_(observer) {}
    int fetchBytes(unsigned char* buffer, int maxBytes) override {
        const int got = inner_->fetchBytes(buffer, maxBytes);
        if (got > 0 && observer_) observer_(buffer, static_cast<size_t>(got));
        return got;
    }
    bool stillUp() override { return inner_->stillUp(); }

private:
    std::unique_ptr<vorcStreamSource> inner_;
    const InputObserver& observer_;
};

// Sweeps no frame of a picture larger than the chain's limit: such a frame
// is damaged, and the scan decoder allocates nothing for it.
class Chain::SizeLimit : public vorcFramewiseTesraScanDecoder {
public:
    SizeLimit(std::unique_ptr<vorcFramewiseTesraScanDecoder> inner, uint64_t maxPixels)
        : inner_(std::move(inner)), maxPixels_(maxPixels) {}
    const char* getAccelerationTypeString() override { return inner_->getAccelerationTypeString(); }
    void setYQuantizationTable(unsigned char* table) override { inner_->setYQuantizationTable(table); }
    void setUVQuantizationTable(unsigned char* table) override { inner_->setUVQuantizationTable(table); }
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override {
        if (uint64_t(frame->width) * uint64_t(frame->height) > maxPixels_) {
            backEnd->errorEncountered();
            return;
        }
        // The parser hands its back end to this link only.
        inner_->setBackEnd(backEnd);
        inner_->performScanSweep(frame);
    }

private:
    std::unique_ptr<vorcFramewiseTesraScanDecoder> inner_;
    uint64_t maxPixels_;
};

Chain::Chain(std::unique_ptr<vorcStreamSource> source, std::unique_ptr<vorcFramewiseTesraScanDecoder> scanDecoder,
             std::unique_ptr<vorcTesraDecoderBackEnd> backEnd, ChainOptions options) {
    if (options.maxPixels != 0) scanDecoder = std::make_unique<SizeLimit>(std::move(scanDecoder), options.maxPixels);
    // The source refers to the chain's input observer, which outlives it.
    auto observed = std::make_unique<ObservedSource>(std::move(source), inputObserver_);
    auto tracker = std::make_unique<Tracker>(std::move(backEnd));
    tracker_ = tracker.get();
    // The parser owns all three from here on, also if its constructor throws.
    parser_ = std::make_unique<vorcFramewiseTesraDecoder>(observed.release(), tracker.release(), scanDecoder.release());
    tracker_->parser = parser_.get();
    parser_->setStreamErrorPolicy(options.policy);
}

Chain::~Chain() = default;

void Chain::observeFrames(FrameObserver observer) { tracker_->observer = std::move(observer); }

void Chain::observeInput(InputObserver observer) { inputObserver_ = std::move(observer); }

int Chain::decode(int maxBytes) {
    const int got = parser_->decode(maxBytes);
    ChainStats& stats = tracker_->stats;
    stats.bytesRead += static_cast<uint64_t>(got > 0 ? got : 0);
    stats.skippedBytes = parser_->skippedBytes();
    stats.lastError = parser_->lastStreamError();
    stats.unfinishedFrameOffset = parser_->unfinishedFrameOffset();
    return got;
}

bool Chain::sourceStillUp() { return parser_->sourceStillUp(); }

const ChainStats& Chain::stats() const { return tracker_->stats; }

const FrameInfo& Chain::lastFrame() const { return tracker_->last; }

vorcFramewiseTesraDecoder& Chain::parser() { return *parser_; }

}  // namespace vorc
