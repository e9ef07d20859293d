// The file stream source on regular files, pipes and caller descriptors,
// with and without the timed wait, and across interrupting signals.
#include "vorc/sources/stream_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
};

long millisSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(StreamFile, RegularFileMissingPathAndPipes) {
    const std::string path = testing::TempDir() + "vorc_stream_file_" + std::to_string(::getpid());
    std::ofstream(path) << "0123456789";
    unsigned char buffer[16];
    {
        vorcStreamFile source(path.c_str());
        auto fetch = [&](int count) {
            return std::string(buffer, buffer + source.fetchBytes(buffer, count));
        };
        EXPECT_TRUE(source.stillUp());
        EXPECT_EQ(fetch(0), "");  // asking for nothing does not end the file
        EXPECT_EQ(fetch(4), "0123");
        EXPECT_EQ(fetch(4), "4567");
        EXPECT_EQ(fetch(4), "89");
        EXPECT_TRUE(source.stillUp());
        EXPECT_EQ(fetch(4), "");
        EXPECT_FALSE(source.stillUp());
        EXPECT_EQ(fetch(4), "");
    }
    ::unlink(path.c_str());
    vorcStreamFile missing("/nonexistent/vorc/stream");
    EXPECT_FALSE(missing.stillUp());
    EXPECT_EQ(missing.fetchBytes(buffer, 8), 0);

    Pipe pipe, nonBlocking;
    ASSERT_EQ(::fcntl(nonBlocking.fds[0], F_SETFL, O_NONBLOCK), 0);
    {
        vorcStreamFile source(pipe.fds[0]), silent(nonBlocking.fds[0]);
        // A non-blocking descriptor without data stays up.
        EXPECT_EQ(silent.fetchBytes(buffer, 16), 0);
        EXPECT_TRUE(silent.stillUp());
        ASSERT_EQ(::write(nonBlocking.fds[1], "xy", 2), 2);
        EXPECT_EQ(silent.fetchBytes(buffer, 16), 2);
        // A pipe ends when its writer closes.
        ASSERT_EQ(::write(pipe.fds[1], "abc", 3), 3);
        EXPECT_EQ(source.fetchBytes(buffer, 16), 3);
        ::close(pipe.fds[1]);
        pipe.fds[1] = -1;
        EXPECT_EQ(source.fetchBytes(buffer, 16), 0);
        EXPECT_FALSE(source.stillUp());
    }
    // The caller's descriptors stay open.
    EXPECT_NE(::fcntl(pipe.fds[0], F_GETFD), -1);
    EXPECT_NE(::fcntl(nonBlocking.fds[0], F_GETFD), -1);
}

// Fetches while another thread interrupts this one with a signal whose
// handler lacks SA_RESTART (so blocking calls really fail with EINTR) at
// 100 ms, and writes "late" after writeDelay.
int fetchThroughSignal(vorcStreamFile& source, int writeFd, int writeDelayMillis) {
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, &previous);
    const pthread_t reader = ::pthread_self();
    std::thread writer([=] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::pthread_kill(reader, SIGALRM);
        std::this_thread::sleep_for(std::chrono::milliseconds(writeDelayMillis - 100));
        EXPECT_EQ(::write(writeFd, "late", 4), 4);
    });
    unsigned char buffer[16];
    const int got = source.fetchBytes(buffer, 16);
    writer.join();
    sigaction(SIGALRM, &previous, nullptr);
    return got;
}

TEST(StreamFile, TimedModeAndInterruptingSignals) {
    Pipe pipe;
    {
        // Interrupted reads and waits are retried; the wait keeps its limit
        // (the late data only unblocks a wait that forgot it).
        vorcStreamFile source(pipe.fds[0]);
        EXPECT_EQ(fetchThroughSignal(source, pipe.fds[1], 400), 4);
        EXPECT_TRUE(source.stillUp());
        source.setTimedBlockModeEnabled(true, 400);
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(fetchThroughSignal(source, pipe.fds[1], 1500), 0);
        EXPECT_GE(millisSince(start), 390);
        EXPECT_TRUE(source.stillUp());
        unsigned char late[4];
        ASSERT_EQ(::read(pipe.fds[0], late, 4), 4);
    }
    // A silent pipe times out and stays up, also on a descriptor beyond the
    // select() set size.
    rlimit limits{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limits), 0);
    constexpr int HighFd = 1500;
    if (limits.rlim_max <= HighFd) GTEST_SKIP() << "descriptor limit too low";
    limits.rlim_cur = limits.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limits), 0);
    ASSERT_EQ(::dup2(pipe.fds[0], HighFd), HighFd);
    for (int readFd : {pipe.fds[0], HighFd}) {
        vorcStreamFile source(readFd);
        source.setTimedBlockModeEnabled(true, 250);
        unsigned char buffer[16];
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(source.fetchBytes(buffer, 16), 0);
        const long waited = millisSince(start);
        EXPECT_GE(waited, 240);
        EXPECT_LT(waited, 5000);
        EXPECT_TRUE(source.stillUp());
        ASSERT_EQ(::write(pipe.fds[1], "data", 4), 4);
        EXPECT_EQ(source.fetchBytes(buffer, 16), 4);
        EXPECT_TRUE(source.stillUp());
    }
    ::close(HighFd);
}

}  // namespace
