#pragma once

#include "vevidocore/KindedError.h"

namespace rararozuvu {

enum class EncodingErrorKind { invalidValue };

// Failure to write one of the speech library's records as JSON: a value JSON has no form for
// (a non-finite number). Nothing is written when it is thrown.
class EncodingError : public vevidocore::KindedError<EncodingErrorKind> {
public:
    using Kind = EncodingErrorKind;
    using KindedError::description;
    using KindedError::kind;
    using KindedError::KindedError;
};

}  // namespace rararozuvu
