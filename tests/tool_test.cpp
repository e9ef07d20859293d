// The vorc tool end to end on the bundled sample, run as a user would: the
// conventions every subcommand shares (help, bad options, exit codes and
// messages), the outputs of the reading commands, and `vorc encode`, which
// reproduces the sample byte for byte and makes streams from pictures.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string ToolPath = std::string("'") + VORC_TOOL_PATH + "' ";
const std::string Sample = std::string(VORC_SOURCE_DIR) + "/data/sample.tesra";

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vorc-tool-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string at(const std::string& name) const { return dir_ + "/" + name; }

    // Runs a shell command line after the tool's path; keeps both output streams.
    int run(const std::string& arguments) {
        const int status =
            std::system((ToolPath + arguments + " >" + at("out") + " 2>" + at("err")).c_str());
        out_ = read(at("out"));
        err_ = read(at("err"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool saidOut(const std::string& text) const { return out_.find(text) != std::string::npos; }
    bool saidErr(const std::string& text) const { return err_.find(text) != std::string::npos; }

    std::string dir_, out_, err_;
};

TEST_F(Tool, EverySubcommandHelpsAndRejectsBadOptions) {
    ASSERT_EQ(run("--help"), 0);
    const std::string list = out_;
    for (const std::string command :
         {"info", "snapshot", "transcode", "dump", "encode", "camera", "record"}) {
        EXPECT_NE(list.find("  " + command + " "), std::string::npos)
            << command << " in vorc --help";
        EXPECT_EQ(run(command + " --help"), 0) << command;
        EXPECT_TRUE(saidOut("usage: vorc " + command) && err_.empty()) << command;
        EXPECT_EQ(run(command + " --no-such-option " + Sample), 2) << command;
        EXPECT_TRUE(saidErr("vorc " + command) && out_.empty()) << err_;
    }
}

// Exit code 2 for usage errors and files that cannot be opened or created,
// 1 for failures on the way.
TEST_F(Tool, ExitCodesAndMessages) {
    std::vector<std::tuple<std::string, int, std::string>> rows = {
        {"", 2, "usage"},
        {"no-such-command", 2, "unknown command"},
        {"dump " + at("missing.tesra") + " -o " + at("x.rgb"), 2, "cannot open"},
        {"dump " + Sample + " -o " + at("no/dir/x.rgb"), 2, "vorc dump"},
        {"encode -o " + at("x.tesra") + " " + at("missing.png"), 2, "cannot open"},
        {"encode --synthetic --frames 1 -o " + at("no/dir/x.tesra"), 2, "cannot create"},
        {"encode --synthetic", 2, "missing -o"},
        {"encode --synthetic -o " + at("x.tesra") + " " + Sample, 2, "vorc encode"},
        {"encode -o " + at("x.tesra"), 2, "vorc encode"},
    };
    for (const char* bad : {"--quality 0", "--quality 101", "--key-interval 0", "--size 0x10",
                            "--size 640", "--threshold -1", "--frames 0"}) {
        rows.push_back(
            {std::string("encode --synthetic ") + bad + " -o " + at("x.tesra"), 2, "vorc encode"});
    }
    if (fs::exists("/dev/full")) {  // every write fails there: lost data must not pass unnoticed
        rows.push_back({"dump --quiet --yuv " + Sample + " -o /dev/full", 1,
                        "vorc dump: writing the output failed"});
    }
    for (const auto& [arguments, exitCode, message] : rows) {
        EXPECT_EQ(run(arguments), exitCode) << arguments;
        EXPECT_TRUE(saidErr(message)) << arguments << ": " << err_;
    }
}

TEST_F(Tool, ReadingCommandsTurnTheSampleIntoTheirOutputs) {
    ASSERT_EQ(run("info --quiet " + Sample), 0) << err_;
    EXPECT_TRUE(saidOut("frames: 75") && saidOut("640x480") &&
                saidOut("full frames: 3, partial frames: 72"))
        << out_;

    ASSERT_EQ(run("transcode --quiet " + Sample + " -o " + at("sample.mjpg")), 0) << err_;
    const std::string mjpeg = read(at("sample.mjpg"));
    size_t images = 0;  // inside JPEG data FF D8 can only be an SOI
    for (size_t at = mjpeg.find("\xFF\xD8"); at != std::string::npos;
         at = mjpeg.find("\xFF\xD8", at + 2))
        ++images;
    EXPECT_EQ(images, 75u);

    ASSERT_EQ(run("snapshot --quiet " + Sample + " -o " + at("last.png")), 0) << err_;
    const std::string png = read(at("last.png"));
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x02\x80\0\0\x01\xE0", 8)) << "640 x 480";

    ASSERT_EQ(run("dump --quiet --yuv " + Sample + " -o " + at("sample.yuv")), 0) << err_;
    EXPECT_EQ(fs::file_size(at("sample.yuv")), 75u * 640 * 480 * 3 / 2);
}

TEST_F(Tool, EncodeReproducesTheSampleAndMakesStreamsFromPictures) {
    // The sample is what `vorc encode --synthetic` writes with its defaults,
    // on any machine and with any build type.
    ASSERT_EQ(run("encode --synthetic --quiet -o " + at("again.tesra")), 0) << err_;
    const std::string bundled = read(Sample);
    ASSERT_FALSE(bundled.empty());
    EXPECT_LT(bundled.size(), 2u * 1024 * 1024);
    EXPECT_TRUE(read(at("again.tesra")) == bundled) << "bundled " << bundled.size() << " bytes";

    // The PNG written by snapshot and a PPM written here, twice each.
    ASSERT_EQ(run("snapshot --quiet " + Sample + " -o " + at("a.png")), 0);
    std::ofstream(at("b.ppm"), std::ios::binary) << "P6\n# a comment\n640 480\n255\n"
                                                 << std::string(640 * 480 * 3, '\x40');
    const std::string pictures =
        at("a.png") + " " + at("a.png") + " " + at("b.ppm") + " " + at("b.ppm");
    ASSERT_EQ(run("encode --quality 90 -o " + at("pictures.tesra") + " " + pictures), 0) << err_;
    EXPECT_TRUE(saidOut("frames: 4 (1 full, 3 partial)")) << out_;
    ASSERT_EQ(run("info --quiet " + at("pictures.tesra")), 0);
    EXPECT_TRUE(saidOut("frames: 4")) << out_;

    // Into a pipe: only the stream on standard output.
    ASSERT_EQ(run("encode --synthetic --size 64x48 --frames 5 --quiet -o - | " + ToolPath +
                  "info --quiet -"),
              0)
        << err_;
    EXPECT_TRUE(saidOut("frames: 5, bytes:") && saidOut("64x48")) << out_;

    // A file that is no picture ends the stream after the frames before it.
    std::ofstream(at("notes.txt")) << "not a picture\n";
    EXPECT_EQ(run("encode -o " + at("cut.tesra") + " " + at("b.ppm") + " " + at("notes.txt")), 1);
    EXPECT_TRUE(saidErr("not a PNG or binary PPM")) << err_;
    ASSERT_EQ(run("info --quiet " + at("cut.tesra")), 0);
    EXPECT_TRUE(saidOut("frames: 1")) << out_;
}

}  // namespace
