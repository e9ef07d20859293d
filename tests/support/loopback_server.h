// Test support: a one-shot HTTP-like server on 127.0.0.1 that stands in for a
// camera. It accepts a fixed number of connections one after the other,
// reads each request up to its empty line, and answers with fixed bytes.
// Every wait is bounded, so a test that goes wrong cannot hang on it.
#ifndef VORC_TESTS_SUPPORT_LOOPBACK_SERVER_H
#define VORC_TESTS_SUPPORT_LOOPBACK_SERVER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/stream_builder.h"

namespace vorctest {

class LoopbackServer {
public:
    // With holdReply, each answer waits until release() (or a time-out).
    explicit LoopbackServer(Bytes reply, int connections = 1, bool holdReply = false);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    void release() { released_ = true; }
    // Waits for the serving thread to end and returns the requests read.
    std::vector<std::string> finish();

private:
    void serve(int connections);
    void answer(int client);

    Bytes reply_;
    bool holdReply_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> released_{false};
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A TCP port on 127.0.0.1 bound but not listening, so connecting is refused.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Number of open descriptors of this process.
int openDescriptorCount();

}  // namespace vorctest

#endif
