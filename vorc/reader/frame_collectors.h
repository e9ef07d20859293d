// The Reader's links in the chain source -> parser -> scan decoder -> back
// end: a scan decoder wrapper that notes what each frame carries, and two
// back ends that turn every completed frame into a Reader frame (a picture
// in the chosen pixel format, or the transcoder's JPEG image) and queue it.
// The parser may complete several frames in one decode call, so each frame
// is taken out of the chain at once.
#ifndef VORC_READER_FRAME_COLLECTORS_H
#define VORC_READER_FRAME_COLLECTORS_H

#include <deque>
#include <memory>
#include <vector>

#include "vorc/backends/buffered_backend.h"
#include "vorc/parse/scan_decoder.h"
#include "vorc/reader.h"
#include "vorc/sinks/jpeg_receiver.h"

namespace vorc {

// What the frame being collected has shown so far.
class FrameTracker {
public:
    void frameSwept(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame);
    void frameDamaged() { current_.damaged = true; }
    // The facts of the frame that has just completed; the next one begins.
    FrameInfo completeFrame(int width, int height);
    uint64_t damagedFrames() const { return damagedFrames_; }

private:
    FrameInfo current_;
    uint64_t completedFrames_ = 0;
    uint64_t damagedFrames_ = 0;
};

// Whether the Reader decodes a picture of this size at all.
bool pictureWithinLimit(uint64_t maxPixels, int width, int height);

// Passes everything on to the real scan decoder, after noting each frame;
// a frame larger than the Reader's limit is damaged and not swept, so the
// transcoder allocates nothing for it.
class TrackingScanDecoder : public vorcFramewiseTesraScanDecoder {
public:
    TrackingScanDecoder(std::unique_ptr<vorcFramewiseTesraScanDecoder> inner, FrameTracker* tracker,
                        uint64_t maxPixels)
        : inner_(std::move(inner)), tracker_(tracker), maxPixels_(maxPixels) {}
    const char* getAccelerationTypeString() override { return inner_->getAccelerationTypeString(); }
    void setYQuantizationTable(unsigned char* table) override { inner_->setYQuantizationTable(table); }
    void setUVQuantizationTable(unsigned char* table) override { inner_->setUVQuantizationTable(table); }
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override;

private:
    std::unique_ptr<vorcFramewiseTesraScanDecoder> inner_;
    FrameTracker* tracker_;
    uint64_t maxPixels_;
};

// Decoded pictures, converted at every completed frame. A picture larger
// than the Reader's limit gets no buffer; its frames come out damaged and
// empty.
class PictureCollector : public vorcBufferedTesraDecoderBackEnd {
public:
    PictureCollector(PixelFormat format, uint64_t maxPixels, FrameTracker* tracker, std::deque<Frame>* frames)
        : format_(format), maxPixels_(maxPixels), tracker_(tracker), frames_(frames) {}
    void videoResolutionChanged(int width, int height) override;
    void errorEncountered() override { tracker_->frameDamaged(); }
    void frameComplete() override;
    void videoTileReceived() override {}

private:
    PixelFormat format_;
    uint64_t maxPixels_;
    FrameTracker* tracker_;
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
    JPEGCollector(FrameTracker* tracker, std::vector<uint8_t>* image, std::deque<JPEGFrame>* frames)
        : tracker_(tracker), image_(image), frames_(frames) {}
    void videoResolutionChanged(int width, int height) override;
    void errorEncountered() override { tracker_->frameDamaged(); }
    void frameComplete() override;
    // The transcoder asks for no pixels; a target is given all the same.
    void provideVideoTilePixelTarget(int tileColumn, int tileRow, unsigned int** pixelTarget,
                                     int* rowPad) override;
    void videoTileReceived() override {}

private:
    FrameTracker* tracker_;
    std::vector<uint8_t>* image_;
    std::deque<JPEGFrame>* frames_;
    int width_ = 0;
    int height_ = 0;
    unsigned int scratchTile_[vorcBufferedTesraDecoderBackEnd::WordsPerTile] = {};
};

}  // namespace vorc

#endif
