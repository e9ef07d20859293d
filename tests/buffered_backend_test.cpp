// Buffered RGB back end: bottom-up tile addresses and row pads, the states
// without a buffer, and allocation failure, including the largest picture a
// stream can announce.
#include "vorc/backends/buffered_backend.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/recorders.h"

namespace {

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
                          {160, 120, 10, 8, 10 * 8 * 768, 960, -132},
                          {16, 16, 1, 1, 768, 0, -24}};
    for (const Case& c : cases) {
        CountingBackEnd backEnd;
        EXPECT_EQ(backEnd.target(0, 0), Scratch);  // no buffer yet
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

// Child-process body: switches to the largest picture a stream can announce
// (about 12.9 GB), with the address space limited to 1 GiB or not, and exits
// 0 when the back end behaved: a clean failure, or (without the limit) the
// whole buffer with the tiles at both ends writable as the scan decoder
// would write them.
[[noreturn]] void switchToTheLargestPicture(bool limitAddressSpace) {
    const rlimit limit{size_t{1} << 30, size_t{1} << 30};
    if (limitAddressSpace) setrlimit(RLIMIT_AS, &limit);
    StatusCapture status;
    CountingBackEnd backEnd;
    backEnd.videoResolutionChanged(65535, 65535);
    if (backEnd.frameBuffer == nullptr)
        std::exit(backEnd.failedCleanly(status, 65535, 65535) ? 0 : 1);
    if (limitAddressSpace ||
        backEnd.fields() != std::array<int, 5>{65535, 65535, 4096, 4096, 4096 * 12})
        std::exit(1);
    for (const Target& tile : {backEnd.target(0, 0), backEnd.target(4095, 4095)}) {
        auto* bytes = reinterpret_cast<unsigned char*>(backEnd.frameBuffer + tile.first);
        for (int r = 0; r < 16; ++r) std::memset(bytes + r * (48 + 4L * tile.second), r, 48);
    }
    std::exit(0);
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

}  // namespace
