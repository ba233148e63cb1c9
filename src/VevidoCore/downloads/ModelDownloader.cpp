#include "vevidocore/ModelDownloader.h"

#include <fmt/format.h>

#include <system_error>

#include "ml/whisper/CheckpointConversion.h"
#include "vevidocore/Logging.h"
#include "vevidocore/ModelUtilities.h"

namespace vevidocore {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = "[ModelDownloader] ";

bool existsAt(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// A pattern is present when the folder named by its leading glob-free components exists and
// lists at least one entry.
bool patternExists(const std::string& pattern, const fs::path& folder) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= pattern.size()) {
        const std::size_t slash = std::min(pattern.find('/', start), pattern.size());
        if (slash > start)
            components.push_back(pattern.substr(start, slash - start));
        start = slash + 1;
    }
    fs::path directory = folder;
    std::size_t taken = 0;
    for (const std::string& component : components) {
        if (component.find('*') != std::string::npos)
            break;
        directory /= component;
        ++taken;
    }
    if (taken == 0 || !existsAt(directory))
        return false;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    return !ec && it != fs::directory_iterator();
}

bool patternsExistLocally(const std::vector<std::string>& patterns, const fs::path& folder) {
    for (const std::string& pattern : patterns) {
        if (!patternExists(pattern, folder))
            return false;
    }
    return true;
}

}  // namespace

std::string ModelInfo::downloadPattern() const {
    return name + "/" + version.value_or("*") + "/" + variant.value_or("*") + "/*";
}

fs::path ModelInfo::modelURL(const fs::path& baseURL) const {
    fs::path url = baseURL / name;
    if (version)
        url /= *version;
    if (variant)
        url /= *variant;
    return url;
}

std::string ModelInfo::description() const {
    std::string text = name;
    for (const auto& part : {version, variant}) {
        if (part)
            text += "/" + *part;
    }
    return text;
}

std::string ModelInfo::debugDescription() const {
    return fmt::format("ModelInfo(name: {}, version: {}, variant: {}, computeUnit: {})", name,
                       version.value_or("nil"), variant.value_or("nil"),
                       ml::description(computeUnits));
}

std::optional<fs::path> ModelInfo::findBaseFolder(const fs::path& url) const {
    const auto count = [](const fs::path& p) { return std::distance(p.begin(), p.end()); };
    fs::path current = url;
    if (count(current) < 2)
        return std::nullopt;
    while (count(current) > 1) {
        if (current.filename() == name)
            return current.parent_path();
        current = current.parent_path();
    }
    return std::nullopt;
}

ModelDownloader::ModelDownloader(ModelDownloadConfig config) : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(const std::string& endpoint, const std::string& repoName,
                                 std::optional<std::string> modelToken, const std::string& revision,
                                 bool useBackgroundSession)
    : ModelDownloader(ModelDownloadConfig{.downloadBase = std::nullopt,
                                          .modelRepo = repoName,
                                          .modelToken = std::move(modelToken),
                                          .modelFolder = std::nullopt,
                                          .useBackgroundSession = useBackgroundSession,
                                          .endpoint = endpoint,
                                          .revision = revision}) {}

std::optional<fs::path> ModelDownloader::resolvedDownloadBase(
    const std::optional<fs::path>& downloadBase) const {
    if (downloadBase)
        return downloadBase;
    if (config_.downloadBase)
        return fs::path(*config_.downloadBase);
    return std::nullopt;
}

hub::HubApi ModelDownloader::hubClient(const std::optional<fs::path>& downloadBase,
                                       std::optional<bool> useOfflineMode) const {
    return hub::HubApi(hub::HubApi::Options{.downloadBase = downloadBase,
                                            .hubToken = config_.modelToken,
                                            .endpoint = config_.endpoint,
                                            .useBackgroundSession = config_.useBackgroundSession,
                                            .useOfflineMode = useOfflineMode});
}

hub::Repo ModelDownloader::repo() const {
    return hub::Repo(config_.modelRepo, hub::RepoType::models);
}

fs::path ModelDownloader::downloadModel(const ModelInfo& modelInfo,
                                        const std::optional<fs::path>& downloadBase,
                                        std::optional<bool> useOfflineMode,
                                        std::stop_token stop) const {
    const std::string glob = modelInfo.downloadPattern();
    const hub::HubApi hubApi = hubClient(resolvedDownloadBase(downloadBase), useOfflineMode);
    if (useOfflineMode.value_or(false)) {
        Logging::debug(fmt::format(
            "{}Searching for models matching \"{}\" in Repo(id: \"{}\", type: Hub.RepoType.{})",
            kPrefix, glob, config_.modelRepo, hub::rawValue(hub::RepoType::models)));
        if (hubApi.getFilenames(repo(), config_.revision, {glob}, stop).empty()) {
            throw ModelDownloaderError::modelUnavailable(
                fmt::format("No models found matching \"{}\" in {}", glob, config_.modelRepo));
        }
        Logging::debug(Logging::Separator{""}, kPrefix, "Downloading model ", glob,
                       " with offline mode: true");
    } else {
        Logging::debug(Logging::Separator{""}, kPrefix, "Downloading model ", glob,
                       " with offline mode: false");
    }
    return hubApi.snapshot(repo(), config_.revision, std::vector<std::string>{glob},
                           hub::HubApi::ProgressHandler{}, stop);
}

fs::path ModelDownloader::localRepoLocation(const std::optional<fs::path>& downloadBase) const {
    return hubClient(resolvedDownloadBase(downloadBase), std::nullopt).localRepoLocation(repo());
}

std::optional<fs::path> ModelDownloader::modelInDownload(const hub::HubApi& hubApi,
                                                         const fs::path& root,
                                                         const std::string& name,
                                                         const ModelInfo& modelInfo) const {
    const fs::path folder = modelInfo.modelURL(root);
    if (auto url = modelURLIfExists(folder, name))
        return url;
    if (!ml::isCheckpointFolder(folder))
        return std::nullopt;
    const auto converted = ml::modelFolderFromDownload(folder, hubApi.downloadBase());
    return converted ? modelURLIfExists(*converted, name) : std::nullopt;
}

fs::path ModelDownloader::resolveModel(const std::string& name, const ModelInfo& modelInfo,
                                       const std::optional<fs::path>& modelFolder,
                                       const std::optional<fs::path>& downloadBase, bool download,
                                       const StateCallback& modelStateCallback,
                                       std::stop_token stop) const {
    const std::optional<fs::path> folder =
        modelFolder
            ? modelFolder
            : (config_.modelFolder ? std::optional<fs::path>(*config_.modelFolder) : std::nullopt);
    if (folder) {
        if (auto url = modelURLIfExists(modelInfo.modelURL(*folder), name)) {
            Logging::debug(Logging::Separator{""}, kPrefix, "Found ", name, " in model folder");
            return *url;
        }
    }
    const std::optional<fs::path> base = resolvedDownloadBase(downloadBase);
    const hub::HubApi hubApi = hubClient(base, std::nullopt);
    try {
        const fs::path cached = downloadModel(modelInfo, base, true, stop);
        if (auto url = modelInDownload(hubApi, cached, name, modelInfo)) {
            Logging::debug(Logging::Separator{""}, kPrefix, "Found existing ", name, " in cache");
            if (modelStateCallback)
                modelStateCallback(ModelState::downloaded);
            return *url;
        }
    } catch (const std::exception&) {
        // The cache could not answer; the download below decides.
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No model found for " + name +
                                                     " (download disabled)");
    }
    if (modelStateCallback)
        modelStateCallback(ModelState::downloading);
    const fs::path downloaded = downloadModel(modelInfo, base, std::nullopt, stop);
    if (auto url = modelInDownload(hubApi, downloaded, name, modelInfo)) {
        Logging::debug(Logging::Separator{""}, kPrefix, "Downloaded ", name);
        if (modelStateCallback)
            modelStateCallback(ModelState::downloaded);
        return *url;
    }
    throw ModelDownloaderError::modelUnavailable("No model found for " + name);
}

std::string ModelDownloader::resolveModelPath(const std::string& name, const ModelInfo& modelInfo,
                                              const std::optional<fs::path>& modelFolder,
                                              const std::optional<fs::path>& downloadBase,
                                              bool download,
                                              const StateCallback& modelStateCallback,
                                              std::stop_token stop) const {
    return resolveModel(name, modelInfo, modelFolder, downloadBase, download, modelStateCallback,
                        stop)
        .string();
}

fs::path ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                      const std::optional<fs::path>& downloadBase, bool download,
                                      const ProgressCallback& progressCallback,
                                      std::stop_token stop) const {
    const std::optional<fs::path> base = resolvedDownloadBase(downloadBase);
    const hub::HubApi local = hubClient(base, std::nullopt);
    const fs::path location = local.localRepoLocation(repo());
    // A repository that is a checkpoint hands on its converted model folder.
    const auto handOn = [&](const fs::path& folder) {
        if (!ml::isCheckpointFolder(folder))
            return folder;
        return *ml::modelFolderFromDownload(folder, local.downloadBase());
    };
    if (patternsExistLocally(patterns, location)) {
        Logging::debug(Logging::Separator{""}, kPrefix, "All models found in local cache at ",
                       location.string());
        return handOn(location);
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable(
            "No local models found for repo '" + config_.modelRepo + "' and download is disabled.");
    }
    Logging::info(fmt::format("{}Downloading {} model(s) from {}...", kPrefix, patterns.size(),
                              config_.modelRepo));
    const fs::path folder =
        local.snapshot(repo(), config_.revision, patterns,
                       progressCallback ? progressCallback
                                        : hub::HubApi::ProgressHandler([](const hub::Progress&) {}),
                       stop);
    Logging::info(Logging::Separator{""}, kPrefix, "Download complete: ", folder.string());
    return handOn(folder);
}

std::vector<std::string> ModelDownloader::fetchFilenames(
    const std::vector<std::string>& patterns, const std::optional<fs::path>& downloadBase,
    std::stop_token stop) const {
    return hubClient(resolvedDownloadBase(downloadBase), std::nullopt)
        .getFilenames(repo(), config_.revision, patterns, stop);
}

std::optional<fs::path> ModelDownloader::modelURLIfExists(const fs::path& folder,
                                                          const std::string& name) const {
    const fs::path url = ModelUtilities::detectModelURL(folder, name);
    if (existsAt(url))
        return url;
    return std::nullopt;
}

}  // namespace vevidocore
