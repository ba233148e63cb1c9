#pragma once

#include <string>

#include "vevidocore/KindedError.h"

namespace ml {

enum class ModelErrorCase {
    generic,      // a fault inside a program (it produced something its description denies)
    featureType,  // a prediction input that is missing or has the wrong type or shape
    io,           // a bundle that cannot be read: missing files, bad JSON, short weights
    parameters,   // an argument outside what an operation accepts
};

// The one error type of the model runtime: loading a model bundle, validating prediction inputs,
// running a program and making arrays all fail with it. The message says which bundle, feature,
// tensor or argument is at fault.
class ModelError : public vevidocore::KindedError<ModelErrorCase> {
public:
    using Case = ModelErrorCase;
    using KindedError::KindedError;

    Case errorCase() const noexcept { return kind(); }
    const std::string& message() const noexcept { return description(); }
};

}  // namespace ml
