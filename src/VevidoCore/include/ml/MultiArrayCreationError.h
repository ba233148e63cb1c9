#pragma once

#include <exception>

namespace ml {

// A half-precision multi-array whose backing buffer cannot be made (an empty shape).
class MultiArrayCreationError : public std::exception {
public:
    enum class Case { pixelBufferFailed };

    explicit MultiArrayCreationError(Case c = Case::pixelBufferFailed) : case_(c) {}

    Case errorCase() const noexcept { return case_; }
    const char* errorDescription() const noexcept { return what(); }
    const char* what() const noexcept override {
        return "Failed to create IOSurface-backed pixel buffer for MLMultiArray";
    }

    // Not defaulted: std::exception has no comparison to default it on.
    friend bool operator==(const MultiArrayCreationError& a,
                           const MultiArrayCreationError& b) noexcept {
        return a.case_ == b.case_;
    }

private:
    Case case_;
};

}  // namespace ml
