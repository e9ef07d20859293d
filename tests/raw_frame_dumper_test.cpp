// The raw frame dumper's byte layouts, checked on pictures painted straight
// into its frame buffer, and the colour conversion it uses.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "support/recorders.h"
#include "vorc/backends/color_conversion.h"
#include "vorc/backends/raw_frame_dumper.h"

namespace {

using Calls = std::vector<std::vector<uint8_t>>;

class RecordingReceiver : public vorcByteStreamReceiver {
public:
    explicit RecordingReceiver(std::shared_ptr<Calls> calls) : calls_(std::move(calls)) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override { calls_->emplace_back(bytes, bytes + count); }

private:
    std::shared_ptr<Calls> calls_;
};

// Exposes the buffer geometry so the test can paint picture pixels.
class Dumper : public vorcTesraRawFrameDumper {
public:
    Dumper(std::shared_ptr<Calls> calls, bool yuv) : vorcTesraRawFrameDumper(new RecordingReceiver(std::move(calls)), yuv) {}

    uint8_t* pixel(int x, int y) {
        const size_t memoryRow = static_cast<size_t>(tileRows) * 16 - 1 - y;
        return reinterpret_cast<uint8_t*>(frameBuffer) + memoryRow * tileColumns * 48 + x * 3;
    }
    void paint(uint8_t r, uint8_t g, uint8_t b) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) setPixel(x, y, r, g, b);
    }
    void setPixel(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
        uint8_t* p = pixel(x, y);
        p[0] = r;
        p[1] = g;
        p[2] = b;
    }
    bool hasYuvBuffer() const { return yuvBuffer != nullptr; }
};

std::vector<int> ycbcr(int r, int g, int b) {
    unsigned char y, cb, cr;
    vorc::convert_RGB_to_YCbCr(static_cast<unsigned char>(r), static_cast<unsigned char>(g),
                               static_cast<unsigned char>(b), &y, &cb, &cr);
    return {y, cb, cr};
}

TEST(ColorConversion, ReferenceColours) {
    EXPECT_EQ(ycbcr(255, 255, 255), (std::vector<int>{255, 128, 128}));
    EXPECT_EQ(ycbcr(0, 0, 0), (std::vector<int>{0, 128, 128}));
    EXPECT_EQ(ycbcr(255, 0, 0), (std::vector<int>{76, 84, 255}));
    EXPECT_EQ(ycbcr(0, 255, 0), (std::vector<int>{149, 43, 21}));
    EXPECT_EQ(ycbcr(0, 0, 255), (std::vector<int>{29, 255, 107}));
    // The shift rounds toward minus infinity.
    EXPECT_EQ(ycbcr(1, 0, 0)[1], 127);
}

TEST(RawFrameDumper, TwoByTwoRedIsSixBytesCrBeforeCb) {
    vorctest::StatusCapture messages;
    auto calls = std::make_shared<Calls>();
    Dumper dumper(calls, true);
    dumper.videoResolutionChanged(2, 2);
    EXPECT_TRUE(messages.contains("TesraRawFrameDumper : resized YUV buffer to 2x2"));
    dumper.paint(255, 0, 0);
    dumper.frameComplete();
    ASSERT_EQ(calls->size(), 1u);
    EXPECT_EQ((*calls)[0], (std::vector<uint8_t>{76, 76, 76, 76, 252, 84}));
}

TEST(RawFrameDumper, Vga_YCbCrIsOneCallWithPlanesTopDown) {
    vorctest::StatusCapture messages;
    auto calls = std::make_shared<Calls>();
    Dumper dumper(calls, true);
    dumper.videoResolutionChanged(640, 480);
    dumper.paint(255, 0, 0);
    // A blue top-left 2x2 block marks the first sample of every plane.
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) dumper.setPixel(x, y, 0, 0, 255);
    dumper.frameComplete();
    ASSERT_EQ(calls->size(), 1u);
    const std::vector<uint8_t>& frame = (*calls)[0];
    ASSERT_EQ(frame.size(), 460800u);
    EXPECT_EQ(frame[0], 29);
    EXPECT_EQ(frame[2], 76);
    EXPECT_EQ(frame[640 * 480 - 1], 76);
    EXPECT_EQ(frame[307200], 4 * (107 >> 2));  // Cr of blue
    EXPECT_EQ(frame[307201], 252);              // Cr of red
    EXPECT_EQ(frame[384000], 252);              // Cb of blue
    EXPECT_EQ(frame[384001], 84);               // Cb of red
}

TEST(RawFrameDumper, Vga_RgbIsOneCallPerRowTopFirst) {
    vorctest::StatusCapture messages;
    auto calls = std::make_shared<Calls>();
    Dumper dumper(calls, false);
    dumper.videoResolutionChanged(640, 480);
    dumper.paint(1, 2, 3);
    dumper.setPixel(0, 0, 200, 100, 50);
    dumper.setPixel(639, 479, 9, 8, 7);
    dumper.frameComplete();
    ASSERT_EQ(calls->size(), 480u);
    for (const auto& row : *calls) ASSERT_EQ(row.size(), 1920u);
    EXPECT_EQ((*calls)[0][0], 200);
    EXPECT_EQ((*calls)[0][3], 1);
    EXPECT_EQ((*calls)[479][1917], 9);
}

TEST(RawFrameDumper, RowsAreTakenAboveThePaddingOfTheBottomTileRow) {
    vorctest::StatusCapture messages;
    auto calls = std::make_shared<Calls>();
    Dumper dumper(calls, false);
    dumper.videoResolutionChanged(100, 34);
    // Everything, padding included, is 0xEE; then each picture row y gets y.
    std::memset(dumper.frameBuffer, 0xEE, static_cast<size_t>(dumper.tileColumns) * dumper.tileRows * 768);
    for (int y = 0; y < 34; ++y)
        for (int x = 0; x < 100; ++x) dumper.setPixel(x, y, static_cast<uint8_t>(y), static_cast<uint8_t>(y), static_cast<uint8_t>(y));
    dumper.dumpFrame();
    ASSERT_EQ(calls->size(), 34u);
    for (int y = 0; y < 34; ++y) EXPECT_EQ((*calls)[y], std::vector<uint8_t>(300, static_cast<uint8_t>(y))) << "row " << y;
}

TEST(RawFrameDumper, OddSizesGetNoYCbCrBufferButRgbGoesOn) {
    vorctest::StatusCapture messages;
    auto yuvCalls = std::make_shared<Calls>();
    Dumper yuv(yuvCalls, true);
    yuv.videoResolutionChanged(101, 34);
    EXPECT_TRUE(messages.contains("TesraRawFrameDumper : cannot allocate YUV buffer for odd image dimensions!!!"));
    EXPECT_FALSE(yuv.hasYuvBuffer());
    yuv.frameComplete();
    EXPECT_TRUE(yuvCalls->empty());
    yuv.videoResolutionChanged(100, 34);
    yuv.frameComplete();
    ASSERT_EQ(yuvCalls->size(), 1u);
    EXPECT_EQ((*yuvCalls)[0].size(), 100u * 34 * 3 / 2);

    auto rgbCalls = std::make_shared<Calls>();
    Dumper rgb(rgbCalls, false);
    messages.clear();
    rgb.videoResolutionChanged(101, 33);
    EXPECT_TRUE(messages.contains("TesraRawFrameDumper : cannot allocate YUV buffer for odd image dimensions!!!"));
    rgb.frameComplete();
    ASSERT_EQ(rgbCalls->size(), 33u);
    EXPECT_EQ((*rgbCalls)[0].size(), 303u);
}

TEST(RawFrameDumper, ExplicitModeDumpsOnlyOnRequest) {
    vorctest::StatusCapture messages;
    auto calls = std::make_shared<Calls>();
    Dumper dumper(calls, true);
    dumper.dumpFrame();  // no picture yet
    EXPECT_TRUE(calls->empty());
    dumper.setExplicitDumpModeEnabled(true);
    dumper.videoResolutionChanged(16, 16);
    dumper.paint(10, 20, 30);
    dumper.frameComplete();
    EXPECT_TRUE(calls->empty());
    dumper.dumpFrame();
    dumper.dumpFrame();
    ASSERT_EQ(calls->size(), 2u);
    EXPECT_EQ((*calls)[0], (*calls)[1]);
    dumper.setExplicitDumpModeEnabled(false);
    dumper.frameComplete();
    EXPECT_EQ(calls->size(), 3u);
}

TEST(RawFrameDumper, NullReceiverWritesNothing) {
    vorctest::StatusCapture messages;
    vorcTesraRawFrameDumper dumper(nullptr, false);
    dumper.videoResolutionChanged(32, 32);
    dumper.frameComplete();
    dumper.dumpFrame();
}

}  // namespace
