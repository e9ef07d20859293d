// The Reader's two collecting back ends (pictures and JPEG images).
#include "vorc/reader/frame_collectors.h"

#include <string>

#include "vorc/core/status_messages.h"
#include "vorc/reader/picture_conversion.h"

namespace vorc {

void PictureCollector::videoResolutionChanged(int newWidth, int newHeight) {
    if (uint64_t(newWidth) * uint64_t(newHeight) <= maxPixels_) {
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
    Frame frame(format_, hasPicture ? width : 0, hasPicture ? height : 0);
    static_cast<ReaderFrameInfo&>(frame) = *current_;
    frame.width = hasPicture ? width : 0;
    frame.height = hasPicture ? height : 0;
    frame.damaged = frame.damaged || !hasPicture;
    if (hasPicture) convertPicture(*this, &frame);
    frames_->push_back(std::move(frame));
}

void JPEGImageReceiver::receiveJPEGBytes(const unsigned char* bytes, int count) {
    if (count > 0) image_->insert(image_->end(), bytes, bytes + count);
}

void JPEGCollector::frameComplete() {
    JPEGFrame frame;
    static_cast<ReaderFrameInfo&>(frame) = *current_;
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
