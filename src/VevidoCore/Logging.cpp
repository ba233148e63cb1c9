#include "vevidocore/Logging.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

namespace vevidocore {

std::optional<Logging::LogLevel> Logging::logLevelFromRawValue(int rawValue) {
    if (rawValue < static_cast<int>(LogLevel::debug) ||
        rawValue > static_cast<int>(LogLevel::none)) {
        return std::nullopt;
    }
    return static_cast<LogLevel>(rawValue);
}

Logging& Logging::shared() {
    // A function-local static: its first use from several threads makes exactly one instance.
    static Logging instance;
    return instance;
}

Logging::Callback Logging::loggingCallback() const {
    std::lock_guard guard(callbackMutex_);
    return loggingCallback_ ? *loggingCallback_ : Callback{};
}

void Logging::setLoggingCallback(Callback callback) {
    std::shared_ptr<const Callback> installed;
    if (callback) {
        installed = std::make_shared<const Callback>(std::move(callback));
    }
    std::lock_guard guard(callbackMutex_);
    loggingCallback_.swap(installed);
    // The old callback is released after the lock, in case its captures log on destruction.
}

void Logging::deliver(LogType type, const std::string& line) {
    std::shared_ptr<const Callback> callback;
    {
        std::lock_guard guard(callbackMutex_);
        callback = loggingCallback_;
    }
    if (callback) {
        (*callback)(line);
        return;
    }
    writeToSystemLog(type, line);
}

namespace {

std::string_view typeName(Logging::LogType type) {
    switch (type) {
        case Logging::LogType::debug:
            return "debug";
        case Logging::LogType::info:
            return "info";
        case Logging::LogType::error:
            return "error";
    }
    return "info";
}

int syslogPriority(Logging::LogType type) {
    switch (type) {
        case Logging::LogType::debug:
            return LOG_DEBUG;
        case Logging::LogType::info:
            return LOG_INFO;
        case Logging::LogType::error:
            return LOG_ERR;
    }
    return LOG_INFO;
}

}  // namespace

void Logging::writeToSystemLog(LogType type, const std::string& line) {
    if (systemLogDestination() == SystemLogDestination::syslog) {
        std::call_once(syslogOpened_, [] {
            // openlog keeps the pointer, so the identifier must outlive the process's logging.
            static const std::string identifier = fmt::format("{} [{}]", subsystem, category);
            openlog(identifier.c_str(), LOG_PID, LOG_USER);
        });
        // The line is the one argument of a fixed format, never a format of its own.
        syslog(syslogPriority(type), "%s", line.c_str());
        return;
    }
    // One write per line keeps lines of different threads from interleaving.
    const std::string text = fmt::format("[{}] {}: {}\n", category, typeName(type), line);
    std::fwrite(text.data(), 1, text.size(), stderr);
}

std::string Logging::formatTimeWithPercentage(double time, double runs,
                                              double fullPipelineDuration) {
    const double milliseconds = time * 1000;
    const double perRun = runs > 0 ? milliseconds / runs : 0;
    double percentage = milliseconds / fullPipelineDuration * 100;
    // An undefined share prints as "nan" whatever sign bit the division left.
    if (std::isnan(percentage)) {
        percentage = std::numeric_limits<double>::quiet_NaN();
    }
    // Room for four fields of the largest finite double (at most 313 characters each).
    char buffer[1536];
    const int length =
        std::snprintf(buffer, sizeof buffer, "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%",
                      milliseconds, runs, perRun, percentage);
    if (length < 0) {
        return {};
    }
    return std::string(buffer, std::min(static_cast<std::size_t>(length), sizeof buffer - 1));
}

std::uint64_t getMemoryUsage() {
    // The second field of statm is the resident set in pages.
    std::ifstream statm("/proc/self/statm");
    std::uint64_t sizePages = 0;
    std::uint64_t residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) {
        return 0;
    }
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) {
        return 0;
    }
    return (residentPages * static_cast<std::uint64_t>(pageSize)) >> 20;
}

void logCurrentMemoryUsage(std::string_view message) {
    // Read whatever the level, so the cost of the reading does not depend on it.
    const std::uint64_t megabytes = getMemoryUsage();
    Logging::debug(fmt::format("{} - Memory usage: {} MB", message, megabytes));
}

std::uint64_t Logging::getMemoryUsage() {
    return vevidocore::getMemoryUsage();
}

void Logging::logCurrentMemoryUsage(std::string_view message) {
    vevidocore::logCurrentMemoryUsage(message);
}

}  // namespace vevidocore
