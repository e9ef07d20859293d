// `vorc transcode` as a user runs it: a stream with partial frames becomes
// an MJPEG file, numbered JPEG files or an MJPEG stream on standard output,
// and libjpeg decodes every image without a warning.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "support/libjpeg_coefficients.h"
#include "support/stream_builder.h"

namespace {

namespace fs = std::filesystem;
using vorctest::Bytes;
using vorctest::TileBlocks;

class ToolTranscode : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vorc-transcode-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        writeStream();
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string at(const std::string& name) const { return (fs::path(dir_) / name).string(); }

    static int run(const std::string& arguments) {
        const int status =
            std::system((std::string(VORC_TOOL_PATH) + " transcode " + arguments).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static Bytes readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Checks every image and that the last one carries the final picture.
    void expectImages(const std::vector<Bytes>& images) {
        ASSERT_EQ(images.size(), 4u);
        for (size_t i = 0; i < images.size(); ++i)
            vorctest::decodeJpegStrictly(images[i], "image " + std::to_string(i));
        const vorctest::JpegCoefficients last = vorctest::readJpegCoefficients(images.back());
        ASSERT_TRUE(last.valid());
        EXPECT_TRUE(last.tiles == finalPicture_);
    }

    std::string dir_;
    std::vector<TileBlocks> finalPicture_;

private:
    // 80x48 pixels (5 x 3 tiles): one full frame, then three partial ones.
    void writeStream() {
        std::mt19937 random(11);
        std::uniform_int_distribution<int> value(-60, 60);
        finalPicture_.assign(15, TileBlocks{});
        const auto scanOf = [&](const std::vector<int>& coded) {
            vorctest::ScanWriter writer;
            for (int k : coded) {
                TileBlocks& tile = finalPicture_[static_cast<size_t>(k)];
                for (auto& block : tile) {
                    block = {};
                    for (int i = 0; i < 10; ++i)
                        block[static_cast<size_t>(i * 6)] = static_cast<int16_t>(value(random));
                }
                writer.tile(tile[0], tile[1], tile[2], tile[3], tile[4], tile[5]);
            }
            return writer.finish();
        };
        std::vector<int> all(15);
        for (int k = 0; k < 15; ++k) all[static_cast<size_t>(k)] = k;
        vorctest::StreamBuilder stream;
        stream.fullFrame(80, 48, scanOf(all), 10);
        for (const std::vector<int>& coded :
             {std::vector<int>{0, 7, 14}, std::vector<int>{}, std::vector<int>{3, 4}}) {
            stream.partialFrame(vorctest::tileBitmap(5, 3, coded), scanOf(coded));
        }
        stream.app13();
        ASSERT_TRUE(stream.writeFile(at("in.tesra")));
    }
};

TEST_F(ToolTranscode, WritesAnMjpegFile) {
    ASSERT_EQ(run(at("in.tesra") + " -o " + at("out.mjpg") + " --boundary myb > " + at("summary")),
              0);
    expectImages(vorctest::splitMjpegStream(readFile(at("out.mjpg")), "myb"));
    const Bytes summary = readFile(at("summary"));
    EXPECT_NE(std::string(summary.begin(), summary.end()).find("frames written: 4"),
              std::string::npos);
}

TEST_F(ToolTranscode, WritesNumberedFiles) {
    fs::create_directory(at("frames"));
    ASSERT_EQ(
        run("--quiet " + at("in.tesra") + " --jpeg-prefix " + at("frames/f_") + " > /dev/null"), 0);
    std::vector<Bytes> images;
    for (int i = 0; i < 4; ++i)
        images.push_back(readFile(at("frames/f_00000" + std::to_string(i) + ".jpg")));
    EXPECT_FALSE(fs::exists(at("frames/f_000004.jpg")));
    expectImages(images);
}

TEST_F(ToolTranscode, StandardInputToStandardOutput) {
    ASSERT_EQ(run("- -o - < " + at("in.tesra") + " > " + at("out.mjpg") + " 2> " + at("err")), 0);
    expectImages(vorctest::splitMjpegStream(readFile(at("out.mjpg")), "vorcframe"));
    const Bytes err = readFile(at("err"));
    const std::string messages(err.begin(), err.end());
    EXPECT_NE(messages.find("JPG converter : reallocated coeff buffer"), std::string::npos);
    EXPECT_NE(messages.find("frames written: 4"), std::string::npos);
}

TEST_F(ToolTranscode, ReportsUsageErrors) {
    EXPECT_EQ(run("--help > /dev/null"), 0);
    EXPECT_EQ(run(at("in.tesra") + " 2> /dev/null"), 2);
    EXPECT_EQ(run(at("missing.tesra") + " -o " + at("x.mjpg") + " 2> /dev/null"), 2);
    EXPECT_EQ(run(at("in.tesra") + " -o " + at("no/such/dir.mjpg") + " 2> /dev/null"), 2);
    EXPECT_EQ(run(at("in.tesra") + " --jpeg-prefix " + at("no/such/f_") + " 2> /dev/null"), 2);
    EXPECT_EQ(run(at("in.tesra") + " --bogus 2> /dev/null"), 2);
}

}  // namespace
