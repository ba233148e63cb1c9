#include "rararozuvu/RepositorySnapshot.h"

#include <fmt/format.h>

#include "hub/EnvironmentError.h"
#include "rararozuvu/ResultWriting.h"

namespace rararozuvu {

namespace fs = std::filesystem;

namespace {

std::string percentEncoded(std::string_view text, bool keepSlash) {
    std::string out;
    for (unsigned char c : text) {
        const bool plain = std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
                           (keepSlash && c == '/');
        out += plain ? std::string(1, static_cast<char>(c)) : fmt::format("%{:02X}", c);
    }
    return out;
}

std::string resolveURL(const hub::HubApi& hubApi, const hub::Repo& repo,
                       const std::string& revision, const std::string& file) {
    std::string base = hubApi.endpoint();
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    if (repo.type != hub::RepoType::models)
        base += "/" + std::string(hub::rawValue(repo.type));
    return fmt::format("{}/{}/resolve/{}/{}", base, percentEncoded(repo.id, true),
                       percentEncoded(revision, false), percentEncoded(file, true));
}

// The file appears whole or not at all: a transfer cut short leaves the old copy in place.
void storeFile(const fs::path& target, const std::string& contents) {
    fs::create_directories(target.parent_path());
    resultwriting::writeAtomically(target.string(), contents);
}

// A listed name that would leave the repository folder is never written.
bool isSafeRelativePath(const std::string& file) {
    const fs::path path(file);
    if (file.empty() || path.is_absolute())
        return false;
    for (const fs::path& part : path) {
        if (part == "..")
            return false;
    }
    return true;
}

}  // namespace

fs::path snapshot(const hub::HubApi& hubApi, const hub::Repo& repo, const std::string& revision,
                  const std::vector<std::string>& globs,
                  const DownloadProgressHandler& progressHandler, std::stop_token stop) {
    const fs::path folder = hubApi.localRepoLocation(repo);
    if (hubApi.isOffline()) {
        if (fs::is_directory(folder))
            return folder;
        throw hub::EnvironmentError::offlineModeError(
            fmt::format("Repository not available locally: {}", folder.string()));
    }
    const std::vector<std::string> files = hubApi.getFilenames(repo, revision, globs, stop);
    const std::shared_ptr<Progress> progress =
        Progress::make(static_cast<std::int64_t>(files.size()));
    if (progressHandler)
        progressHandler(*progress);
    std::int64_t done = 0;
    for (const std::string& file : files) {
        if (!isSafeRelativePath(file)) {
            throw hub::EnvironmentError::fileWriteError(
                fmt::format("Refusing to store {} outside {}", file, folder.string()));
        }
        const auto [body, response] =
            hubApi.httpGet(resolveURL(hubApi, repo, revision, file), stop);
        (void)response;
        storeFile(folder / file, body);
        progress->setCompletedUnitCount(++done);
        if (progressHandler)
            progressHandler(*progress);
    }
    fs::create_directories(folder);
    return folder;
}

}  // namespace rararozuvu
