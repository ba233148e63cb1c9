#pragma once

#include <cstdint>
#include <filesystem>

namespace ml {

// Turns a Whisper checkpoint folder (config.json, model.safetensors with the standard tensor
// names, generation_config.json with "alignment_heads", tokenizer files) into a model folder the
// runtime loads: MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc and TextDecoder.mlmodelc, each a
// description and (for the encoder and decoder) the stage's weights in half precision, plus
// copies of tokenizer.json, tokenizer_config.json, config.json and generation_config.json.
// No prefill bundle is made: decoding then runs the forced prompt through the decoder.
class WhisperConverter {
public:
    struct Options {
        // Positions of the decoder's key-value cache: the longest token context of a window.
        std::int64_t kvCacheLength = 224;
    };

    // Creates `output` when needed and replaces bundles of the same names; each bundle is built
    // beside its final place and moved in whole, so a failure never leaves half a bundle, and
    // half-built bundles left by a conversion that was killed are removed.
    // Throws ModelError (io) naming the file at fault when the checkpoint is incomplete or
    // malformed, a weight's shape disagrees with config.json, `output` is the checkpoint folder,
    // lies inside it or contains it, or the output cannot be written.
    static void convert(const std::filesystem::path& checkpoint,
                        const std::filesystem::path& output, const Options& options);
    static void convert(const std::filesystem::path& checkpoint,
                        const std::filesystem::path& output) {
        convert(checkpoint, output, Options{});
    }
};

}  // namespace ml
