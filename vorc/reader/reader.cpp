// vorc::Reader: owns one chain and pulls bytes through it until a frame has
// come out. The chain is built at the first request, with the pixel decoder
// for next() or the transcoder for nextJPEG(); the source is opened at once,
// so that a source that cannot be opened fails in the constructor. A silent
// source is waited for in slices, between which the silence is timed and the
// caller's interrupted check is asked.
#include "vorc/reader.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <utility>

#include "vorc/chain/chain.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/reader/frame_collectors.h"
#include "vorc/reader/source_opening.h"
#include "vorc/transcode/jpeg_converter.h"

namespace vorc {

namespace {

// Bytes per decode call: small enough that one call rarely completes more
// than a few frames, each of which is held as a converted picture.
constexpr int PieceSize = 4096;

// The longest a fetch from a silent source waits before the Reader looks at
// the timeout and the caller's interrupted check again.
constexpr std::chrono::milliseconds WaitSlice{100};
using Slice = std::chrono::milliseconds;

// A million frames a second: far beyond any camera, far within a double.
constexpr double MaxFileFps = 1e6;

std::chrono::milliseconds waitSlice(std::chrono::milliseconds timeout) {
    return timeout.count() > 0 && timeout < WaitSlice ? timeout : WaitSlice;
}

// Hands the library's messages to the Reader's callback, if there is one.
class StatusRouter : public LeveledStatusMessageHandler {
public:
    void statusMessage(StatusLevel level, const char* msg, void*) override {
        if (callback) callback(level, msg);
    }
    StatusCallback callback;
};

}  // namespace

class Reader::State {
public:
    // open(options, slice) gives the OpenedSource; it runs with the Reader's
    // status handler.
    template <typename Open>
    State(const std::string& sourceName, ReaderOptions readerOptions, Open open)
        : name(sourceName), options(std::move(readerOptions)) {
        if (!(options.fileFps > 0.0 && options.fileFps <= MaxFileFps)) {
            throw InvalidArgument("vorc::Reader: fileFps must be above 0 and at most 1e6, not " +
                                  std::to_string(options.fileFps));
        }
        router.callback = options.status;
        StatusMessageScope scope(&router);
        OpenedSource opened = open(options, waitSlice(options.timeout));
        source = std::move(opened.source);
        camera = opened.camera;
    }

    ~State() {
        StatusMessageScope scope(&router);
        chain.reset();
    }

    enum class Output { Undecided, Pictures, JPEGImages };

    void build(Output wanted) {
        if (output == wanted) return;
        if (output != Output::Undecided) {
            throw std::logic_error("vorc::Reader: next() and nextJPEG() cannot be mixed on one Reader");
        }
        std::unique_ptr<vorcFramewiseTesraScanDecoder> scanDecoder;
        std::unique_ptr<vorcTesraDecoderBackEnd> backEnd;
        if (wanted == Output::Pictures) {
            scanDecoder = std::make_unique<vorcFramewiseTesraScanDecoderSoftwareOnly>();
            backEnd = std::make_unique<PictureCollector>(options.format, options.maxPixels, &current, &pictures);
        } else {
            scanDecoder = std::make_unique<vorcFramewiseTesraScanToJPEGConverterSoftwareOnly>(
                new JPEGImageReceiver(&jpegImage));
            backEnd = std::make_unique<JPEGCollector>(&current, &jpegImage, &jpegFrames);
        }
        chain = std::make_unique<Chain>(std::move(source), std::move(scanDecoder), std::move(backEnd),
                                        ChainOptions{StreamErrorPolicy::SkipFrame, options.maxPixels});
        chain->observeFrames([this](const FrameInfo& frame, const uint8_t* tileBitmap) { note(frame, tileBitmap); });
        output = wanted;
    }

    // What the collectors give the frame that the chain hands on now.
    void note(const FrameInfo& frame, const uint8_t* tileBitmap) {
        static_cast<FrameInfo&>(current) = frame;
        current.timestamp =
            camera != nullptr
                ? std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count()
                : double(frame.index - 1) / options.fileFps;
        // A damaged frame's bitmap may belong to another picture size.
        if (tileBitmap != nullptr && !frame.damaged) {
            const size_t tiles = size_t((frame.width + 15) / 16) * size_t((frame.height + 15) / 16);
            current.tileBitmap.assign(tileBitmap, tileBitmap + (tiles + 7) / 8);
        } else {
            current.tileBitmap.clear();
        }
    }

    // Decodes until queue holds a frame or the source has ended. Each
    // fetch waits at most a slice; between slices the silence is timed and
    // the caller may interrupt.
    template <typename Queue>
    std::optional<typename Queue::value_type> pull(Output wanted, Queue& queue) {
        using Clock = std::chrono::steady_clock;
        StatusMessageScope scope(&router);
        build(wanted);
        Clock::time_point lastData = Clock::now();
        while (queue.empty()) {
            if (ended) {
                if (failure.empty()) return std::nullopt;
                throw SourceError(std::exchange(failure, std::string()));
            }
            if (chain->decode(PieceSize) != 0) {
                lastData = Clock::now();
                continue;
            }
            if (!chain->sourceStillUp()) {
                // The frames handed on at the end of the source are queued
                // ahead of the reason it failed.
                ended = true;
                if (const std::optional<uint64_t>& cut = chain->stats().unfinishedFrameOffset; cut && router.callback) {
                    router.callback(StatusLevel::Warning,
                                    name + ": the stream ends inside a frame that began at offset " + std::to_string(*cut));
                }
                if (camera != nullptr && !camera->failure().empty()) failure = name + ": " + camera->failure();
                continue;
            }
            if (options.interrupted && options.interrupted()) throw InterruptedError(name + ": interrupted");
            if (options.timeout.count() > 0 &&
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastData) >= options.timeout) {
                // A camera that fell silent is given up; standard input or a
                // file may still deliver at the next call.
                ended = camera != nullptr;
                throw TimeoutError(name + ": no data for " + std::to_string(options.timeout.count()) + " ms");
            }
        }
        std::optional<typename Queue::value_type> frame(std::move(queue.front()));
        queue.pop_front();
        return frame;
    }

    std::string name;
    ReaderOptions options;
    StatusRouter router;
    std::deque<Frame> pictures;
    std::deque<JPEGFrame> jpegFrames;
    std::vector<uint8_t> jpegImage;
    std::unique_ptr<vorcStreamSource> source;  // until the chain takes it
    const CheckedCameraStream* camera = nullptr;  // the source, if it is one
    std::string failure;  // why the source ended, until thrown
    std::unique_ptr<Chain> chain;
    ReaderFrameInfo current;  // the frame being handed on
    Output output = Output::Undecided;
    bool ended = false;
};

Reader::Reader(std::unique_ptr<State> state) : state_(std::move(state)) {}

Reader::Reader(const std::string& source, ReaderOptions options)
    : state_(std::make_unique<State>(source, std::move(options), [&](const ReaderOptions& opening, Slice slice) {
          return openSource(source, opening, slice);
      })) {}

Reader Reader::openFile(const std::string& path, ReaderOptions options) {
    return Reader(std::make_unique<State>(path, std::move(options), [&](const ReaderOptions&, Slice slice) {
        return openFileSource(path, slice);
    }));
}

Reader Reader::openDescriptor(int fd, ReaderOptions options) {
    return Reader(std::make_unique<State>("descriptor " + std::to_string(fd), std::move(options),
                                          [&](const ReaderOptions&, Slice slice) { return openDescriptorSource(fd, slice); }));
}

Reader Reader::openMemory(const uint8_t* bytes, size_t size, ReaderOptions options) {
    return Reader(std::make_unique<State>("memory", std::move(options), [&](const ReaderOptions&, Slice) {
        return openMemorySource(bytes, size);
    }));
}

Reader Reader::openCamera(const std::string& host, int port, ReaderOptions options) {
    const std::string name = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    return Reader(std::make_unique<State>(name, std::move(options), [&](const ReaderOptions& opening, Slice slice) {
        return openCameraSource(host, port, opening, slice);
    }));
}

Reader::Reader(std::unique_ptr<vorcStreamSource> source, const std::string& name, ReaderOptions options)
    : state_(std::make_unique<State>(name, std::move(options), [&](const ReaderOptions&, Slice) {
          OpenedSource opened;
          opened.source = std::move(source);
          return opened;
      })) {}

Reader::~Reader() = default;
Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&&) noexcept = default;

std::optional<Frame> Reader::next() { return state_->pull(State::Output::Pictures, state_->pictures); }

std::optional<JPEGFrame> Reader::nextJPEG() { return state_->pull(State::Output::JPEGImages, state_->jpegFrames); }

void Reader::setStatusCallback(StatusCallback callback) { state_->router.callback = std::move(callback); }

uint64_t Reader::damagedFrames() const { return state_->chain ? state_->chain->stats().damagedFrames : 0; }

}  // namespace vorc
