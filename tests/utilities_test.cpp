// Base64 against the RFC 4648 vectors, the lap timer's arithmetic and the
// value range tracker.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vorc/core/base64.h"
#include "vorc/core/lap_timer.h"
#include "vorc/core/value_range.h"

namespace {

std::string base64(const std::string& text) {
    std::vector<unsigned char> in(text.begin(), text.end());
    // Exactly the documented output size, so ASan sees any overrun.
    std::vector<unsigned char> out(4 * ((text.size() + 2) / 3) + 1, 0xEE);
    vorc::encode_base64(in.data(), static_cast<int>(in.size()), out.data());
    EXPECT_EQ(out.back(), 0);
    return std::string(reinterpret_cast<const char*>(out.data()));
}

TEST(Base64, Rfc4648TestVectors) {
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("foob"), "Zm9vYg==");
    EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
}

TEST(Base64, AllByteValuesAndNoLineBreaks) {
    std::string bytes;
    for (int i = 0; i < 57; ++i) bytes.push_back(static_cast<char>(0xFF - i * 4));
    const std::string encoded = base64(bytes);
    EXPECT_EQ(encoded.size(), 76u);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
    EXPECT_EQ(encoded.substr(0, 4), "//v3");
    EXPECT_EQ(base64(std::string("\xFB\xFF", 2)), "+/8=");
}

TEST(Base64, BlockStepPadsByCount) {
    unsigned char in[3] = {'M', 0, 0};
    unsigned char out[4];
    vorc::encode_base64_block(in, out, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "TQ==");
}

timeval at(long seconds, long micros) {
    timeval value{};
    value.tv_sec = seconds;
    value.tv_usec = micros;
    return value;
}

TEST(LapTimer, MillisecondsBorrowFromTheSeconds) {
    EXPECT_EQ(vorcTime::millisecondsBetween(at(10, 900000), at(13, 100000)), 2200);
    EXPECT_EQ(vorcTime::millisecondsBetween(at(10, 100000), at(10, 100999)), 0);
    EXPECT_EQ(vorcTime::millisecondsBetween(at(10, 100000), at(11, 101999)), 1001);
}

TEST(LapTimer, LapsAreConsecutive) {
    vorcTime timer;
    const int first = timer.elapsed();
    const int second = timer.elapsed();
    EXPECT_GE(first, 0);
    EXPECT_GE(second, 0);
    EXPECT_LT(first + second, 60000);
}

TEST(ValueRange, TracksMinimumAndMaximum) {
    vorcValueRange never;
    EXPECT_TRUE(never.empty);
    EXPECT_EQ(never.minValue, 0);
    EXPECT_EQ(never.maxValue, 0);

    vorcValueRange once;
    once.feedValue(7);
    EXPECT_EQ(once.minValue, 7);
    EXPECT_EQ(once.maxValue, 7);

    vorcValueRange several;
    for (int value : {5, -3, 12}) several.feedValue(value);
    EXPECT_FALSE(several.empty);
    EXPECT_EQ(several.minValue, -3);
    EXPECT_EQ(several.maxValue, 12);

    ::testing::internal::CaptureStdout();
    several.dumpRange();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[      -3 ,      12 ]");
}

}  // namespace
