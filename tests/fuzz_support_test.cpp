// The fuzz targets' builder of valid streams: the same input must build the
// same stream whichever compiler built it, or an input that a clang fuzzing
// run found would test something else in the corpus replay of this build.
// Their traces give no buffer to a picture larger than the stream's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "valid_stream.h"
#include "vorc/core/picture_limits.h"

TEST(ValidStreamBuilder, ReadsTwoByteValuesHighByteFirst) {
    const uint8_t input[] = {0x12, 0x34, 0x56};
    vorcfuzz::InputBytes bytes(input, sizeof input);
    EXPECT_EQ(bytes.upTo(0xFFFF), 0x1234u);
    EXPECT_EQ(bytes.upTo(0xFF), 0x56u);
    EXPECT_EQ(bytes.upTo(0xFFFF), 0u);  // zeros once the input has run out
}

TEST(ValidStreamBuilder, BuildsTheStreamThatTheClangFuzzBuildBuilds) {
    std::vector<uint8_t> input(600);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
    vorcfuzz::InputBytes bytes(input.data(), input.size());
    const vorcfuzz::ValidStream stream = vorcfuzz::buildValidStream(bytes, 12, 40);
    uint64_t hash = 1469598103934665603u;
    for (const uint8_t byte : stream.bytes) hash = (hash ^ byte) * 1099511628211u;
    // Size and FNV-1a hash of the stream as the libFuzzer build wrote it.
    EXPECT_EQ(stream.frameStarts.size(), 4u);
    EXPECT_EQ(stream.bytes.size(), 3728u);
    EXPECT_EQ(hash, 1795531714454683228u);
}

TEST(ChainTraces, GiveNoBufferToAPictureOverTheirTilesAndRestoreTheLibraryLimit) {
    std::vector<uint8_t> input(300);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 53 + 7);
    vorcfuzz::InputBytes bytes(input.data(), input.size());
    std::vector<uint8_t> stream = vorcfuzz::buildValidStream(bytes, 2, 40).bytes;
    const uint8_t frameHeader[] = {0xFF, 0xC0};
    const auto sof = std::search(stream.begin(), stream.end(), std::begin(frameHeader), std::end(frameHeader));
    ASSERT_LT(sof + 8, stream.end());
    vorc::setMaxPicturePixels(1000000);

    const vorcfuzz::ChainTrace fitting = vorcfuzz::traceChains(stream, true, 0, 40);
    ASSERT_FALSE(fitting.pictures.empty());
    EXPECT_NE(fitting.pictures[0], 0u);
    // 41 tiles: one more than the trace allows, far below the library's limit.
    const uint8_t oversized[] = {0x00, 0x10, 0x02, 0x90};  // 16 x 656 pixels
    std::copy(std::begin(oversized), std::end(oversized), sof + 5);
    const vorcfuzz::ChainTrace capped = vorcfuzz::traceChains(stream, true, 0, 40);
    ASSERT_FALSE(capped.pictures.empty());
    EXPECT_EQ(capped.pictures[0], 0u);
    EXPECT_EQ(vorc::maxPicturePixels(), 1000000u);
    vorc::setMaxPicturePixels(0);
}
