// Per-frame bookkeeping of the Reader's chain and the two collecting back
// ends (pictures and JPEG images).
#include "vorc/reader/frame_collectors.h"

#include <string>

#include "vorc/core/status_messages.h"
#include "vorc/reader/picture_conversion.h"

namespace vorc {

namespace {

int64_t codedTilesOf(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame) {
    const int64_t tiles = int64_t{frame.tileColumns} * frame.tileRows;
    if (frame.tileBitmap == nullptr) return tiles;
    int64_t coded = 0;
    for (int64_t k = 0; k < tiles; ++k) coded += (frame.tileBitmap[k / 8] >> (7 - k % 8)) & 1;
    return coded;
}

}  // namespace

bool pictureWithinLimit(uint64_t maxPixels, int width, int height) {
    return width > 0 && height > 0 && uint64_t(width) * uint64_t(height) <= maxPixels;
}

void FrameTracker::frameSwept(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame) {
    current_.fullFrame = frame.tileBitmap == nullptr;
    current_.codedTiles = codedTilesOf(frame);
}

FrameInfo FrameTracker::completeFrame(int width, int height) {
    FrameInfo info = current_;
    info.index = ++completedFrames_;
    info.width = width;
    info.height = height;
    if (info.damaged) ++damagedFrames_;
    current_ = FrameInfo();
    return info;
}

void TrackingScanDecoder::performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) {
    tracker_->frameSwept(*frame);
    if (!pictureWithinLimit(maxPixels_, frame->width, frame->height)) {
        backEnd->errorEncountered();
        return;
    }
    // The parser hands its back end to this link only.
    inner_->setBackEnd(backEnd);
    inner_->performScanSweep(frame);
}

void PictureCollector::videoResolutionChanged(int newWidth, int newHeight) {
    if (pictureWithinLimit(maxPixels_, newWidth, newHeight)) {
        vorcBufferedTesraDecoderBackEnd::videoResolutionChanged(newWidth, newHeight);
        return;
    }
    // What the buffered back end does when the memory runs out, without
    // asking for it.
    delete[] frameBuffer;
    frameBuffer = nullptr;
    width = height = tileColumns = tileRows = pictureOffset = 0;
    const std::string message = "vorc::Reader : !!! picture of " + std::to_string(newWidth) + "x" +
                                std::to_string(newHeight) + " exceeds the limit of " + std::to_string(maxPixels_) +
                                " pixels !!!";
    vorc::sendStatus(vorc::StatusLevel::Warning, message.c_str(), nullptr);
}

void PictureCollector::frameComplete() {
    // Without a picture (none yet, one too large or one that could not be
    // allocated) the frame comes out empty and damaged.
    const bool hasPicture = frameBuffer != nullptr;
    if (!hasPicture) tracker_->frameDamaged();
    const FrameInfo info = tracker_->completeFrame(hasPicture ? width : 0, hasPicture ? height : 0);
    Frame frame(format_, info.width, info.height);
    static_cast<FrameInfo&>(frame) = info;
    if (hasPicture) convertPicture(*this, &frame);
    frames_->push_back(std::move(frame));
}

void JPEGImageReceiver::receiveJPEGBytes(const unsigned char* bytes, int count) {
    if (count > 0) image_->insert(image_->end(), bytes, bytes + count);
}

void JPEGCollector::videoResolutionChanged(int width, int height) {
    width_ = width;
    height_ = height;
}

void JPEGCollector::frameComplete() {
    JPEGFrame frame;
    static_cast<FrameInfo&>(frame) = tracker_->completeFrame(width_, height_);
    // A frame that failed to transcode left no image, or the unfinished part
    // of one.
    if (!frame.damaged) frame.bytes = std::move(*image_);
    image_->clear();
    frames_->push_back(std::move(frame));
}

void JPEGCollector::provideVideoTilePixelTarget(int, int, unsigned int** pixelTarget, int* rowPad) {
    *pixelTarget = scratchTile_;
    *rowPad = 0;
}

}  // namespace vorc
