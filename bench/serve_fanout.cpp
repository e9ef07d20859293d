// Fan-out of `vorc serve`, the web server at the end of the chain source ->
// parser -> JPEG transcoder: starts the server on a stream file, connects
// each number of readers of /stream.mjpg in turn, counts the whole parts
// every reader receives for a while, and prints images per second (in total
// and for the slowest reader) with the server's CPU time from /proc, as a
// Markdown table. Loopback only.
//
// usage: serve_fanout VORC STREAM FPS SECONDS CLIENTS...
// example: build-bench/bench/serve_fanout build-bench/tools/vorc data/sample.tesra 25 10 1 50 200 400
#include <arpa/inet.h>
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
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One reader; counts parts by their Content-Length without keeping them.
class Reader {
public:
    explicit Reader(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
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
    ~Reader() { ::close(fd_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    int fd() const { return fd_; }
    long images() const { return images_; }

    void pump() {
        static char chunk[1 << 18];
        ssize_t got;
        while ((got = ::recv(fd_, chunk, sizeof chunk, 0)) > 0) take(chunk, static_cast<size_t>(got));
    }

private:
    void take(const char* bytes, size_t count) {
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

    const int fd_;
    bool headerSeen_ = false;
    std::string head_;
    size_t skip_ = 0;
    long images_ = 0;
};

double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 0; i < 13 && fields >> field; ++i) {
        if (i >= 11) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void pumpFor(std::vector<Reader*>& readers, double seconds) {
    std::vector<pollfd> entries;
    for (Reader* reader : readers) entries.push_back(pollfd{reader->fd(), POLLIN, 0});
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        ::poll(entries.data(), entries.size(), 20);
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].revents != 0) readers[i]->pump();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: serve_fanout VORC STREAM FPS SECONDS CLIENTS...\n");
        return 2;
    }
    int errorPipe[2];
    if (::pipe(errorPipe) != 0) return 1;
    const pid_t server = ::fork();
    if (server == 0) {
        ::dup2(errorPipe[1], STDERR_FILENO);
        ::execl(argv[1], argv[1], "serve", "--listen", "127.0.0.1:0", "--fps", argv[3], "--quiet", "--max-clients",
                "5000", argv[2], static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(errorPipe[1]);
    std::string firstLine;
    char c;
    while (::read(errorPipe[0], &c, 1) == 1 && c != '\n') firstLine += c;
    const size_t at = firstLine.find("127.0.0.1:");
    if (at == std::string::npos) {
        std::fprintf(stderr, "serve_fanout: the server did not start: %s\n", firstLine.c_str());
        return 1;
    }
    const int port = std::atoi(firstLine.c_str() + at + 10);
    const double seconds = std::atof(argv[4]);
    std::printf("vorc serve, %s at --fps %s, %.0f s per row\n", argv[2], argv[3], seconds);
    std::printf("| clients | images/s in total | images/s, slowest reader | server CPU |\n|---:|---:|---:|---:|\n");
    for (int i = 5; i < argc; ++i) {
        std::vector<std::unique_ptr<Reader>> owned;
        std::vector<Reader*> readers;
        for (int k = std::atoi(argv[i]); k > 0; --k) {
            owned.push_back(std::make_unique<Reader>(port));
            readers.push_back(owned.back().get());
        }
        pumpFor(readers, 1.0);  // all connected and receiving
        std::vector<long> before;
        for (Reader* reader : readers) before.push_back(reader->images());
        const double cpuBefore = cpuSeconds(server);
        const auto start = Clock::now();
        pumpFor(readers, seconds);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = (cpuSeconds(server) - cpuBefore) / elapsed;
        long total = 0;
        long slowest = -1;
        for (size_t k = 0; k < readers.size(); ++k) {
            const long got = readers[k]->images() - before[k];
            total += got;
            slowest = slowest < 0 ? got : std::min(slowest, got);
        }
        std::printf("| %zu | %.0f | %.1f | %.0f %% |\n", readers.size(), static_cast<double>(total) / elapsed,
                    static_cast<double>(slowest) / elapsed, cpu * 100.0);
        std::fflush(stdout);
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    return 0;
}
