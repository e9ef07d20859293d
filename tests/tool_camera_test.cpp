// `vorc camera` and `vorc record` run as a user would: the camera serves the
// file's frames, a wrong request gets an HTTP error, it ends cleanly on
// SIGINT and SIGTERM, and record writes the same JPEG images as transcode.
#include <gtest/gtest.h>

#include "support/files.h"
#include "support/libjpeg_helpers.h"
#include "support/tool_process.h"

using vorctest::exchange;
using vorctest::readFile;
using vorctest::Vorc;

class ToolCamera : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vorctest::writeLiveTestStream(stream = dir + "camera.tesra")); }
    const vorctest::TempDir temp;
    const std::string dir = temp.path + "/";
    std::string stream;
};

TEST_F(ToolCamera, ServesTheFileAndAnswersWrongRequestsWithHttpErrors) {
    Vorc camera(dir + "camera.err", {"camera", "--listen", "127.0.0.1:0", "--exit-after", "60",
                                     "--loops", "2", stream});
    const int port = camera.port();
    ASSERT_GT(port, 0) << camera.errors();

    // The file twice over behind a header that holds no FF.
    EXPECT_EQ(exchange(port, "GET /control/faststream.jpg?noaudio&fps=0.000000 HTTP/1.0\n\n"),
              "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" +
                  readFile(stream) + readFile(stream));
    for (const auto& [request, status] : std::vector<std::pair<std::string, std::string>>{
             {"GET /index.html HTTP/1.0\n\n", "HTTP/1.0 404"},
             {"GET /control/faststream.jpg?noaudio&fps=abc HTTP/1.0\n\n", "HTTP/1.0 400"}}) {
        EXPECT_EQ(exchange(port, request).rfind(status, 0), 0u) << request;
    }

    camera.signal(SIGINT);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
    // Nine frames per pass: the FF D8 in the bitmap did not split a frame.
    EXPECT_NE(camera.errors().find(": 18 frames sent"), std::string::npos) << camera.errors();
}

TEST_F(ToolCamera, RecordWritesTheSameImagesAsTranscodingTheFile) {
    constexpr int Frames = 7;
    Vorc transcode(dir + "transcode.err",
                   {"transcode", "--quiet", stream, "--jpeg-prefix", dir + "file_"});
    ASSERT_EQ(transcode.wait(), 0) << transcode.errors();
    Vorc camera(dir + "camera.err",
                {"camera", "--listen", "127.0.0.1:0", "--exit-after", "60", stream});
    const int port = camera.port();
    ASSERT_GT(port, 0) << camera.errors();
    Vorc record(dir + "record.err",
                {"record", "127.0.0.1:" + std::to_string(port), "--fps", "100", "--frames",
                 std::to_string(Frames), "--jpeg-prefix", dir + "recorded_", "--quiet"});
    ASSERT_EQ(record.wait(30), 0) << record.errors();
    for (int i = 0; i <= Frames; ++i) {
        const std::string name = std::to_string(1000000 + i).substr(1) + ".jpg";  // 000000.jpg, ...
        const std::string image = readFile(dir + "file_" + name);
        EXPECT_FALSE(image.empty()) << "frame " << i << " of the file";
        EXPECT_EQ(::access((dir + "recorded_" + name).c_str(), F_OK) == 0, i < Frames)
            << "frame " << i;
        EXPECT_EQ(readFile(dir + "recorded_" + name), i < Frames ? image : "") << "frame " << i;
    }
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
}
