// Buffered RGB back end: bottom-up tile addresses and row pads, the states
// without a buffer, and allocation failure, including the largest picture a
// stream can announce.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/recorders.h"
#include "vorc/backends/buffered_backend.h"

namespace {

using vorctest::StatusCapture;

class CountingBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    void errorEncountered() override { ++errors; }
    void frameComplete() override {}
    void videoTileReceived() override {}
    int errors = 0;

    // Word offset of a tile's target from the buffer start, and its pad.
    std::pair<long, int> target(int column, int row) {
        unsigned int* address = nullptr;
        int pad = 99;
        provideVideoTilePixelTarget(column, row, &address, &pad);
        const unsigned int* base = frameBuffer != nullptr ? frameBuffer : scratchTile;
        return {static_cast<long>(address - base), pad};
    }
};

TEST(BufferedBackEnd, LayoutOfTheWorkedSizes) {
    StatusCapture status;
    struct Case {
        int width, height, columns, rows;
        long bytes;
        int offset;
        int pad;
    };
    const Case cases[] = {{640, 480, 40, 30, 921600, 0, -492},
                          {100, 33, 7, 3, 16128, 1260, -96},
                          {160, 120, 10, 8, 10 * 8 * 768, 960, -132},
                          {16, 16, 1, 1, 768, 0, -24}};
    for (const Case& c : cases) {
        CountingBackEnd backEnd;
        backEnd.videoResolutionChanged(c.width, c.height);
        ASSERT_NE(backEnd.frameBuffer, nullptr);
        EXPECT_EQ(backEnd.width, c.width);
        EXPECT_EQ(backEnd.height, c.height);
        EXPECT_EQ(backEnd.tileColumns, c.columns);
        EXPECT_EQ(backEnd.tileRows, c.rows);
        EXPECT_EQ(backEnd.pictureOffset, c.offset) << c.width << "x" << c.height;
        // Tile (0, 0) starts on the last memory row; the tile at the far
        // corner starts 15 rows above the buffer start and ends on its last byte.
        const long rowWords = c.columns * 12L;
        const auto first = backEnd.target(0, 0);
        EXPECT_EQ(first.first, c.bytes / 4 - rowWords);
        EXPECT_EQ(first.second, c.pad);
        const auto last = backEnd.target(c.columns - 1, c.rows - 1);
        EXPECT_EQ(last.first, 15 * rowWords + (c.columns - 1) * 12L);
        EXPECT_EQ(backEnd.errors, 0);
    }
    EXPECT_TRUE(status.contains("vorcBufferedTesraDecoderBackEnd : switched video resolution to 640x480"));
}

TEST(BufferedBackEnd, SixteenBySixteenTileRows) {
    StatusCapture status;
    CountingBackEnd backEnd;
    backEnd.videoResolutionChanged(16, 16);
    const auto [word, pad] = backEnd.target(0, 0);
    EXPECT_EQ(word * 4, 720);
    EXPECT_EQ(word * 4 + 48 + 4 * pad, 672);  // second tile row
}

TEST(BufferedBackEnd, WithoutBufferEveryTileGoesToScratch) {
    StatusCapture status;
    CountingBackEnd backEnd;
    EXPECT_EQ(backEnd.target(0, 0), (std::pair<long, int>{0, 0}));
    EXPECT_EQ(backEnd.target(37, 5), (std::pair<long, int>{0, 0}));

    // With a buffer, a tile outside the announced picture is not written
    // into it either.
    backEnd.videoResolutionChanged(32, 32);
    unsigned int* address = nullptr;
    int pad = 99;
    backEnd.provideVideoTilePixelTarget(2, 0, &address, &pad);
    EXPECT_EQ(address, backEnd.scratchTile);
    EXPECT_EQ(pad, 0);
    backEnd.provideVideoTilePixelTarget(0, -1, &address, &pad);
    EXPECT_EQ(address, backEnd.scratchTile);
}

void expectFailedSwitch(CountingBackEnd& backEnd, const StatusCapture& status, int width, int height) {
    EXPECT_EQ(backEnd.frameBuffer, nullptr);
    EXPECT_EQ(backEnd.width, 0);
    EXPECT_EQ(backEnd.height, 0);
    EXPECT_EQ(backEnd.tileColumns, 0);
    EXPECT_EQ(backEnd.tileRows, 0);
    EXPECT_EQ(backEnd.pictureOffset, 0);
    EXPECT_EQ(backEnd.errors, 1);
    const std::string message = "vorcBufferedTesraDecoderBackEnd : !!! failed to switch video reolution to " +
                                std::to_string(width) + "x" + std::to_string(height) + " !!!";
    EXPECT_EQ(status.messages(), std::vector<std::string>{message});
    EXPECT_EQ(backEnd.target(3, 3), (std::pair<long, int>{0, 0}));
}

// Sizes whose buffer cannot even be addressed, and nonsensical sizes, take
// the out-of-memory path without trying to allocate.
TEST(BufferedBackEnd, UnrepresentableSizesFailCleanly) {
    const std::pair<int, int> sizes[] = {{INT_MAX, INT_MAX}, {0, 480}, {640, -16}};
    for (const auto& [width, height] : sizes) {
        StatusCapture status;
        CountingBackEnd backEnd;
        backEnd.videoResolutionChanged(640, 480);
        status.clear();
        backEnd.videoResolutionChanged(width, height);
        expectFailedSwitch(backEnd, status, width, height);
        // The next switch tries again.
        backEnd.videoResolutionChanged(32, 16);
        EXPECT_NE(backEnd.frameBuffer, nullptr);
    }
}

#ifdef __SANITIZE_ADDRESS__
constexpr bool UnderAddressSanitizer = true;
#else
constexpr bool UnderAddressSanitizer = false;
#endif

// Child-process bodies: exit 0 when the back end behaved.
[[noreturn]] void switchUnderAddressSpaceLimit() {
    rlimit limit{size_t{1} << 30, size_t{1} << 30};
    setrlimit(RLIMIT_AS, &limit);
    StatusCapture status;
    CountingBackEnd backEnd;
    backEnd.videoResolutionChanged(65535, 65535);
    const bool clean = backEnd.frameBuffer == nullptr && backEnd.errors == 1 && backEnd.width == 0 &&
                       status.contains(
                           "vorcBufferedTesraDecoderBackEnd : !!! failed to switch video reolution to 65535x65535 !!!");
    std::exit(clean ? 0 : 1);
}

[[noreturn]] void switchAndWriteCornerTiles() {
    StatusCapture status;
    CountingBackEnd backEnd;
    backEnd.videoResolutionChanged(65535, 65535);
    if (backEnd.frameBuffer == nullptr) std::exit(backEnd.errors == 1 && backEnd.tileRows == 0 ? 0 : 1);
    if (backEnd.tileColumns != 4096 || backEnd.tileRows != 4096 || backEnd.pictureOffset != 4096 * 12) {
        std::exit(1);
    }
    // Write the first and the last tile, as the scan decoder would.
    const std::pair<int, int> corners[] = {{0, 0}, {4095, 4095}};
    for (const auto& [column, row] : corners) {
        unsigned int* target = nullptr;
        int pad = 0;
        backEnd.provideVideoTilePixelTarget(column, row, &target, &pad);
        auto* bytes = reinterpret_cast<unsigned char*>(target);
        for (int r = 0; r < 16; ++r) std::memset(bytes + static_cast<long>(r) * (48 + 4L * pad), r, 48);
    }
    std::exit(0);
}

// The largest announced picture needs about 12.9 GB. With the address space
// limited, the allocation fails and the back end must survive; without the
// limit it either gets the whole buffer (tiles at both ends writable) or
// fails the same clean way. AddressSanitizer reserves too much address
// space to live under a limit and aborts rather than failing an
// allocation, so those builds skip this.
TEST(BufferedBackEndDeath, LargestPicture) {
    if (UnderAddressSanitizer) GTEST_SKIP() << "not meaningful under AddressSanitizer";
    EXPECT_EXIT(switchUnderAddressSpaceLimit(), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(switchAndWriteCornerTiles(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
