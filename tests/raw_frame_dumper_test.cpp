// The raw frame dumper's byte layouts, checked on pictures painted straight
// into its frame buffer, and the colour conversion it uses.
#include "vorc/backends/raw_frame_dumper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "support/recorders.h"
#include "vorc/backends/color_conversion.h"

namespace {

using Calls = std::vector<std::vector<uint8_t>>;

struct RecordingReceiver : vorcByteStreamReceiver {
    explicit RecordingReceiver(Calls* calls) : calls(calls) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override {
        calls->emplace_back(bytes, bytes + count);
    }
    Calls* calls;
};

class Dumper : public vorcTesraRawFrameDumper {
public:
    Dumper(Calls* calls, bool yuv) : vorcTesraRawFrameDumper(new RecordingReceiver(calls), yuv) {}
    // The picture pixel (x, y), y = 0 at the top, in the bottom-up buffer.
    uint8_t* at(int x, int y) {
        const size_t memoryRow = static_cast<size_t>(tileRows) * 16 - 1 - y;
        return reinterpret_cast<uint8_t*>(frameBuffer) + memoryRow * tileColumns * 48 + x * 3;
    }
    void setPixel(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
        const uint8_t rgb[] = {r, g, b};
        std::memcpy(at(x, y), rgb, 3);
    }
    void paint(uint8_t r, uint8_t g, uint8_t b) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) setPixel(x, y, r, g, b);
    }
};

class RawFrameDumper : public ::testing::Test {
protected:
    vorctest::StatusCapture messages;
    Calls calls;  // outlives the dumpers of the test
};

TEST(ColorConversion, ReferenceColours) {
    // R, G, B, then Y, Cb, Cr; the shift rounds toward minus infinity.
    const std::vector<std::array<unsigned char, 6>> cases = {
        {255, 255, 255, 255, 128, 128}, {0, 0, 0, 0, 128, 128},    {255, 0, 0, 76, 84, 255},
        {0, 255, 0, 149, 43, 21},       {0, 0, 255, 29, 255, 107}, {1, 0, 0, 0, 127, 128}};
    for (const auto& c : cases) {
        unsigned char y, cb, cr;
        vorc::convert_RGB_to_YCbCr(c[0], c[1], c[2], &y, &cb, &cr);
        EXPECT_EQ((std::array<int, 3>{y, cb, cr}), (std::array<int, 3>{c[3], c[4], c[5]}))
            << +c[0] << "," << +c[1] << "," << +c[2];
    }
}

TEST_F(RawFrameDumper, YCbCrIsOneCallOfPlanesTopDownCrBeforeCb) {
    Dumper dumper(&calls, true);
    dumper.videoResolutionChanged(2, 2);
    EXPECT_TRUE(messages.contains("TesraRawFrameDumper : resized YUV buffer to 2x2"));
    dumper.paint(255, 0, 0);
    dumper.frameComplete();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<uint8_t>{76, 76, 76, 76, 252, 84}));

    calls.clear();
    dumper.videoResolutionChanged(640, 480);
    dumper.paint(255, 0, 0);
    // A blue top-left 2x2 block marks the first sample of every plane.
    for (int i = 0; i < 4; ++i) dumper.setPixel(i % 2, i / 2, 0, 0, 255);
    dumper.frameComplete();
    ASSERT_EQ(calls.size(), 1u);
    const std::vector<uint8_t>& f = calls[0];
    ASSERT_EQ(f.size(), 460800u);
    // Y of blue, of red and of the last pixel; Cr of blue and red; Cb of blue and red.
    EXPECT_EQ((std::vector<int>{f[0], f[2], f[307199], f[307200], f[307201], f[384000], f[384001]}),
              (std::vector<int>{29, 76, 76, 4 * (107 >> 2), 252, 252, 84}));
}

TEST_F(RawFrameDumper, RgbIsOneCallPerRowTopFirst) {
    Dumper dumper(&calls, false);
    dumper.videoResolutionChanged(640, 480);
    dumper.paint(1, 2, 3);
    dumper.setPixel(0, 0, 200, 100, 50);
    dumper.setPixel(639, 479, 9, 8, 7);
    dumper.frameComplete();
    ASSERT_EQ(calls.size(), 480u);
    for (const auto& row : calls) ASSERT_EQ(row.size(), 1920u);
    EXPECT_EQ((std::vector<int>{calls[0][0], calls[0][3], calls[479][1917]}),
              (std::vector<int>{200, 1, 9}));

    // 100x34: the rows are taken above the padding of the bottom tile row.
    calls.clear();
    dumper.videoResolutionChanged(100, 34);
    std::memset(dumper.frameBuffer, 0xEE,
                static_cast<size_t>(dumper.tileColumns) * dumper.tileRows * 768);
    for (int y = 0; y < 34; ++y) std::memset(dumper.at(0, y), y, 300);
    dumper.dumpFrame();
    ASSERT_EQ(calls.size(), 34u);
    for (int y = 0; y < 34; ++y)
        EXPECT_EQ(calls[y], std::vector<uint8_t>(300, static_cast<uint8_t>(y))) << "row " << y;
}

TEST_F(RawFrameDumper, OddSizesGetNoYCbCrButRgbGoesOn) {
    Dumper yuv(&calls, true);
    Dumper rgb(&calls, false);
    yuv.videoResolutionChanged(101, 34);
    rgb.videoResolutionChanged(101, 33);
    const std::string refusal =
        "TesraRawFrameDumper : cannot allocate YUV buffer for odd image dimensions!!!";
    EXPECT_EQ(std::count(messages.messages().begin(), messages.messages().end(), refusal), 2);
    yuv.frameComplete();  // nothing
    rgb.frameComplete();
    yuv.videoResolutionChanged(100, 34);
    yuv.frameComplete();
    std::vector<size_t> sizes, expected(33, 303);  // 33 RGB rows, then one 100x34 YCbCr frame
    expected.push_back(100 * 34 * 3 / 2);
    for (const auto& call : calls) sizes.push_back(call.size());
    EXPECT_EQ(sizes, expected);
}

TEST_F(RawFrameDumper, ExplicitModeDumpsOnlyOnRequest) {
    Dumper dumper(&calls, true);
    dumper.dumpFrame();  // no picture yet
    EXPECT_TRUE(calls.empty());
    dumper.setExplicitDumpModeEnabled(true);
    dumper.videoResolutionChanged(16, 16);
    dumper.paint(10, 20, 30);
    dumper.frameComplete();
    EXPECT_TRUE(calls.empty());
    dumper.dumpFrame();
    dumper.dumpFrame();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], calls[1]);
    dumper.setExplicitDumpModeEnabled(false);
    dumper.frameComplete();
    EXPECT_EQ(calls.size(), 3u);

    // A null receiver writes nothing, and does not crash.
    vorcTesraRawFrameDumper silent(nullptr, false);
    silent.videoResolutionChanged(32, 32);
    silent.frameComplete();
    silent.dumpFrame();
}

}  // namespace
