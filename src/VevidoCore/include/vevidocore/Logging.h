#pragma once

#include <fmt/format.h>

#include <atomic>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace vevidocore {

// How one item of a log line becomes text: a text stays itself, a number is written the way a
// reader of the log expects it (a double that holds a whole number keeps its ".0"), anything else
// by its description.
namespace detail {

template <class T>
concept LogText = std::convertible_to<const T&, std::string_view>;

template <class T>
concept HasDescriptionMember = requires(const T& v) {
    { v.description() } -> std::convertible_to<std::string_view>;
};

template <class T>
concept HasDescriptionFunction = requires(const T& v) {
    { description(v) } -> std::convertible_to<std::string_view>;
};

template <class T>
concept Streamable = requires(std::ostream& os, const T& v) {
    os << v;
};

template <std::floating_point T>
std::string renderFloatingPoint(T value) {
    std::string text = fmt::format("{}", value);
    if (std::isfinite(value) && text.find_first_of(".eE") == std::string::npos) {
        text += ".0";
    }
    return text;
}

template <class T>
std::string renderLogItem(const T& item) {
    if constexpr (LogText<T>) {
        return std::string(std::string_view(item));
    } else if constexpr (std::same_as<T, bool>) {
        return item ? "true" : "false";
    } else if constexpr (std::floating_point<T>) {
        return renderFloatingPoint(item);
    } else if constexpr (std::same_as<T, std::filesystem::path>) {
        return item.string();
    } else if constexpr (std::is_arithmetic_v<T>) {
        return fmt::format("{}", item);
    } else if constexpr (HasDescriptionMember<T>) {
        return std::string(std::string_view(item.description()));
    } else if constexpr (HasDescriptionFunction<T>) {
        return std::string(std::string_view(description(item)));
    } else if constexpr (fmt::is_formattable<T>::value) {
        return fmt::format("{}", item);
    } else {
        static_assert(Streamable<T>, "a log item needs a description, a formatter or operator<<");
        std::ostringstream stream;
        stream << item;
        return stream.str();
    }
}

template <class... Items>
std::string joinLogItems(std::string_view separator, const Items&... items) {
    std::string line;
    if constexpr (sizeof...(Items) > 0) {
        bool first = true;
        const auto append = [&](const auto& item) {
            if (!first) {
                line.append(separator);
            }
            first = false;
            line.append(renderLogItem(item));
        };
        (append(items), ...);
    }
    return line;
}

}  // namespace detail

// The one logger of the speech library and of this library. Lines pass a process-wide level and
// go to the installed callback, or, when none is installed, to the system log (standard error,
// or syslog once asked for).
//
// Level and callback may be changed from any thread while other threads log: the level is an
// atomic and the callback is swapped under a mutex, and a line is delivered to the callback that
// was installed when the line was emitted. The callback runs without any lock held, so it may log
// or replace itself.
class Logging {
public:
    enum class LogLevel : int {
        debug = 1,
        info = 2,
        error = 3,
        none = 4,
    };

    // Yields a level for the raw values 1 to 4 only.
    static std::optional<LogLevel> logLevelFromRawValue(int rawValue);

    // The system log's severity of a line.
    enum class LogType {
        debug,
        info,
        error,
    };

    // Where lines go while no callback is installed.
    enum class SystemLogDestination {
        standardError,
        syslog,
    };

    using Callback = std::function<void(const std::string&)>;

    // Separates the items of a line when given as the first argument of an entry point; a single
    // blank otherwise.
    struct Separator {
        std::string_view text;
    };

    static constexpr std::string_view category = "Vevido";
    static constexpr std::string_view subsystem = "org.quillora.vevidocore";

    // Made on first use, never replaced.
    static Logging& shared();

    Logging(const Logging&) = delete;
    Logging& operator=(const Logging&) = delete;

    LogLevel logLevel() const noexcept { return logLevel_.load(std::memory_order_relaxed); }
    void setLogLevel(LogLevel level) noexcept { logLevel_.store(level, std::memory_order_relaxed); }

    // A copy of the installed callback; empty when none is installed.
    Callback loggingCallback() const;
    // An empty function removes the callback, returning lines to the system log.
    void setLoggingCallback(Callback callback);

    SystemLogDestination systemLogDestination() const noexcept {
        return destination_.load(std::memory_order_relaxed);
    }
    void setSystemLogDestination(SystemLogDestination destination) noexcept {
        destination_.store(destination, std::memory_order_relaxed);
    }

    // Renders and delivers one line with the given type, whatever the level.
    template <class... Items>
    void log(Separator separator, LogType type, const Items&... items) {
        deliver(type, detail::joinLogItems(separator.text, items...));
    }
    template <class... Items>
    void log(LogType type, const Items&... items) {
        deliver(type, detail::joinLogItems(" ", items...));
    }

    template <class... Items>
    static void debug(const Items&... items) {
        emit(LogLevel::debug, LogType::debug, " ", items...);
    }
    template <class... Items>
    static void debug(Separator separator, const Items&... items) {
        emit(LogLevel::debug, LogType::debug, separator.text, items...);
    }
    template <class... Items>
    static void info(const Items&... items) {
        emit(LogLevel::info, LogType::info, " ", items...);
    }
    template <class... Items>
    static void info(Separator separator, const Items&... items) {
        emit(LogLevel::info, LogType::info, separator.text, items...);
    }
    template <class... Items>
    static void error(const Items&... items) {
        emit(LogLevel::error, LogType::error, " ", items...);
    }
    template <class... Items>
    static void error(Separator separator, const Items&... items) {
        emit(LogLevel::error, LogType::error, separator.text, items...);
    }

    // One line of a timing table: total milliseconds, runs, milliseconds per run and the share of
    // the full pipeline duration (given in milliseconds).
    static std::string formatTimeWithPercentage(double time, double runs,
                                                double fullPipelineDuration);

    // Resident memory of the process in whole mebibytes; 0 when it cannot be read.
    static std::uint64_t getMemoryUsage();
    // A debug line: the message, " - Memory usage: ", the size and " MB".
    static void logCurrentMemoryUsage(std::string_view message);

private:
    Logging() = default;

    static bool passes(LogLevel level) noexcept {
        return static_cast<int>(shared().logLevel()) <= static_cast<int>(level);
    }

    template <class... Items>
    static void emit(LogLevel level, LogType type, std::string_view separator,
                     const Items&... items) {
        // A line that does not pass costs one read of the level: nothing is rendered.
        if (!passes(level)) {
            return;
        }
        shared().deliver(type, detail::joinLogItems(separator, items...));
    }

    void deliver(LogType type, const std::string& line);
    void writeToSystemLog(LogType type, const std::string& line);

    std::atomic<LogLevel> logLevel_{LogLevel::none};
    std::atomic<SystemLogDestination> destination_{SystemLogDestination::standardError};
    mutable std::mutex callbackMutex_;
    std::shared_ptr<const Callback> loggingCallback_;
    std::once_flag syslogOpened_;
};

// The same readings as Logging's, for callers outside the type.
std::uint64_t getMemoryUsage();
void logCurrentMemoryUsage(std::string_view message);

}  // namespace vevidocore
