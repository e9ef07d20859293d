// Collecting JPEG receiver for tests.
#include "support/jpeg_collector.h"

namespace vorctest {

CollectingJPEGReceiver::~CollectingJPEGReceiver() { store_->calls.push_back("destroyed"); }

void CollectingJPEGReceiver::beginFrame() {
    store_->calls.push_back("begin");
    store_->current.clear();
}

void CollectingJPEGReceiver::endFrame() {
    store_->calls.push_back("end");
    store_->images.push_back(store_->current);
    store_->current.clear();
}

void CollectingJPEGReceiver::receiveJPEGBytes(const unsigned char* bytes, int count) {
    store_->calls.push_back("bytes " + std::to_string(count));
    store_->current.insert(store_->current.end(), bytes, bytes + count);
}

}  // namespace vorctest
