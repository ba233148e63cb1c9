#include "XvfbServer.h"

#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "WaitFor.h"

namespace quillora::testing {

XvfbServer::XvfbServer(const std::vector<std::string>& extraArguments) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("XvfbServer: pipe failed");
    }
    ChildProcess::Options options;
    options.inheritFds = {fds[1]};
    std::vector<std::string> argv{"Xvfb",      "-displayfd",  std::to_string(fds[1]),
                                  "-nolisten", "tcp",         "-screen",
                                  "0",         "1280x800x24", "-noreset"};
    argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
    try {
        process_ = std::make_unique<ChildProcess>(argv, options);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    // The server writes its display number followed by a line feed once it accepts clients.
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    std::string number;
    bool done = waitFor([&] {
        char c;
        ssize_t n;
        while ((n = read(fds[0], &c, 1)) == 1) {
            if (c == '\n')
                return true;
            number += c;
        }
        return n == 0 || !process_->running();  // end of the pipe: the server is gone
    });
    close(fds[0]);
    if (!done || number.empty() || !process_->running()) {
        throw std::runtime_error("XvfbServer: Xvfb did not start (is the xvfb package installed?)");
    }
    display_ = ":" + number;
    if (const char* old = std::getenv("DISPLAY")) {
        previousDisplay_ = old;
    }
    setenv("DISPLAY", display_.c_str(), 1);
}

XvfbServer::~XvfbServer() {
    process_.reset();
    if (previousDisplay_) {
        setenv("DISPLAY", previousDisplay_->c_str(), 1);
    } else {
        unsetenv("DISPLAY");
    }
}

}  // namespace quillora::testing
