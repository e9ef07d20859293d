// Test support: signals that interrupt blocking calls. While an
// InterruptingSignals lives, SIGUSR1 has a handler that does nothing,
// installed without SA_RESTART, so that a blocking call of the thread it is
// sent to fails with EINTR instead of going on; a helper thread sends it to
// the thread that made the object after each of the given delays (counted
// from the start).
#ifndef VORC_TESTS_SUPPORT_INTERRUPTING_SIGNALS_H
#define VORC_TESTS_SUPPORT_INTERRUPTING_SIGNALS_H

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vorctest {

class InterruptingSignals {
public:
    explicit InterruptingSignals(std::vector<std::chrono::milliseconds> delays) {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &previous_);
        const pthread_t target = ::pthread_self();
        sender_ = std::thread([this, target, delays] {
            const auto start = std::chrono::steady_clock::now();
            std::unique_lock<std::mutex> lock(mutex_);
            for (const auto delay : delays) {
                if (stopping_.wait_until(lock, start + delay, [this] { return stop_; })) return;
                ++sent_;
                ::pthread_kill(target, SIGUSR1);
            }
        });
    }
    ~InterruptingSignals() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        stopping_.notify_all();
        sender_.join();
        sigaction(SIGUSR1, &previous_, nullptr);
    }
    InterruptingSignals(const InterruptingSignals&) = delete;
    InterruptingSignals& operator=(const InterruptingSignals&) = delete;

    // The signals sent so far.
    int sent() const { return sent_; }

private:
    struct sigaction previous_ {};
    std::mutex mutex_;
    std::condition_variable stopping_;
    bool stop_ = false;
    std::atomic<int> sent_{0};
    std::thread sender_;
};

}  // namespace vorctest

#endif
