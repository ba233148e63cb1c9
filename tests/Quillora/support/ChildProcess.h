#pragma once

// A program started by a test and stopped when the test is done: SIGTERM, then SIGKILL if it
// has not ended within a second, and always reaped. Standard output can be read through a pipe.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace quillora::testing {

class ChildProcess {
public:
    struct Options {
        std::map<std::string, std::string> environment;  // added to (or replacing in) ours
        std::optional<std::string> standardInput;        // written, then closed
        bool captureStandardOutput = false;
        bool quiet = true;            // standard error to /dev/null
        std::vector<int> inheritFds;  // kept open in the child
    };

    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Options{}) {}
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Reads one line of standard output (without its line feed), or nothing at the deadline or
    // at the end of the output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Waits for the program to end by itself; its exit status, or nothing at the deadline.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void stop();

private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string pending_;
    std::optional<int> status_;
};

// Runs a program to its end and returns its exit code (-1 when it could not run or hit the
// deadline), with its standard output.
struct RunResult {
    int exitCode = -1;
    std::string output;
};
RunResult runProgram(const std::vector<std::string>& argv,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30),
                     const ChildProcess::Options& options = {});

}  // namespace quillora::testing
