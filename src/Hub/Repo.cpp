#include "hub/Repo.h"

#include <fmt/format.h>

#include "hub/Config.h"
#include "hub/ConfigError.h"
#include "hub/YYJSONParser.h"

namespace hub {

std::string_view rawValue(RepoType type) noexcept {
    switch (type) {
        case RepoType::datasets:
            return "datasets";
        case RepoType::spaces:
            return "spaces";
        case RepoType::models:
            break;
    }
    return "models";
}

std::optional<RepoType> repoTypeFromRawValue(std::string_view text) noexcept {
    for (RepoType type : {RepoType::models, RepoType::datasets, RepoType::spaces}) {
        if (rawValue(type) == text) {
            return type;
        }
    }
    return std::nullopt;
}

std::string Repo::encodedJSON() const {
    return fmt::format(R"({{"id":{},"type":{}}})", Config(id).encodedJSON(),
                       Config(rawValue(type)).encodedJSON());
}

Repo Repo::decodedJSON(std::string_view json) {
    const Config value = YYJSONParser::parseToConfig(json);
    const auto* dictionary = value.dictionary();
    // Exact keys only: the lenient snake-case lookup of Config is not a coding rule.
    const auto field = [&](const char* key) -> Config {
        if (dictionary == nullptr) {
            throw ConfigError::typeConversionFailed(value.description(), "Repo");
        }
        const auto found = dictionary->find(BinaryDistinctString(key));
        if (found == dictionary->end()) {
            throw ConfigError::typeConversionFailed(fmt::format("no value for key \"{}\"", key),
                                                    "Repo");
        }
        return found->second;
    };
    const Config id = field("id");
    const Config type = field("type");
    const std::optional<std::string> idText =
        id.kind() == Config::Kind::string ? id.string() : std::nullopt;
    if (!idText) {
        throw ConfigError::typeConversionFailed(fmt::format("\"id\": {}", id.description()),
                                                "String");
    }
    const std::optional<RepoType> repoType =
        type.kind() == Config::Kind::string ? repoTypeFromRawValue(*type.string()) : std::nullopt;
    if (!repoType) {
        throw ConfigError::typeConversionFailed(fmt::format("\"type\": {}", type.description()),
                                                "RepoType");
    }
    return Repo(*idText, *repoType);
}

}  // namespace hub
