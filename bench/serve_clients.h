// What the benchmarks of `vorc serve` share: starting a server process on a
// stream file, readers of its /stream.mjpg on loopback that count the whole
// parts they receive, pumping them, and a process's CPU time from /proc.
#ifndef VORC_BENCH_SERVE_CLIENTS_H
#define VORC_BENCH_SERVE_CLIENTS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace vorcbench {

// A `vorc serve` process on 127.0.0.1 and a port of its choosing, playing
// a stream file in a loop at `fps`; stopped (SIGTERM) when destroyed.
class ServeProcess {
public:
    ServeProcess(const std::string& vorc, const std::string& stream, const std::string& fps);
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;
    // 0 when the server did not start; the reason is on standard error.
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// One reader; counts parts by their Content-Length without keeping them.
class StreamReader {
public:
    explicit StreamReader(int port);
    ~StreamReader();
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    int fd() const { return fd_; }
    long images() const { return images_; }
    // Takes everything that has arrived.
    void pump();

private:
    void take(const char* bytes, size_t count);

    const int fd_;
    bool headerSeen_ = false;
    std::string head_;
    size_t skip_ = 0;
    long images_ = 0;
};

// Pumps the readers for `seconds` of wall time.
void pumpFor(const std::vector<StreamReader*>& readers, double seconds);

// Processor seconds of a process so far, user and system, all its threads.
double cpuSeconds(pid_t pid);

}  // namespace vorcbench

#endif
