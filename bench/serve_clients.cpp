// The `vorc serve` process, its loopback readers and /proc CPU times.
#include "serve_clients.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace vorcbench {

ServeProcess::ServeProcess(const std::string& vorc, const std::string& stream, const std::string& fps) {
    int errorPipe[2];
    if (::pipe(errorPipe) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(errorPipe[1], STDERR_FILENO);
        ::execl(vorc.c_str(), vorc.c_str(), "serve", "--listen", "127.0.0.1:0", "--fps", fps.c_str(), "--quiet",
                "--max-clients", "5000", stream.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(errorPipe[1]);
    // The first line names the address it listens on.
    std::string firstLine;
    char c;
    while (::read(errorPipe[0], &c, 1) == 1 && c != '\n') firstLine += c;
    ::close(errorPipe[0]);
    const size_t at = firstLine.find("127.0.0.1:");
    if (at == std::string::npos) {
        std::fprintf(stderr, "error: vorc serve did not start: %s\n", firstLine.c_str());
        return;
    }
    port_ = std::atoi(firstLine.c_str() + at + 10);
}

ServeProcess::~ServeProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

StreamReader::StreamReader(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd entry{fd_, POLLOUT, 0};
    ::poll(&entry, 1, 5000);
    const char request[] = "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(fd_, request, sizeof request - 1, MSG_NOSIGNAL);
}

StreamReader::~StreamReader() { ::close(fd_); }

void StreamReader::pump() {
    static char chunk[1 << 18];
    ssize_t got;
    while ((got = ::recv(fd_, chunk, sizeof chunk, 0)) > 0) take(chunk, static_cast<size_t>(got));
}

void StreamReader::take(const char* bytes, size_t count) {
    while (count > 0) {
        if (skip_ > 0) {
            const size_t taken = std::min(skip_, count);
            skip_ -= taken;
            bytes += taken;
            count -= taken;
            if (skip_ == 0 && headerSeen_) ++images_;
            continue;
        }
        head_.push_back(*bytes++);
        --count;
        if (head_.size() < 4 || head_.compare(head_.size() - 4, 4, "\r\n\r\n") != 0) continue;
        if (headerSeen_) {
            const size_t at = head_.find("Content-Length: ");
            skip_ = at == std::string::npos ? 0 : std::strtoul(head_.c_str() + at + 16, nullptr, 10) + 2;
        }
        headerSeen_ = true;
        head_.clear();
    }
}

void pumpFor(const std::vector<StreamReader*>& readers, double seconds) {
    using Clock = std::chrono::steady_clock;
    std::vector<pollfd> entries;
    for (StreamReader* reader : readers) entries.push_back(pollfd{reader->fd(), POLLIN, 0});
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        ::poll(entries.data(), entries.size(), 20);
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].revents != 0) readers[i]->pump();
        }
    }
}

double cpuSeconds(pid_t pid) {
    // The scheduler's own count, in nanoseconds per thread: the user and
    // system ticks of /proc/PID/stat are sampled, a hundred a second, and
    // in a virtual machine often charged to the wrong side.
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(tasks.c_str()), ::closedir);
    if (folder == nullptr) return 0;
    double nanoseconds = 0;
    while (const dirent* task = ::readdir(folder.get())) {
        if (task->d_name[0] == '.') continue;
        std::ifstream file(tasks + "/" + task->d_name + "/schedstat");
        double onProcessor = 0;
        if (file >> onProcessor) nanoseconds += onProcessor;
    }
    return nanoseconds / 1e9;
}

}  // namespace vorcbench
