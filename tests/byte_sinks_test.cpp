// Byte and JPEG sinks: the exact MJPEG framing, numbered JPEG files, and how
// the binary file writer copes with short writes, full non-blocking pipes,
// signals, broken pipes and descriptors it does not own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "support/files.h"
#include "vorc/sinks/binary_file_writer.h"
#include "vorc/sinks/jpeg_sequence_writer.h"
#include "vorc/sinks/mjpeg_writer.h"

namespace fs = std::filesystem;
using std::chrono::milliseconds;

using vorctest::readFile;

struct Sinks : ::testing::Test {
    const vorctest::TempDir temp;
    const std::string dir = temp.path;
};

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

const unsigned char* data(const std::string& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.data());
}

void sendImage(vorcJPEGReceiver& receiver, const std::string& image) {
    receiver.beginFrame();
    receiver.receiveJPEGBytes(data(image), static_cast<int>(image.size()));
    receiver.endFrame();
}

// Exposes the writer's state flag.
struct ProbedWriter : vorcBinaryFileWriter {
    using vorcBinaryFileWriter::vorcBinaryFileWriter;
    void send(const std::string& bytes) { receiveStreamBytes(data(bytes), int(bytes.size())); }
};

TEST_F(Sinks, MjpegWriterFramesImagesWithTheSeparator) {
    const std::string image = pattern(100);
    const std::string head = "Content-type: multipart/x-mixed-replace;boundary=";
    // The last row: an uncreatable path, where nothing is written, quietly.
    const struct {
        const char* name;
        const char* separator;
        int frames;
        std::string expected;
        size_t size;
    } cases[] = {
        {"abc", "abc", 1,
         head + "\"abc\"\r\n\r\n--abc\r\nContent-type: image/jpeg\r\n\r\n" + image +
             "\r\n--abc--\r\n",
         56 + 37 + 100 + 11},
        {"none", "abc", 0, head + "\"abc\"\r\n\r\n--abc--\r\n", 56 + 11},
        {"null", nullptr, 2, image + image, 200},
        {"empty", "", 1,
         head + "\"\"\r\n\r\n--\r\nContent-type: image/jpeg\r\n\r\n" + image + "\r\n----\r\n",
         53 + 34 + 100 + 8},
        {"missing/out", "abc", 1, "", 0},
    };
    for (const auto& c : cases) {
        const std::string path = dir + "/" + c.name + ".mjpg";
        {
            vorcMJPEGWriter writer(path.c_str(), c.separator);
            for (int i = 0; i < c.frames; ++i) sendImage(writer, image);
        }
        EXPECT_EQ(fs::exists(path), c.size != 0) << c.name;
        EXPECT_EQ(readFile(path), c.expected) << c.name;
        EXPECT_EQ(c.expected.size(), c.size);
    }
}

TEST_F(Sinks, WritersCloseOnlyTheDescriptorsTheyOpenedAndStopOnWriteErrors) {
    ::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);  // the reader has gone
    ProbedWriter broken(fds[1]);
    broken.send(pattern(10));
    EXPECT_TRUE(broken.hasFailed());
    ::close(fds[1]);

    const int fd = ::open((dir + "/fd.mjpg").c_str(), O_WRONLY | O_CREAT, 0644);
    {
        vorcMJPEGWriter writer(fd, "x");
        sendImage(writer, pattern(5));
    }
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
    ::close(fd);
    EXPECT_EQ(fs::file_size(dir + "/fd.mjpg"), 54u + 35u + 5u + 9u);

    const std::string path = dir + "/existing";
    std::ofstream(path) << "old contents";
    const auto openDescriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto before = openDescriptors();
    {
        ProbedWriter writer(path.c_str());
        EXPECT_EQ(fs::file_size(path), 0u);
        EXPECT_EQ(openDescriptors(), before + 1);
    }
    EXPECT_EQ(openDescriptors(), before);
}

std::atomic<int> signalsSeen{0};

// The reader starts late, so the pipe fills up: a blocking write waits and
// is interrupted by signals (EINTR), a non-blocking one comes back short and
// then fails with EAGAIN. Either way every byte arrives.
TEST_F(Sinks, FileWriterContinuesShortAndInterruptedWrites) {
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) { signalsSeen.fetch_add(1); };  // no SA_RESTART
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    const std::string data = pattern(1 << 20);
    for (const bool nonBlocking : {false, true}) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ASSERT_TRUE(!nonBlocking || ::fcntl(fds[1], F_SETFL, O_NONBLOCK) == 0);
        signalsSeen = 0;
        std::thread interrupter([writerThread = ::pthread_self()] {
            for (int i = 0; i < 5; ++i) {
                std::this_thread::sleep_for(milliseconds(20));
                ::pthread_kill(writerThread, SIGUSR1);
            }
        });
        // Reads the pipe to its end, starting late.
        auto drained = std::async(std::launch::async, [fd = fds[0]] {
            std::this_thread::sleep_for(milliseconds(150));
            std::string bytes;
            char buffer[4096];
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;) {
                if (got > 0) bytes.append(buffer, static_cast<size_t>(got));
                if (got < 0 && errno != EINTR) break;
            }
            return bytes;
        });
        ProbedWriter writer(fds[1]);
        writer.send(data);
        interrupter.join();
        EXPECT_FALSE(writer.hasFailed()) << nonBlocking;
        ::close(fds[1]);
        EXPECT_EQ(drained.get(), data) << nonBlocking;
        ::close(fds[0]);
        // Signals sent while the writer thread waits to run merge into one,
        // so a loaded machine may see fewer than five.
        EXPECT_GE(signalsSeen.load(), 1);
    }
    ::sigaction(SIGUSR1, &previous, nullptr);
}

struct ProbedSequenceWriter : vorcJPEGSequenceWriter {
    using vorcJPEGSequenceWriter::vorcJPEGSequenceWriter;
    void setFrameNumber(int32_t number) { frameNumber = number; }
};

TEST_F(Sinks, SequenceWriterNumbersFramesNotFiles) {
    const std::string prefix = dir + "/frame_";
    // A directory where frame 1's file should go makes that frame fail.
    fs::create_directory(prefix + "000001.jpg");
    ProbedSequenceWriter writer(prefix.c_str());
    const std::string stray = pattern(4);
    writer.receiveJPEGBytes(data(stray), 4);  // outside a frame: dropped
    sendImage(writer, pattern(10));
    sendImage(writer, pattern(11));
    writer.endFrame();  // a second endFrame skips a number
    writer.beginFrame();
    writer.receiveJPEGBytes(data(stray), 4);
    writer.beginFrame();  // again without endFrame: same name, truncated
    writer.receiveJPEGBytes(data(stray), 2);
    writer.endFrame();
    writer.receiveJPEGBytes(data(stray), 4);  // after endFrame: dropped
    writer.setFrameNumber(1234567);
    sendImage(writer, pattern(3));

    EXPECT_EQ(readFile(prefix + "000000.jpg"), pattern(10));
    EXPECT_TRUE(fs::is_directory(prefix + "000001.jpg"));
    EXPECT_FALSE(fs::exists(prefix + "000002.jpg"));
    EXPECT_EQ(readFile(prefix + "000003.jpg"), stray.substr(0, 2));
    EXPECT_EQ(readFile(prefix + "1234567.jpg"), pattern(3));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);
    EXPECT_EQ(writer.failure(), "cannot write '" + prefix + "000001.jpg': Is a directory");
}

// A full disk shows only when the buffered image is flushed at the close;
// it must not go unnoticed.
TEST_F(Sinks, WritersOnAFullDiskSayThatTheyFailed) {
    const std::string prefix = dir + "/full_";
    fs::create_symlink("/dev/full", prefix + "000001.jpg");
    vorcJPEGSequenceWriter sequence(prefix.c_str());
    sendImage(sequence, pattern(10));
    EXPECT_FALSE(sequence.hasFailed());
    sendImage(sequence, pattern(10));
    sendImage(sequence, pattern(10));
    EXPECT_TRUE(sequence.hasFailed());
    EXPECT_EQ(sequence.failure(), "cannot write '" + prefix + "000001.jpg': No space left on device");
    vorcMJPEGWriter mjpeg("/dev/full", "frame");
    EXPECT_TRUE(mjpeg.hasFailed());
}
