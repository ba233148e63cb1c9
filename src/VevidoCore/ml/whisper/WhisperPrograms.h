#pragma once

#include <cstdint>
#include <vector>

#include "ml/HyperParameters.h"
#include "ml/ModelDescription.h"
#include "ml/whisper/WhisperHyperParameters.h"

namespace ml {

class ProgramRegistry;

// Registers the program kinds of the four Whisper stages.
void addWhisperPrograms(ProgramRegistry& registry);

// The Whisper stages' settings as a bundle stores them, under the names of a checkpoint's
// config.json ("d_model", "encoder_layers" ...) plus "alignment_heads".
HyperParameters bundleHyperParameters(const whisper::WhisperHyperParameters& p);
// Throws ModelError (io) when a setting is missing or the settings describe no model.
whisper::WhisperHyperParameters whisperHyperParameters(const HyperParameters& h);

// The features of each stage, as its program computes them. The converter writes these and the
// programs insist on them, so a description always says what its program does.
struct WhisperFeatures {
    std::vector<FeatureDescription> inputs;
    std::vector<FeatureDescription> outputs;
};
WhisperFeatures melSpectrogramFeatures(const whisper::WhisperHyperParameters& p);
WhisperFeatures audioEncoderFeatures(const whisper::WhisperHyperParameters& p);
// kvCacheLength: positions of the decoder's key-value cache (the longest token context).
WhisperFeatures textDecoderFeatures(const whisper::WhisperHyperParameters& p,
                                    std::int64_t kvCacheLength);
// prefillLength: cache positions the prefill fills (the forced prompt before the first step).
WhisperFeatures textDecoderContextPrefillFeatures(const whisper::WhisperHyperParameters& p,
                                                  std::int64_t prefillLength);

}  // namespace ml
