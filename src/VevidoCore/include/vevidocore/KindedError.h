#pragma once

// An error made of a kind and the text that describes it, for the libraries whose error types
// differ only in their list of kinds.

#include <exception>
#include <string>
#include <utility>

namespace vevidocore {

// The accessors are protected: each error type publishes them under the names its library uses.
template <class Kind>
class KindedError : public std::exception {
public:
    KindedError(Kind kind, std::string description)
        : kind_(kind), description_(std::move(description)) {}

    const char* what() const noexcept override { return description_.c_str(); }

protected:
    Kind kind() const noexcept { return kind_; }
    const std::string& description() const noexcept { return description_; }

private:
    Kind kind_;
    std::string description_;
};

}  // namespace vevidocore
