// The tool's live camera link: read-ahead and the check of the camera's
// HTTP answer head.
#include "tools/camera_source.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/pipeline.h"

void CameraAnswer::explainEnd(double timeoutSeconds) {
    if (!failure.empty()) return;
    if (timedOut) {
        char text[64];
        std::snprintf(text, sizeof text, "the camera sent nothing for %g s", timeoutSeconds);
        failure = text;
    } else if (head.state() != HttpResponseHead::State::Complete) {
        failure = "the camera closed the connection without an HTTP answer";
    }
}

ReadAheadSource::ReadAheadSource(PollableCameraStream* camera, CameraAnswer* answer)
    : camera_(camera), answer_(answer), buffer_(DefaultPieceSize) {}

int ReadAheadSource::fetchBytes(unsigned char* buffer, int maxBytes) {
    if (next_ == filled_) {
        if (!answer_->failure.empty()) return 0;
        next_ = 0;
        filled_ = static_cast<size_t>(camera_->fetchBytes(buffer_.data(), DefaultPieceSize));
        answer_->timedOut = camera_->timedOut();
        if (answer_->head.state() == HttpResponseHead::State::Reading) readHead();
    }
    const size_t count = std::min(filled_ - next_, static_cast<size_t>(std::max(maxBytes, 0)));
    std::memcpy(buffer, buffer_.data() + next_, count);
    next_ += count;
    return static_cast<int>(count);
}

bool ReadAheadSource::stillUp() { return answer_->failure.empty() && (next_ < filled_ || camera_->stillUp()); }

void ReadAheadSource::readHead() {
    next_ = answer_->head.feed(buffer_.data(), filled_);
    const HttpResponseHead& head = answer_->head;
    if (head.state() == HttpResponseHead::State::Malformed) {
        answer_->failure = "the camera's answer is not HTTP";
    } else if (head.state() == HttpResponseHead::State::Complete && head.statusCode() != 200) {
        answer_->failure = "the camera answered '" + head.statusLine() + "'";
    }
    if (!answer_->failure.empty()) next_ = filled_ = 0;
}
