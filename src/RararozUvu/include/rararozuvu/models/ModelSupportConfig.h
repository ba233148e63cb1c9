#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "rararozuvu/models/DeviceSupport.h"
#include "rararozuvu/models/ModelSupport.h"

namespace rararozuvu {

// The model-support description of a model repository ("config.json"): for each device family,
// the models it can run and its default one.
//
// JSON: {"name": ..., "version": ..., "device_support": [{"chips"?: ..., "identifiers": [...],
// "models": {"default": ..., "supported": [...]}}]}; the derived fields and the disabled lists are
// never written.
struct ModelSupportConfig {
    std::string repoName;
    std::string repoVersion;
    std::vector<DeviceSupport> deviceSupports;
    // Derived at construction: every model any row supports, in row order and then list order,
    // each once.
    std::vector<std::string> knownModels;
    // Derived at construction: for devices no row matches, "openai_whisper-base" by default and
    // every known model supported.
    DeviceSupport defaultSupport;

    // With `includeFallback`, a repository whose name is part of the built-in table's name gets
    // its rows merged with the built-in rows (mergeDeviceSupport). Then the derived fields are
    // computed and every row's disabled list filled.
    ModelSupportConfig(std::string repoName, std::string repoVersion,
                       std::vector<DeviceSupport> deviceSupports, bool includeFallback = true);

    // The models of the row whose identifier is the longest prefix of `deviceName` (the earlier
    // row on a tie), else those of defaultSupport. Logs which it chose.
    ModelSupport modelSupport(std::string_view deviceName) const;

    // Each row's disabled list becomes the known models it does not support.
    void computeDisabledModels();

    // The remote rows, each extended by the models of the first fallback row that shares an
    // identifier with it, followed by the fallback rows that share none.
    static std::vector<DeviceSupport> mergeDeviceSupport(
        const std::vector<DeviceSupport>& remote, const std::vector<DeviceSupport>& fallback);

    // Throws EncodingError / DecodingError; decoding merges with the built-in table.
    std::string toJson() const;
    static ModelSupportConfig fromJson(std::string_view json);
};

}  // namespace rararozuvu
