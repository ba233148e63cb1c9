#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "vevidocore/ModelDimensions.h"

namespace vevidocore {

// Operations on model files, and (from ModelDimensions) the dimension queries on loaded models.
// None of them fails: a lookup that finds nothing falls back to the compiled model's location or
// to absent, and the caller's load then reports the problem.
struct ModelUtilities : ModelDimensions {
    // The stage named `name` in `folder`: the compiled model ("<name>.mlmodelc") whenever it
    // exists, else the package's model file when that exists, else the compiled model's path.
    static std::filesystem::path detectModelURL(const std::filesystem::path& folder,
                                                std::string_view name);

    // With `recursive`, a compiled model of that name anywhere below the folder is found too
    // (packages are not searched for); without a match the folder's compiled model path.
    static std::filesystem::path detectModelURL(const std::filesystem::path& folder,
                                                std::string_view name, bool recursive);

    // The first compiled model directly in the folder, else the first package's model file, in
    // name order; absent for an empty, missing or unreadable folder.
    static std::optional<std::filesystem::path> detectModelURL(const std::filesystem::path& folder);
};

}  // namespace vevidocore
