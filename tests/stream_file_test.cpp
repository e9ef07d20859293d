// The file stream source on regular files, pipes and caller descriptors,
// with and without the timed wait, and across interrupting signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "vorc/sources/stream_file.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe() {
        for (int fd : fds) {
            if (fd != -1) ::close(fd);
        }
    }
    int reader() const { return fds[0]; }
    int writer() const { return fds[1]; }
    void closeWriter() {
        ::close(fds[1]);
        fds[1] = -1;
    }
};

bool descriptorOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

long millisSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(StreamFile, RegularFileInPieces) {
    char path[] = "/tmp/vorc_stream_file_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(::write(fd, "0123456789", 10), 10);
    ::close(fd);
    {
        vorcStreamFile source(path);
        unsigned char buffer[4];
        EXPECT_TRUE(source.stillUp());
        EXPECT_EQ(source.fetchBytes(buffer, 0), 0);  // asking for nothing does not end the file
        EXPECT_EQ(source.fetchBytes(buffer, 4), 4);
        EXPECT_EQ(std::string(buffer, buffer + 4), "0123");
        EXPECT_EQ(source.fetchBytes(buffer, 4), 4);
        EXPECT_EQ(source.fetchBytes(buffer, 4), 2);
        EXPECT_EQ(std::string(buffer, buffer + 2), "89");
        EXPECT_TRUE(source.stillUp());
        EXPECT_EQ(source.fetchBytes(buffer, 4), 0);
        EXPECT_FALSE(source.stillUp());
        EXPECT_EQ(source.fetchBytes(buffer, 4), 0);
    }
    ::unlink(path);
}

TEST(StreamFile, MissingPathStartsEnded) {
    vorcStreamFile source("/nonexistent/vorc/stream");
    unsigned char buffer[8];
    EXPECT_FALSE(source.stillUp());
    EXPECT_EQ(source.fetchBytes(buffer, 8), 0);
}

TEST(StreamFile, PipeUntilWriterClosesAndDescriptorKept) {
    Pipe pipe;
    {
        vorcStreamFile source(pipe.reader());
        ASSERT_EQ(::write(pipe.writer(), "abc", 3), 3);
        unsigned char buffer[16];
        EXPECT_EQ(source.fetchBytes(buffer, 16), 3);
        pipe.closeWriter();
        EXPECT_EQ(source.fetchBytes(buffer, 16), 0);
        EXPECT_FALSE(source.stillUp());
    }
    EXPECT_TRUE(descriptorOpen(pipe.reader()));
}

TEST(StreamFile, NonBlockingDescriptorWithoutDataStaysUp) {
    Pipe pipe;
    ASSERT_EQ(::fcntl(pipe.reader(), F_SETFL, O_NONBLOCK), 0);
    vorcStreamFile source(pipe.reader());
    unsigned char buffer[16];
    EXPECT_EQ(source.fetchBytes(buffer, 16), 0);
    EXPECT_TRUE(source.stillUp());
    ASSERT_EQ(::write(pipe.writer(), "xy", 2), 2);
    EXPECT_EQ(source.fetchBytes(buffer, 16), 2);
}

void checkTimedWait(int readFd, int writeFd) {
    vorcStreamFile source(readFd);
    source.setTimedBlockModeEnabled(true, 250);
    unsigned char buffer[16];
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(source.fetchBytes(buffer, 16), 0);
    const long waited = millisSince(start);
    EXPECT_GE(waited, 240);
    EXPECT_LT(waited, 5000);
    EXPECT_TRUE(source.stillUp());
    ASSERT_EQ(::write(writeFd, "data", 4), 4);
    EXPECT_EQ(source.fetchBytes(buffer, 16), 4);
    EXPECT_TRUE(source.stillUp());
}

TEST(StreamFile, TimedModeOnASilentPipe) {
    Pipe pipe;
    checkTimedWait(pipe.reader(), pipe.writer());
}

TEST(StreamFile, TimedModeOnADescriptorBeyondTheSelectSetSize) {
    rlimit limits{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limits), 0);
    constexpr int HighFd = 1500;
    if (limits.rlim_cur <= HighFd) GTEST_SKIP() << "descriptor limit too low";
    Pipe pipe;
    ASSERT_EQ(::dup2(pipe.reader(), HighFd), HighFd);
    checkTimedWait(HighFd, pipe.writer());
    ::close(HighFd);
}

void ignoreSignal(int) {}

// Installs a no-op SIGALRM handler without SA_RESTART, so that blocking
// calls really fail with EINTR, and fires it after delay.
struct InterruptingAlarm {
    struct sigaction previous {};
    explicit InterruptingAlarm(int delayMillis) {
        struct sigaction action {};
        action.sa_handler = ignoreSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGALRM, &action, &previous);
        itimerval timer{};
        timer.it_value.tv_usec = delayMillis * 1000;
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~InterruptingAlarm() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous, nullptr);
    }
};

// Runs fetch with a SIGALRM at 100 ms aimed at this thread, while another
// thread writes `late` after writeDelay.
int fetchThroughAlarm(vorcStreamFile& source, int writeFd, int writeDelayMillis) {
    // The writer thread inherits a mask that keeps the alarm away from it.
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarmOnly, nullptr);
    std::thread writer([writeFd, writeDelayMillis] {
        std::this_thread::sleep_for(std::chrono::milliseconds(writeDelayMillis));
        EXPECT_EQ(::write(writeFd, "late", 4), 4);
    });
    pthread_sigmask(SIG_UNBLOCK, &alarmOnly, nullptr);
    unsigned char buffer[16];
    int got = -1;
    {
        InterruptingAlarm alarm(100);
        got = source.fetchBytes(buffer, 16);
    }
    writer.join();
    return got;
}

TEST(StreamFile, InterruptedReadIsRetried) {
    Pipe pipe;
    vorcStreamFile source(pipe.reader());
    EXPECT_EQ(fetchThroughAlarm(source, pipe.writer(), 400), 4);
    EXPECT_TRUE(source.stillUp());
}

TEST(StreamFile, InterruptedTimedWaitKeepsItsLimit) {
    Pipe pipe;
    vorcStreamFile source(pipe.reader());
    source.setTimedBlockModeEnabled(true, 400);
    const Clock::time_point start = Clock::now();
    // The late data (after the limit) only unblocks a wait that forgot it.
    EXPECT_EQ(fetchThroughAlarm(source, pipe.writer(), 1500), 0);
    EXPECT_GE(millisSince(start), 390);
    EXPECT_TRUE(source.stillUp());
}

}  // namespace
