// The framewise stream parser: the library's one stream decoder and the
// definition of the Tesra stream format. It pulls bytes from a source into a
// 4 MiB prefetch buffer, walks them with a byte-driven state machine at the
// level of JPEG markers, and collects one frame at a time (quantisation
// tables, picture size, tile bitmap, scan location) without copying. When
// the marker after a frame's EOI arrives, it hands the frame to the scan
// decoder and tells the back end.
#ifndef VORC_PARSE_FRAMEWISE_DECODER_H
#define VORC_PARSE_FRAMEWISE_DECODER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vorc/core/stream_interfaces.h"

class vorcFramewiseTesraScanDecoder;

namespace vorc {

// What the parser does on a corrupt stream (a rejected marker, a short
// segment, a marker, invalid codeword or overflow inside a scan, a frame
// larger than the prefetch buffer) and on decode with a size below 1.
enum class StreamErrorPolicy {
    // Report the reason and end the process with exit status 666.
    ExitProcess,
    // Report the reason, hand the frame in progress to the back end as
    // damaged (errorEncountered, then frameComplete) and look for the next
    // frame from inside the damaged one, so that frames a damaged length
    // swallowed come back; decode returns normally. On a stream that
    // ExitProcess reads without a fatal error, every callback is the same
    // as under ExitProcess. Beyond the fatal errors it also takes as damage
    // what only a damaged stream shows: a segment of a frame that holds
    // another frame's tag comment (FF FE, its length, "TSF"), a scan header
    // of a length other than the format's, scan data left after a frame's
    // last tile, a decoding error in a frame's scan, the end of the source
    // inside a frame, and a frame whose start of image was destroyed (found
    // by its tag comment and handed on as damaged, so that frame numbers
    // stay those of the stream). decode with a size below 1 is only reported
    // (and returns 0): no frame is lost.
    SkipFrame,
};

// The last stream error that the parser skipped.
struct StreamError {
    std::string message;
    // Frames handed on before the damaged one (damaged ones included).
    uint64_t frameNumber = 0;
    // Stream offset of the byte at which the error showed.
    uint64_t streamOffset = 0;
};

}  // namespace vorc

class vorcFramewiseTesraDecoder : public vorcTesraDecoder {
public:
    // One collected frame, handed to the scan decoder. scanBytes and
    // tileBitmap point into the parser's buffer and are valid only during
    // performScanSweep.
    struct UndecodedFrameDescriptor {
        int32_t width;
        int32_t height;
        int32_t tileColumns;  // width / 16, rounded up
        int32_t tileRows;     // height / 16, rounded up
        unsigned char* scanBytes;
        int32_t scanLength;  // up to and including the closing FF D9
        unsigned char* tileBitmap;  // null: every tile is coded

        UndecodedFrameDescriptor();
        // Non-positive sizes are taken as 640 and 480.
        void setResolution(int width, int height);
        void reset(int width, int height);
    };

    static constexpr int32_t DefaultPrefetchCapacity = 4194304;

    // Takes ownership of all three objects.
    vorcFramewiseTesraDecoder(vorcStreamSource* source, vorcTesraDecoderBackEnd* backEnd,
                              vorcFramewiseTesraScanDecoder* scanDecoder);
    ~vorcFramewiseTesraDecoder() override;

    int decode(int maxBytes) override;

    // ExitProcess unless set otherwise; may be changed between decode calls.
    void setStreamErrorPolicy(vorc::StreamErrorPolicy policy) { errorPolicy = policy; }
    vorc::StreamErrorPolicy streamErrorPolicy() const { return errorPolicy; }
    // Frames handed on so far, damaged ones included.
    uint64_t framesHandedOn() const { return handedOnFrames; }
    // Frames handed on as damaged (errorEncountered, then frameComplete),
    // whatever the policy.
    uint64_t damagedFrames() const { return damagedFrameCount; }
    // Bytes passed over while looking for the next SOI after a stream error:
    // the damaged frame's bytes after its SOI and anything up to the next SOI.
    uint64_t skippedBytes() const { return skippedByteCount; }
    // Empty until a stream error has been skipped.
    const std::optional<vorc::StreamError>& lastStreamError() const { return lastError; }
    // Stream offset of the SOI of the frame being handed on (of its tag
    // comment for a frame whose SOI was destroyed); meaningful during its
    // scan sweep and the back end's frameComplete.
    uint64_t frameStreamOffset() const { return frameOffset; }
    // True while the picture misses what a damaged frame failed to deliver:
    // from a damaged frame up to the next full frame that decodes whole.
    // Meaningful during the back end's frameComplete.
    bool pictureIsStale() const { return pictureStale; }
    // The frame being handed on, during its scan sweep and the back end's
    // frameComplete; null for a frame handed on as damaged before it
    // reached its scan or whose SOI was destroyed.
    const UndecodedFrameDescriptor* frameInHand() const { return frameInHand_ ? &currentFrame : nullptr; }
    // Stream offset of the SOI of a frame that the end of the source cut
    // off; empty unless the source ended inside a frame.
    const std::optional<uint64_t>& unfinishedFrameOffset() const { return cutOffFrameOffset; }

protected:
    // The same with a prefetch buffer of capacity bytes (1 to
    // DefaultPrefetchCapacity), for a parser that knows its stream is short.
    vorcFramewiseTesraDecoder(vorcStreamSource* source, vorcTesraDecoderBackEnd* backEnd,
                              vorcFramewiseTesraScanDecoder* scanDecoder, int32_t capacity);

    // Runs the state machine over a piece that already lies in the buffer.
    void feedBytes(unsigned char* bytes, int count);
    // Each step returns false when the piece ran out first; its progress is
    // kept in the members and it resumes with the next piece.
    bool awaitMarker(unsigned char* code);
    bool readMarkerPayload();
    bool doScan();

    uint32_t state;
    unsigned char* cursor;
    int32_t bytesLeft;
    int32_t markerFFPending;
    int32_t payloadPhase;
    uint8_t lengthHighByte;
    int32_t payloadBytesToSkip;
    int32_t scanFFPending;
    unsigned char* payload;
    UndecodedFrameDescriptor currentFrame;
    int32_t reportedWidth;
    int32_t reportedHeight;
    std::unique_ptr<vorcFramewiseTesraScanDecoder> scanDecoder;
    std::unique_ptr<unsigned char[]> prefetchBuffer;
    int32_t prefetchCapacity;
    int32_t prefetchFill;

private:
    class SweepWatch;

    // Runs the state machine over a piece, skipping stream errors under
    // SkipFrame.
    void feedPiece(unsigned char* bytes, int count);
    // A stream error: fatal or skipped as the policy says. Inside a frame
    // that the search after damage found but that has not shown its tag
    // comment yet, the FF D8 was not a frame's start: the search goes on
    // quietly.
    [[noreturn]] void failFrame(const char* message, void* context);
    // Hands the frame in progress on as damaged (unless it was no frame),
    // restarts the state machine in its search for an SOI and returns where
    // that search begins.
    unsigned char* skipDamagedFrame(const char* message);
    void recordStreamError(const char* message, const unsigned char* at);
    // Puts the state machine into the search for the next SOI.
    void startSearch(bool ignoreOwnTag);
    // Looks for FF D8 while searching after a stream error, counting what it
    // passes over and handing on a frame whose tag comment it passes.
    bool seekStartOfImage();
    void handOnLostFrame(uint64_t tagOffset);
    void checkPayloadOfFrame();
    void beginFrame(bool foundBySearch);
    // The frame's tag comment has been read: it is a frame, and a search
    // after damage to it begins after the tag.
    void confirmFrame();
    // Hands the frame on. Under SkipFrame a frame that proved damaged
    // restarts the search inside it and the call returns false.
    bool completeFrame();
    // The source has ended for good: hands on a frame whose EOI has arrived;
    // under SkipFrame a frame cut off is damaged.
    void finishStream();
    // Moves the bytes after the frames completed since the last call to the
    // start of the buffer.
    void releaseCompletedFrames();
    // The payload must hold at least `needed` bytes, or the stream is corrupt.
    void requirePayload(int32_t needed, const char* failureMessage);
    bool payloadStartsWith(const char* tag, int32_t tagLength) const;
    uint64_t streamOffsetOf(const unsigned char* at) const {
        return bufferStreamOffset + static_cast<uint64_t>(at - prefetchBuffer.get());
    }
    bool skipping() const { return errorPolicy == vorc::StreamErrorPolicy::SkipFrame; }

    // Payload size of the segment read last, and of the frame's bitmap comment;
    // together they keep every read inside the bytes received.
    int32_t payloadLength = 0;
    int32_t bitmapPayloadLength = 0;
    // Bytes at the start of the buffer that belong to completed frames.
    int32_t completedBytes = 0;

    vorc::StreamErrorPolicy errorPolicy = vorc::StreamErrorPolicy::ExitProcess;
    // Between the scan decoder and the back end: sees a failed sweep.
    std::unique_ptr<SweepWatch> sweepWatch;
    // Set from a frame's SOI until it is handed on; frameStart is the byte
    // after that SOI.
    bool frameBegun = false;
    unsigned char* frameStart = nullptr;
    // A frame found by the search after damage is taken for one only once
    // its tag comment has been read.
    bool frameFoundBySearch = false;
    bool frameConfirmed = false;
    // Where a search after damage to the frame begins: after its tag once
    // that has been read, else right after its SOI.
    unsigned char* recoveryStart = nullptr;
    bool frameDamaged = false;
    bool frameInHand_ = false;
    uint64_t frameOffset = 0;
    // Skipping to the next SOI after a stream error; the last bytes passed
    // over, in which the tag comment of a frame whose SOI was destroyed shows.
    bool seekingFrame = false;
    uint64_t seekWindow = 0;
    bool ignoreNextTag = false;
    // The payload of the APP13 segment after the last frame: trusted as long
    // as an SOI follows it, searched for a swallowed SOI when anything else does.
    unsigned char* pendingAPP13 = nullptr;
    bool pictureStale = false;
    std::optional<uint64_t> cutOffFrameOffset;
    // Stream offset of the first byte in the buffer.
    uint64_t bufferStreamOffset = 0;
    // The last bytes before the first one in the buffer, the latest in the
    // lowest byte: what the search after damage looks back at when the
    // bytes just read were let go with an earlier decode call.
    uint64_t releasedTail = 0;
    uint64_t handedOnFrames = 0;
    uint64_t damagedFrameCount = 0;
    uint64_t skippedByteCount = 0;
    std::optional<vorc::StreamError> lastError;
};

#endif
