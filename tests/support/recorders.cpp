// Test support: recording back end and status capture.
#include "support/recorders.h"

#include <algorithm>

namespace vorctest {

void RecordingBackEnd::videoResolutionChanged(int width, int height) {
    log_->push_back("resolution " + std::to_string(width) + "x" + std::to_string(height));
}
void RecordingBackEnd::errorEncountered() { log_->push_back("error"); }
void RecordingBackEnd::frameComplete() { log_->push_back("complete"); }
void RecordingBackEnd::provideVideoTilePixelTarget(int tileColumn, int tileRow,
                                                   unsigned int** pixelTarget, int* rowPad) {
    log_->push_back("tile " + std::to_string(tileColumn) + "," + std::to_string(tileRow));
    *pixelTarget = scratch_;
    *rowPad = 0;
}
void RecordingBackEnd::videoTileReceived() { log_->push_back("received"); }

namespace {
class CollectingHandler : public vorcStatusMessageHandler {
public:
    explicit CollectingHandler(std::shared_ptr<std::vector<std::string>> sink)
        : sink_(std::move(sink)) {}
    void sendStatusMsg(const char* msg, void*) override { sink_->emplace_back(msg); }

private:
    std::shared_ptr<std::vector<std::string>> sink_;
};
}  // namespace

StatusCapture::StatusCapture() : messages_(std::make_shared<std::vector<std::string>>()) {
    vorc::setStatusMessageHandler(new CollectingHandler(messages_));
}

StatusCapture::~StatusCapture() { vorc::setStatusMessageHandler(nullptr); }

bool StatusCapture::contains(const std::string& text) const {
    return std::find(messages_->begin(), messages_->end(), text) != messages_->end();
}

}  // namespace vorctest
