#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace hub {

// The kind of a hub repository. The raw values double as folder names in the local cache and as
// URL path segments.
enum class RepoType {
    models,
    datasets,
    spaces,
};

std::string_view rawValue(RepoType type) noexcept;
// Exact, case-sensitive: "models", "datasets" or "spaces"; anything else gives no value.
std::optional<RepoType> repoTypeFromRawValue(std::string_view text) noexcept;

// A repository on the hub: its identifier, owner "/" name, and its kind.
struct Repo {
    std::string id;
    RepoType type = RepoType::models;

    // A repository named by its id alone is a model repository.
    Repo(std::string id, RepoType type = RepoType::models) : id(std::move(id)), type(type) {}
    Repo(const char* id, RepoType type = RepoType::models) : id(id), type(type) {}

    friend bool operator==(const Repo&, const Repo&) = default;

    // {"id": ..., "type": ...}, in that order.
    std::string encodedJSON() const;
    // Needs "id" as text and "type" as one of the three raw values; other keys are ignored.
    // Malformed JSON raises YYJSONParser::ParseError, a missing or mistyped key ConfigError.
    static Repo decodedJSON(std::string_view json);
};

}  // namespace hub
