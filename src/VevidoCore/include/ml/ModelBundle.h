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
