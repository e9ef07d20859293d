// `vorc camera` run as a user would: the library's live source reads the
// same frames from it as from the file it serves, a wrong request gets an
// HTTP error, and the camera ends cleanly on SIGTERM.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/libjpeg_helpers.h"
#include "support/recorders.h"
#include "support/stream_builder.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/scan_decoder.h"
#include "vorc/sources/camera_live_stream.h"
#include "vorc/sinks/jpeg_receiver.h"
#include "vorc/sources/stream_file.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using vorctest::Bytes;
using vorctest::ChildProcess;

constexpr int WaitMillis = 10000;

// Asks the back end for a target for each coded tile, so that the recorded
// log shows which tiles every frame carried.
class TileWalker : public vorcFramewiseTesraScanDecoder {
public:
    const char* getAccelerationTypeString() override { return "test"; }
    void setYQuantizationTable(unsigned char*) override {}
    void setUVQuantizationTable(unsigned char*) override {}
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override {
        for (int k = 0; k < frame->tileColumns * frame->tileRows; ++k) {
            if (frame->tileBitmap != nullptr && ((frame->tileBitmap[k / 8] >> (7 - k % 8)) & 1) == 0) continue;
            unsigned int* target = nullptr;
            int pad = 0;
            backEnd->provideVideoTilePixelTarget(k % frame->tileColumns, k / frame->tileColumns, &target, &pad);
            backEnd->videoTileReceived();
        }
    }
};

// Real pictures as full frames, with partial frames between them; the
// bitmap of the second partial frame holds the bytes FF D8, which must not
// be taken for the start of a frame.
Bytes cameraStream() {
    vorctest::StreamBuilder builder;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        const Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(128, 64, false, seed), 80);
        builder.raw(vorctest::jpegToTesraFrame(jpeg));
        builder.partialFrame(vorctest::tileBitmap(8, 4, {0, 9, 31}), vorctest::zeroTilesScan(3));
        builder.partialFrame(Bytes{0xFF, 0xD8, 0x00, 0x00}, vorctest::zeroTilesScan(12), true);
    }
    builder.app13();
    return builder.bytes();
}

std::string writeStream(const std::string& name, const Bytes& stream) {
    const std::string path = ::testing::TempDir() + name;
    EXPECT_TRUE(vorctest::StreamBuilder().raw(stream).writeFile(path));
    return path;
}

// Starts `vorc camera` on a free port and returns the port, or 0.
int startCamera(std::unique_ptr<ChildProcess>* camera, const std::string& path,
                const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments{"camera", "--listen", "127.0.0.1:0", "--exit-after", "60"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(path);
    camera->reset(new ChildProcess(VORC_TOOL_PATH, arguments));
    const std::string line = (*camera)->waitForLine("listening on 127.0.0.1:", WaitMillis);
    const size_t colon = line.find("127.0.0.1:");
    return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 10);
}

std::shared_ptr<vorctest::CallLog> decodeAll(vorcStreamSource* source) {
    auto log = std::make_shared<vorctest::CallLog>();
    vorcFramewiseTesraDecoder decoder(source, new vorctest::RecordingBackEnd(log), new TileWalker);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (decoder.decode(4096) == 0) {
            if (!decoder.sourceStillUp()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_FALSE(decoder.sourceStillUp());
    return log;
}

TEST(ToolCamera, LiveSourceGetsTheFileFramesTwiceOverWithLoops) {
    const Bytes stream = cameraStream();
    const std::string path = writeStream("tool_camera_once.tesra", stream);
    // The file played twice, as the camera does with --loops 2.
    Bytes twice = stream;
    twice.insert(twice.end(), stream.begin(), stream.end());
    const std::string twicePath = writeStream("tool_camera_twice.tesra", twice);

    vorctest::StatusCapture quiet;
    const auto fromFile = decodeAll(new vorcStreamFile(twicePath.c_str()));
    ASSERT_GT(fromFile->size(), 20u);

    std::unique_ptr<ChildProcess> camera;
    const int port = startCamera(&camera, path, {"--loops", "2"});
    ASSERT_GT(port, 0) << camera->standardError();
    for (bool nonBlocking : {false, true}) {
        const auto fromCamera = decodeAll(
            new vorcWatchedCameraLiveTesraFastStreamPOSIX(vorcIPAddress(), port, nonBlocking ? 200.0f : 0.0f, nonBlocking));
        EXPECT_EQ(*fromCamera, *fromFile);
    }
    camera->signal(SIGTERM);
    EXPECT_EQ(camera->wait(WaitMillis), 0) << camera->standardError();
    // Nine frames per pass: the FF D8 in the bitmap did not split a frame.
    EXPECT_NE(camera->standardError().find("connected"), std::string::npos);
    EXPECT_NE(camera->standardError().find(": 18 frames sent"), std::string::npos) << camera->standardError();
    ::unlink(path.c_str());
    ::unlink(twicePath.c_str());
}

std::string rawExchange(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char chunk[256];
        ssize_t got;
        while (answer.size() < 4096 && (got = ::read(fd, chunk, sizeof chunk)) > 0) answer.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    return answer;
}

TEST(ToolCamera, WrongRequestsGetHttpErrorsAndTheAnswerHeaderHasNoFF) {
    const std::string path = writeStream("tool_camera_errors.tesra", cameraStream());
    std::unique_ptr<ChildProcess> camera;
    const int port = startCamera(&camera, path, {"--loops", "1"});
    ASSERT_GT(port, 0) << camera->standardError();

    EXPECT_EQ(rawExchange(port, "GET /index.html HTTP/1.0\n\n").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(rawExchange(port, "GET /control/faststream.jpg?noaudio&fps=abc HTTP/1.0\n\n").rfind("HTTP/1.0 400", 0), 0u);
    EXPECT_EQ(rawExchange(port, "GET /control/faststream.jpg?fps=-2 HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 400", 0), 0u);
    const std::string good = rawExchange(port, "GET /control/faststream.jpg?noaudio&fps=0.000000 HTTP/1.0\n\n");
    const size_t headerEnd = good.find("\r\n\r\n");
    ASSERT_NE(headerEnd, std::string::npos);
    EXPECT_EQ(good.rfind("HTTP/1.0 200", 0), 0u);
    EXPECT_EQ(good.substr(0, headerEnd).find('\xFF'), std::string::npos);
    EXPECT_EQ(good.compare(headerEnd + 4, 2, "\xFF\xD8"), 0);

    camera->signal(SIGINT);
    EXPECT_EQ(camera->wait(WaitMillis), 0) << camera->standardError();
    ::unlink(path.c_str());
}

// Collects the transcoder's images in memory.
class ImageCollector : public vorcJPEGReceiver {
public:
    explicit ImageCollector(std::shared_ptr<std::vector<Bytes>> images) : images_(std::move(images)) {}
    void beginFrame() override { images_->emplace_back(); }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        images_->back().insert(images_->back().end(), bytes, bytes + count);
    }
    void endFrame() override {}

private:
    std::shared_ptr<std::vector<Bytes>> images_;
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ToolCamera, RecordTranscodesTheSameImagesAsTheFile) {
    constexpr int Frames = 7;
    const std::string path = writeStream("tool_camera_record.tesra", cameraStream());
    auto images = std::make_shared<std::vector<Bytes>>();
    {
        vorctest::StatusCapture quiet;
        vorcFramewiseTesraDecoder decoder(
            new vorcStreamFile(path.c_str()), new vorctest::RecordingBackEnd(std::make_shared<vorctest::CallLog>()),
            new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(new ImageCollector(images)));
        while (decoder.decode(65536) > 0 || decoder.sourceStillUp()) {
        }
    }
    ASSERT_GT(images->size(), static_cast<size_t>(Frames));

    std::unique_ptr<ChildProcess> camera;
    const int port = startCamera(&camera, path);
    ASSERT_GT(port, 0) << camera->standardError();
    const std::string prefix = ::testing::TempDir() + "tool_camera_record_";
    ChildProcess record(VORC_TOOL_PATH, {"record", "127.0.0.1:" + std::to_string(port), "--fps", "100", "--frames",
                                         std::to_string(Frames), "--jpeg-prefix", prefix, "--quiet"});
    ASSERT_EQ(record.wait(WaitMillis * 3), 0) << record.standardError();
    for (int i = 0; i <= Frames; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%06d.jpg", i);
        const std::string image = prefix + name;
        if (i < Frames) {
            EXPECT_EQ(readFile(image), (*images)[static_cast<size_t>(i)]) << "frame " << i;
        } else {
            EXPECT_NE(::access(image.c_str(), F_OK), 0) << "no frame beyond the limit";
        }
        ::unlink(image.c_str());
    }
    camera->signal(SIGTERM);
    EXPECT_EQ(camera->wait(WaitMillis), 0);
    ::unlink(path.c_str());
}

TEST(ToolCamera, BadUsageExitsWithTwo) {
    ChildProcess noListen(VORC_TOOL_PATH, {"camera", "file.tesra"});
    EXPECT_EQ(noListen.wait(WaitMillis), 2);
    ChildProcess missingFile(VORC_TOOL_PATH, {"camera", "--listen", "127.0.0.1:0", "/nonexistent/file.tesra"});
    EXPECT_EQ(missingFile.wait(WaitMillis), 2);
    ChildProcess help(VORC_TOOL_PATH, {"camera", "--help"});
    EXPECT_EQ(help.wait(WaitMillis), 0);
    ChildProcess noCamera(VORC_TOOL_PATH, {"record", "--frames", "3"});
    EXPECT_EQ(noCamera.wait(WaitMillis), 2);
    ChildProcess twoOutputs(VORC_TOOL_PATH, {"record", "127.0.0.1:9", "-o", "a.mjpg", "--dump", "b.rgb"});
    EXPECT_EQ(twoOutputs.wait(WaitMillis), 2);
    ChildProcess dumpWithoutOutput(VORC_TOOL_PATH, {"dump", "file.tesra"});
    EXPECT_EQ(dumpWithoutOutput.wait(WaitMillis), 2);
}

}  // namespace
