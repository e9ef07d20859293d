// vorc::StreamEncoder: the producer side of the library. It runs the
// chain in reverse (RGB pictures -> encoder -> Tesra stream -> byte
// receiver): each picture becomes a frame that the framewise parser accepts,
// either a full frame with tables and every tile, or a partial frame whose
// bitmap comment marks the tiles whose quantised coefficients changed.
//
// The encoder keeps, per tile, the coefficients a reader holds after the
// frames written so far, and codes a tile only where the new picture
// differs from them. A reader completes a frame only when the next marker
// arrives, so a stream is ended with finish(), which appends an APP13
// segment after the last frame.
//
// Ownership: the encoder owns the receiver given to its constructor and
// destroys it. Bad arguments throw vorc::InvalidArgument before anything is
// written, so a rejected call never leaves a damaged stream behind.
#ifndef VORC_ENCODE_STREAM_ENCODER_H
#define VORC_ENCODE_STREAM_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vorc/encode/stream_layout.h"
#include "vorc/sinks/byte_stream_receiver.h"

namespace vorc {

class StreamEncoder {
public:
    static constexpr int DefaultQuality = 75;
    static constexpr int DefaultKeyFrameInterval = 25;
    static constexpr int LargestPictureSide = 65535;

    // Takes ownership of receiver; a null receiver throws vorc::InvalidArgument.
    explicit StreamEncoder(vorcByteStreamReceiver* receiver);
    ~StreamEncoder();
    StreamEncoder(const StreamEncoder&) = delete;
    StreamEncoder& operator=(const StreamEncoder&) = delete;

    // 1 (smallest) to 100 (best). A change takes effect with a full frame.
    void setQuality(int quality);
    // A full frame at least every `frames` frames (1: every frame is full).
    void setKeyFrameInterval(int frames);
    // A tile is coded in a partial frame when the sum of the absolute
    // differences of its 384 quantised coefficients exceeds this value
    // (0, the default: whenever anything changed). Tiles below it keep what
    // the reader already has, and so does the encoder's reference.
    void setChangeThreshold(int sumOfAbsoluteDifferences);
    // Repeat the quantisation and Huffman tables in partial frames, so a
    // reader that joins mid-stream has them; off by default.
    void setTablesInPartialFramesEnabled(bool enabled);
    // Put the "#:K7IMG" comment before the "TSF" comment of every frame.
    void setImageTagEnabled(bool enabled);
    // The next frame is written as a full frame.
    void requestFullFrame();
    // The choices the format leaves to the writer (gaps between segments,
    // payloads readers do not read, optional segments, APP13 segments),
    // from the next frame on; null restores the plain layout. The image-tag
    // and partial-frame-tables settings above are what a layout is offered
    // as the plain choice.
    void setLayout(std::unique_ptr<vorc::StreamLayout> layout);

    // Encodes one picture: width x height pixels, 3 bytes each (red, green,
    // blue), top row first, rows without padding; 1 to 65535 pixels each way.
    // Returns the number of tiles the frame carries. Pictures with more than
    // 524168 tiles are always written as full frames: their bitmap would not
    // fit into one comment segment.
    size_t encodeFrame(const unsigned char* rgb, int width, int height);

    // Writes an APP13 segment with the payload (up to 65533 bytes) after
    // the last frame, which lets a reader complete that frame. The stream
    // allows one such segment between two frames and none before the first:
    // returns 1 (and writes nothing) when there is no room, else 0.
    int writeApplicationSegment(const unsigned char* payload, int length);
    // Ends the stream so that a reader completes the last frame: an empty
    // APP13 segment unless one already follows it. Frames may still follow.
    void finish();

    uint64_t getFramesEncoded() const;
    uint64_t getFullFramesEncoded() const;
    bool lastFrameWasFull() const;
    uint64_t getBytesWritten() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vorc

#endif
