#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hub/Config.h"
#include "tokenizers/TokenizerError.h"

// Reading the component descriptions of a tokenizer description: what every factory shares.
namespace tokenizers::description {

// The "type" of a component description; nothing without a description or a string "type".
inline std::optional<std::string> componentType(const hub::Config* config) {
    if (config == nullptr)
        return std::nullopt;
    return (*config)["type"].string();
}

// The members of a sequence, built in order by `build` (which gives nothing for a member without
// a type; such members are skipped). A `key` that is not an array fails the description with
// `missingMessage`.
template <class Component, class Build>
std::vector<std::unique_ptr<Component>> sequenceMembers(const hub::Config& config, const char* key,
                                                        const char* missingMessage, Build&& build) {
    const hub::Config members = config[key];
    if (members.array() == nullptr)
        throw TokenizerError::invalidDescription(missingMessage);
    std::vector<std::unique_ptr<Component>> built;
    for (const hub::Config& member : *members.array()) {
        if (auto component = build(&member))
            built.push_back(std::move(component));
    }
    return built;
}

}  // namespace tokenizers::description
