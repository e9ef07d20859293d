// `vorc snapshot`: the PNG it writes, read back by libpng, holds exactly the
// picture our decoder produces; frame selection and its failures.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/libjpeg_helpers.h"
#include "support/picture_backend.h"
#include "support/stream_builder.h"

namespace {

using vorctest::Bytes;
using vorctest::RgbPicture;

RgbPicture readPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    RgbPicture picture;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return picture;
    image.format = PNG_FORMAT_RGB;
    picture.pixels.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return RgbPicture{};
    }
    picture.width = static_cast<int>(image.width);
    picture.height = static_cast<int>(image.height);
    return picture;
}

class SnapshotCommand : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorc_snapshot_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // Two frames: a full picture, then a partial frame that greys tile 2.
        const Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(100, 33, false), 85);
        stream_ = vorctest::jpegToTesraFrame(jpeg);
        vorctest::StreamBuilder partial;
        partial.partialFrame(vorctest::tileBitmap(7, 3, {2}), vorctest::zeroTilesScan(1)).soi();
        stream_.insert(stream_.end(), partial.bytes().begin(), partial.bytes().end());
        ASSERT_TRUE(vorctest::StreamBuilder().raw(stream_).writeFile(streamPath()));
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string streamPath() const { return dir_ + "/two.tesra"; }
    std::string pngPath() const { return dir_ + "/out.png"; }
    int run(const std::string& arguments) const {
        const int status = std::system((std::string(VORC_TOOL_PATH) + " snapshot " + arguments + " 2>/dev/null").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    Bytes stream_;
};

TEST_F(SnapshotCommand, WritesThePictureOfTheChosenFrame) {
    const vorctest::DecodeOutcome decoded = vorctest::decodeStream(stream_);
    ASSERT_EQ(decoded.frames.size(), 2u);
    ASSERT_NE(decoded.frames[0].pixels, decoded.frames[1].pixels);

    ASSERT_EQ(run("--quiet " + streamPath() + " -o " + pngPath() + " --frame 1"), 0);
    RgbPicture png = readPng(pngPath());
    EXPECT_EQ(png.width, 100);
    EXPECT_EQ(png.height, 33);
    EXPECT_EQ(png.pixels, decoded.frames[0].pixels);

    // By default the last complete frame, here read from standard input.
    ASSERT_EQ(run("- -o " + pngPath() + " < " + streamPath()), 0);
    png = readPng(pngPath());
    EXPECT_EQ(png.pixels, decoded.frames[1].pixels);
}

TEST_F(SnapshotCommand, Failures) {
    EXPECT_EQ(run(streamPath() + " -o " + pngPath() + " --frame 3"), 2);
    EXPECT_NE(access(pngPath().c_str(), F_OK), 0) << "no file is left behind";
    EXPECT_EQ(run(streamPath() + " -o " + pngPath() + " --frame 0"), 2);
    EXPECT_EQ(run(streamPath()), 2);
    EXPECT_EQ(run(dir_ + "/missing.tesra -o " + pngPath()), 2);
    EXPECT_EQ(run(streamPath() + " -o " + dir_ + "/no/such/dir.png"), 2);
    EXPECT_EQ(run("--help >/dev/null"), 0);
}

TEST_F(SnapshotCommand, AFailedSnapshotRemovesOnlyARegularFile) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(run(streamPath() + " -o " + fifo + " --frame 3 & cat " + fifo + " >/dev/null; wait $!"), 2);
    EXPECT_EQ(access(fifo.c_str(), F_OK), 0) << "the pipe is still there";
}

}  // namespace
