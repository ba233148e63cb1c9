#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

#include "ml/whisper/WhisperKernelError.h"

namespace ml::whisper {

// The shape of a Whisper checkpoint, as its config.json and generation_config.json give it.
struct WhisperHyperParameters {
    std::size_t numMelBins = 80;
    std::size_t dModel = 384;
    std::size_t encoderLayers = 4;
    std::size_t encoderAttentionHeads = 6;
    std::size_t encoderFfnDim = 1536;
    std::size_t decoderLayers = 4;
    std::size_t decoderAttentionHeads = 6;
    std::size_t decoderFfnDim = 1536;
    std::size_t vocabSize = 51864;
    std::size_t maxSourcePositions = 1500;  // encoder frames of one window
    std::size_t maxTargetPositions = 448;   // learned decoder positions
    // (decoder layer, head) pairs whose cross-attention follows the audio in time.
    std::vector<std::pair<std::size_t, std::size_t>> alignmentHeads;

    // Reads config.json and, when present, generation_config.json from a checkpoint folder.
    // The feed-forward widths default to 4 × d_model when config.json omits them.
    // Throws WhisperKernelError naming the file and key on a missing or malformed value.
    static WhisperHyperParameters fromCheckpoint(const std::filesystem::path& folder);
    // The same from the texts of the two files; an empty generation config means none.
    static WhisperHyperParameters fromJson(std::string_view config,
                                           std::string_view generationConfig = {});

    // Throws WhisperKernelError when the values cannot describe a model: zero sizes, a width
    // that the heads do not divide, an alignment head outside the decoder.
    void validate() const;
};

}  // namespace ml::whisper
