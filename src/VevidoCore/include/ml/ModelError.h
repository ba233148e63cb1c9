#pragma once

#include <exception>
#include <string>

namespace ml {

// The one error type of the model runtime: loading a model bundle, validating prediction inputs,
// running a program and making arrays all fail with it. The message says which bundle, feature,
// tensor or argument is at fault.
class ModelError : public std::exception {
public:
    enum class Case {
        generic,      // a fault inside a program (it produced something its description denies)
        featureType,  // a prediction input that is missing or has the wrong type or shape
        io,           // a bundle that cannot be read: missing files, bad JSON, short weights
        parameters,   // an argument outside what an operation accepts
    };

    ModelError(Case c, std::string message) : case_(c), message_(std::move(message)) {}

    Case errorCase() const noexcept { return case_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Case case_;
    std::string message_;
};

}  // namespace ml
