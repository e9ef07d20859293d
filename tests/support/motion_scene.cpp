// The motion scenes: the still picture is value noise summed over five
// scales (coarse shapes down to fine grain, in three colours) with grainy
// rectangles of many sizes over it; noise and objects are drawn over it
// frame by frame.
#include "support/motion_scene.h"

#include <algorithm>
#include <utility>

#include "support/piece_source.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/encode/stream_encoder.h"

namespace vorctest {

namespace {

uint32_t mix(uint32_t value) {
    value ^= value >> 16;
    value *= 0x7FEB352Du;
    value ^= value >> 15;
    value *= 0x846CA68Bu;
    value ^= value >> 16;
    return value;
}

uint32_t hash(uint32_t a, uint32_t b, uint32_t c) { return mix(a * 0x9E3779B1u ^ mix(b * 0x85EBCA77u ^ mix(c))); }

// Value noise of one scale: random values on a lattice `cell` pixels apart,
// blended bilinearly; 0 to 255.
int valueNoise(int x, int y, int cell, uint32_t seed) {
    const int cx = x / cell, cy = y / cell;
    const int fx = x % cell, fy = y % cell;
    const auto at = [&](int i, int j) {
        return static_cast<int>(hash(static_cast<uint32_t>(cx + i), static_cast<uint32_t>(cy + j), seed) & 255u);
    };
    const int top = at(0, 0) * (cell - fx) + at(1, 0) * fx;
    const int bottom = at(0, 1) * (cell - fx) + at(1, 1) * fx;
    return (top * (cell - fy) + bottom * fy) / (cell * cell);
}

uint8_t clampByte(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

class Collector : public vorcByteStreamReceiver {
public:
    explicit Collector(std::vector<uint8_t>* out) : out_(out) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override { out_->insert(out_->end(), bytes, bytes + count); }

private:
    std::vector<uint8_t>* out_;
};

}  // namespace

MotionScene::MotionScene(MotionScript script) : script_(std::move(script)) {
    const int width = script_.width, height = script_.height;
    still_.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    // Larger scales weigh more, as in natural pictures, but the finest
    // still gives every tile detail of its own.
    constexpr int Cells[] = {97, 41, 17, 7, 3};
    constexpr int Weights[] = {40, 24, 16, 12, 8};
    constexpr int WeightSum = 100;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pixel = &still_[(static_cast<size_t>(y) * width + x) * 3];
            for (int channel = 0; channel < 3; ++channel) {
                int sum = 0;
                for (int scale = 0; scale < 5; ++scale)
                    sum += Weights[scale] * valueNoise(x, y, Cells[scale], script_.seed * 16 + static_cast<uint32_t>(scale * 3 + channel));
                pixel[channel] = clampByte(sum / WeightSum);
            }
        }
    }
    // Things in the scene: rectangles of their own colour and grain, with
    // hard edges, some in front of others.
    const int things = std::max(4, width * height / 2500);
    for (int thing = 0; thing < things; ++thing) {
        const auto random = [&](uint32_t what, int range) {
            return static_cast<int>(hash(script_.seed, static_cast<uint32_t>(thing), what) % static_cast<uint32_t>(std::max(range, 1)));
        };
        const int w = 8 + random(0, width / 4), h = 8 + random(1, height / 4);
        const int left = random(2, width) - w / 2, top = random(3, height) - h / 2;
        const int colour[3] = {random(4, 256), random(5, 256), random(6, 256)};
        for (int y = std::max(top, 0); y < std::min(top + h, height); ++y) {
            for (int x = std::max(left, 0); x < std::min(left + w, width); ++x) {
                uint8_t* pixel = &still_[(static_cast<size_t>(y) * width + x) * 3];
                const int grain = valueNoise(x, y, 2 + thing % 5, script_.seed * 16 + 15) / 4 - 32;
                for (int channel = 0; channel < 3; ++channel)
                    pixel[channel] = clampByte((colour[channel] * 3 + pixel[channel]) / 4 + grain);
            }
        }
    }
}

const std::vector<uint8_t>& MotionScene::render(int frame) {
    const int width = script_.width, height = script_.height;
    pixels_ = still_;
    const int light = script_.lightFrame > 0 && frame >= script_.lightFrame ? script_.lightStep : 0;
    for (size_t at = 0; at < pixels_.size(); ++at) {
        const uint32_t random = hash(static_cast<uint32_t>(at), static_cast<uint32_t>(frame), script_.seed);
        const int noise = static_cast<int>(random % static_cast<uint32_t>(2 * script_.noise + 1)) - script_.noise;
        pixels_[at] = clampByte(pixels_[at] + light + noise);
    }
    for (const MovingObject& object : script_.objects) {
        if (frame < object.firstFrame || frame > object.lastFrame) continue;
        const int span = std::max(object.lastFrame - object.firstFrame, 1);
        const int step = frame - object.firstFrame;
        const int left = object.fromX + (object.toX - object.fromX) * step / span;
        const int top = object.fromY + (object.toY - object.fromY) * step / span;
        for (int y = std::max(top, 0); y < std::min(top + object.size, height); ++y) {
            for (int x = std::max(left, 0); x < std::min(left + object.size, width); ++x) {
                uint8_t* pixel = &pixels_[(static_cast<size_t>(y) * width + x) * 3];
                // A checked coat in strong colours, unlike the background.
                const bool light = ((x - left) / 6 + (y - top) / 6) % 2 == 0;
                pixel[0] = light ? 230 : 150;
                pixel[1] = light ? 40 : 20;
                pixel[2] = light ? 200 : 90;
            }
        }
    }
    return pixels_;
}

std::vector<uint8_t> encodeMotionScene(const MotionScript& script) {
    // With the noise of two steps up or down, a tile crosses this now and
    // then, and seldom with three neighbours at once.
    constexpr int ChangeThreshold = 20;
    std::vector<uint8_t> stream;
    vorc::StreamEncoder encoder(new Collector(&stream));
    encoder.setQuality(75);
    encoder.setKeyFrameInterval(25);
    encoder.setChangeThreshold(ChangeThreshold);
    MotionScene scene(script);
    for (int frame = 1; frame <= script.frames; ++frame) encoder.encodeFrame(scene.render(frame).data(), script.width, script.height);
    encoder.finish();
    return stream;
}

MotionScript testScene(const std::string& name) {
    MotionScript script;
    if (name == "noise") {
        script.frames = 100;
    } else if (name == "objects") {
        script.frames = 90;
        script.objects = {SceneObjectRight, SceneObjectLeft};
    } else if (name == "light") {
        script.frames = 60;
        script.lightFrame = 30;
    } else if (name == "pause") {
        script.frames = 70;
        script.objects = {{10, 20, 180, 40, 230, 80, 32}, {21, 34, 230, 80, 230, 80, 32}, {35, 48, 230, 80, 260, 160, 32}};
    }
    return script;
}

void MotionFeeder::performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) {
    vorc::FrameTiles tiles;
    tiles.index = ++index_;
    tiles.time = static_cast<double>(index_ - 1) / fps_;
    tiles.width = frame->width;
    tiles.height = frame->height;
    tiles.full = frame->tileBitmap == nullptr;
    tiles.bitmap = frame->tileBitmap;
    const vorc::MotionFrame& result = detector_->update(tiles);
    if (frames_ != nullptr) frames_->push_back(result);
}

DetectedMotion detectMotion(const std::vector<uint8_t>& stream, const vorc::MotionSettings& settings, double fps) {
    DetectedMotion detected;
    vorc::MotionDetector detector(settings);
    vorcDevNullStatusMessageHandler silent;
    const vorc::StatusMessageScope quiet(&silent);
    {
        vorcFramewiseTesraDecoder parser(new PieceSource(stream), new SilentBackEnd,
                                         new MotionFeeder(&detector, fps, &detected.frames));
        while (parser.decode(65536) != 0 || parser.sourceStillUp()) {
        }
    }
    for (const vorc::MotionFrame& frame : detected.frames)
        detected.events.insert(detected.events.end(), frame.events.begin(), frame.events.end());
    const std::vector<vorc::MotionEvent>& last = detector.finish();
    detected.events.insert(detected.events.end(), last.begin(), last.end());
    detected.heat = detector.heatMap();
    return detected;
}

}  // namespace vorctest
