// Test support: objects that record what the library tells them, so tests can
// compare call sequences and messages.
#ifndef VORC_TESTS_SUPPORT_RECORDERS_H
#define VORC_TESTS_SUPPORT_RECORDERS_H

#include <algorithm>
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
    void videoResolutionChanged(int width, int height) override {
        log_->push_back("resolution " + std::to_string(width) + "x" + std::to_string(height));
    }
    void errorEncountered() override { log_->push_back("error"); }
    void frameComplete() override { log_->push_back("complete"); }
    void provideVideoTilePixelTarget(int column, int row, unsigned int** target,
                                     int* rowPad) override {
        log_->push_back("tile " + std::to_string(column) + "," + std::to_string(row));
        *target = scratch_;
        *rowPad = 0;
    }
    void videoTileReceived() override { log_->push_back("received"); }

protected:
    std::shared_ptr<CallLog> log_;

private:
    unsigned int scratch_[192] = {};
};

// Installs itself as the library's status handler for the life of the
// object and collects the messages; restores the default output afterwards.
class StatusCapture {
public:
    StatusCapture() { vorc::setStatusMessageHandler(new Handler(messages_)); }
    ~StatusCapture() { vorc::setStatusMessageHandler(nullptr); }

    const CallLog& messages() const { return *messages_; }
    bool contains(const std::string& text) const {
        return std::find(messages_->begin(), messages_->end(), text) != messages_->end();
    }
    void clear() { messages_->clear(); }

private:
    struct Handler : vorcStatusMessageHandler {
        explicit Handler(std::shared_ptr<CallLog> sink) : sink(std::move(sink)) {}
        void sendStatusMsg(const char* msg, void*) override { sink->emplace_back(msg); }
        std::shared_ptr<CallLog> sink;
    };
    std::shared_ptr<CallLog> messages_ = std::make_shared<CallLog>();
};

}  // namespace vorctest

#endif
