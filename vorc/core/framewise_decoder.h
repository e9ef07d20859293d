// The framewise stream parser: the library's one stream decoder and the
// definition of the Tesra stream format. It pulls bytes from a source into a
// 4 MiB prefetch buffer, walks them with a byte-driven state machine at the
// level of JPEG markers, and collects one frame at a time (quantisation
// tables, picture size, tile bitmap, scan location) without copying. When
// the marker after a frame's EOI arrives, it hands the frame to the scan
// decoder and tells the back end.
#ifndef VORC_CORE_FRAMEWISE_DECODER_H
#define VORC_CORE_FRAMEWISE_DECODER_H

#include <cstdint>
#include <memory>

#include "vorc/core/stream_interfaces.h"

class vorcFramewiseTesraScanDecoder;

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

protected:
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
    void completeFrame();
    // Moves the bytes after the frames completed since the last call to the
    // start of the buffer.
    void releaseCompletedFrames();
    // The payload must hold at least `needed` bytes, or the stream is corrupt.
    void requirePayload(int32_t needed, const char* failureMessage);
    bool payloadStartsWith(const char* tag, int32_t tagLength) const;

    // Payload size of the segment read last, and of the frame's bitmap comment;
    // together they keep every read inside the bytes received.
    int32_t payloadLength = 0;
    int32_t bitmapPayloadLength = 0;
    // Bytes at the start of the buffer that belong to completed frames.
    int32_t completedBytes = 0;
};

#endif
