// The vorc tool end to end on the bundled sample, run as a user would: the
// conventions every subcommand shares (help, bad options, files that cannot
// be opened), the outputs of the reading commands, and `vorc encode` from
// pictures and into a pipe.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string Sample = std::string(VORC_SOURCE_DIR) + "/data/sample.tesra";

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vorc-tool-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string at(const std::string& name) const { return dir_ + "/" + name; }

    // Runs `vorc ARGUMENTS` through the shell; keeps both output streams.
    int run(const std::string& arguments) {
        const std::string command = std::string("'") + VORC_TOOL_PATH + "' " + arguments + " >'" + at("stdout") +
                                    "' 2>'" + at("stderr") + "'";
        const int status = std::system(command.c_str());
        out_ = read(at("stdout"));
        err_ = read(at("stderr"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string dir_;
    std::string out_;
    std::string err_;
};

const char* const Commands[] = {"info", "snapshot", "transcode", "dump", "encode", "camera", "record"};

TEST_F(Tool, EverySubcommandHelpsAndRejectsBadOptions) {
    ASSERT_EQ(run("--help"), 0);
    for (const char* command : Commands) {
        SCOPED_TRACE(command);
        EXPECT_NE(out_.find(std::string("  ") + command + " "), std::string::npos) << "listed in vorc --help";
    }
    for (const char* command : Commands) {
        SCOPED_TRACE(command);
        EXPECT_EQ(run(std::string(command) + " --help"), 0);
        EXPECT_NE(out_.find(std::string("usage: vorc ") + command), std::string::npos);
        EXPECT_TRUE(err_.empty());
        EXPECT_EQ(run(std::string(command) + " --no-such-option " + Sample), 2);
        EXPECT_NE(err_.find(std::string("vorc ") + command), std::string::npos) << err_;
        EXPECT_TRUE(out_.empty());
    }
    EXPECT_EQ(run(""), 2);
    EXPECT_EQ(run("no-such-command"), 2);
    EXPECT_NE(err_.find("unknown command"), std::string::npos);
}

TEST_F(Tool, ReadingCommandsTurnTheSampleIntoTheirOutputs) {
    ASSERT_EQ(run("info --quiet " + Sample), 0) << err_;
    EXPECT_NE(out_.find("frames: 75"), std::string::npos) << out_;
    EXPECT_NE(out_.find("640x480"), std::string::npos) << out_;
    EXPECT_NE(out_.find("full frames: 3, partial frames: 72"), std::string::npos) << out_;

    ASSERT_EQ(run("transcode --quiet " + Sample + " -o " + at("sample.mjpg")), 0) << err_;
    const std::string mjpeg = read(at("sample.mjpg"));
    size_t images = 0;  // inside JPEG data FF D8 can only be an SOI
    for (size_t at = mjpeg.find("\xFF\xD8"); at != std::string::npos; at = mjpeg.find("\xFF\xD8", at + 2)) ++images;
    EXPECT_EQ(images, 75u);

    ASSERT_EQ(run("snapshot --quiet " + Sample + " -o " + at("last.png")), 0) << err_;
    const std::string png = read(at("last.png"));
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x02\x80\0\0\x01\xE0", 8)) << "640 x 480";

    ASSERT_EQ(run("dump --quiet --yuv " + Sample + " -o " + at("sample.yuv")), 0) << err_;
    EXPECT_EQ(fs::file_size(at("sample.yuv")), 75u * 640 * 480 * 3 / 2);
}

TEST_F(Tool, FilesThatCannotBeOpenedOrCreatedExitWithTwo) {
    const std::string missing = at("missing.tesra");
    EXPECT_EQ(run("info " + missing), 2);
    EXPECT_NE(err_.find("cannot open"), std::string::npos) << err_;
    EXPECT_EQ(run("transcode " + missing + " -o " + at("x.mjpg")), 2);
    EXPECT_EQ(run("dump " + missing + " -o " + at("x.rgb")), 2);
    EXPECT_EQ(run("transcode " + Sample + " -o " + at("no/dir/x.mjpg")), 2);
    EXPECT_EQ(run("dump " + Sample + " -o " + at("no/dir/x.rgb")), 2);
    if (fs::exists("/dev/full")) {  // every write fails there: the data is lost, which must not pass unnoticed
        EXPECT_EQ(run("dump --quiet --yuv " + Sample + " -o /dev/full"), 1);
        EXPECT_NE(err_.find("vorc dump: writing the output failed"), std::string::npos) << err_;
    }

    EXPECT_EQ(run("encode -o " + at("x.tesra") + " " + at("missing.png")), 2);
    EXPECT_NE(err_.find("cannot open"), std::string::npos) << err_;
    EXPECT_EQ(run("encode --synthetic --frames 1 -o " + at("no/dir/x.tesra")), 2);
    EXPECT_NE(err_.find("cannot create"), std::string::npos) << err_;
}

TEST_F(Tool, EncodeMakesStreamsFromPicturesAndTheScene) {
    // The PNG written by snapshot and a PPM written here, twice each.
    ASSERT_EQ(run("snapshot --quiet " + Sample + " -o " + at("a.png")), 0);
    {
        std::ofstream ppm(at("b.ppm"), std::ios::binary);
        ppm << "P6\n# a comment\n640 480\n255\n" << std::string(640 * 480 * 3, '\x40');
    }
    const std::string pictures = at("a.png") + " " + at("a.png") + " " + at("b.ppm") + " " + at("b.ppm");
    ASSERT_EQ(run("encode --quality 90 -o " + at("pictures.tesra") + " " + pictures), 0) << err_;
    EXPECT_NE(out_.find("frames: 4 (1 full, 3 partial)"), std::string::npos) << out_;
    ASSERT_EQ(run("info --quiet " + at("pictures.tesra")), 0);
    EXPECT_NE(out_.find("frames: 4"), std::string::npos) << out_;

    // Into a pipe: only the stream on standard output.
    ASSERT_EQ(run("encode --synthetic --size 64x48 --frames 5 --quiet -o - | '" + std::string(VORC_TOOL_PATH) +
                  "' info --quiet -"),
              0)
        << err_;
    EXPECT_NE(out_.find("frames: 5, bytes:"), std::string::npos) << out_;
    EXPECT_NE(out_.find("64x48"), std::string::npos) << out_;

    // A file that is no picture ends the stream after the frames before it.
    {
        std::ofstream text(at("notes.txt"));
        text << "not a picture\n";
    }
    EXPECT_EQ(run("encode -o " + at("cut.tesra") + " " + at("b.ppm") + " " + at("notes.txt")), 1);
    EXPECT_NE(err_.find("not a PNG or binary PPM"), std::string::npos) << err_;
    ASSERT_EQ(run("info --quiet " + at("cut.tesra")), 0);
    EXPECT_NE(out_.find("frames: 1"), std::string::npos) << out_;

    for (const char* bad : {"--quality 0", "--quality 101", "--key-interval 0", "--size 0x10", "--size 640",
                            "--threshold -1", "--frames 0"}) {
        EXPECT_EQ(run(std::string("encode --synthetic ") + bad + " -o " + at("bad.tesra")), 2) << bad;
    }
    EXPECT_EQ(run("encode --synthetic"), 2);
    EXPECT_NE(err_.find("missing -o"), std::string::npos) << err_;
    EXPECT_EQ(run("encode --synthetic -o " + at("x.tesra") + " " + at("b.ppm")), 2);
    EXPECT_EQ(run("encode -o " + at("x.tesra")), 2);
}

}  // namespace
