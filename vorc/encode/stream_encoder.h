// vorcTesraStreamEncoder: the producer side of the library. It runs the
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

#include "vorc/encode/scan_entropy_coder.h"
#include "vorc/encode/stream_layout.h"
#include "vorc/sinks/byte_stream_receiver.h"

class vorcTesraStreamEncoder {
public:
    static constexpr int DefaultQuality = 75;
    static constexpr int DefaultKeyFrameInterval = 25;
    static constexpr int LargestPictureSide = 65535;

    // Takes ownership of receiver; a null receiver throws vorc::InvalidArgument.
    explicit vorcTesraStreamEncoder(vorcByteStreamReceiver* receiver);
    ~vorcTesraStreamEncoder();
    vorcTesraStreamEncoder(const vorcTesraStreamEncoder&) = delete;
    vorcTesraStreamEncoder& operator=(const vorcTesraStreamEncoder&) = delete;

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

    uint64_t getFramesEncoded() const { return framesEncoded_; }
    uint64_t getFullFramesEncoded() const { return fullFramesEncoded_; }
    bool lastFrameWasFull() const { return lastFrameWasFull_; }
    size_t getLastFrameCodedTiles() const { return lastFrameCodedTiles_; }
    uint64_t getBytesWritten() const { return bytesWritten_; }

private:
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
    vorcScanEntropyCoder entropyCoder_;

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
    size_t lastFrameCodedTiles_ = 0;
    uint64_t bytesWritten_ = 0;
};

#endif
