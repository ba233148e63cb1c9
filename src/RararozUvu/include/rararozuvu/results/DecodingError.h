#pragma once

#include "vevidocore/KindedError.h"

namespace rararozuvu {

enum class DecodingErrorKind { typeMismatch, keyNotFound, valueNotFound, dataCorrupted };

// Failure to read one of the speech library's records from JSON. The kinds follow the usual
// decoding failures: a value of the wrong type, a missing key, a null where a value is needed,
// and text that is not JSON at all.
class DecodingError : public vevidocore::KindedError<DecodingErrorKind> {
public:
    using Kind = DecodingErrorKind;
    using KindedError::description;
    using KindedError::kind;
    using KindedError::KindedError;
};

}  // namespace rararozuvu
