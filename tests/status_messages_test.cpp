// Status messages: routing through the installed handler, the default
// output, and the default back end's messages and counters.
#include "vorc/core/status_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/recorders.h"
#include "vorc/backends/default_backend.h"

namespace {

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

}  // namespace
