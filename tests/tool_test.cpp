// The vorc tool end to end, run as a user would: the conventions every
// subcommand shares (help, bad options, exit codes and messages), the
// outputs of the reading commands on the bundled sample, `vorc encode`,
// which reproduces the sample byte for byte and makes streams from
// pictures, and `vorc info`, `snapshot` and `transcode` on made streams.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <tuple>

#include "support/files.h"
#include "support/picture_backend.h"

namespace fs = std::filesystem;
using vorctest::readFile;

const std::string ToolPath = std::string("'") + VORC_TOOL_PATH + "' ";
const std::string Sample = std::string(VORC_SOURCE_DIR) + "/data/sample.tesra";

class Tool : public ::testing::Test {
protected:
    std::string at(const std::string& name) const { return dir_[name]; }

    // Runs a shell command line after the tool's path; keeps both output streams.
    int run(const std::string& arguments) {
        const int code = vorctest::runVorc(arguments + " >" + at("out") + " 2>" + at("err"));
        out_ = readFile(at("out"));
        err_ = readFile(at("err"));
        return code;
    }
    bool saidOut(const std::string& text) const { return out_.find(text) != std::string::npos; }
    bool saidErr(const std::string& text) const { return err_.find(text) != std::string::npos; }

    vorctest::TempDir dir_;
    std::string out_, err_;
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
        {"info", 2, "vorc info: "},
        {"info " + Sample + " " + Sample, 2, "vorc info: "},
        {"info /tmp", 2, "vorc info: "},
        {"info /nonexistent/vorc/stream", 2, "vorc info: "},
        {"snapshot " + Sample + " -o " + at("x.png") + " --frame 0", 2, "vorc snapshot"},
        {"snapshot " + Sample, 2, "vorc snapshot"},
        {"snapshot " + Sample + " -o " + at("no/such/dir.png"), 2, "vorc snapshot"},
    };
    for (const char* bad : {"--quality 0", "--quality 101", "--key-interval 0", "--size 0x10",
                            "--size 640", "--threshold -1", "--frames 0"}) {
        rows.push_back(
            {std::string("encode --synthetic ") + bad + " -o " + at("x.tesra"), 2, "vorc encode"});
    }
    if (fs::exists("/dev/full")) {  // every write fails there: lost data must not pass unnoticed
        rows.push_back({"dump --quiet --yuv " + Sample + " -o /dev/full", 1, "vorc dump: writing '/dev/full' failed"});
        rows.push_back({"transcode --quiet " + Sample + " -o /dev/full", 1,
                        "vorc transcode: writing '/dev/full' failed"});
        // One image of the sequence lands on the full disk.
        fs::create_symlink("/dev/full", at("full_000003.jpg"));
        rows.push_back({"transcode --quiet " + Sample + " --jpeg-prefix " + at("full_"), 1,
                        "vorc transcode: cannot write '" + at("full_000003.jpg") + "': No space left on device"});
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
    const std::string mjpeg = readFile(at("sample.mjpg"));
    size_t images = 0;  // inside JPEG data FF D8 can only be an SOI
    for (size_t at = mjpeg.find("\xFF\xD8"); at != std::string::npos;
         at = mjpeg.find("\xFF\xD8", at + 2))
        ++images;
    EXPECT_EQ(images, 75u);

    ASSERT_EQ(run("snapshot --quiet " + Sample + " -o " + at("last.png")), 0) << err_;
    const std::string png = readFile(at("last.png"));
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
    const std::string bundled = readFile(Sample);
    ASSERT_FALSE(bundled.empty());
    EXPECT_LT(bundled.size(), 2u * 1024 * 1024);
    EXPECT_TRUE(readFile(at("again.tesra")) == bundled) << "bundled " << bundled.size() << " bytes";

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

// `vorc info` reports every frame of a stream file and its summary.
TEST_F(Tool, InfoReportsEveryFrameAndASummary) {
    vorctest::StreamBuilder b;
    b.fullFrame(32, 16, vorctest::zeroTilesScan(2));
    b.app13().partialFrame(vorctest::tileBitmap(2, 1, {1}), vorctest::zeroTilesScan(1));
    b.fullFrame(48, 32, vorctest::zeroTilesScan(6));
    b.fullFrame(48, 32, vorctest::zeroTilesScan(6)).soi();
    ASSERT_TRUE(b.writeFile(at("s.tesra")));
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
    EXPECT_EQ(run("info --parse-only " + at("s.tesra")), 0);
    EXPECT_EQ(out_.substr(0, frames.size() + summary.size()), frames + summary);
}

TEST_F(Tool, InfoDecodingShowsADamagedScanWhichParsingAloneDoesNot) {
    // A luminance block whose zero runs (DC 0, then four runs of 16) go past
    // its 64 coefficients.
    vorctest::ScanWriter damaged;
    damaged.bits(0, 2);
    for (int run = 0; run < 4; ++run) damaged.bits(0x7F9, 11);
    vorctest::StreamBuilder b;
    b.fullFrame(32, 16, damaged.finish());
    b.fullFrame(32, 16, vorctest::zeroTilesScan(2)).soi();
    ASSERT_TRUE(b.writeFile(at("s.tesra")));

    EXPECT_EQ(run("info " + at("s.tesra")), 0);
    EXPECT_TRUE(saidOut("CORRUPT FRAME\n") && saidOut("video frame #2 with 2 tiles OK")) << out_;
    EXPECT_TRUE(saidOut("frames: 2, bytes: " + std::to_string(b.bytes().size()) +
                        ", picture: 32x16\nfull frames: 2, partial frames: 0, tiles per frame: "
                        "2.0\ncorrupt frames: 1\n"))
        << out_;
    EXPECT_EQ(run("info --parse-only " + at("s.tesra")), 0);
    EXPECT_FALSE(saidOut("CORRUPT") || saidOut("corrupt frames")) << out_;
}

// `vorc snapshot`: the PNG it writes, read back by libpng, holds exactly the
// picture our decoder produces, of the chosen frame or the last one.
vorctest::RgbPicture readPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return {};
    image.format = PNG_FORMAT_RGB;
    vorctest::RgbPicture picture{int(image.width), int(image.height),
                                 std::vector<uint8_t>(PNG_IMAGE_SIZE(image))};
    return png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr) != 0
               ? picture
               : vorctest::RgbPicture{};
}

TEST_F(Tool, SnapshotWritesThePictureOfTheChosenFrame) {
    // Two frames: a full picture, then a partial frame that greys tile 2.
    vorctest::StreamBuilder stream;
    stream.raw(vorctest::jpegToTesraFrame(
        vorctest::compressJpeg(vorctest::syntheticPicture(100, 33, false), 85)));
    stream.partialFrame(vorctest::tileBitmap(7, 3, {2}), vorctest::zeroTilesScan(1)).soi();
    const std::string input = at("two.tesra"), png = at("out.png");
    ASSERT_TRUE(stream.writeFile(input));
    const vorctest::DecodeOutcome decoded = vorctest::decodeStream(stream.bytes());
    ASSERT_EQ(decoded.frames.size(), 2u);
    ASSERT_NE(decoded.frames[0].pixels, decoded.frames[1].pixels);

    ASSERT_EQ(run("snapshot --quiet " + input + " -o " + png + " --frame 1"), 0);
    const vorctest::RgbPicture first = readPng(png);
    EXPECT_EQ(first.width, 100);
    EXPECT_EQ(first.height, 33);
    EXPECT_EQ(first.pixels, decoded.frames[0].pixels);
    // By default the last complete frame, here read from standard input.
    ASSERT_EQ(run("snapshot - -o " + png + " < " + input), 0);
    EXPECT_EQ(readPng(png).pixels, decoded.frames[1].pixels);

    // Frame 3 never arrives: no file is left behind, but a pipe is no
    // regular file to remove.
    EXPECT_EQ(run("snapshot " + input + " -o " + png + " --frame 3"), 2);
    EXPECT_FALSE(fs::exists(png));
    const std::string fifo = at("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(run("snapshot " + input + " -o " + fifo + " --frame 3 2>/dev/null & cat " + fifo +
                  " >/dev/null; wait $!"),
              2);
    EXPECT_TRUE(fs::exists(fifo)) << "the pipe is still there";
}

// libjpeg decodes each of the four images without a warning.
void expectImages(const std::vector<std::string>& images) {
    ASSERT_EQ(images.size(), 4u);
    for (size_t i = 0; i < images.size(); ++i)
        vorctest::decodeJpegStrictly(vorctest::Bytes(images[i].begin(), images[i].end()),
                                     "image " + std::to_string(i));
}

// The same for the parts of an MJPEG file with the MJPEG writer's framing.
// A part runs to the next part header (in JPEG data only by chance) or to
// the closing delimiter.
void expectMjpeg(const std::string& mjpeg, const std::string& boundary) {
    const std::string head =
        "Content-type: multipart/x-mixed-replace;boundary=\"" + boundary + "\"\r\n";
    const std::string part = "\r\n--" + boundary + "\r\nContent-type: image/jpeg\r\n\r\n";
    const std::string closing = "\r\n--" + boundary + "--\r\n";
    ASSERT_EQ(mjpeg.rfind(head, 0), 0u) << "MJPEG header";
    ASSERT_EQ(mjpeg.size() - mjpeg.rfind(closing), closing.size()) << "closing delimiter";
    const size_t end = mjpeg.size() - closing.size();
    std::vector<std::string> images;
    for (size_t at = head.size(); at < end;) {
        ASSERT_EQ(mjpeg.compare(at, part.size(), part), 0) << "part header at byte " << at;
        const size_t start = at + part.size();
        at = std::min(mjpeg.find(part, start), end);
        images.push_back(mjpeg.substr(start, at - start));
    }
    expectImages(images);
}

// `vorc transcode`: a stream with partial frames becomes an MJPEG file,
// numbered JPEG files or an MJPEG stream on standard output.
TEST_F(Tool, TranscodeWritesAnMjpegFileNumberedFilesOrStandardOutput) {
    const std::string in = at("in.tesra"), transcode = "transcode --quiet " + in;
    // 80x48 pixels (5 x 3 tiles): one full frame, then three partial ones.
    vorctest::StreamBuilder stream;
    stream.fullFrame(80, 48, vorctest::zeroTilesScan(15), 10);
    for (const auto& coded : std::vector<std::vector<int>>{{0, 7, 14}, {}, {3, 4}})
        stream.partialFrame(vorctest::tileBitmap(5, 3, coded),
                            vorctest::zeroTilesScan(int(coded.size())));
    ASSERT_TRUE(stream.app13().writeFile(in));
    ASSERT_EQ(run(transcode + " -o " + at("out.mjpg") + " --boundary myb"), 0);
    expectMjpeg(readFile(at("out.mjpg")), "myb");

    ASSERT_EQ(run(transcode + " --jpeg-prefix " + at("f_")), 0);
    std::vector<std::string> images;
    for (int i = 0; i < 4; ++i) images.push_back(readFile(at("f_00000") + char('0' + i) + ".jpg"));
    EXPECT_FALSE(fs::exists(at("f_000004.jpg")));
    expectImages(images);

    ASSERT_EQ(run("transcode - -o - < " + in), 0);
    expectMjpeg(out_, "vorcframe");

    // Usage errors: no output named, an uncreatable file prefix.
    EXPECT_EQ(run("transcode " + in), 2);
    EXPECT_EQ(run(transcode + " --jpeg-prefix " + at("no/such/f_")), 2);
}

// The sample with its 11th frame cut short: the parser meets the next SOI
// inside that frame's scan. Without --keep-going that ends the process (its
// reason on standard error, --quiet or not); with it, every command goes on
// and counts what it skipped. Pictures beyond --max-pixels are refused.
TEST_F(Tool, DamagedStreamsKeepGoingAndLimits) {
    const std::string sample = readFile(Sample);
    size_t eleventh = 0;
    for (int frame = 0; frame < 11; ++frame) eleventh = sample.find("\xFF\xD8", eleventh + 2);
    const size_t twelfth = sample.find("\xFF\xD8", eleventh + 2);
    const std::string damaged = sample.substr(0, twelfth - 40) + sample.substr(twelfth);
    std::ofstream(at("damaged.tesra"), std::ios::binary) << damaged;
    const std::string input = at("damaged.tesra");
    const std::string counts =
        "damaged frames: 1, skipped bytes: " + std::to_string(twelfth - 40 - eleventh - 2);

    for (const std::string quiet : {"", "--quiet "}) {
        EXPECT_EQ(run("info " + quiet + input), 154) << quiet;
        EXPECT_TRUE(saidErr("!!! Tesra decoder failure (invalid scan termination) !!!")) << quiet << err_;
    }
    ASSERT_EQ(run("info --quiet --keep-going " + input), 0) << err_;
    EXPECT_TRUE(saidOut("frames: 75,") && saidOut("corrupt frames: 1") && saidOut(counts)) << out_;
    ASSERT_EQ(run("transcode --quiet --keep-going " + input + " -o " + at("out.mjpg")), 0) << err_;
    EXPECT_TRUE(saidOut("frames written: 74,") && saidErr("vorc transcode: " + counts)) << out_ << err_;
    ASSERT_EQ(run("dump --quiet --keep-going " + input + " -o " + at("out.rgb")), 0) << err_;
    EXPECT_EQ(fs::file_size(at("out.rgb")), 75u * 640 * 480 * 3);
    ASSERT_EQ(run("snapshot --quiet --keep-going " + input + " -o " + at("out.png")), 0) << err_;
    EXPECT_TRUE(saidErr("vorc snapshot: " + counts)) << err_;

    EXPECT_EQ(run("transcode --quiet --max-pixels 307199 " + Sample + " -o " + at("out.mjpg")), 0) << err_;
    EXPECT_TRUE(saidOut("frames written: 0,")) << out_;
    EXPECT_EQ(run("snapshot --quiet --max-pixels 307199 " + Sample + " -o " + at("out.png")), 1);
    EXPECT_TRUE(saidErr("no picture after that frame")) << err_;
    EXPECT_EQ(run("snapshot --quiet --max-pixels 307200 " + Sample + " -o " + at("out.png")), 0) << err_;
}
