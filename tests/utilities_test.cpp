// Base64 against the RFC 4648 vectors, the lap timer's arithmetic and the
// value range tracker.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "vorc/core/base64.h"
#include "vorc/core/lap_timer.h"
#include "vorc/core/value_range.h"

namespace {

TEST(Base64, Rfc4648VectorsHighBytesAndNoLineBreaks) {
    std::string high;  // 57 bytes: one 76-character line, where MIME would break
    for (int i = 0; i < 57; ++i) high.push_back(static_cast<char>(0xFF - i * 4));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xFB\xFF", 2), "+/8="},
        {high, "//v38+/r5+Pf29fTz8vHw7+7t7Ovq6ejn5uXk4+Lh4N/e3dzb2tnY19bV1NPS0dDPzs3My8rJyMf"},
    };
    for (const auto& [text, expected] : cases) {
        std::vector<unsigned char> in(text.begin(), text.end());
        // Exactly the documented output size, so ASan sees any overrun.
        std::vector<unsigned char> out(4 * ((text.size() + 2) / 3) + 1, 0xEE);
        vorc::encode_base64(in.data(), static_cast<int>(in.size()), out.data());
        EXPECT_EQ(out.back(), 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data())), expected);
    }
}

TEST(LapTimer, MillisecondsBorrowFromTheSeconds) {
    EXPECT_EQ(vorcTime::millisecondsBetween(timeval{10, 900000}, timeval{13, 100000}), 2200);
    EXPECT_EQ(vorcTime::millisecondsBetween(timeval{10, 100000}, timeval{10, 100999}), 0);
    EXPECT_EQ(vorcTime::millisecondsBetween(timeval{10, 100000}, timeval{11, 101999}), 1001);
}

TEST(ValueRange, TracksMinimumAndMaximum) {
    vorcValueRange range;
    EXPECT_EQ(std::make_tuple(range.empty, range.minValue, range.maxValue),
              std::make_tuple(true, 0, 0));
    range.feedValue(7);
    EXPECT_EQ(std::make_tuple(range.empty, range.minValue, range.maxValue),
              std::make_tuple(false, 7, 7));
    for (int value : {5, -3, 12}) range.feedValue(value);
    ::testing::internal::CaptureStdout();
    range.dumpRange();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[      -3 ,      12 ]");
}

}  // namespace
