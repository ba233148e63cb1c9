#pragma once

#include <exception>
#include <string>

namespace rararozuvu {

// Failure to write one of the speech library's records as JSON: a value JSON has no form for
// (a non-finite number). Nothing is written when it is thrown.
class EncodingError : public std::exception {
public:
    enum class Kind { invalidValue };

    EncodingError(Kind kind, std::string description)
        : kind_(kind), description_(std::move(description)) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    Kind kind_;
    std::string description_;
};

}  // namespace rararozuvu
