// The tool's live camera link: read-ahead over the library's checked camera.
#include "tools/camera_source.h"

#include <algorithm>
#include <cstring>

#include "tools/pipeline.h"

ReadAheadSource::ReadAheadSource(std::unique_ptr<vorc::CheckedCameraStream> camera, std::string* failure)
    : camera_(std::move(camera)), failure_(failure), buffer_(DefaultPieceSize) {}

ReadAheadSource::~ReadAheadSource() { *failure_ = camera_->failure(); }

int ReadAheadSource::fetchBytes(unsigned char* buffer, int maxBytes) {
    if (next_ == filled_) {
        next_ = 0;
        filled_ = static_cast<size_t>(camera_->fetchBytes(buffer_.data(), DefaultPieceSize));
    }
    const size_t count = std::min(filled_ - next_, static_cast<size_t>(std::max(maxBytes, 0)));
    std::memcpy(buffer, buffer_.data() + next_, count);
    next_ += count;
    return static_cast<int>(count);
}

bool ReadAheadSource::stillUp() { return next_ < filled_ || camera_->stillUp(); }
