// `vorc snapshot`: the PNG it writes, read back by libpng, holds exactly the
// picture our decoder produces; frame selection and its failures.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/libjpeg_helpers.h"
#include "support/picture_backend.h"
#include "support/stream_builder.h"

namespace {

using vorctest::RgbPicture;

RgbPicture readPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return {};
    image.format = PNG_FORMAT_RGB;
    RgbPicture picture{int(image.width), int(image.height),
                       std::vector<uint8_t>(PNG_IMAGE_SIZE(image))};
    return png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr) != 0
               ? picture
               : RgbPicture{};
}

class SnapshotCommand : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorc_snapshot_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        input_ = dir_ + "/two.tesra";
        png_ = dir_ + "/out.png";
        // Two frames: a full picture, then a partial frame that greys tile 2.
        stream_
            .raw(vorctest::jpegToTesraFrame(
                vorctest::compressJpeg(vorctest::syntheticPicture(100, 33, false), 85)))
            .partialFrame(vorctest::tileBitmap(7, 3, {2}), vorctest::zeroTilesScan(1))
            .soi();
        ASSERT_TRUE(stream_.writeFile(input_));
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    int run(const std::string& arguments) const {
        const int status = std::system(
            (std::string(VORC_TOOL_PATH) + " snapshot " + arguments + " 2>/dev/null").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_, input_, png_;
    vorctest::StreamBuilder stream_;
};

TEST_F(SnapshotCommand, WritesThePictureOfTheChosenFrame) {
    const vorctest::DecodeOutcome decoded = vorctest::decodeStream(stream_.bytes());
    ASSERT_EQ(decoded.frames.size(), 2u);
    ASSERT_NE(decoded.frames[0].pixels, decoded.frames[1].pixels);

    ASSERT_EQ(run("--quiet " + input_ + " -o " + png_ + " --frame 1"), 0);
    const RgbPicture png = readPng(png_);
    EXPECT_EQ(png.width, 100);
    EXPECT_EQ(png.height, 33);
    EXPECT_EQ(png.pixels, decoded.frames[0].pixels);

    // By default the last complete frame, here read from standard input.
    ASSERT_EQ(run("- -o " + png_ + " < " + input_), 0);
    EXPECT_EQ(readPng(png_).pixels, decoded.frames[1].pixels);
}

TEST_F(SnapshotCommand, Failures) {
    // Frame 3 never arrives: no file is left behind, but a pipe is no
    // regular file to remove.
    EXPECT_EQ(run(input_ + " -o " + png_ + " --frame 3"), 2);
    EXPECT_NE(access(png_.c_str(), F_OK), 0);
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(run(input_ + " -o " + fifo + " --frame 3 & cat " + fifo + " >/dev/null; wait $!"), 2);
    EXPECT_EQ(access(fifo.c_str(), F_OK), 0) << "the pipe is still there";

    EXPECT_EQ(run(input_ + " -o " + png_ + " --frame 0"), 2);
    EXPECT_EQ(run(input_), 2);
    EXPECT_EQ(run(input_ + " -o " + dir_ + "/no/such/dir.png"), 2);
}

}  // namespace
