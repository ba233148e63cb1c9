#pragma once

#include <string>
#include <vector>

#include "vevidocore/Logging.h"

namespace rararozuvu::testing {

// Collects the shared logger's lines at the given level for the lifetime of the object, then
// puts the logger back to its quiet default.
class LogCapture {
public:
    explicit LogCapture(vevidocore::Logging::LogLevel level) {
        vevidocore::Logging::shared().setLogLevel(level);
        vevidocore::Logging::shared().setLoggingCallback(
            [this](const std::string& line) { lines.push_back(line); });
    }
    ~LogCapture() {
        vevidocore::Logging::shared().setLoggingCallback({});
        vevidocore::Logging::shared().setLogLevel(vevidocore::Logging::LogLevel::none);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines;
};

}  // namespace rararozuvu::testing
