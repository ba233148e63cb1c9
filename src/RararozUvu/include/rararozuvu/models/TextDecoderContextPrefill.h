#pragma once

#include "rararozuvu/models/WhisperMLModel.h"

namespace rararozuvu {

// The "TextDecoderContextPrefill" stage: maps a task flag and a language token to the decoder's
// key-value cache rows of the forced prompt, standing in for the first decoder steps.
class TextDecoderContextPrefill : public WhisperMLModel {
public:
    TextDecoderContextPrefill() = default;
};

}  // namespace rararozuvu
