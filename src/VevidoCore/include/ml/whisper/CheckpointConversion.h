#pragma once

#include <filesystem>
#include <optional>

namespace ml {

// Downloaded repositories may hold a standard Whisper checkpoint (config.json, model.safetensors
// and the tokenizer files) instead of stage bundles. These helpers turn such a folder into a model
// folder once and hand that on.

// A checkpoint folder: config.json and model.safetensors, and no decoder bundle.
bool isCheckpointFolder(const std::filesystem::path& folder);
// A model folder: the decoder bundle is there.
bool isModelFolder(const std::filesystem::path& folder);

// Makes `destination` a model folder converted from `checkpoint` and returns it. Nothing is done
// when `destination` already holds a conversion of the checkpoint as it is now (its files' names,
// sizes and modification times). The conversion is built in a temporary folder beside
// `destination` and moved into place whole, under a lock shared by every process, so a failed,
// interrupted or concurrent conversion never leaves a half-written model folder; temporary folders
// of interrupted runs are removed on the next one. Throws ModelError naming the file at fault.
std::filesystem::path convertCheckpointOnce(const std::filesystem::path& checkpoint,
                                            const std::filesystem::path& destination);

// The model folder for a folder of a download cache rooted at `cacheRoot`: the folder itself when
// it holds stage bundles, the conversion of its checkpoint (made once, under
// `cacheRoot`/"converted" at the folder's own relative place, so the cache's files and records stay
// as downloaded) when it holds a checkpoint, and nothing when it holds neither.
std::optional<std::filesystem::path> modelFolderFromDownload(
    const std::filesystem::path& folder, const std::filesystem::path& cacheRoot);

}  // namespace ml
