// `vorc info`: reports every frame of a stream file and its summary; exit
// codes for good streams, usage errors and unreadable files.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "support/stream_builder.h"

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
};

// Runs the tool through the shell; standard error is captured only when
// the command redirects it.
ToolRun runTool(const std::string& arguments) {
    ToolRun run;
    std::FILE* pipe = ::popen((std::string(VORC_TOOL_PATH) + " " + arguments).c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 4096> chunk{};
    size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.out.append(chunk.data(), got);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class ToolInfo : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vorc_info_XXXXXX";
        const int fd = ::mkstemp(name);
        ASSERT_NE(fd, -1);
        ::close(fd);
        path_ = name;
        vorctest::StreamBuilder b;
        b.fullFrame(32, 16, vorctest::zeroTilesScan(2));
        b.app13().partialFrame(vorctest::tileBitmap(2, 1, {1}), vorctest::zeroTilesScan(1));
        b.fullFrame(48, 32, vorctest::zeroTilesScan(6));
        b.fullFrame(48, 32, vorctest::zeroTilesScan(6)).soi();
        ASSERT_TRUE(b.writeFile(path_));
        size_ = b.bytes().size();
    }
    void TearDown() override { ::unlink(path_.c_str()); }

    std::string path_;
    size_t size_ = 0;
};

TEST_F(ToolInfo, ReportsEveryFrameAndASummary) {
    const std::string frames =
        "vorc : FramewiseTesraDecoder : acceleration method : none\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : video resolution changed to 32x16.\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : ------ video frame #1 with 2 tiles OK ------\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : ------ video frame #2 with 1 tiles OK ------\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : video resolution changed to 48x32.\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : ------ video frame #3 with 6 tiles OK ------\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : ------ video frame #4 with 6 tiles OK ------\n";
    const std::string summary = "frames: 4, bytes: " + std::to_string(size_) +
                                ", picture: 48x32\n"
                                "full frames: 3, partial frames: 1, tiles per frame: 3.8\n";

    // Further summary lines may follow the first one.
    ToolRun run = runTool("info --parse-only " + path_);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.substr(0, frames.size() + summary.size()), frames + summary);

    run = runTool("info --quiet - < " + path_);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.substr(0, summary.size()), summary);
}

TEST_F(ToolInfo, DecodingShowsADamagedScanWhichParsingAloneDoesNot) {
    // A luminance block whose zero runs (DC 0, then four runs of 16) go past
    // its 64 coefficients.
    vorctest::ScanWriter damaged;
    damaged.bits(0, 2);
    for (int run = 0; run < 4; ++run) damaged.bits(0x7F9, 11);
    vorctest::StreamBuilder b;
    b.fullFrame(32, 16, damaged.finish());
    b.fullFrame(32, 16, vorctest::zeroTilesScan(2)).soi();
    ASSERT_TRUE(b.writeFile(path_));

    ToolRun run = runTool("info " + path_);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("CORRUPT FRAME\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("video frame #2 with 2 tiles OK"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("frames: 2, bytes: " + std::to_string(b.bytes().size()) + ", picture: 32x16\n"
                           "full frames: 2, partial frames: 0, tiles per frame: 2.0\n"
                           "corrupt frames: 1\n"),
              std::string::npos)
        << run.out;

    run = runTool("info --parse-only " + path_);
    EXPECT_EQ(run.out.find("CORRUPT"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("corrupt frames"), std::string::npos) << run.out;
}

TEST_F(ToolInfo, HelpAndUsageErrors) {
    ToolRun run = runTool("info --help");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("usage: vorc info"), std::string::npos);

    for (const std::string& arguments :
         {std::string("info"), "info --bogus " + path_, "info " + path_ + " " + path_, std::string("info /tmp"),
          std::string("info /nonexistent/vorc/stream")}) {
        run = runTool(arguments + " 2>&1");
        EXPECT_EQ(run.exitCode, 2) << arguments;
        EXPECT_NE(run.out.find("vorc info: "), std::string::npos) << arguments;
    }
}

}  // namespace
