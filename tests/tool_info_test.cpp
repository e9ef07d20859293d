// `vorc info`: reports every frame of a stream file and its summary; exit
// codes for good streams, usage errors and unreadable files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>

#include "support/stream_builder.h"

namespace {

const std::string Path = testing::TempDir() + "vorc_info_" + std::to_string(::getpid());

// Runs the tool through the shell: its exit code and standard output (and
// standard error when the arguments redirect it).
std::pair<int, std::string> runTool(const std::string& arguments) {
    std::FILE* pipe = ::popen((std::string(VORC_TOOL_PATH) + " " + arguments).c_str(), "r");
    std::string out;
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(ToolInfo, ReportsEveryFrameAndASummaryOrUsageErrors) {
    vorctest::StreamBuilder b;
    b.fullFrame(32, 16, vorctest::zeroTilesScan(2));
    b.app13().partialFrame(vorctest::tileBitmap(2, 1, {1}), vorctest::zeroTilesScan(1));
    b.fullFrame(48, 32, vorctest::zeroTilesScan(6));
    b.fullFrame(48, 32, vorctest::zeroTilesScan(6)).soi();
    ASSERT_TRUE(b.writeFile(Path));
    const std::string frames =
        "vorc : FramewiseTesraDecoder : acceleration method : none\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : video resolution changed to 32x16.\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : ------ video frame #1 with 2 tiles OK ------\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : ------ video frame #2 with 1 tiles OK ------\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : video resolution changed to 48x32.\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : ------ video frame #3 with 6 tiles OK ------\n"
        "vorc : vorcDefaultTesraDecoderBackEnd : ------ video frame #4 with 6 tiles OK ------\n";
    const std::string summary = "frames: 4, bytes: " + std::to_string(b.bytes().size()) +
                                ", picture: 48x32\n"
                                "full frames: 3, partial frames: 1, tiles per frame: 3.8\n";
    // Further summary lines may follow the first one.
    auto [code, out] = runTool("info --parse-only " + Path);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out.substr(0, frames.size() + summary.size()), frames + summary);

    for (const std::string& arguments :
         {std::string("info"), "info --bogus " + Path, "info " + Path + " " + Path,
          std::string("info /tmp"), std::string("info /nonexistent/vorc/stream")}) {
        std::tie(code, out) = runTool(arguments + " 2>&1");
        EXPECT_EQ(code, 2) << arguments;
        EXPECT_NE(out.find("vorc info: "), std::string::npos) << arguments;
    }
    ::unlink(Path.c_str());
}

TEST(ToolInfo, DecodingShowsADamagedScanWhichParsingAloneDoesNot) {
    // A luminance block whose zero runs (DC 0, then four runs of 16) go past
    // its 64 coefficients.
    vorctest::ScanWriter damaged;
    damaged.bits(0, 2);
    for (int run = 0; run < 4; ++run) damaged.bits(0x7F9, 11);
    vorctest::StreamBuilder b;
    b.fullFrame(32, 16, damaged.finish());
    b.fullFrame(32, 16, vorctest::zeroTilesScan(2)).soi();
    ASSERT_TRUE(b.writeFile(Path));

    auto [code, out] = runTool("info " + Path);
    EXPECT_EQ(code, 0);
    EXPECT_NE(out.find("CORRUPT FRAME\n"), std::string::npos) << out;
    EXPECT_NE(out.find("video frame #2 with 2 tiles OK"), std::string::npos) << out;
    EXPECT_NE(out.find("frames: 2, bytes: " + std::to_string(b.bytes().size()) +
                       ", picture: 32x16\nfull frames: 2, partial frames: 0, tiles per frame: "
                       "2.0\ncorrupt frames: 1\n"),
              std::string::npos)
        << out;
    out = runTool("info --parse-only " + Path).second;
    EXPECT_EQ(out.find("CORRUPT"), std::string::npos) << out;
    EXPECT_EQ(out.find("corrupt frames"), std::string::npos) << out;
    ::unlink(Path.c_str());
}

}  // namespace
