// Buffered RGB back end: bottom-up tile addresses and row pads, the states
// without a buffer, and allocation failure, including the largest picture a
// stream can announce. The raw frame dumper's byte layouts, checked on
// pictures painted straight into its frame buffer, and the colour conversion
// it uses.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/recorders.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/core/picture_limits.h"
#include "vorc/backends/color_conversion.h"
#include "vorc/backends/raw_frame_dumper.h"

using vorctest::StatusCapture;
using Target = std::pair<long, int>;
constexpr Target Scratch{-1, 0};

class CountingBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    void errorEncountered() override { ++errors; }
    void frameComplete() override {}
    void videoTileReceived() override {}
    int errors = 0;

    // Word offset of a tile's target from the buffer start (-1: the scratch
    // tile), and its pad.
    Target target(int column, int row) {
        unsigned int* address = nullptr;
        int pad = 99;
        provideVideoTilePixelTarget(column, row, &address, &pad);
        return {address == scratchTile ? -1L : static_cast<long>(address - frameBuffer), pad};
    }
    std::array<int, 5> fields() const {
        return {width, height, tileColumns, tileRows, pictureOffset};
    }

    // After a failed switch to width x height: no buffer, no picture, one
    // error and its message, every tile to the scratch tile.
    bool failedCleanly(const StatusCapture& status, int width, int height) {
        const std::string message =
            "vorcBufferedTesraDecoderBackEnd : !!! failed to switch video reolution to " +
            std::to_string(width) + "x" + std::to_string(height) + " !!!";
        return frameBuffer == nullptr && fields() == std::array<int, 5>{} && errors == 1 &&
               status.messages() == std::vector<std::string>{message} && target(3, 3) == Scratch;
    }
};

TEST(BufferedBackEnd, LayoutOfTheWorkedSizes) {
    StatusCapture status;
    struct Case {
        int width, height, columns, rows;
        long bytes;
        int offset, pad;
    };
    const Case cases[] = {{640, 480, 40, 30, 921600, 0, -492},
                          {100, 33, 7, 3, 16128, 1260, -96},
                          {16, 16, 1, 1, 768, 0, -24}};
    for (const Case& c : cases) {
        CountingBackEnd backEnd;
        backEnd.videoResolutionChanged(c.width, c.height);
        ASSERT_NE(backEnd.frameBuffer, nullptr);
        EXPECT_EQ(backEnd.fields(),
                  (std::array<int, 5>{c.width, c.height, c.columns, c.rows, c.offset}));
        // Tile (0, 0) starts on the last memory row; the tile at the far
        // corner starts 15 rows above the buffer start and ends on its last byte.
        const long rowWords = c.columns * 12L;
        EXPECT_EQ(backEnd.target(0, 0), (Target{c.bytes / 4 - rowWords, c.pad}));
        EXPECT_EQ(backEnd.target(c.columns - 1, c.rows - 1).first,
                  15 * rowWords + (c.columns - 1) * 12L);
        // Tiles outside the announced picture are not written into it.
        EXPECT_EQ(backEnd.target(c.columns, 0), Scratch);
        EXPECT_EQ(backEnd.target(0, -1), Scratch);
        EXPECT_EQ(backEnd.errors, 0);
    }
    EXPECT_TRUE(
        status.contains("vorcBufferedTesraDecoderBackEnd : switched video resolution to 640x480"));
}

// Sizes whose buffer cannot even be addressed, and nonsensical sizes, take
// the out-of-memory path without trying to allocate; the next switch tries
// again.
TEST(BufferedBackEnd, UnrepresentableSizesFailCleanly) {
    const std::pair<int, int> sizes[] = {{INT_MAX, INT_MAX}, {0, 480}, {640, -16}};
    for (const auto& [width, height] : sizes) {
        StatusCapture status;
        CountingBackEnd backEnd;
        backEnd.videoResolutionChanged(640, 480);
        status.clear();
        backEnd.videoResolutionChanged(width, height);
        EXPECT_TRUE(backEnd.failedCleanly(status, width, height)) << width << "x" << height;
        backEnd.videoResolutionChanged(32, 16);
        EXPECT_NE(backEnd.frameBuffer, nullptr);
    }
}

// A new picture is mid-grey, never what the memory held before; a picture
// beyond the size limit is refused before anything is allocated.
TEST(BufferedBackEnd, NewPicturesStartMidGreyWithinTheSizeLimit) {
    StatusCapture status;
    CountingBackEnd backEnd;
    for (const auto& [width, height] : {std::pair{100, 33}, {48, 64}, {100, 33}}) {
        backEnd.videoResolutionChanged(width, height);
        auto* bytes = reinterpret_cast<unsigned char*>(backEnd.frameBuffer);
        const size_t size = size_t(backEnd.tileColumns) * backEnd.tileRows * 768;
        EXPECT_EQ(std::count(bytes, bytes + size, 128), static_cast<long>(size)) << width << "x" << height;
        std::memset(bytes, 0x5A, size);  // what the next picture must not show
    }
    vorc::setMaxPicturePixels(100 * 33 - 1);
    status.clear();
    backEnd.errors = 0;
    backEnd.videoResolutionChanged(33, 100);
    EXPECT_TRUE(backEnd.failedCleanly(status, 33, 100));
    vorc::setMaxPicturePixels(0);
    EXPECT_EQ(vorc::maxPicturePixels(), vorc::DefaultMaxPicturePixels);
}

// Child-process body: switches to the largest picture a stream can announce
// (about 12.9 GB) and exits 0 when the back end failed cleanly: refused by
// the default size limit, or with the limit lifted, by an allocation that
// fails under an address space of 1 GiB.
[[noreturn]] void switchToTheLargestPicture(bool limitAddressSpace) {
    const rlimit limit{size_t{1} << 30, size_t{1} << 30};
    if (limitAddressSpace) {
        setrlimit(RLIMIT_AS, &limit);
        vorc::setMaxPicturePixels(UINT64_MAX);
    }
    StatusCapture status;
    CountingBackEnd backEnd;
    backEnd.videoResolutionChanged(65535, 65535);
    std::exit(backEnd.failedCleanly(status, 65535, 65535) ? 0 : 1);
}

TEST(BufferedBackEndDeath, LargestPicture) {
#ifdef __SANITIZE_ADDRESS__
    // AddressSanitizer reserves too much address space to live under a limit
    // and aborts rather than failing an allocation.
    GTEST_SKIP() << "not meaningful under AddressSanitizer";
#endif
    EXPECT_EXIT(switchToTheLargestPicture(true), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(switchToTheLargestPicture(false), ::testing::ExitedWithCode(0), "");
}

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
    // Only YCbCr needs even sizes, so only its dumper warns.
    EXPECT_EQ(std::count(messages.messages().begin(), messages.messages().end(), refusal), 1);
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
