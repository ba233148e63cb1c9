#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace hub {

// The hub client's resource folder "radid-ozezivurired_Hub.bundle", with the per-model-type
// fallback tokenizer configurations.
//
// Looked for, once per process on first use, in the program's resource folder
// (<program folder>/../share/quillora) and then beside the program itself. A program shipped
// without it stops with "unable to find bundle named radid-ozezivurired_Hub".
const std::filesystem::path& moduleBundle();

// The places moduleBundle() tries, in order; an absent entry is a place the program lacks.
std::vector<std::optional<std::filesystem::path>> moduleBundleCandidates();

// The bundle folder inside the first candidate that has one.
std::optional<std::filesystem::path> findModuleBundle(
    const std::vector<std::optional<std::filesystem::path>>& candidates);

}  // namespace hub
