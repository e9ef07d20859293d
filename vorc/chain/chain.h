// vorc::Chain: the decoding chain that every user of the library above the
// parser stands on (the Reader, each vorc command, the MJPEG server). It
// joins a source, the parser, a scan decoder and a back end, owns them, and
// keeps the one account of what every frame was (vorc::FrameInfo) and of the
// whole run (vorc::ChainStats): a frame tracker sits between the parser and
// the caller's back end, and the parser says where each frame lay, whether
// it was damaged and whether the picture is stale.
//
// Thread-safety: a chain is used by one thread at a time.
#ifndef VORC_CHAIN_CHAIN_H
#define VORC_CHAIN_CHAIN_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "vorc/core/stream_interfaces.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/parse/scan_decoder.h"

namespace vorc {

// What a frame was, as it was handed on.
struct FrameInfo {
    uint64_t index = 0;   // 1 for the first frame of the source, damaged ones counted
    uint64_t offset = 0;  // of its SOI in the stream (of its tag comment when its SOI was destroyed)
    int width = 0;        // the picture size it was decoded at; 0 while there is none
    int height = 0;
    bool damaged = false;    // the frame could not be decoded in full
    bool stale = false;      // the picture still lacks what a damaged frame failed to deliver
    bool fullFrame = false;  // it coded the whole picture (no tile bitmap)
    int64_t codedTiles = 0;  // tiles it carried; 0 for a frame that never reached its scan
};

// The whole run so far.
struct ChainStats {
    uint64_t frames = 0;  // handed on, damaged ones included
    uint64_t fullFrames = 0;
    uint64_t damagedFrames = 0;
    uint64_t skippedBytes = 0;  // passed over after damage
    int64_t codedTiles = 0;
    uint64_t bytesRead = 0;
    int width = 0;  // the last picture size
    int height = 0;
    bool sizeChanged = false;  // more than one picture size
    std::optional<StreamError> lastError;
    std::optional<uint64_t> unfinishedFrameOffset;  // the source ended inside the frame that began here
};

struct ChainOptions {
    StreamErrorPolicy policy = StreamErrorPolicy::ExitProcess;
    // Frames of larger pictures are not swept (0: no limit but the
    // library-wide one): they reach the back end as damaged.
    uint64_t maxPixels = 0;
};

class Chain {
public:
    // Called with each frame as it is handed on, before the back end's
    // frameComplete; tileBitmap is the frame's bitmap (bit 7 of byte 0 is
    // the top-left tile), null for a full frame or one that never reached
    // its scan, and valid during the call only.
    using FrameObserver = std::function<void(const FrameInfo& frame, const uint8_t* tileBitmap)>;
    // Sees every piece of input on its way from the source to the parser.
    using InputObserver = std::function<void(const uint8_t* bytes, size_t count)>;

    // Takes all three. Throws what the parser's construction throws.
    Chain(std::unique_ptr<vorcStreamSource> source, std::unique_ptr<vorcFramewiseTesraScanDecoder> scanDecoder,
          std::unique_ptr<vorcTesraDecoderBackEnd> backEnd, ChainOptions options = ChainOptions());
    ~Chain();
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    void observeFrames(FrameObserver observer);
    void observeInput(InputObserver observer);

    // Pulls at most maxBytes bytes through the chain, handing on the frames
    // that complete; returns how many were pulled. 0 with sourceStillUp()
    // true means nothing has arrived yet.
    int decode(int maxBytes);
    bool sourceStillUp();

    const ChainStats& stats() const;
    // The frame handed on last; during the back end's frameComplete, the
    // frame being handed on.
    const FrameInfo& lastFrame() const;

    vorcFramewiseTesraDecoder& parser();

private:
    class Tracker;
    class ObservedSource;
    class SizeLimit;

    InputObserver inputObserver_;
    Tracker* tracker_ = nullptr;  // the parser's back end, owned by it
    std::unique_ptr<vorcFramewiseTesraDecoder> parser_;
};

}  // namespace vorc

#endif
