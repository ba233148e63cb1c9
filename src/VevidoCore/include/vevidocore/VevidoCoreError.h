#pragma once

#include <exception>
#include <string>
#include <utility>

namespace vevidocore {

// The error of this library: a request that a configuration or the current state does not allow.
class VevidoCoreError : public std::exception {
public:
    enum class Case {
        invalidConfiguration,
    };

    VevidoCoreError(Case errorCase, std::string message)
        : case_(errorCase), message_(std::move(message)) {}

    static VevidoCoreError invalidConfiguration(std::string message) {
        return {Case::invalidConfiguration, std::move(message)};
    }

    Case errorCase() const noexcept { return case_; }
    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const VevidoCoreError& a, const VevidoCoreError& b) {
        return a.case_ == b.case_ && a.message_ == b.message_;
    }

private:
    Case case_;
    std::string message_;
};

}  // namespace vevidocore
