// Test support: runs the vorc tool (or any program) as a child process, as a
// user would, with bounded waits. The child is killed when the object dies,
// so a failing test never leaves it running.
#ifndef VORC_TESTS_SUPPORT_CHILD_PROCESS_H
#define VORC_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace vorctest {

class ChildProcess {
public:
    // Starts the program with the arguments; standard output goes to
    // stdoutPath (or /dev/null when empty), standard error to a pipe.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& stdoutPath = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads standard error until a line contains text; returns that line,
    // or an empty string after the time limit or the end of the output.
    std::string waitForLine(const std::string& text, int timeoutMillis);
    // Waits for the exit and returns the exit status, or -1 (still running
    // after the time limit, or killed by a signal). Collects standard error.
    int wait(int timeoutMillis);
    void signal(int number);
    const std::string& standardError() const { return errorText_; }

private:
    bool readSome(int timeoutMillis);

    pid_t pid_ = -1;
    int errorFd_ = -1;
    std::string errorText_;
    size_t scanned_ = 0;
};

}  // namespace vorctest

#endif
