// Test support: the vorc tool as a child process (a server such as `vorc
// camera` or `vorc serve` with its standard error in a file and its port
// read from there), and one HTTP exchange with such a server on loopback.
#ifndef VORC_TESTS_SUPPORT_TOOL_PROCESS_H
#define VORC_TESTS_SUPPORT_TOOL_PROCESS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/libjpeg_helpers.h"

namespace vorctest {

// A program as a child process, found on the PATH, with standard error in a
// file. It is killed when the object dies, so a failing test leaves nothing
// running.
class ChildProcess {
public:
    ChildProcess(const std::string& errorPath, std::vector<std::string> arguments) : errorPath_(errorPath) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(&argument[0]);
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
            ::dup2(::open(errorPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~ChildProcess() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    }
    std::string errors() const { return vorctest::readFile(errorPath_); }
    // The exit status; -1 when killed by a signal or still running after the time.
    int wait(int seconds = 10) {
        int status = -1;
        for (int slice = 0; pid_ > 0 && slice < seconds * 200; ++slice) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
            if (pid_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return pid_ < 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The port of a server's first line, "listening on 127.0.0.1:PORT" (or
    // another address), within 10 s; or 0.
    int port(const std::string& address = "127.0.0.1") const {
        std::string text;
        for (int slice = 0; slice < 2000 && (text = errors()).find('\n') == text.npos; ++slice)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::string line = "listening on " + address + ":";
        const size_t at = text.find(line);
        return at == std::string::npos ? 0 : std::stoi(text.substr(at + line.size()));
    }
    void signal(int number) {
        if (pid_ > 0) ::kill(pid_, number);  // never -1: that would reach every process
    }

private:
    const std::string errorPath_;
    pid_t pid_ = -1;
};

// `vorc ARGUMENTS` as a child process.
class Vorc : public ChildProcess {
public:
    Vorc(const std::string& errorPath, const std::vector<std::string>& arguments)
        : ChildProcess(errorPath, withTool(arguments)) {}

private:
    static std::vector<std::string> withTool(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), VORC_TOOL_PATH);
        return arguments;
    }
};

// A socket connected to the port on 127.0.0.1; with a receive buffer
// size, one set before connecting, so that it also bounds the window.
inline int connectToLoopback(int port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// Sends the request to a server and returns its whole answer.
inline std::string exchange(int port, const std::string& request) {
    const int fd = connectToLoopback(port);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    char chunk[4096];
    for (ssize_t got; answer.size() < (1u << 20) && (got = ::read(fd, chunk, sizeof chunk)) > 0;)
        answer.append(chunk, static_cast<size_t>(got));
    ::close(fd);
    return answer;
}

// A stream file of real pictures as full frames with partial frames between
// them; the bitmap of the second partial frame holds the bytes FF D8, which
// must not be taken for the start of a frame. Nine frames, three full ones.
inline bool writeLiveTestStream(const std::string& path) {
    StreamBuilder builder;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        builder.raw(jpegToTesraFrame(compressJpeg(syntheticPicture(128, 64, false, seed), 80)));
        builder.partialFrame(tileBitmap(8, 4, {0, 9, 31}), zeroTilesScan(3));
        builder.partialFrame(Bytes{0xFF, 0xD8, 0x00, 0x00}, zeroTilesScan(12), true);
    }
    builder.app13();
    return builder.writeFile(path);
}

}  // namespace vorctest

#endif
