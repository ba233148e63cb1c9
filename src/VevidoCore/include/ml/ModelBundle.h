#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "ml/HyperParameters.h"
#include "ml/ModelDescription.h"

namespace ml {

// The description of a compiled model folder (`<Stage>.mlmodelc`), kept in the folder as
// "model.json" beside the weights:
//
//   {
//     "format": "quillora-model",
//     "formatVersion": 1,
//     "program": "AudioEncoder",
//     "hyperParameters": { "d_model": 384, "encoder_layers": 4, "alignment_heads": [[2, 2]] },
//     "inputs": [
//       { "name": "melspectrogram_features", "type": "multiArray", "dataType": "float32",
//         "shape": [1, 80, 1, 3000] }
//     ],
//     "outputs": [
//       { "name": "encoder_output_embeds", "type": "multiArray", "dataType": "float16",
//         "shape": [1, 384, 1, 1500], "optional": false }
//     ],
//     "metadata": { "source": "tiny-en-random" },
//     "weights": "weights.safetensors"
//   }
//
// - "program" names the program kind that computes the model (see ProgramRegistry); its
//   "hyperParameters" are booleans, integers, numbers, texts, lists of integers or lists of
//   integer lists (an empty list reads as a list of lists).
// - Each feature has a unique "name" and a "type" ("multiArray", "int64", "double", "string",
//   "image", ...). A multi-array feature also has its element "dataType" ("float16", "float32",
//   "float64", "int32", "int8") and its exact "shape" (positive dimensions). "optional" defaults
//   to false.
// - "metadata" is free text for people (source checkpoint, converter, licence); nothing reads it.
// - "weights" names a safetensors file inside the folder (half-precision tensors); a program
//   kind that needs no weights leaves it out.
//
// The Whisper program kinds all read the checkpoint's settings under their config.json names:
// "num_mel_bins", "d_model", "encoder_layers", "encoder_attention_heads", "encoder_ffn_dim",
// "decoder_layers", "decoder_attention_heads", "decoder_ffn_dim", "vocab_size",
// "max_source_positions", "max_target_positions", and "alignment_heads" ([layer, head] pairs).
// Each insists on the exact features it computes (E = decoder_layers × d_model, W =
// max_source_positions, S = "kv_cache_length"):
// - "MelSpectrogram", no weights: "audio" float32 [480000] -> "melspectrogram_features" float32
//   [1, num_mel_bins, 1, 3000].
// - "AudioEncoder", weights "model.encoder.*": "melspectrogram_features" float32
//   [1, num_mel_bins, 1, 2W] -> "encoder_output_embeds" float16 [1, d_model, 1, W].
// - "TextDecoder", weights "model.decoder.*", plus "kv_cache_length": "input_ids" and
//   "cache_length" int32 [1], "key_cache" and "value_cache" float16 [1, E, 1, S],
//   "kv_cache_update_mask" int32 [1, S], "encoder_output_embeds" float16 [1, d_model, 1, W],
//   "decoder_key_padding_mask" float16 [1, S] -> "logits" float16 [1, 1, vocab_size],
//   "key_cache_updates" and "value_cache_updates" float16 [1, E, 1, 1], and, when there are
//   alignment heads, "alignment_heads_weights" float16 [1, W].
// - "TextDecoderContextPrefill", plus "prefill_length" P, "first_language_token" and
//   "language_count" L, weights "key_cache_prefill" and "value_cache_prefill" float16
//   [2, L, E, P] (task 0 transcribe, 1 translate; then language): "task" and "language" int32 [1]
//   -> "key_cache_prefill" and "value_cache_prefill" float16 [1, E, 1, P].
struct ModelBundle {
    static constexpr const char* descriptionFileName = "model.json";
    static constexpr const char* format = "quillora-model";
    static constexpr int formatVersion = 1;

    std::string program;
    HyperParameters hyperParameters;
    ModelDescription description;
    std::optional<std::string> weights;

    // Reads "model.json" of the folder. Throws ModelError (io) naming the file and what is wrong:
    // a missing folder or file, malformed JSON, a missing or mistyped key, a duplicate feature, an
    // unknown type, a non-positive dimension, a weights name that leaves the folder.
    static ModelBundle read(const std::filesystem::path& folder);
    // Writes "model.json" into the folder (which must exist). Throws ModelError (io) on failure.
    void write(const std::filesystem::path& folder) const;
};

}  // namespace ml
