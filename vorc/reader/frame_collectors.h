// The Reader's back ends: each turns every frame the chain hands on into a
// Reader frame (a picture in the chosen pixel format, or the transcoder's
// JPEG image), with what the Reader knows of the frame (the chain's account,
// its time and tile bitmap, gathered as the chain hands the frame on), and
// queues it. The parser may complete several frames in one decode call, so
// each frame is taken out of the chain at once.
#ifndef VORC_READER_FRAME_COLLECTORS_H
#define VORC_READER_FRAME_COLLECTORS_H

#include <cstdint>
#include <deque>
#include <vector>

#include "vorc/backends/buffered_backend.h"
#include "vorc/reader.h"
#include "vorc/sinks/jpeg_receiver.h"

namespace vorc {

// Decoded pictures, converted at every completed frame. A picture larger
// than the Reader's limit gets no buffer; its frames come out damaged and
// empty.
class PictureCollector : public vorcBufferedTesraDecoderBackEnd {
public:
    PictureCollector(PixelFormat format, uint64_t maxPixels, const ReaderFrameInfo* current, std::deque<Frame>* frames)
        : format_(format), maxPixels_(maxPixels), current_(current), frames_(frames) {}
    void videoResolutionChanged(int width, int height) override;
    void errorEncountered() override {}
    void frameComplete() override;
    void videoTileReceived() override {}

private:
    PixelFormat format_;
    uint64_t maxPixels_;
    const ReaderFrameInfo* current_;  // the frame being handed on
    std::deque<Frame>* frames_;
};

// The transcoder's images: the receiver fills image, the back end queues it
// with the frame's facts when the frame completes.
class JPEGImageReceiver : public vorcJPEGReceiver {
public:
    explicit JPEGImageReceiver(std::vector<uint8_t>* image) : image_(image) {}
    void beginFrame() override { image_->clear(); }
    void endFrame() override {}
    void receiveJPEGBytes(const unsigned char* bytes, int count) override;

private:
    std::vector<uint8_t>* image_;
};

class JPEGCollector : public vorcTesraDecoderBackEnd {
public:
    JPEGCollector(const ReaderFrameInfo* current, std::vector<uint8_t>* image, std::deque<JPEGFrame>* frames)
        : current_(current), image_(image), frames_(frames) {}
    void videoResolutionChanged(int, int) override {}
    void errorEncountered() override {}
    void frameComplete() override;
    // The transcoder asks for no pixels; a target is given all the same.
    void provideVideoTilePixelTarget(int tileColumn, int tileRow, unsigned int** pixelTarget,
                                     int* rowPad) override;
    void videoTileReceived() override {}

private:
    const ReaderFrameInfo* current_;
    std::vector<uint8_t>* image_;
    std::deque<JPEGFrame>* frames_;
    unsigned int scratchTile_[vorcBufferedTesraDecoderBackEnd::WordsPerTile] = {};
};

}  // namespace vorc

#endif
