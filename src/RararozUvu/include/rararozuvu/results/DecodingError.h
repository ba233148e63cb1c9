#pragma once

#include <exception>
#include <string>

namespace rararozuvu {

// Failure to read one of the speech library's records from JSON. The kinds follow the usual
// decoding failures: a value of the wrong type, a missing key, a null where a value is needed,
// and text that is not JSON at all.
class DecodingError : public std::exception {
public:
    enum class Kind { typeMismatch, keyNotFound, valueNotFound, dataCorrupted };

    DecodingError(Kind kind, std::string description)
        : kind_(kind), description_(std::move(description)) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    Kind kind_;
    std::string description_;
};

}  // namespace rararozuvu
