// Status message routing and the clamps.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vorc/core/status_messages.h"
#include "vorc/core/version.h"

namespace {

// Logs what it receives and its own destruction into shared logs.
class LoggingHandler : public vorcStatusMessageHandler {
public:
    LoggingHandler(std::string name, std::shared_ptr<std::vector<std::string>> log)
        : name_(std::move(name)), log_(std::move(log)) {}
    ~LoggingHandler() override { log_->push_back(name_ + " destroyed"); }
    void sendStatusMsg(const char* msg, void*) override { log_->push_back(name_ + " got " + msg); }

private:
    std::string name_;
    std::shared_ptr<std::vector<std::string>> log_;
};

TEST(StatusMessages, InstallReplaceAndReset) {
    auto log = std::make_shared<std::vector<std::string>>();
    auto* a = new LoggingHandler("A", log);
    vorc::setStatusMessageHandler(a);
    vorc::sendStatusMsg("one", nullptr);
    vorc::setStatusMessageHandler(a);  // installing it again keeps it alive
    vorc::sendStatusMsg("two", a);
    vorc::setStatusMessageHandler(new LoggingHandler("B", log));
    vorc::sendStatusMsg("three", nullptr);
    vorc::setStatusMessageHandler(nullptr);
    EXPECT_EQ(*log, (std::vector<std::string>{"A got one", "A got two", "A destroyed", "B got three", "B destroyed"}));

    testing::internal::CaptureStdout();
    int context = 0;
    vorc::sendStatusMsg("back to the default", &context);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "vorc : back to the default\n");

    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    testing::internal::CaptureStdout();
    vorc::sendStatusMsg("silenced", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    vorc::setStatusMessageHandler(nullptr);
}

TEST(Clamps, RaiseThenLower) {
    int value = 300;
    vorc::clamp_int(&value, 0, 255);
    EXPECT_EQ(value, 255);
    value = -4;
    vorc::clamp_int(&value, 0, 255);
    EXPECT_EQ(value, 0);
    short small = 5;
    vorc::clamp_s16(&small, 10, 2);  // min above max: max wins
    EXPECT_EQ(small, 2);
    small = -32768;
    vorc::clamp_s16(&small, -32768, 32767);
    EXPECT_EQ(small, -32768);
}

}  // namespace
