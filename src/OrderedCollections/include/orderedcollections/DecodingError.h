#pragma once

#include <exception>
#include <string>
#include <utility>

namespace ordered {

// The one error of the ordered collections: reading a serialised form whose contents break the
// collection's rules (a repeated member or key, a key without a value). Everything else a caller
// can get wrong is a precondition, reported by std::out_of_range or std::invalid_argument.
// Errors of the reader itself pass through unchanged.
class DecodingError : public std::exception {
public:
    enum class Case { dataCorrupted };

    DecodingError(Case c, std::string message) : case_(c), message_(std::move(message)) {}

    static DecodingError dataCorrupted(std::string message) {
        return {Case::dataCorrupted, std::move(message)};
    }

    Case errorCase() const noexcept { return case_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Case case_;
    std::string message_;
};

}  // namespace ordered
