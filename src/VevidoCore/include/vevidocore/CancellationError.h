#pragma once

#include <exception>

namespace vevidocore {

// Work that stopped because its caller asked it to (through a std::stop_token) before it ran.
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "The operation was cancelled."; }
};

}  // namespace vevidocore
