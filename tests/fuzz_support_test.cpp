// The fuzz targets' builder of valid streams: the same input must build the
// same stream whichever compiler built it, or an input that a clang fuzzing
// run found would test something else in the corpus replay of this build.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "valid_stream.h"

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
