#pragma once

#include <any>

namespace rararozuvu {

// What one pipeline stage hands the next. The shipped stages pass ml::MultiArray values and insist
// on receiving them; a stage a caller supplies may pass a type of its own between its neighbours.
//
// AudioProcessorOutputType: a window of samples, for the feature extractor.
// FeatureExtractorOutputType: the mel features, for the audio encoder.
// AudioEncoderOutputType: the encoder embeddings, for the text decoder.
using AudioProcessorOutputType = std::any;
using FeatureExtractorOutputType = std::any;
using AudioEncoderOutputType = std::any;

}  // namespace rararozuvu
