#include <system_error>
#include <unordered_set>

#include "FileReading.h"
#include "HubURL.h"
#include "hub/ConfigError.h"
#include "hub/HubApi.h"
#include "hub/YYJSONParser.h"
#include "vevidocore/GlobMatching.h"

namespace hub {

namespace {

// The value under `key` when `value` is a dictionary that has it (exact key, no lenient
// lookup), else null.
Config field(const Config& value, const char* key) {
    const auto* fields = value.dictionary();
    if (fields == nullptr) {
        return {};
    }
    const auto found = fields->find(BinaryDistinctString(key));
    return found == fields->end() ? Config() : found->second;
}

// The listing answer as the hub sends it; keys other than these are ignored.
HubApi::SiblingsResponse decodeSiblings(std::string_view body) {
    const Config answer = YYJSONParser::parseToConfig(body);
    const Config siblings = field(answer, "siblings");
    if (siblings.array() == nullptr) {
        throw ConfigError::typeConversionFailed(answer.description(), "SiblingsResponse");
    }
    HubApi::SiblingsResponse response;
    for (const Config& sibling : *siblings.array()) {
        const Config name = field(sibling, "rfilename");
        if (name.kind() != Config::Kind::string) {
            throw ConfigError::typeConversionFailed(sibling.description(), "Sibling");
        }
        response.siblings.push_back({*name.string()});
    }
    return response;
}

std::string readWholeFile(const std::filesystem::path& path) {
    std::error_code error;
    std::optional<std::string> bytes = detail::readFileBytes(path, error);
    if (!bytes) {
        throw std::filesystem::filesystem_error("cannot read file", path, error);
    }
    return std::move(*bytes);
}

bool isHidden(const std::filesystem::path& path) {
    return path.filename().string().starts_with(".");
}

}  // namespace

std::vector<std::string> HubApi::getFilenames(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs,
                                              std::stop_token stop) const {
    std::string url = detail::appendingPath(endpoint_, "api");
    url = detail::appendingPath(url, rawValue(repo.type));
    url = detail::appendingPath(url, repo.id);
    url = detail::appendingPath(url, "revision");
    url = detail::appendingPathComponent(url, revision);
    const auto [body, response] = httpGet(url, std::move(stop));
    std::vector<std::string> names;
    for (auto& sibling : decodeSiblings(body).siblings) {
        names.push_back(std::move(sibling.rfilename));
    }
    if (globs.empty()) {
        return names;
    }
    // Each selected name once, in the order in which the globs first select them.
    std::vector<std::string> selected;
    std::unordered_set<std::string> seen;
    for (const std::string& glob : globs) {
        for (std::string& name : vevidocore::matching(names, glob)) {
            if (seen.insert(name).second) {
                selected.push_back(std::move(name));
            }
        }
    }
    return selected;
}

std::vector<std::string> HubApi::getFilenames(const Repo& repo,
                                              const std::vector<std::string>& globs) const {
    return getFilenames(repo, "main", globs);
}

std::vector<std::string> HubApi::getFilenames(const Repo& repo, const std::string& glob) const {
    return getFilenames(repo, "main", std::vector<std::string>{glob});
}

Config HubApi::configuration(const std::filesystem::path& fileURL) const {
    const std::string bytes = readWholeFile(fileURL);
    try {
        return YYJSONParser::parseToConfig(bytes);
    } catch (const YYJSONParser::ParseError& error) {
        throw HubClientError::jsonSerialization(
            fileURL, "JSON parsing failed for " + detail::fileURLText(fileURL) + ": " +
                         error.errorDescription() +
                         ". If this is a private model, verify that HUB_TOKEN is set.");
    }
}

Config HubApi::configuration(const std::string& fileName, const Repo& repo) const {
    return configuration(localRepoLocation(repo) / fileName);
}

std::vector<std::filesystem::path> HubApi::getFileUrls(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    std::filesystem::recursive_directory_iterator walk(
        folder, std::filesystem::directory_options::skip_permission_denied, error);
    if (error) {
        return files;
    }
    for (; walk != std::filesystem::recursive_directory_iterator(); walk.increment(error)) {
        if (error) {
            break;
        }
        const std::filesystem::directory_entry& entry = *walk;
        if (isHidden(entry.path())) {
            walk.disable_recursion_pending();  // a hidden folder is not entered
            continue;
        }
        // The entry itself, not what a symbolic link points at.
        if (entry.is_regular_file(error) && !entry.is_symlink(error)) {
            files.push_back(entry.path());
        }
    }
    return files;
}

Config HubApi::whoami(std::stop_token stop) const {
    if (!hubToken_) {
        throw HubClientError::authorizationRequired();
    }
    std::string url = detail::appendingPath(endpoint_, "api");
    url = detail::appendingPath(url, "whoami-v2");
    const auto [body, response] = httpGet(url, std::move(stop));
    Config account = YYJSONParser::parseToConfig(body);
    if (account.kind() != Config::Kind::dictionary) {
        throw HubClientError::parse();
    }
    return account;
}

}  // namespace hub
