// Test support: a JPEG receiver that keeps every image and logs its calls
// into storage that outlives it (the transcoder destroys its receiver).
#ifndef VORC_TESTS_SUPPORT_JPEG_COLLECTOR_H
#define VORC_TESTS_SUPPORT_JPEG_COLLECTOR_H

#include <memory>
#include <string>
#include <vector>

#include "support/stream_builder.h"
#include "vorc/sinks/jpeg_receiver.h"

namespace vorctest {

struct CollectedJPEGs {
    std::vector<Bytes> images;  // complete images (endFrame seen)
    // "begin", "bytes N" per piece, "end", "destroyed".
    std::vector<std::string> calls;
    Bytes current;
};

class CollectingJPEGReceiver : public vorcJPEGReceiver {
public:
    explicit CollectingJPEGReceiver(std::shared_ptr<CollectedJPEGs> store)
        : store_(std::move(store)) {}
    ~CollectingJPEGReceiver() override;
    void beginFrame() override;
    void endFrame() override;
    void receiveJPEGBytes(const unsigned char* bytes, int count) override;

private:
    std::shared_ptr<CollectedJPEGs> store_;
};

}  // namespace vorctest

#endif
