// The recorder: the motion gate in front of the outputs when asked, the
// outputs behind it.
#include "tools/record/recorder.h"

#include "tools/cli/decoding_chain.h"
#include "vorc/core/exceptions.h"
#include "vorc/sinks/jpeg_sequence_writer.h"

namespace {

double secondsOf(WallClock::time_point time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

}  // namespace

Recorder::Recorder(RecorderSettings settings) : settings_(std::move(settings)) {
    for (const RecordingTarget& target : settings_.files)
        files_.push_back(std::make_unique<SegmentedFile>(target.pattern, target.container, settings_.rules));
    if (!settings_.jpegPrefix.empty()) {
        std::string problem;
        if (!prefixUsable(settings_.jpegPrefix, &problem)) throw vorc::Error(problem);
        sequence_ = std::make_unique<vorcJPEGSequenceWriter>(settings_.jpegPrefix.c_str());
    }
    if (settings_.onMotion) {
        detector_ = std::make_unique<vorc::MotionDetector>(settings_.motion);
        gate_ = std::make_unique<MotionGate>(settings_.preSeconds, settings_.postSeconds, settings_.maxHeldBytes);
    }
}

Recorder::~Recorder() {
    std::string ignored;
    if (!finished_) finish(&ignored);
}

void Recorder::addFrame(const uint8_t* jpeg, size_t size, const vorc::FrameInfo& frame, const uint8_t* tileBitmap,
                        WallClock::time_point received) {
    GatedFrame<Image> image;
    image.time = secondsOf(received);
    image.payload.frame = RecordedFrame{received, frame.width, frame.height};
    if (jpeg != nullptr) {
        image.payload.bytes = std::make_shared<const std::vector<uint8_t>>(jpeg, jpeg + size);
        image.bytes = size;
    }
    if (gate_ == nullptr) {
        write(image);
        return;
    }
    if (frame.width <= 0 || frame.height <= 0) return;  // nothing to measure or show
    vorc::FrameTiles tiles;
    tiles.index = static_cast<int64_t>(frame.index);
    tiles.time = image.time;
    tiles.width = frame.width;
    tiles.height = frame.height;
    tiles.full = frame.fullFrame;
    tiles.damaged = frame.damaged;
    tiles.bitmap = frame.fullFrame || frame.damaged ? nullptr : tileBitmap;
    gate_->add(std::move(image), detector_->update(tiles), &held_, &kept_);
    for (const GatedFrame<Image>& kept : kept_) write(kept);
    kept_.clear();
}

void Recorder::write(const GatedFrame<Image>& frame) {
    if (frame.afterGap)
        for (auto& file : files_) file->cut();
    if (frame.payload.bytes == nullptr) return;
    const std::vector<uint8_t>& bytes = *frame.payload.bytes;
    for (auto& file : files_) file->addImage(bytes.data(), bytes.size(), frame.payload.frame);
    if (sequence_ != nullptr) {
        sequence_->beginFrame();
        sequence_->receiveJPEGBytes(bytes.data(), static_cast<int>(bytes.size()));
        sequence_->endFrame();
    }
    ++framesWritten_;
    bytesWritten_ += bytes.size();
}

bool Recorder::finish(std::string* failure) {
    finished_ = true;
    if (gate_ != nullptr) {
        gate_->finish(detector_->finish(), &held_, &kept_);
        for (const GatedFrame<Image>& kept : kept_) write(kept);
        kept_.clear();
    }
    bool written = true;
    for (auto& file : files_) {
        std::string problem;
        if (!file->close(&problem) && written) {
            *failure = problem;
            written = false;
        }
    }
    if (sequence_ != nullptr && sequence_->hasFailed() && written) {
        *failure = sequence_->failure();
        written = false;
    }
    sequence_.reset();
    return written;
}
