// `vorc transcode` as a user runs it: a stream with partial frames becomes
// an MJPEG file, numbered JPEG files or an MJPEG stream on standard output,
// and libjpeg decodes every image without a warning.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/libjpeg_helpers.h"
#include "support/stream_builder.h"

namespace {

namespace fs = std::filesystem;
using vorctest::Bytes;

int run(const std::string& arguments) {
    const int status =
        std::system((std::string(VORC_TOOL_PATH) + " transcode " + arguments).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ToolTranscode : ::testing::Test {
    std::string dir =
        ::mkdtemp((fs::temp_directory_path() / "vorc-transcode-XXXXXX").string().data());
    std::string in = dir + "/in.tesra";

    ~ToolTranscode() override { fs::remove_all(dir); }
};

// libjpeg decodes every image without a warning.
void expectImages(const std::vector<Bytes>& images) {
    ASSERT_EQ(images.size(), 4u);
    for (size_t i = 0; i < images.size(); ++i)
        vorctest::decodeJpegStrictly(images[i], "image " + std::to_string(i));
}

TEST_F(ToolTranscode, WritesAnMjpegFileNumberedFilesOrStandardOutput) {
    // 80x48 pixels (5 x 3 tiles): one full frame, then three partial ones.
    vorctest::StreamBuilder stream;
    stream.fullFrame(80, 48, vorctest::zeroTilesScan(15), 10);
    for (const auto& coded : std::vector<std::vector<int>>{{0, 7, 14}, {}, {3, 4}})
        stream.partialFrame(vorctest::tileBitmap(5, 3, coded),
                            vorctest::zeroTilesScan(int(coded.size())));
    ASSERT_TRUE(stream.app13().writeFile(in));

    ASSERT_EQ(run("--quiet " + in + " -o " + dir + "/out.mjpg --boundary myb"), 0);
    expectImages(vorctest::splitMjpegStream(readFile(dir + "/out.mjpg"), "myb"));

    ASSERT_EQ(run("--quiet " + in + " --jpeg-prefix " + dir + "/f_ > /dev/null"), 0);
    std::vector<Bytes> images;
    for (int i = 0; i < 4; ++i)
        images.push_back(readFile(dir + "/f_00000" + std::to_string(i) + ".jpg"));
    EXPECT_FALSE(fs::exists(dir + "/f_000004.jpg"));
    expectImages(images);

    ASSERT_EQ(run("- -o - < " + in + " > " + dir + "/out.mjpg 2> /dev/null"), 0);
    expectImages(vorctest::splitMjpegStream(readFile(dir + "/out.mjpg"), "vorcframe"));

    // Usage errors: no output named, an uncreatable file prefix.
    EXPECT_EQ(run(in + " 2> /dev/null"), 2);
    EXPECT_EQ(run(in + " --jpeg-prefix " + dir + "/no/such/f_ 2> /dev/null"), 2);
}

}  // namespace
