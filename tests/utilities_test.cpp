// Utilities: base64 against the RFC 4648 vectors, the lap timer's
// arithmetic; status messages through the installed
// handler and the default output, and the default back end's messages and
// counters.
#include <gtest/gtest.h>

#include <tuple>

#include "support/recorders.h"
#include "vorc/backends/default_backend.h"
#include "vorc/util/base64.h"
#include "vorc/util/lap_timer.h"
#include "vorc/core/status_messages.h"

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

using Log = vorctest::CallLog;

// Logs what it receives and its own destruction.
struct LoggingHandler : vorcStatusMessageHandler {
    LoggingHandler(const char* name, Log* log) : name(name), log(log) {}
    ~LoggingHandler() override { log->push_back(name + " destroyed"); }
    void sendStatusMsg(const char* msg, void*) override { log->push_back(name + " got " + msg); }
    std::string name;
    Log* log;
};

TEST(StatusMessages, InstallReplaceAndReset) {
    Log log;
    auto* a = new LoggingHandler("A", &log);
    vorc::setStatusMessageHandler(a);
    vorc::sendStatusMsg("one", nullptr);
    vorc::setStatusMessageHandler(a);  // installing it again keeps it alive
    vorc::sendStatusMsg("two", a);
    vorc::setStatusMessageHandler(new LoggingHandler("B", &log));
    vorc::sendStatusMsg("three", nullptr);
    vorc::setStatusMessageHandler(nullptr);
    EXPECT_EQ(log, (Log{"A got one", "A got two", "A destroyed", "B got three", "B destroyed"}));
    testing::internal::CaptureStdout();
    int context = 0;
    vorc::sendStatusMsg("back to the default", &context);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "vorc : back to the default\n");
}

TEST(DefaultBackEnd, CountsFramesAndTilesAndReportsCorruptFrames) {
    vorctest::StatusCapture status;
    vorcDefaultTesraDecoderBackEnd backEnd;
    EXPECT_EQ(backEnd.getDecodedFramesNum(), 0);
    backEnd.videoResolutionChanged(640, 480);
    backEnd.frameComplete();  // no tile at all
    for (int i = 0; i < 5; ++i) backEnd.videoTileReceived();
    for (int i = 0; i < 2; ++i) backEnd.errorEncountered();
    backEnd.frameComplete();
    for (int i = 0; i < 2; ++i) backEnd.videoTileReceived();
    backEnd.videoResolutionChanged(320, 240);  // does not touch the tile count
    backEnd.frameComplete();
    EXPECT_EQ(
        status.messages(),
        (Log{"vorcDefaultTesraDecoderBackEnd : video resolution changed to 640x480.",
             "vorcDefaultTesraDecoderBackEnd : ------ video frame #1 with 0 tiles OK ------",
             "@@@@@@@@ vorcDefaultTesraDecoderBackEnd : CORRUPT FRAME",
             "vorcDefaultTesraDecoderBackEnd : video resolution changed to 320x240.",
             "vorcDefaultTesraDecoderBackEnd : ------ video frame #3 with 2 tiles OK ------"}));
    EXPECT_EQ(backEnd.getDecodedFramesNum(), 3);
}
