// The tool's live camera: read-ahead over the library's checked camera, and
// how a command names and opens one.
#include "tools/net/camera_source.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/cli/decoding_chain.h"
#include "vorc/core/exceptions.h"

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

void ReadAheadSource::waitForData(int millis) const {
    pollfd entry{camera_->descriptor(), POLLIN, 0};
    ::poll(&entry, 1, millis);
}

std::chrono::milliseconds timeoutOf(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
}

std::unique_ptr<vorc::CheckedCameraStream> openCamera(const char* command, const char* text,
                                                      const vorc::HostAndPort& camera, double fps,
                                                      vorc::LiveStreamTimeouts timeouts) {
    try {
        return std::make_unique<vorc::CheckedCameraStream>(camera.host, camera.port, static_cast<float>(fps), timeouts,
                                                           vorc::ConnectInterruption(), camera.login);
    } catch (const vorcException& failure) {
        std::fprintf(stderr, "vorc %s: cannot get a stream from %s: %s\n", command, text, failure.what());
        return nullptr;
    }
}

std::string cameraAddressText(const vorc::HostAndPort& camera) {
    const bool ipv6 = camera.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + camera.host + "]" : camera.host) + ":" + std::to_string(camera.port);
}

std::string withoutPassword(const std::string& text) {
    const size_t at = text.rfind('@');
    const size_t colon = text.find(':');
    if (at == std::string::npos || colon == std::string::npos || colon > at) return text;
    return text.substr(0, colon + 1) + "***" + text.substr(at);
}

bool parseSourceOperand(const char* text, std::optional<vorc::HostAndPort>* camera, std::string* problem) {
    struct stat info {};
    if (::stat(text, &info) == 0) return true;
    *camera = vorc::parseHostAndPort(text);
    if (!*camera) *problem = "'" + withoutPassword(text) + "' is neither a stream file nor a camera's HOST:PORT";
    return camera->has_value();
}
