// `vorc record` as a user runs it against `vorc camera`: every output asked
// for comes out of one run and equals what the file commands make of the
// same frames (transcode, dump, snapshot); the Matroska files read back in
// mkvinfo and mkvextract with the transcoder's images byte for byte and
// each frame dated within the run; JPEG images back to back read in
// libjpeg-turbo one after the other; segments hold every frame once;
// --on-motion keeps the frames of the scene's events; and what cannot work
// is refused before the camera is asked.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/libjpeg_helpers.h"
#include "support/matroska_info.h"
#include "support/motion_scene.h"
#include "support/tool_process.h"

using vorctest::extractRaw;
using vorctest::mkvinfo;
using vorctest::readFile;
using vorctest::Vorc;

namespace {

std::string numbered(const std::string& prefix, int i) {
    return prefix + std::to_string(1000000 + i).substr(1) + ".jpg";  // PREFIX000000.jpg, ...
}

// The JPEG images of the transcoder, one per frame of the file.
std::vector<std::string> transcodedImages(const std::string& stream, const std::string& prefix) {
    Vorc transcode(prefix + ".err", {"transcode", "--quiet", stream, "--jpeg-prefix", prefix});
    EXPECT_EQ(transcode.wait(60), 0) << transcode.errors();
    std::vector<std::string> images;
    for (int i = 0; std::filesystem::exists(numbered(prefix, i)); ++i) images.push_back(readFile(numbered(prefix, i)));
    return images;
}

struct ErrorExit {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

// Reads images back to back with libjpeg: each decoded in turn from where
// the one before it ended, as a reader of such a file does. The pictures,
// or fewer when libjpeg fails.
std::vector<vorctest::RgbPicture> readBackToBack(const std::string& bytes) {
    std::vector<vorctest::RgbPicture> pictures;
    volatile size_t at = 0;  // kept across the jump back from libjpeg
    while (at < bytes.size()) {
        jpeg_decompress_struct info{};
        ErrorExit error{};
        info.err = jpeg_std_error(&error.manager);
        error.manager.error_exit = [](j_common_ptr common) {
            std::longjmp(reinterpret_cast<ErrorExit*>(common->err)->jump, 1);
        };
        if (setjmp(error.jump) != 0) {
            jpeg_destroy_decompress(&info);
            ADD_FAILURE() << "libjpeg failed at byte " << at;
            return pictures;
        }
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()) + at, bytes.size() - at);
        jpeg_read_header(&info, TRUE);
        jpeg_start_decompress(&info);
        vorctest::RgbPicture picture;
        picture.width = static_cast<int>(info.output_width);
        picture.height = static_cast<int>(info.output_height);
        picture.pixels.resize(static_cast<size_t>(picture.width) * picture.height * 3);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = picture.pixels.data() + static_cast<size_t>(info.output_scanline) * picture.width * 3;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        at = bytes.size() - info.src->bytes_in_buffer;
        jpeg_destroy_decompress(&info);
        pictures.push_back(std::move(picture));
    }
    return pictures;
}

double secondsOf(const std::string& stamp) {  // "00:00:01.250000000"
    return std::stoi(stamp.substr(0, 2)) * 3600.0 + std::stoi(stamp.substr(3, 2)) * 60.0 + std::stod(stamp.substr(6));
}

}  // namespace

class ToolRecord : public ::testing::Test {
protected:
    const vorctest::TempDir temp;
    const std::string dir = temp.path + "/";
};

TEST_F(ToolRecord, WritesEveryOutputAtOnceAsTheFileCommandsWould) {
    const std::string stream = dir + "camera.tesra";
    ASSERT_TRUE(vorctest::writeLiveTestStream(stream));
    constexpr int Frames = 9;  // the file once
    const std::vector<std::string> images = transcodedImages(stream, dir + "file_");
    ASSERT_EQ(images.size(), static_cast<size_t>(Frames));
    Vorc camera(dir + "camera.err", {"camera", "--listen", "127.0.0.1:0", "--exit-after", "60", stream});
    const int port = camera.port();
    ASSERT_GT(port, 0) << camera.errors();
    const auto before = std::chrono::system_clock::now();
    Vorc record(dir + "record.err",
                {"record", "127.0.0.1:" + std::to_string(port), "--fps", "100", "--frames", std::to_string(Frames),
                 "-o", dir + "all.mkv", "-o", dir + "all.jpegs", "-o", dir + "all.mjpg", "--jpeg-prefix",
                 dir + "rec_", "--snapshot", dir + "last.png", "--dump", dir + "all.rgb", "--quiet"});
    ASSERT_EQ(record.wait(30), 0) << record.errors();
    const auto after = std::chrono::system_clock::now();

    // The MJPEG stream and the dump are the bytes the file commands write.
    Vorc transcode(dir + "t.err", {"transcode", "--quiet", stream, "-o", dir + "file.mjpg"});
    Vorc dump(dir + "d.err", {"dump", "--quiet", stream, "-o", dir + "file.rgb"});
    Vorc snapshot(dir + "s.err", {"snapshot", "--quiet", stream, "-o", dir + "file.png"});
    ASSERT_EQ(transcode.wait(), 0);
    ASSERT_EQ(dump.wait(), 0);
    ASSERT_EQ(snapshot.wait(), 0);
    EXPECT_EQ(readFile(dir + "all.mjpg"), readFile(dir + "file.mjpg"));
    EXPECT_EQ(readFile(dir + "all.rgb"), readFile(dir + "file.rgb"));
    EXPECT_EQ(readFile(dir + "last.png"), readFile(dir + "file.png"));
    std::string all;
    for (int i = 0; i < Frames; ++i) {
        EXPECT_EQ(readFile(numbered(dir + "rec_", i)), images[static_cast<size_t>(i)]) << "frame " << i;
        all += images[static_cast<size_t>(i)];
    }

    // Back to back: libjpeg reads the images one after the other.
    EXPECT_EQ(readFile(dir + "all.jpegs"), all);
    const auto pictures = readBackToBack(readFile(dir + "all.jpegs"));
    ASSERT_EQ(pictures.size(), static_cast<size_t>(Frames));
    for (int i = 0; i < Frames; ++i) {
        const std::string& image = images[static_cast<size_t>(i)];
        const vorctest::RgbPicture alone = vorctest::decompressJpeg(vorctest::Bytes(image.begin(), image.end()));
        EXPECT_EQ(pictures[static_cast<size_t>(i)].width, 128);
        EXPECT_EQ(pictures[static_cast<size_t>(i)].pixels, alone.pixels) << "frame " << i;
    }

    // Matroska: every frame its own block, the transcoder's image, dated
    // within the run.
    const vorctest::MatroskaReport report = mkvinfo(dir + "all.mkv");
    ASSERT_EQ(report.status, 0) << report.text;
    vorctest::expectSeekable(report, dir + "all.mkv");
    EXPECT_EQ(extractRaw(dir + "all.mkv", dir + "all.raw"), all);
    ASSERT_EQ(report.frameSizes.size(), static_cast<size_t>(Frames));
    for (int i = 0; i < Frames; ++i)
        EXPECT_EQ(report.frameSizes[static_cast<size_t>(i)], images[static_cast<size_t>(i)].size()) << "frame " << i;
    std::tm date{};
    ASSERT_NE(::strptime(report.date.c_str(), "%Y-%m-%d %H:%M:%S", &date), nullptr) << report.date;
    const double origin = static_cast<double>(::timegm(&date));
    const double from = std::chrono::duration<double>(before.time_since_epoch()).count();
    const double to = std::chrono::duration<double>(after.time_since_epoch()).count();
    ASSERT_EQ(report.blocks.size(), static_cast<size_t>(Frames));
    for (const std::string& block : report.blocks) {
        EXPECT_GE(origin + secondsOf(block), from - 0.001) << block;
        EXPECT_LE(origin + secondsOf(block), to + 0.001) << block;
    }
    EXPECT_TRUE(std::is_sorted(report.blocks.begin(), report.blocks.end()));
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
}

// Segments of half a second from a camera at 20 frames a second: each
// file passes mkvinfo, spans no more than its length, and the files in the
// order of their first frames hold every frame once, in order.
TEST_F(ToolRecord, SegmentsHoldEveryFrameOnce) {
    const std::string stream = std::string(VORC_SOURCE_DIR) + "/data/sample.tesra";
    const std::vector<std::string> images = transcodedImages(stream, dir + "file_");
    constexpr int Frames = 30;
    ASSERT_GE(images.size(), static_cast<size_t>(Frames));
    Vorc camera(dir + "camera.err", {"camera", "--listen", "127.0.0.1:0", "--exit-after", "60", stream});
    const int port = camera.port();
    ASSERT_GT(port, 0) << camera.errors();
    Vorc record(dir + "record.err", {"record", "127.0.0.1:" + std::to_string(port), "--fps", "20", "--frames",
                                     std::to_string(Frames), "-o", dir + "rec/cam-%H%M%S.mkv", "--segment", "0.5s",
                                     "--quiet"});
    ASSERT_EQ(record.wait(60), 0) << record.errors();
    std::map<double, std::string> byStart;  // frames of each file, by its first frame's time
    for (const auto& entry : std::filesystem::directory_iterator(dir + "rec")) {
        const std::string path = entry.path().string();
        const vorctest::MatroskaReport report = mkvinfo(path);
        ASSERT_EQ(report.status, 0) << report.text;
        ASSERT_FALSE(report.blocks.empty()) << path;
        vorctest::expectSeekable(report, path);
        // Less than 0.5 s apart when received; as whole milliseconds, 0.5 s at most.
        EXPECT_LE(secondsOf(report.blocks.back()) - secondsOf(report.blocks.front()), 0.5 + 1e-6) << path;
        std::tm date{};
        ASSERT_NE(::strptime(report.date.c_str(), "%Y-%m-%d %H:%M:%S", &date), nullptr) << report.date;
        byStart[static_cast<double>(::timegm(&date)) + secondsOf(report.blocks.front())] =
            extractRaw(path, dir + entry.path().filename().string() + ".raw");  // not among the files read
    }
    EXPECT_GE(byStart.size(), 3u);
    std::string expected, found;
    for (int i = 0; i < Frames; ++i) expected += images[static_cast<size_t>(i)];
    for (const auto& [start, frames] : byStart) found += frames;
    EXPECT_TRUE(found == expected) << found.size() << " bytes of " << expected.size();
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
}

// The objects scene through a camera: without pre- and post-roll each
// event's file holds exactly the transcoder's images of the event's frames,
// as a detector reading the whole stream dates them; the receive times do
// not matter.
TEST_F(ToolRecord, OnMotionKeepsTheFramesOfTheScenesEvents) {
    const std::vector<uint8_t> scene = vorctest::encodeMotionScene(vorctest::testScene("objects"));
    const std::string stream = dir + "objects.tesra";
    {
        std::FILE* file = std::fopen(stream.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(scene.data(), 1, scene.size(), file);
        std::fclose(file);
    }
    const std::vector<std::string> images = transcodedImages(stream, dir + "file_");
    const vorctest::DetectedMotion detected = vorctest::detectMotion(scene, vorc::MotionSettings());
    std::vector<std::string> expected;
    for (const vorc::MotionEvent& event : detected.events) {
        if (event.kind != vorc::MotionEvent::Kind::End) continue;
        std::string frames;
        for (int64_t i = event.startFrame; i <= event.endFrame; ++i) frames += images.at(static_cast<size_t>(i - 1));
        expected.push_back(frames);
    }
    ASSERT_EQ(expected.size(), 2u);

    Vorc camera(dir + "camera.err", {"camera", "--listen", "127.0.0.1:0", "--exit-after", "60", stream});
    const int port = camera.port();
    ASSERT_GT(port, 0) << camera.errors();
    Vorc record(dir + "record.err",
                {"record", "127.0.0.1:" + std::to_string(port), "--fps", "50", "--frames", std::to_string(images.size()),
                 "-o", dir + "events/%H%M%S.jpegs", "--on-motion", "--pre", "0", "--post", "0"});
    ASSERT_EQ(record.wait(60), 0) << record.errors();
    EXPECT_NE(record.errors().find("frames recorded on motion"), std::string::npos) << record.errors();
    std::map<std::string, std::string> files;  // by name, which sorts by time
    for (const auto& entry : std::filesystem::directory_iterator(dir + "events"))
        files[entry.path().filename().string()] = readFile(entry.path().string());
    std::vector<std::string> found;
    for (const auto& [name, bytes] : files) found.push_back(bytes);
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); ++i) EXPECT_TRUE(found[i] == expected[i]) << "event " << i;
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
}

// Refused before the camera is asked (nothing listens at port 1).
TEST_F(ToolRecord, RefusesWhatCannotWork) {
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"-o", dir + "a.mkv", "--segment", "5s"}, "need -o with a time pattern"},
        {{"-o", dir + "%H/a%S.mkv"}, "time conversions go in the file name"},
        {{"-o", "-", "--dump", "-"}, "only one output can go to standard output"},
        {{"-o", "-", "--format", "mkv"}, "cannot go to standard output"},
        {{"-o", dir + "a.mkv", "--format", "avi"}, "--format needs mjpeg, mkv or jpegs"},
        {{"--on-motion", "--snapshot", dir + "a.png"}, "--on-motion needs -o or --jpeg-prefix"},
        {{"-o", dir + "x%S.mkv", "--segment", "5y"}, "--segment needs a duration"},
        {{"-o", dir + "x%S.mkv", "--max-bytes", "5Q"}, "--max-bytes needs a number of bytes"},
        {{"--snapshot", dir + "a.png", "--snapshot", dir + "b.png"}, "give each output once"},
        {{"-o", dir + "missing.mkv/x.mkv"}, "cannot"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"record", "127.0.0.1:1"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        std::FILE* blocker = std::fopen((dir + "missing.mkv").c_str(), "w");  // a file where a folder would be
        if (blocker != nullptr) std::fclose(blocker);
        Vorc record(dir + "record.err", arguments);
        EXPECT_EQ(record.wait(20), 2) << c.message << ": " << record.errors();
        EXPECT_NE(record.errors().find(c.message), std::string::npos) << record.errors();
    }
}
