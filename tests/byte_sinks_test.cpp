// Byte and JPEG sinks: the exact MJPEG framing, numbered JPEG files, and how
// the binary file writer copes with short writes, full non-blocking pipes,
// signals, broken pipes and descriptors it does not own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "vorc/sinks/binary_file_writer.h"
#include "vorc/sinks/jpeg_sequence_writer.h"
#include "vorc/sinks/mjpeg_writer.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "vorc-sinks-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const {
        return (fs::path(path_) / name).string();
    }

private:
    std::string path_;
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes concat(std::initializer_list<Bytes> pieces) {
    Bytes all;
    for (const Bytes& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
    return all;
}

Bytes pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
    return bytes;
}

// Exposes the writer's state flag.
class ProbedWriter : public vorcBinaryFileWriter {
public:
    using vorcBinaryFileWriter::vorcBinaryFileWriter;
    bool hasFailed() const { return failed != 0; }
    void send(const Bytes& bytes) {
        receiveStreamBytes(bytes.data(), static_cast<int>(bytes.size()));
    }
};

// Reads a pipe to its end on a thread of its own.
class PipeDrain {
public:
    explicit PipeDrain(int fd, std::chrono::milliseconds startDelay = std::chrono::milliseconds(0))
        : thread_([this, fd, startDelay] {
              std::this_thread::sleep_for(startDelay);
              unsigned char buffer[4096];
              for (;;) {
                  const ssize_t got = ::read(fd, buffer, sizeof buffer);
                  if (got > 0) {
                      bytes_.insert(bytes_.end(), buffer, buffer + got);
                  } else if (got == 0 || errno != EINTR) {
                      break;
                  }
              }
          }) {}
    Bytes finish() {
        thread_.join();
        return bytes_;
    }

private:
    Bytes bytes_;
    std::thread thread_;
};

int openDescriptorCount() {
    return static_cast<int>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

void sendImage(vorcJPEGReceiver& receiver, const Bytes& image) {
    receiver.beginFrame();
    receiver.receiveJPEGBytes(image.data(), static_cast<int>(image.size()));
    receiver.endFrame();
}

TEST(MJPEGWriter, FramesImagesWithTheSeparator) {
    TempDir dir;
    const Bytes image = pattern(100);
    {
        vorcMJPEGWriter writer((dir / "abc.mjpg").c_str(), "abc");
        sendImage(writer, image);
    }
    const Bytes expected = concat(
        {text("Content-type: multipart/x-mixed-replace;boundary=\"abc\"\r\n"),
         text("\r\n--abc\r\nContent-type: image/jpeg\r\n\r\n"), image, text("\r\n--abc--\r\n")});
    EXPECT_EQ(expected.size(), 56u + 37u + image.size() + 11u);
    EXPECT_EQ(readFile(dir / "abc.mjpg"), expected);
}

TEST(MJPEGWriter, SeparatorVariantsAndNoFrames) {
    TempDir dir;
    const Bytes image = pattern(10);
    { vorcMJPEGWriter writer((dir / "none.mjpg").c_str(), "abc"); }
    EXPECT_EQ(readFile(dir / "none.mjpg"),
              text("Content-type: multipart/x-mixed-replace;boundary=\"abc\"\r\n\r\n--abc--\r\n"));
    {
        vorcMJPEGWriter writer((dir / "null.mjpg").c_str(), nullptr);
        sendImage(writer, image);
        sendImage(writer, image);
    }
    EXPECT_EQ(readFile(dir / "null.mjpg"), concat({image, image}));
    {
        vorcMJPEGWriter writer((dir / "empty.mjpg").c_str(), "");
        sendImage(writer, image);
    }
    EXPECT_EQ(
        readFile(dir / "empty.mjpg"),
        concat({text("Content-type: multipart/x-mixed-replace;boundary=\"\"\r\n"),
                text("\r\n--\r\nContent-type: image/jpeg\r\n\r\n"), image, text("\r\n----\r\n")}));
}

TEST(MJPEGWriter, UncreatablePathWritesNothingQuietly) {
    TempDir dir;
    const std::string path = dir / "missing/out.mjpg";
    {
        vorcMJPEGWriter writer(path.c_str(), "abc");
        sendImage(writer, pattern(10));
    }
    EXPECT_FALSE(fs::exists(path));
    ProbedWriter writer(path.c_str());
    EXPECT_TRUE(writer.hasFailed());
}

TEST(MJPEGWriter, LeavesTheCallersDescriptorOpen) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    PipeDrain drain(fds[0]);
    {
        vorcMJPEGWriter writer(fds[1], "x");
        sendImage(writer, pattern(5));
    }
    EXPECT_NE(::fcntl(fds[1], F_GETFD), -1);
    ::close(fds[1]);
    EXPECT_EQ(drain.finish().size(), 54u + 35u + 5u + 9u);
    ::close(fds[0]);
}

TEST(BinaryFileWriter, ClosesOnlyWhatItOpened) {
    TempDir dir;
    const std::string path = dir / "existing";
    { std::ofstream(path) << "old contents"; }
    const int before = openDescriptorCount();
    {
        ProbedWriter writer(path.c_str());
        EXPECT_EQ(fs::file_size(path), 0u);
        EXPECT_EQ(openDescriptorCount(), before + 1);
    }
    EXPECT_EQ(openDescriptorCount(), before);
    {
        ProbedWriter writer(-1);
        writer.send(pattern(3));
        EXPECT_FALSE(writer.hasFailed());
    }
}

TEST(BinaryFileWriter, StopsForGoodAfterAWriteError) {
    ::signal(SIGPIPE, SIG_IGN);
    int broken[2];
    int healthy[2];
    ASSERT_EQ(::pipe(broken), 0);
    ASSERT_EQ(::pipe(healthy), 0);
    ::close(broken[0]);
    ProbedWriter writer(broken[1]);
    writer.send(pattern(10));
    EXPECT_TRUE(writer.hasFailed());
    // The same descriptor number now takes data, but the writer stays silent.
    ASSERT_EQ(::dup2(healthy[1], broken[1]), broken[1]);
    writer.send(pattern(10));
    ::close(broken[1]);
    ::close(healthy[1]);
    unsigned char byte;
    EXPECT_EQ(::read(healthy[0], &byte, 1), 0);
    ::close(healthy[0]);
}

TEST(BinaryFileWriter, ContinuesShortWritesOnAFullNonBlockingPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    // The reader starts late, so the pipe fills up and writes come back short.
    PipeDrain drain(fds[0], std::chrono::milliseconds(50));
    const Bytes data = pattern(1 << 20);
    ProbedWriter writer(fds[1]);
    writer.send(data);
    EXPECT_FALSE(writer.hasFailed());
    ::close(fds[1]);
    EXPECT_EQ(drain.finish(), data);
    ::close(fds[0]);
}

std::atomic<int> signalsSeen{0};
void countSignal(int) { signalsSeen.fetch_add(1); }

TEST(BinaryFileWriter, RetriesWritesInterruptedBySignals) {
    struct sigaction action {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked write returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pthread_t writerThread = ::pthread_self();
    signalsSeen = 0;
    // Interrupts the writer while it is blocked on the full pipe, then drains.
    std::thread interrupter([&] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::pthread_kill(writerThread, SIGUSR1);
        }
    });
    PipeDrain drain(fds[0], std::chrono::milliseconds(150));
    const Bytes data = pattern(1 << 20);
    ProbedWriter writer(fds[1]);
    writer.send(data);
    interrupter.join();
    EXPECT_FALSE(writer.hasFailed());
    ::close(fds[1]);
    EXPECT_EQ(drain.finish(), data);
    ::close(fds[0]);
    EXPECT_EQ(signalsSeen.load(), 5);
    ::sigaction(SIGUSR1, &previous, nullptr);
}

class ProbedSequenceWriter : public vorcJPEGSequenceWriter {
public:
    using vorcJPEGSequenceWriter::vorcJPEGSequenceWriter;
    void setFrameNumber(int32_t number) { frameNumber = number; }
};

TEST(JPEGSequenceWriter, NumbersFramesNotFiles) {
    TempDir dir;
    const std::string prefix = dir / "frame_";
    // A directory where frame 1's file should go makes that frame fail.
    fs::create_directory(prefix + "000001.jpg");
    ProbedSequenceWriter writer(prefix.c_str());
    const Bytes stray = pattern(4);
    writer.receiveJPEGBytes(stray.data(), 4);  // outside a frame: dropped
    sendImage(writer, pattern(10));
    sendImage(writer, pattern(11));
    writer.endFrame();  // a second endFrame skips a number
    writer.beginFrame();
    writer.receiveJPEGBytes(stray.data(), 4);
    writer.beginFrame();  // again without endFrame: same name, truncated
    writer.receiveJPEGBytes(stray.data(), 2);
    writer.endFrame();
    writer.receiveJPEGBytes(stray.data(), 4);  // after endFrame: dropped
    writer.setFrameNumber(1234567);
    sendImage(writer, pattern(3));

    EXPECT_EQ(readFile(prefix + "000000.jpg"), pattern(10));
    EXPECT_TRUE(fs::is_directory(prefix + "000001.jpg"));
    EXPECT_FALSE(fs::exists(prefix + "000002.jpg"));
    EXPECT_EQ(readFile(prefix + "000003.jpg"), Bytes(stray.begin(), stray.begin() + 2));
    EXPECT_EQ(readFile(prefix + "1234567.jpg"), pattern(3));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / ""), fs::directory_iterator()), 4);
}

}  // namespace
