// A recording of one camera: every JPEG output asked for at once (files
// cut by duration with retention, numbered JPEG files), fed with each
// frame's complete image, what the chain says of the frame, and its receive
// time. With onMotion only the frames of motion events and the pre- and
// post-roll around them are written, and each event begins a new file when
// the names carry the time. `vorc record` drives one; a server can drive
// one per camera from its own chain.
#ifndef VORC_TOOLS_RECORD_RECORDER_H
#define VORC_TOOLS_RECORD_RECORDER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/record/motion_gate.h"
#include "tools/record/recording_output.h"
#include "tools/record/segmented_file.h"
#include "vorc/chain/chain.h"
#include "vorc/motion/motion_detector.h"

class vorcJPEGSequenceWriter;

struct RecordingTarget {
    std::string pattern;  // a file name, "-" or a strftime pattern
    Container container = Container::Mjpeg;
};

struct RecorderSettings {
    std::vector<RecordingTarget> files;
    std::string jpegPrefix;  // numbered JPEG files PREFIX000000.jpg, ...; empty: none
    SegmentRules rules;      // for every file target
    bool onMotion = false;
    double preSeconds = 0.0;
    double postSeconds = 0.0;
    vorc::MotionSettings motion;
    size_t maxHeldBytes = size_t{256} << 20;  // the ring of frames that wait
};

class Recorder {
public:
    // Checks the settings and creates the directories; throws vorc::Error
    // (vorc::InvalidArgument for motion settings out of range).
    explicit Recorder(RecorderSettings settings);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // One frame, in stream order. jpeg is null for a frame without an image
    // (one that failed to transcode); tileBitmap as the chain gives it.
    void addFrame(const uint8_t* jpeg, size_t size, const vorc::FrameInfo& frame, const uint8_t* tileBitmap,
                  WallClock::time_point received);
    // Decides the frames still held and completes every file; false when
    // an output failed, *failure naming the first.
    bool finish(std::string* failure);

    uint64_t framesWritten() const { return framesWritten_; }
    uint64_t bytesWritten() const { return bytesWritten_; }
    // --on-motion: frames the ring's bound pushed out undecided.
    uint64_t framesLostToBound() const { return gate_ != nullptr ? gate_->framesLostToBound() : 0; }

private:
    struct Image {
        std::shared_ptr<const std::vector<uint8_t>> bytes;  // null: none
        RecordedFrame frame;
    };
    void write(const GatedFrame<Image>& frame);

    RecorderSettings settings_;
    std::vector<std::unique_ptr<SegmentedFile>> files_;
    std::unique_ptr<vorcJPEGSequenceWriter> sequence_;
    std::unique_ptr<vorc::MotionDetector> detector_;
    std::unique_ptr<MotionGate> gate_;
    std::deque<GatedFrame<Image>> held_;
    std::vector<GatedFrame<Image>> kept_;
    uint64_t framesWritten_ = 0;
    uint64_t bytesWritten_ = 0;
    bool finished_ = false;
};

#endif
