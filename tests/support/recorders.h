// Test support: objects that record what the library tells them, so tests can
// compare call sequences and messages.
#ifndef VORC_TESTS_SUPPORT_RECORDERS_H
#define VORC_TESTS_SUPPORT_RECORDERS_H

#include <memory>
#include <string>
#include <vector>

#include "vorc/core/status_messages.h"
#include "vorc/core/stream_interfaces.h"

namespace vorctest {

using CallLog = std::vector<std::string>;

// A back end that logs every call ("resolution 16x16", "tile 0,0",
// "received", "error", "complete") into a log that outlives it (the parser
// destroys its back end). Pixel targets go to a scratch tile.
class RecordingBackEnd : public vorcTesraDecoderBackEnd {
public:
    explicit RecordingBackEnd(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
    void videoResolutionChanged(int width, int height) override;
    void errorEncountered() override;
    void frameComplete() override;
    void provideVideoTilePixelTarget(int tileColumn, int tileRow, unsigned int** pixelTarget,
                                     int* rowPad) override;
    void videoTileReceived() override;

private:
    std::shared_ptr<CallLog> log_;
    unsigned int scratch_[192] = {};
};

// Installs itself as the library's status handler for the life of the
// object and collects the messages; restores the default output afterwards.
class StatusCapture {
public:
    StatusCapture();
    ~StatusCapture();
    StatusCapture(const StatusCapture&) = delete;
    StatusCapture& operator=(const StatusCapture&) = delete;

    const std::vector<std::string>& messages() const { return *messages_; }
    bool contains(const std::string& text) const;
    void clear() { messages_->clear(); }

private:
    std::shared_ptr<std::vector<std::string>> messages_;
};

}  // namespace vorctest

#endif
