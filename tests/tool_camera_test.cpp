// `vorc camera` and `vorc record` run as a user would: the camera serves the
// file's frames, a wrong request gets an HTTP error, it outlives the reader
// of its log and ends cleanly on SIGINT and SIGTERM, and record writes the
// same JPEG images as transcode, checks the camera's HTTP status, times out
// and takes names and IPv6; the reading commands complete their outputs when
// a signal stops them, and `info` and `record` too tell of the signal in
// their exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/fake_camera.h"
#include "support/files.h"
#include "support/libjpeg_helpers.h"
#include "support/tool_process.h"

using vorctest::exchange;
using vorctest::FakeCamera;
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
             {"GET /control/faststream.jpg?noaudio&fps=abc HTTP/1.0\n\n", "HTTP/1.0 400"},
             {"GET /control/faststream.jpg?fps=1000.5 HTTP/1.0\n\n", "HTTP/1.0 400"},
             {"GET /control/faststream.jpg?fps=-1 HTTP/1.0\n\n", "HTTP/1.0 400"}}) {
        EXPECT_EQ(exchange(port, request).rfind(status, 0), 0u) << request;
    }

    camera.signal(SIGINT);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
    // Nine frames per pass: the FF D8 in the bitmap did not split a frame.
    EXPECT_NE(camera.errors().find(": 18 frames sent"), std::string::npos) << camera.errors();
}

// A camera whose log nobody reads any more (`vorc camera ... 2>&1 | head
// -n 1`) goes on serving: a log line into the closed pipe must not end it.
TEST_F(ToolCamera, OutlivesTheReaderOfItsLog) {
    int log[2];
    ASSERT_EQ(::pipe(log), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
        ::dup2(log[1], STDERR_FILENO);
        ::close(log[0]);
        ::execl(VORC_TOOL_PATH, VORC_TOOL_PATH, "camera", "--listen", "127.0.0.1:0", "--exit-after", "60", "--loops",
                "1", stream.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(log[1]);
    std::string line;
    for (char c = 0; ::read(log[0], &c, 1) == 1 && c != '\n';) line += c;
    ::close(log[0]);
    EXPECT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
    if (const int port = std::atoi(line.c_str() + line.rfind(':') + 1); port > 0) {
        // Each answer is logged.
        EXPECT_EQ(exchange(port, "GET /index.html HTTP/1.0\n\n").rfind("HTTP/1.0 404", 0), 0u);
        EXPECT_TRUE(exchange(port, "GET /control/faststream.jpg HTTP/1.0\n\n") ==
                    "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + readFile(stream));
    }
    ::kill(pid, SIGINT);
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(ToolCamera, RecordWritesTheSameImagesAsTranscodingTheFile) {
    constexpr int Frames = 7;
    Vorc transcode(dir + "transcode.err",
                   {"transcode", "--quiet", stream, "--jpeg-prefix", dir + "file_"});
    ASSERT_EQ(transcode.wait(), 0) << transcode.errors();
    // ":PORT" stands for 127.0.0.1, as in `vorc serve`.
    Vorc camera(dir + "camera.err", {"camera", "--listen", ":0", "--exit-after", "60", stream});
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

// record reads the HTTP status before anything else, gives up on a silent
// camera after --timeout, and takes host names and IPv6 addresses.
TEST_F(ToolCamera, RecordChecksTheAnswerTimesOutAndTakesNamesAndIPv6) {
    const std::string ok = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
    const struct {
        std::string answer;
        bool silent;
        int family;
        std::string host;
        int exitStatus;
        std::string message;
    } cases[] = {
        {"HTTP/1.0 404 Not Found\r\n\r\nnot here\n", false, AF_INET, "127.0.0.1", 1,
         "vorc record: the camera answered 'HTTP/1.0 404 Not Found'\n"},
        {"HTTP/1.1 401 Unauthorized\r\n\r\n" + readFile(stream), false, AF_INET, "127.0.0.1", 1,
         "vorc record: the camera answered 'HTTP/1.1 401 Unauthorized' (a login is needed or was refused)\n"},
        {"", true, AF_INET, "127.0.0.1", 1, "vorc record: the camera sent nothing for 0.5 s\n"},
        {ok + readFile(stream), false, AF_INET, "localhost", 0, "9 frames, "},
        {ok + readFile(stream), false, AF_INET6, "[::1]", 0, "9 frames, "},
    };
    // The tool's own camera on IPv6.
    Vorc camera(dir + "camera.err", {"camera", "--listen", "[::1]:0", "--exit-after", "60", stream});
    std::string listening;
    for (int slice = 0; slice < 2000 && (listening = camera.errors()).find('\n') == std::string::npos; ++slice)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(listening.rfind("listening on [::1]:", 0), 0u) << listening;
    Vorc recordV6(dir + "record.err", {"record", "[::1]:" + std::to_string(std::stoi(listening.substr(19))),
                                       "--frames", "3", "-o", dir + "recorded.mjpg"});
    EXPECT_EQ(recordV6.wait(20), 0) << recordV6.errors();
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();

    for (const auto& c : cases) {
        FakeCamera camera(c.answer, c.silent, c.family);
        Vorc record(dir + "record.err", {"record", c.host + ":" + std::to_string(camera.port), "--timeout", "0.5",
                                         "-o", dir + "recorded.mjpg"});
        EXPECT_EQ(record.wait(20), c.exitStatus) << record.errors();
        EXPECT_NE(record.errors().find(c.message), std::string::npos) << record.errors();
    }
}

// SIGINT or SIGTERM while a command reads a pipe that has gone quiet: the
// outputs are complete (whole images and the MJPEG closing boundary, whole
// frames in a dump, a whole PNG) and the exit status tells of the signal.
TEST_F(ToolCamera, SignalsLeaveWellFormedOutputs) {
    // Eight frames complete; the ninth waits for the marker after it.
    const std::string bytes = readFile(stream);
    const size_t held = bytes.rfind("\xFF\xD9") + 2;
    const struct {
        std::vector<std::string> arguments;
        int signal;
    } cases[] = {{{"transcode", "-o", dir + "out.mjpg"}, SIGINT},
                 {{"dump", "-o", dir + "out.rgb"}, SIGTERM},
                 {{"snapshot", "-o", dir + "out.png"}, SIGINT}};
    for (const auto& c : cases) {
        const std::string fifo = dir + c.arguments[0] + ".fifo";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin() + 1, {"--quiet", fifo});
        Vorc command(dir + "command.err", arguments);
        const int writer = ::open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(::write(writer, bytes.data(), held), static_cast<ssize_t>(held));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        command.signal(c.signal);
        EXPECT_EQ(command.wait(), 128 + c.signal) << command.errors();
        ::close(writer);
        EXPECT_NE(command.errors().find("interrupted after 8 frames"), std::string::npos) << command.errors();
    }
    const std::string mjpeg = readFile(dir + "out.mjpg");
    const std::string closing = "\r\n--vorcframe--\r\n";
    EXPECT_EQ(mjpeg.compare(mjpeg.size() - closing.size(), closing.size(), closing), 0);
    size_t images = 0;
    for (size_t at = mjpeg.find("\xFF\xD8"); at != std::string::npos; at = mjpeg.find("\xFF\xD8", at + 2)) {
        const size_t end = mjpeg.find("\xFF\xD9", at) + 2;
        const std::string image = mjpeg.substr(at, end - at);
        EXPECT_EQ(vorctest::decompressJpeg(vorctest::Bytes(image.begin(), image.end())).width, 128);
        ++images;
    }
    EXPECT_EQ(images, 8u);
    EXPECT_EQ(readFile(dir + "out.rgb").size(), 8u * 128 * 64 * 3);
    const std::string png = readFile(dir + "out.png");
    EXPECT_EQ(png.compare(1, 3, "PNG"), 0);
    EXPECT_EQ(png.compare(png.size() - 8, 4, "IEND"), 0);
}

// SIGINT or SIGTERM stops `record` (reading a camera) and `info` (reading a
// pipe that has gone quiet) with 128 + the signal, not 0; record's MJPEG is
// complete, and info's summary counts what came.
TEST_F(ToolCamera, InfoAndRecordTellOfASignalInTheirExitStatus) {
    Vorc camera(dir + "camera.err", {"camera", "--listen", "127.0.0.1:0", "--exit-after", "60", stream});
    const int port = camera.port();
    ASSERT_GT(port, 0) << camera.errors();
    const std::string bytes = readFile(stream);
    const size_t held = bytes.rfind("\xFF\xD9") + 2;
    for (const int signal : {SIGINT, SIGTERM}) {
        Vorc record(dir + "record.err", {"record", "127.0.0.1:" + std::to_string(port), "--fps", "4", "-o",
                                         dir + "live.mjpg"});
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        record.signal(signal);
        EXPECT_EQ(record.wait(20), 128 + signal) << record.errors();
        EXPECT_NE(record.errors().find("vorc record: interrupted after "), std::string::npos) << record.errors();
        const std::string mjpeg = readFile(dir + "live.mjpg");
        const std::string closing = "\r\n--vorcframe--\r\n";
        ASSERT_GT(mjpeg.size(), closing.size());
        EXPECT_EQ(mjpeg.compare(mjpeg.size() - closing.size(), closing.size(), closing), 0);

        const std::string fifo = dir + "info" + std::to_string(signal) + ".fifo";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        vorctest::ChildProcess info(dir + "info.err", {"sh", "-c", std::string("exec '") + VORC_TOOL_PATH +
                                                                       "' info --quiet '" + fifo + "' > '" + dir +
                                                                       "info.out'"});
        const int writer = ::open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(::write(writer, bytes.data(), held), static_cast<ssize_t>(held));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        info.signal(signal);
        EXPECT_EQ(info.wait(), 128 + signal) << info.errors();
        ::close(writer);
        EXPECT_EQ(readFile(dir + "info.out").rfind("frames: 8, ", 0), 0u) << readFile(dir + "info.out");
        EXPECT_NE(info.errors().find("vorc info: interrupted after 8 frames"), std::string::npos) << info.errors();
    }
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
}
