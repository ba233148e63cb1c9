#pragma once

// A private X server for one test: Xvfb on a free display number (it picks one itself and tells
// us through -displayfd), no TCP, one 1280×800 screen. DISPLAY points at it while it lives.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace quillora::testing {

class XvfbServer {
public:
    // Extra arguments go on the server's command line (e.g. "-extension", "XTEST" to leave an
    // extension out). Throws when the server does not come up within 10 s.
    explicit XvfbServer(const std::vector<std::string>& extraArguments = {});
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& display() const { return display_; }

private:
    std::unique_ptr<ChildProcess> process_;
    std::string display_;
    std::optional<std::string> previousDisplay_;
};

}  // namespace quillora::testing
