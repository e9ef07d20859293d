// Test support: child processes with bounded waits.
#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace vorctest {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& stdoutPath) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    const std::string output = stdoutPath.empty() ? "/dev/null" : stdoutPath;

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) ::_exit(127);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        ::close(pipeFds[0]);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    errorFd_ = pipeFds[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (errorFd_ >= 0) ::close(errorFd_);
}

bool ChildProcess::readSome(int timeoutMillis) {
    pollfd entry{errorFd_, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMillis) != 1) return false;
    char chunk[4096];
    const ssize_t got = ::read(errorFd_, chunk, sizeof chunk);
    if (got <= 0) return false;
    errorText_.append(chunk, static_cast<size_t>(got));
    return true;
}

std::string ChildProcess::waitForLine(const std::string& text, int timeoutMillis) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    for (;;) {
        size_t lineEnd;
        while ((lineEnd = errorText_.find('\n', scanned_)) != std::string::npos) {
            const std::string line = errorText_.substr(scanned_, lineEnd - scanned_);
            scanned_ = lineEnd + 1;
            if (line.find(text) != std::string::npos) return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return std::string();
    }
}

int ChildProcess::wait(int timeoutMillis) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    while (pid_ > 0) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            while (readSome(0)) {
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        if (!readSome(10)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

void ChildProcess::signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
}

}  // namespace vorctest
