// Test support: scenes whose motion is known frame by frame, for the motion
// detector's tests and benchmark. A still picture with the look of a
// photograph (detail at every scale, some hard edges), a little sensor
// noise in every frame, objects that appear at one frame, move in a
// straight line and are gone after another, and a step of the light over
// the whole picture. Integer arithmetic only: every machine renders the
// same pixels, and the stream encoder makes the same bytes of them.
#ifndef VORC_TESTS_SUPPORT_MOTION_SCENE_H
#define VORC_TESTS_SUPPORT_MOTION_SCENE_H

#include <cstdint>
#include <string>
#include <vector>

#include "vorc/parse/scan_decoder.h"
#include "vorc/motion/motion_detector.h"

namespace vorctest {

// A square that is in the picture from firstFrame to lastFrame (frames
// counted from 1, as the tool counts them), its top left corner moving in a
// straight line from (fromX, fromY) to (toX, toY).
struct MovingObject {
    int firstFrame = 0;
    int lastFrame = 0;
    int fromX = 0;
    int fromY = 0;
    int toX = 0;
    int toY = 0;
    int size = 32;
};

struct MotionScript {
    int width = 320;
    int height = 240;
    int frames = 60;
    // Each colour value of each pixel of each frame is moved by up to this
    // much, up or down.
    int noise = 2;
    std::vector<MovingObject> objects;
    // From this frame on (0: never) every pixel is lightStep brighter.
    int lightFrame = 0;
    int lightStep = 40;
    uint32_t seed = 1;
};

class MotionScene {
public:
    explicit MotionScene(MotionScript script);

    // Frame `frame` (from 1) as RGB, 3 bytes per pixel, top row first;
    // valid until the next call.
    const std::vector<uint8_t>& render(int frame);

private:
    MotionScript script_;
    std::vector<uint8_t> still_;
    std::vector<uint8_t> pixels_;
};

// Every frame of the scene encoded into one stream (quality 75, a full
// frame in 25, and a change threshold that keeps most of the noise out of
// the partial frames), ended so that a reader completes the last frame.
std::vector<uint8_t> encodeMotionScene(const MotionScript& script);

// The tests' scenes, 320x240:
// "noise": 100 frames of the still picture and its noise;
// "objects": 90 frames; SceneObjectRight in the right half from
//   SceneObjectFrom to SceneObjectUntil - 1 (gone at SceneObjectUntil),
//   then SceneObjectLeft in the left half, long enough after that the
//   first one's event has ended;
// "light": 60 frames, a step of the light at frame 30;
// "pause": an object moves from frame 10 to 20, stands still until 35,
//   moves again until 48 and is gone at 49 (51 is a full frame).
MotionScript testScene(const std::string& name);
constexpr int SceneObjectFrom = 15;
constexpr int SceneObjectUntil = 40;
constexpr MovingObject SceneObjectRight{SceneObjectFrom, SceneObjectUntil - 1, 180, 40, 260, 160, 32};
constexpr MovingObject SceneObjectLeft{60, 75, 20, 30, 100, 170, 32};

// A back end with nothing to do: the scan decoder did what there was.
class SilentBackEnd : public vorcTesraDecoderBackEnd {
public:
    void videoResolutionChanged(int, int) override {}
    void errorEncountered() override {}
    void frameComplete() override {}
    void provideVideoTilePixelTarget(int, int, unsigned int**, int*) override {}
    void videoTileReceived() override {}
};

// The parse-only path into a detector: a scan decoder that decodes nothing
// and hands every frame's bitmap to the detector, numbering the frames from
// 1 and timing them at fps. Every frame must reach its sweep (no damage).
class MotionFeeder : public vorcFramewiseTesraScanDecoder {
public:
    MotionFeeder(vorc::MotionDetector* detector, double fps, std::vector<vorc::MotionFrame>* frames = nullptr)
        : detector_(detector), fps_(fps), frames_(frames) {}
    const char* getAccelerationTypeString() override { return "none"; }
    void setYQuantizationTable(unsigned char*) override {}
    void setUVQuantizationTable(unsigned char*) override {}
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override;

private:
    vorc::MotionDetector* detector_;
    double fps_;
    std::vector<vorc::MotionFrame>* frames_;  // every frame's result, when given
    int64_t index_ = 0;
};

struct DetectedMotion {
    std::vector<vorc::MotionFrame> frames;
    std::vector<vorc::MotionEvent> events;  // starts and ends in order, with those the end of the stream ended
    vorc::HeatMap heat;
};

// A stream walked by the parser into a detector with these settings.
DetectedMotion detectMotion(const std::vector<uint8_t>& stream, const vorc::MotionSettings& settings, double fps = 25.0);

}  // namespace vorctest

#endif
