// The vorc tool end to end, run as a user would: the conventions every
// subcommand shares (help, bad options, exit codes and messages, how much
// it says, the progress line on a terminal), the outputs of the reading
// commands on the bundled sample, `vorc encode`, which reproduces the
// sample byte for byte and makes streams from pictures, and `vorc info`
// (text and JSON), `snapshot`, `transcode` and `dump` (RGB, YV12, I420) on
// made streams; exit statuses and summaries that tell the truth (no frame,
// lost output), outputs finished when the library ends the process at a
// damaged frame, warnings shown once on a terminal, and directories made
// for a file name prefix.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "support/files.h"
#include "support/picture_backend.h"
#include "support/png_reading.h"
#include "tools/cli/frame_index.h"

namespace fs = std::filesystem;
using vorctest::readFile;
using vorctest::readPng;

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
    // `vorc info --json ARGUMENTS` read by Python's json module, which also
    // checks that the frames are numbered from 1, lie back to back in the
    // stream and add up to the summary. For each frame: F or P (full or
    // partial), the coded tiles, then q, t, a, d for tables, tag, APP13 and
    // damage; then "| frames bytes WxH". Empty when a check fails.
    std::string jsonSignature(const std::string& arguments) {
        std::ofstream(at("check.py")) << R"(import json, sys
lines = [json.loads(line) for line in sys.stdin]
frames, summary = lines[:-1], lines[-1]
assert summary["type"] == "summary" and all(f["type"] == "frame" for f in frames)
assert [f["index"] for f in frames] == list(range(1, len(frames) + 1))
assert all(a["bytes"] is None or a["offset"] + a["bytes"] == b["offset"] for a, b in zip(frames, frames[1:]))
counts = {"frames": len(frames), "full_frames": sum(f["full"] for f in frames),
          "partial_frames": sum(not f["full"] for f in frames),
          "damaged_frames": sum(f["damaged"] for f in frames),
          "coded_tiles": sum(f["coded_tiles"] for f in frames)}
assert all(summary[key] == value for key, value in counts.items()), summary
print(" ".join(("F" if f["full"] else "P") + str(f["coded_tiles"]) +
               "".join(flag for flag, key in zip("qtad", ("tables", "tag", "app13", "damaged")) if f[key])
               for f in frames), "| %d %d %dx%d" % (summary["frames"], summary["bytes"], summary["width"], summary["height"]))
)";
        if (run("info --json " + arguments + " 2>/dev/null | /usr/bin/python3 " + at("check.py")) != 0) return "";
        return out_;
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
         {"info", "motion", "snapshot", "transcode", "dump", "encode", "camera", "record"}) {
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
        const std::string full = "cannot write '/dev/full': No space left on device";
        rows.push_back({"dump --quiet --yuv " + Sample + " -o /dev/full", 1, "vorc dump: " + full});
        rows.push_back({"transcode --quiet " + Sample + " -o /dev/full", 1, "vorc transcode: " + full});
        rows.push_back({"encode --synthetic --frames 1 -o /dev/full", 1, "vorc encode: " + full});
        rows.push_back({"snapshot --quiet " + Sample + " -o /dev/full", 1, "vorc snapshot: " + full});
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

// Without options a command prints only its summary, on standard error;
// --verbose brings the library's messages back, --quiet leaves nothing. A
// progress line is drawn only on a terminal, here a pseudo-terminal made by
// script(1), and not with --no-progress.
TEST_F(Tool, QuietByDefaultVerboseOnRequestProgressOnlyOnATerminal) {
    const std::string in = at("in.tesra");
    ASSERT_EQ(run("encode --synthetic --size 160x96 --frames 20 --quiet -o " + in), 0);
    const std::vector<std::pair<std::string, bool>> commands = {
        // command, whether the library has status messages for it
        {"transcode " + in + " -o " + at("x.mjpg"), true},
        {"dump " + in + " -o " + at("x.rgb"), true},
        {"snapshot " + in + " -o " + at("x.png"), true},
        {"encode --synthetic --size 160x96 --frames 20 -o " + at("x.tesra"), false},
    };
    constexpr const char* Redraw = "\r\033[K";
    for (const auto& [command, hasMessages] : commands) {
        ASSERT_EQ(run(command), 0) << command << ": " << err_;
        EXPECT_EQ(out_, "") << command;
        EXPECT_FALSE(err_.empty() || saidErr("vorc : ") || saidErr("\r")) << command << ": " << err_;
        ASSERT_EQ(run(command + " --verbose"), 0) << command;
        EXPECT_EQ(saidOut("vorc : "), hasMessages) << command << ": " << out_;
        ASSERT_EQ(run(command + " --quiet"), 0) << command;
        EXPECT_EQ(out_ + err_, "") << command;
        for (const std::string option : {"", " --quiet", " --no-progress"}) {
            const std::string terminal = at("terminal");
            ASSERT_EQ(std::system(("script -qec \"" + ToolPath + command + option + "\" /dev/null </dev/null >" +
                                   terminal)
                                      .c_str()),
                      0);
            const std::string screen = readFile(terminal);
            EXPECT_EQ(screen.find(Redraw) != std::string::npos && screen.find("%), ") != std::string::npos,
                      option != " --no-progress")
                << command << option << ": " << screen;
        }
    }
    EXPECT_EQ(run("info --quiet --verbose " + Sample), 2);
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
    EXPECT_TRUE(saidErr("frames: 4 (1 full, 3 partial)")) << err_;
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

    const std::string bytes = std::to_string(b.bytes().size());
    for (const std::string mode : {"", "--parse-only ", "--verbose "})
        EXPECT_EQ(jsonSignature(mode + at("s.tesra")), "F2qa P1 F6q F6q | 4 " + bytes + " 48x32\n") << mode;
    // The tag and tables in every frame, APP13 after the last one, read
    // from standard input.
    ASSERT_EQ(run("encode --synthetic --size 32x32 --frames 3 --image-tag --tables-in-partial -o " +
                  at("tagged.tesra")),
              0);
    const std::string tagged = jsonSignature("- < " + at("tagged.tesra"));
    EXPECT_EQ(tagged.substr(0, tagged.find('P')), "F4qt ") << tagged;
    EXPECT_NE(tagged.find("qta | 3 " + std::to_string(fs::file_size(at("tagged.tesra"))) + " 32x32"), std::string::npos)
        << tagged;
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
    EXPECT_EQ(jsonSignature(at("s.tesra")), "F2qd F2q | 2 " + std::to_string(b.bytes().size()) + " 32x16\n");
}

// --parse-only counts from the bitmaps the tiles that decoding delivers:
// odd tile counts, bits set after the last tile in a bitmap's last byte,
// bitmaps of many words and of more than the 31 words summed at a time.
// Everything after the scan decoder's acceleration
// line agrees.
TEST_F(Tool, ParseOnlyCountsTheTilesThatDecodingDelivers) {
    std::mt19937 random(11);
    vorctest::StreamBuilder b;
    for (const auto& [width, height] : {std::pair{112, 48}, {160, 112}, {272, 272}, {16, 16}, {1040, 528}}) {
        const int columns = (width + 15) / 16, rows = (height + 15) / 16, tiles = columns * rows;
        b.fullFrame(width, height, vorctest::zeroTilesScan(tiles));
        for (int round = 0; round < 3; ++round) {
            std::vector<int> coded;
            for (int k = 0; k < tiles; ++k)
                if (random() % (round + 2) == 0) coded.push_back(k);
            vorctest::Bytes bitmap = vorctest::tileBitmap(columns, rows, coded);
            bitmap.back() |= static_cast<uint8_t>(0xFF >> (tiles % 8 == 0 ? 8 : tiles % 8));
            b.partialFrame(bitmap, vorctest::zeroTilesScan(int(coded.size())));
        }
    }
    ASSERT_TRUE(b.soi().writeFile(at("s.tesra")));
    const auto framesAndSummary = [this] { return out_.substr(out_.find('\n', out_.find("acceleration method")) + 1); };
    ASSERT_EQ(run("info " + at("s.tesra")), 0);
    const std::string decoded = framesAndSummary();
    EXPECT_EQ(std::count(decoded.begin(), decoded.end(), '\n'), 20 + 5 + 2) << decoded;
    ASSERT_EQ(run("info --parse-only " + at("s.tesra")), 0);
    EXPECT_EQ(framesAndSummary(), decoded);
}

// With both output streams in one file, a warning never lands inside a
// frame line or a JSON line, and a problem's line shows once, not once for
// each stream.
TEST_F(Tool, OutputStreamsSharingAFileMixOnlyWholeLines) {
    vorctest::StreamBuilder b;
    for (int i = 0; i < 60; ++i) b.fullFrame(16, 16, vorctest::zeroTilesScan(1));
    b.fullFrame(16, 16, {0x12, 0xFF, 0xD0, 0x34});
    for (int i = 0; i < 60; ++i) b.fullFrame(16, 16, vorctest::zeroTilesScan(1));
    ASSERT_TRUE(b.soi().writeFile(at("s.tesra")));
    const std::regex wholeLine(R"(vorc( :| info:) .*|\{"type":.*\}|(full |corrupt |damaged )?frames: .*)");
    for (const std::string mode : {"", "--json "}) {
        ASSERT_EQ(vorctest::runVorc("info --keep-going --parse-only " + mode + at("s.tesra") + " >" + at("all") + " 2>&1"), 0);
        std::istringstream lines(readFile(at("all")));
        std::vector<std::string> seen;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(std::regex_match(line, wholeLine)) << mode << line;
            seen.push_back(line);
        }
        const auto problem = std::find(seen.begin(), seen.end(), "vorc : !!! Tesra decoder failure (invalid scan termination) !!!");
        ASSERT_NE(problem, seen.end()) << mode;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), *problem), 1) << mode;
    }
}

// `vorc snapshot`: the PNG it writes, read back by libpng, holds exactly the
// picture our decoder produces, of the chosen frame or the last one.
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

    // Usage errors: no output named, a file prefix whose directory cannot
    // be made (a file stands in its way).
    EXPECT_EQ(run("transcode " + in), 2);
    EXPECT_EQ(run(transcode + " --jpeg-prefix " + in + "/f_"), 2);
    EXPECT_TRUE(saidErr("cannot create directory '" + in + "/'")) << err_;
}

// `vorc dump --i420` writes the planes of `--yuv` with Cb and Cr swapped,
// and they match libjpeg's own Y, Cb, Cr decoding of the transcoded images
// within rounding. The samples go through RGB on the way: the pixel
// decoder's colour multipliers (1.140, 0.394, 0.581, 2.032) and the
// dumper's conversion back (JFIF) keep Y but scale Cb by 1.146 and Cr by
// 0.813, and the dumper averages the chroma of each 2x2 block in quarters
// rounded down. Standard error names both formats.
TEST_F(Tool, DumpI420IsTheYuvDumpWithChromaSwappedAndMatchesLibjpeg) {
    constexpr int Width = 96, Height = 64, Frames = 4;
    constexpr size_t Luma = size_t(Width) * Height, Chroma = Luma / 4, FrameBytes = Luma + 2 * Chroma;
    vorctest::StreamBuilder stream;
    for (uint32_t seed = 1; seed <= Frames / 2; ++seed) {
        // Softened into 64..191, so that no colour is clipped in RGB.
        vorctest::RgbPicture picture = vorctest::syntheticPicture(Width, Height, false, seed);
        for (uint8_t& value : picture.pixels) value = uint8_t(64 + value / 2);
        stream.raw(vorctest::jpegToTesraFrame(vorctest::compressJpeg(picture, 90)));
        stream.partialFrame(vorctest::tileBitmap(6, 4, {0, 7, 23}), vorctest::zeroTilesScan(3));
    }
    const std::string in = at("in.tesra");
    ASSERT_TRUE(stream.soi().writeFile(in));
    ASSERT_EQ(run("dump --yuv " + in + " -o " + at("yv12")), 0);
    EXPECT_TRUE(saidErr("96x64 yvu420p (planes Y, Cr, Cb; YV12, full range 0-255), 4 frames; a raw-video player "
                        "shows " + at("yv12") + " as pixel format yvu420p with full range, size 96x64")) << err_;
    ASSERT_EQ(run("dump --i420 " + in + " -o " + at("i420")), 0);
    EXPECT_TRUE(saidErr("96x64 yuvj420p (planes Y, Cb, Cr; I420, full range 0-255), 4 frames; a raw-video player "
                        "shows " + at("i420") + " as pixel format yuvj420p, size 96x64")) << err_;
    ASSERT_EQ(run("transcode --quiet " + in + " --jpeg-prefix " + at("f_")), 0);

    const std::string yv12 = readFile(at("yv12")), i420 = readFile(at("i420"));
    ASSERT_EQ(i420.size(), Frames * FrameBytes);
    ASSERT_EQ(yv12.size(), i420.size());
    constexpr double Scale[3] = {1.0, 1.146, 0.813}, Tolerance[3] = {2.5, 5.5, 5.5};
    for (size_t frame = 0; frame < Frames; ++frame) {
        const size_t y0 = frame * FrameBytes, cb0 = y0 + Luma, cr0 = cb0 + Chroma;
        EXPECT_EQ(i420.substr(y0, Luma), yv12.substr(y0, Luma));
        EXPECT_EQ(i420.substr(cb0, Chroma), yv12.substr(cr0, Chroma)) << "Cb";
        EXPECT_EQ(i420.substr(cr0, Chroma), yv12.substr(cb0, Chroma)) << "Cr";

        const std::string jpeg = readFile(at("f_00000") + char('0' + frame) + ".jpg");
        const vorctest::RgbPicture samples =
            vorctest::decompressJpeg(vorctest::Bytes(jpeg.begin(), jpeg.end()), true);
        ASSERT_EQ(samples.width, Width);
        double worst[3] = {0, 0, 0};
        for (int y = 0; y < Height; ++y) {
            for (int x = 0; x < Width; ++x) {
                const size_t chroma = size_t(y / 2) * (Width / 2) + x / 2;
                const size_t at[3] = {y0 + size_t(y) * Width + x, cb0 + chroma, cr0 + chroma};
                for (int c = 0; c < 3; ++c) {
                    const double centre = c == 0 ? 0.0 : 128.0;
                    const double expected = centre + Scale[c] * (samples.at(x, y)[c] - centre);
                    worst[c] = std::max(worst[c], std::abs(uint8_t(i420[at[c]]) - expected));
                }
            }
        }
        for (int c = 0; c < 3; ++c) EXPECT_LE(worst[c], Tolerance[c]) << "frame " << frame << " plane " << c;
    }
}

// The marker walk behind `info --json` and `camera` finds the same frames
// whether the stream comes whole or in pieces down to single bytes.
TEST(FrameIndex, FindsTheSameFramesInPiecesOfAnySize) {
    const std::string stream = readFile(Sample);
    const auto bytes = reinterpret_cast<const unsigned char*>(stream.data());
    std::vector<std::tuple<uint64_t, uint64_t, bool, bool, bool>> whole;
    for (const size_t piece : {stream.size(), size_t(1), size_t(7), size_t(4096)}) {
        FrameIndex index;
        for (size_t at = 0; at < stream.size(); at += piece) index.feed(bytes + at, std::min(piece, stream.size() - at));
        index.finish();
        std::vector<std::tuple<uint64_t, uint64_t, bool, bool, bool>> frames;
        for (const FrameExtent& f : index.completed()) frames.emplace_back(f.offset, f.bytes, f.tables, f.tag, f.app13);
        if (whole.empty()) whole = frames;
        EXPECT_EQ(frames, whole) << "pieces of " << piece;
    }
    ASSERT_EQ(whole.size(), 75u);
    EXPECT_EQ(std::get<0>(whole.back()) + std::get<1>(whole.back()), stream.size());
    EXPECT_TRUE(std::get<2>(whole[0]) && std::get<2>(whole[25]) && !std::get<2>(whole[1])) << "full frames carry tables";
    EXPECT_TRUE(std::get<4>(whole.back()) && !std::get<4>(whole[0])) << "APP13 after the last frame";
}

// The installed man page and bash completion against the tool's own help
// texts: every command in `vorc --help` and every option in `vorc COMMAND
// --help` appears in the rendered page (a command's own options in its
// section or among the options of every command reading a stream) and among the completions of that command, which offer nothing
// more.
TEST_F(Tool, ManPageAndCompletionKnowEveryCommandAndOption) {
    const std::string docs = std::string(VORC_SOURCE_DIR) + "/tools/";
    const auto shell = [&](const std::string& command) {
        EXPECT_EQ(std::system((command + " >" + at("shell.out")).c_str()), 0) << command;
        return readFile(at("shell.out"));
    };
    // The rendered page, by section: "COMMON OPTIONS", "info", "dump", ...
    std::map<std::string, std::string> page;
    std::istringstream rendered(shell("LC_ALL=C MANWIDTH=100 man -l " + docs + "vorc.1"));
    std::string section;
    for (std::string line; std::getline(rendered, line);) {
        if (!line.empty() && line[0] != ' ') section = line;
        if (line.rfind("   vorc ", 0) == 0) section = line.substr(8, line.find(' ', 8) - 8);
        page[section] += line + "\n";
    }
    ASSERT_TRUE(page.count("COMMON OPTIONS") && page.count("EXIT STATUS")) << "man -l renders the page";
    const auto completions = [&](const std::string& words) {
        std::istringstream list(shell("bash -c 'source " + docs + "vorc.bash-completion; COMP_WORDS=(vorc " + words +
                                      "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _vorc; printf \"%s\\n\" \"${COMPREPLY[@]}\"'"));
        std::set<std::string> words_;
        for (std::string word; list >> word;) words_.insert(word);
        return words_;
    };
    const std::set<std::string> common = {"--quiet", "--verbose", "--no-progress", "--help"};
    const std::set<std::string> commandWords = completions("\"\"");
    ASSERT_EQ(run("--help"), 0);
    const std::regex commandLine("\n  ([a-z]+) "), optionLine("\n  (-[^ ]+( --?[a-z][-a-z0-9]*)?)"), option("-[-a-z0-9]+");
    const std::string list = out_;
    for (std::sregex_iterator c(list.begin(), list.end(), commandLine), end; c != end; ++c) {
        const std::string command = (*c)[1];
        EXPECT_TRUE(commandWords.count(command)) << command << " is not completed";
        EXPECT_TRUE(page.count(command)) << command << " has no section in the man page";
        ASSERT_EQ(run(command + " --help"), 0);
        std::set<std::string> options;
        for (std::sregex_iterator o(out_.begin(), out_.end(), optionLine); o != end; ++o) {
            const std::string names = (*o)[1];
            for (std::sregex_iterator n(names.begin(), names.end(), option); n != end; ++n) options.insert(n->str());
        }
        EXPECT_TRUE(std::includes(options.begin(), options.end(), common.begin(), common.end())) << command;
        std::set<std::string> offered = completions(command + " -");
        for (const std::string& name : options) {
            const std::string& text =
                page[common.count(name) ? "COMMON OPTIONS" : command] + page["STREAM OPTIONS"];
            EXPECT_TRUE(std::regex_search(text, std::regex("(^|[^-a-z])" + name + "($|[^-a-z0-9])")))
                << name << " of " << command << " is not in the man page";
        }
        offered.erase("-h");
        EXPECT_EQ(offered, options) << command << ": completions and help differ";
    }
}

// One rule for every command reading a stream: a source without a single
// frame is a failure, and so is output that could not be written, also the
// last of it in standard output's buffer; a summary counts only bytes that
// reached the output.
TEST_F(Tool, ExitStatusesAndSummariesTellTheTruth) {
    const std::string text = at("text.tesra");
    std::ofstream(text) << std::string(999, 'x') << "\n";
    for (const std::string& command : std::vector<std::string>{
             "info", "info --json", "info --parse-only", "transcode -o " + at("x.mjpg"),
          "transcode --jpeg-prefix " + at("f_"), "dump -o " + at("x.rgb"), "snapshot -o " + at("x.png"),
          "snapshot --frame 2 -o " + at("x.png")}) {
        EXPECT_EQ(run(command + " " + text), 1) << command;
        const std::string name = command.substr(0, command.find(' '));
        EXPECT_TRUE(saidErr("vorc " + name + ": no Tesra frame found in 1000 bytes\n")) << command << ": " << err_;
        EXPECT_EQ(run(command + " - < /dev/null"), 1) << command;
        EXPECT_TRUE(saidErr("vorc " + name + ": no Tesra frame found in 0 bytes\n")) << command << ": " << err_;
    }
    EXPECT_FALSE(fs::exists(at("x.png")));
    // A stream cut inside a frame says so, with where the frame began,
    // unless --quiet; the frames before it are a success.
    const std::string sample = readFile(Sample);
    const size_t third = sample.find("\xFF\xD8\xFF\xE0", sample.find("\xFF\xD8\xFF\xE0", 1) + 1);
    std::ofstream(at("cut.tesra"), std::ios::binary) << sample.substr(0, third + 100);
    const std::string warning = "warning: the stream ends inside a frame that began at offset " + std::to_string(third) + "\n";
    for (const std::string& command : std::vector<std::string>{"info", "info --keep-going", "transcode -o " + at("cut.mjpg")}) {
        EXPECT_EQ(run(command + " " + at("cut.tesra")), 0) << command;
        EXPECT_TRUE(saidErr("vorc " + command.substr(0, command.find(' ')) + ": " + warning)) << command << ": " << err_;
        run(command + " --quiet " + at("cut.tesra"));
        EXPECT_FALSE(saidErr(warning)) << command << ": " << err_;
    }
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const auto runToFull = [this](const std::string& arguments) {
        const int code = vorctest::runVorc(arguments + " >/dev/full 2>" + at("err"));
        err_ = readFile(at("err"));
        return code;
    };
    for (const std::string& command : std::vector<std::string>{"info " + Sample, "info --json " + Sample,
                                                               "info --parse-only " + Sample, "--help", "info --help"}) {
        EXPECT_EQ(runToFull(command), 1) << command;
        // The reason is known unless a write that stdio made on its own failed.
        EXPECT_TRUE(saidErr(": cannot write standard output")) << command << ": " << err_;
    }
    EXPECT_EQ(run("transcode " + Sample + " -o /dev/full"), 1);
    EXPECT_TRUE(saidErr("frames written: 0, bytes written: 0, stream bytes read: 278438\n")) << err_;
    EXPECT_EQ(runToFull("dump " + Sample + " -o -"), 1);
    EXPECT_TRUE(saidErr("640x480 rgb24, 0 frames\n")) << err_;
    // One image of the sequence lands on the full disk: it is not counted.
    fs::create_symlink("/dev/full", at("full_000003.jpg"));
    EXPECT_EQ(run("transcode " + Sample + " --jpeg-prefix " + at("full_")), 1);
    EXPECT_TRUE(saidErr("frames written: 3, bytes written: " +
                        std::to_string(fs::file_size(at("full_000000.jpg")) + fs::file_size(at("full_000001.jpg")) +
                                       fs::file_size(at("full_000002.jpg"))) + ","))
        << err_;
}

// Without --keep-going the library ends the process at a damaged frame
// (exit status 666, seen as 154, its message unchanged). What was written
// until then is finished: the MJPEG stream has its closing delimiter, the
// numbered files are whole images, a snapshot that was not written leaves
// no file, and the user is told of --keep-going.
TEST_F(Tool, TheDefaultPolicysExitFinishesTheOutputs) {
    // An invalid Huffman code in the fifth frame's scan.
    std::string stream = readFile(Sample);
    size_t scan = 0;
    for (int frame = 0; frame < 5; ++frame) scan = stream.find("\xFF\xDA", scan + 2);
    stream.replace(scan + 40, 8, std::string("\xFF\x00\xFF\x00\xFF\x00\xFF\x00", 8));
    const std::string input = at("damaged.tesra");
    std::ofstream(input, std::ios::binary) << stream;
    const std::string reason = "vorc :  !!! invalid codeword !!!\n";
    const auto hinted = [this](const std::string& command) {
        return saidErr("vorc " + command + ": hint: --keep-going skips damaged frames instead of stopping at the first\n");
    };
    ASSERT_EQ(run("transcode " + input + " -o " + at("out.mjpg")), 154) << err_;
    EXPECT_TRUE(saidErr(reason) && hinted("transcode")) << err_;
    expectMjpeg(readFile(at("out.mjpg")), "vorcframe");
    ASSERT_EQ(run("transcode " + input + " -o - --boundary b"), 154) << err_;
    expectMjpeg(out_, "b");
    ASSERT_EQ(run("transcode " + input + " --jpeg-prefix " + at("f_")), 154) << err_;
    std::vector<std::string> images;
    for (int i = 0; i < 4; ++i) images.push_back(readFile(at("f_00000") + char('0' + i) + ".jpg"));
    expectImages(images);
    EXPECT_FALSE(fs::exists(at("f_000004.jpg")));
    ASSERT_EQ(run("snapshot " + input + " -o " + at("out.png")), 154) << err_;
    EXPECT_TRUE(saidErr(reason) && hinted("snapshot")) << err_;
    EXPECT_FALSE(fs::exists(at("out.png")));
    ASSERT_EQ(run("dump " + input + " -o " + at("out.rgb")), 154) << err_;
    EXPECT_EQ(fs::file_size(at("out.rgb")), 4u * 640 * 480 * 3);
    ASSERT_EQ(run("info " + input), 154) << err_;
    EXPECT_TRUE(saidErr(reason) && hinted("info")) << err_;
    // With --keep-going nothing ends early, and no hint is needed.
    ASSERT_EQ(run("transcode --keep-going " + input + " -o " + at("out.mjpg")), 0) << err_;
    EXPECT_FALSE(hinted("transcode")) << err_;
}

// On a terminal standard output and standard error are the same screen: a
// problem that `vorc info` reports among its frame lines shows there once,
// and so does the damage its summary counts.
TEST_F(Tool, AProblemShowsOnceOnATerminal) {
    vorctest::StreamBuilder b;
    for (int i = 0; i < 3; ++i) b.fullFrame(16, 16, vorctest::zeroTilesScan(1));
    b.fullFrame(16, 16, {0x12, 0xFF, 0xD0, 0x34});
    for (int i = 0; i < 3; ++i) b.fullFrame(16, 16, vorctest::zeroTilesScan(1));
    ASSERT_TRUE(b.soi().writeFile(at("s.tesra")));
    const std::string terminal = at("terminal");
    for (const std::string mode : {"", "--parse-only "}) {
        ASSERT_EQ(std::system(("script -qec \"" + ToolPath + "info --keep-going " + mode + at("s.tesra") +
                               "\" /dev/null </dev/null >" + terminal)
                                  .c_str()),
                  0);
        const std::string screen = readFile(terminal);
        // The problem, and the count of damage in the summary.
        for (const std::string line : {"!!! Tesra decoder failure (invalid scan termination) !!!", "damaged frames: 2,"}) {
            const size_t first = screen.find(line);
            ASSERT_NE(first, std::string::npos) << line << "\n" << screen;
            EXPECT_EQ(screen.find(line, first + 1), std::string::npos) << mode << screen;
        }
    }
}

// A file name prefix may name directories that do not exist yet, as the
// README's example does: they are made.
TEST_F(Tool, AJpegPrefixMakesItsDirectories) {
    ASSERT_EQ(std::system(("cd " + dir_.path + " && " + ToolPath + "transcode --quiet " + Sample +
                           " --jpeg-prefix frames/f_")
                              .c_str()),
              0);
    EXPECT_EQ(std::distance(fs::directory_iterator(at("frames")), fs::directory_iterator()), 75);
    EXPECT_EQ(readFile(at("frames/f_000074.jpg")).rfind("\xFF\xD8", 0), 0u);
    ASSERT_EQ(run("transcode --quiet " + Sample + " --jpeg-prefix " + at("deeper/still/x")), 0) << err_;
    EXPECT_TRUE(fs::exists(at("deeper/still/x000000.jpg")));
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
    const std::string json = jsonSignature("--keep-going " + input);
    EXPECT_EQ(std::count(json.begin(), json.end(), 'd'), 1) << json;
    EXPECT_NE(json.find("| 75 " + std::to_string(damaged.size()) + " 640x480"), std::string::npos) << json;
    ASSERT_EQ(run("transcode --keep-going " + input + " -o " + at("out.mjpg")), 0) << err_;
    EXPECT_TRUE(saidErr("frames written: 74,") && saidErr("vorc transcode: " + counts)) << err_;
    ASSERT_EQ(run("dump --quiet --keep-going " + input + " -o " + at("out.rgb")), 0) << err_;
    EXPECT_EQ(fs::file_size(at("out.rgb")), 75u * 640 * 480 * 3);
    ASSERT_EQ(run("snapshot --quiet --keep-going " + input + " -o " + at("out.png")), 0) << err_;
    EXPECT_TRUE(saidErr("vorc snapshot: " + counts)) << err_;

    EXPECT_EQ(run("transcode --max-pixels 307199 " + Sample + " -o " + at("out.mjpg")), 0) << err_;
    EXPECT_TRUE(saidErr("frames written: 0,")) << err_;
    EXPECT_EQ(run("snapshot --quiet --max-pixels 307199 " + Sample + " -o " + at("out.png")), 1);
    EXPECT_TRUE(saidErr("no picture after that frame")) << err_;
    EXPECT_EQ(run("snapshot --quiet --max-pixels 307200 " + Sample + " -o " + at("out.png")), 0) << err_;
}
