#pragma once

#include <stdexcept>

namespace ml::whisper {

// Bad hyper-parameters, weights that do not fit them, or kernel inputs of the wrong size or
// content (a token id outside the vocabulary, a position beyond the learned ones).
class WhisperKernelError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace ml::whisper
