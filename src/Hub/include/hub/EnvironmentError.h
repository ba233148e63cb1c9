#pragma once

#include <exception>
#include <string>
#include <utility>

namespace hub {

// The hub client's error for its local cache and offline work: bad metadata records, offline
// failures, integrity checks and file writes.
class EnvironmentError : public std::exception {
public:
    enum class Case {
        invalidMetadataError,
        offlineModeError,
        fileIntegrityError,
        fileWriteError,
    };

    static EnvironmentError invalidMetadataError(std::string text) {
        return {Case::invalidMetadataError, std::move(text)};
    }
    static EnvironmentError offlineModeError(std::string text) {
        return {Case::offlineModeError, std::move(text)};
    }
    static EnvironmentError fileIntegrityError(std::string text) {
        return {Case::fileIntegrityError, std::move(text)};
    }
    static EnvironmentError fileWriteError(std::string text) {
        return {Case::fileWriteError, std::move(text)};
    }

    Case errorCase() const noexcept { return case_; }
    const std::string& text() const noexcept { return text_; }
    const std::string& errorDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const EnvironmentError& a, const EnvironmentError& b) {
        return a.case_ == b.case_ && a.text_ == b.text_;
    }

private:
    EnvironmentError(Case c, std::string text);

    Case case_;
    std::string text_;
    std::string description_;
};

}  // namespace hub
