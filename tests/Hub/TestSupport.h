#pragma once

// Small helpers for the hub client's tests: environment variables set for one test, and files
// with given contents.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "hub/EnvironmentError.h"
#include "hub/HubClientError.h"
#include "hub/NetworkMonitor.h"

namespace hub {

// Failures show their message in test output.
inline void PrintTo(const HubClientError& error, std::ostream* out) {
    *out << error.what();
}
inline void PrintTo(const EnvironmentError& error, std::ostream* out) {
    *out << error.what();
}

}  // namespace hub

namespace hub::testing {

// A path monitor that reports what the test tells it to.
class FakePathMonitor : public NetworkPathMonitor {
public:
    void start(UpdateHandler handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
        ++starts_;
    }
    void cancel() override {
        std::lock_guard lock(mutex_);
        handler_ = nullptr;
    }
    void report(const NetworkPath& path) {
        std::lock_guard lock(mutex_);
        if (handler_) {
            handler_(path);
        }
    }
    int starts() const {
        std::lock_guard lock(mutex_);
        return starts_;
    }

private:
    mutable std::mutex mutex_;
    UpdateHandler handler_;
    int starts_ = 0;
};

// Sets or unsets environment variables and puts the previous values back at the end.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    // One variable set (or, with none, unset) for the object's lifetime.
    ScopedEnvironment(const std::string& name, const std::optional<std::string>& value) {
        set(name, value);
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // None unsets the variable.
    void set(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.contains(name)) {
            const char* previous = std::getenv(name.c_str());
            saved_[name] = previous ? std::optional<std::string>(previous) : std::nullopt;
        }
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// The error of type Error that `body` throws; none when it returns.
template <class Error, class Body>
std::optional<Error> caught(Body&& body) {
    try {
        body();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

// Writes the bytes, making the parent folders.
inline std::filesystem::path writeFile(const std::filesystem::path& path,
                                       const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// The file URL text of a path made of plain characters (nothing to percent-encode).
inline std::string fileURL(const std::filesystem::path& path) {
    return "file://" + path.string();
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace hub::testing
