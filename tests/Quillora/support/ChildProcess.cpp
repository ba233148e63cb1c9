#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quillora::testing {

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text(*entry);
        auto equals = text.find('=');
        if (equals != std::string::npos) {
            merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [key, value] : extra) {
        merged[key] = value;
    }
    std::vector<std::string> result;
    for (const auto& [key, value] : merged) {
        result.push_back(key + "=" + value);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
    if (argv.empty()) {
        throw std::invalid_argument("ChildProcess: no program");
    }
    int inPipe[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    if (options.standardInput && pipe2(inPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    if (options.captureStandardOutput && pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.standardInput) {
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (options.captureStandardOutput) {
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    }
    if (options.quiet) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    // dup2 onto itself clears close-on-exec for the descriptors the child must keep.
    for (int fd : options.inheritFds) {
        posix_spawn_file_actions_adddup2(&actions, fd, fd);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so a stop also reaches what it starts.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<std::string> args = argv;
    auto env = mergedEnvironment(options.environment);
    auto argp = pointers(args);
    auto envp = pointers(env);
    int rc = posix_spawnp(&pid_, args[0].c_str(), &actions, &attributes, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (options.standardInput) {
        close(inPipe[0]);
    }
    if (options.captureStandardOutput) {
        close(outPipe[1]);
        stdoutFd_ = outPipe[0];
    }
    if (rc != 0) {
        if (inPipe[1] >= 0)
            close(inPipe[1]);
        if (stdoutFd_ >= 0)
            close(stdoutFd_);
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    if (options.standardInput) {
        const std::string& text = *options.standardInput;
        signal(SIGPIPE, SIG_IGN);
        size_t written = 0;
        while (written < text.size()) {
            ssize_t n = write(inPipe[1], text.data() + written, text.size() - written);
            if (n <= 0)
                break;
            written += static_cast<size_t>(n);
        }
        close(inPipe[1]);
    }
}

ChildProcess::~ChildProcess() {
    stop();
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
    }
}

bool ChildProcess::running() {
    if (pid_ < 0 || status_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        if (stdoutFd_ < 0) {
            return std::nullopt;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd fd{stdoutFd_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t n = read(stdoutFd_, buffer, sizeof buffer);
        if (n <= 0) {
            close(stdoutFd_);
            stdoutFd_ = -1;
            if (!pending_.empty()) {
                return std::exchange(pending_, std::string());
            }
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

void ChildProcess::stop() {
    if (!running()) {
        return;
    }
    kill(-pid_, SIGTERM);
    if (!wait(std::chrono::seconds(1))) {
        kill(-pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = 128 + SIGKILL;
    }
}

RunResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                     const ChildProcess::Options& options) {
    ChildProcess::Options withOutput = options;
    withOutput.captureStandardOutput = true;
    ChildProcess child(argv, withOutput);
    RunResult result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto line = child.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
        result.output += *line + "\n";
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (auto status = child.wait(std::max(left, std::chrono::milliseconds(0)))) {
        result.exitCode = *status;
    }
    return result;
}

}  // namespace quillora::testing
