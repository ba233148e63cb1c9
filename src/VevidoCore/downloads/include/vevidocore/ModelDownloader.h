#pragma once

// Finding a model on disk, in the local hub cache or on the model hub, and fetching it when it is
// missing. The downloader holds only its configuration; every hub-facing call builds its own hub
// client. Downloaded folders that hold a standard Whisper checkpoint instead of stage bundles are
// converted once into a model folder, which is handed on in their place.

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "hub/HubApi.h"
#include "ml/ComputeUnits.h"
#include "vevidocore/ModelState.h"

namespace vevidocore {

// Where models come from and where they go.
struct ModelDownloadConfig {
    std::optional<std::string> downloadBase;  // root of the hub cache; absent: the client's default
    std::string modelRepo;                    // "owner/name"
    std::optional<std::string> modelToken;    // absent: the client discovers one
    std::optional<std::string> modelFolder;   // a folder that already holds models
    bool useBackgroundSession = false;
    std::string endpoint;
    std::string revision;
};

// Which model is meant, and the folder layout and hub glob that follow from it.
struct ModelInfo {
    std::optional<std::string> version;
    std::optional<std::string> variant;
    std::string name;
    ml::ComputeUnits computeUnits = ml::ComputeUnits::cpuOnly;

    // name "/" (version or "*") "/" (variant or "*") "/*"
    std::string downloadPattern() const;
    // baseURL / name [/ version] [/ variant]
    std::filesystem::path modelURL(const std::filesystem::path& baseURL) const;
    // The present ones of name, version, variant joined with "/".
    std::string description() const;
    std::string debugDescription() const;
    // Walks up from `url` to the first folder named `name` and returns its parent.
    std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& url) const;
};

// The one error the downloader raises itself; its description is the message.
class ModelDownloaderError : public std::exception {
public:
    enum class Case { modelUnavailable };

    static ModelDownloaderError modelUnavailable(std::string message) {
        return ModelDownloaderError(Case::modelUnavailable, std::move(message));
    }
    Case errorCase() const noexcept { return case_; }
    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    ModelDownloaderError(Case c, std::string message) : case_(c), message_(std::move(message)) {}
    Case case_;
    std::string message_;
};

// Objects that load a model from a location.
class MLModelLoading {
public:
    virtual ~MLModelLoading() = default;
    virtual void loadModel(const std::filesystem::path& url, ml::ComputeUnits computeUnits,
                           bool prewarmMode) = 0;
    // Whether a model is loaded now.
    virtual bool isModelLoaded() const = 0;
    void loadModel(const std::filesystem::path& url, ml::ComputeUnits computeUnits) {
        loadModel(url, computeUnits, false);
    }
};

class ModelDownloader {
public:
    using ProgressCallback = hub::HubApi::ProgressHandler;
    using StateCallback = std::function<void(ModelState)>;

    explicit ModelDownloader(ModelDownloadConfig config);
    ModelDownloader(const std::string& endpoint, const std::string& repoName,
                    std::optional<std::string> modelToken, const std::string& revision,
                    bool useBackgroundSession);
    virtual ~ModelDownloader() = default;

    const ModelDownloadConfig& config() const noexcept { return config_; }

    // The local repository folder after a snapshot limited to the model's glob. Offline (the flag
    // true), the local copy must already hold a file for the glob.
    virtual std::filesystem::path downloadModel(
        const ModelInfo& modelInfo, const std::optional<std::filesystem::path>& downloadBase,
        std::optional<bool> useOfflineMode, std::stop_token stop = {}) const;
    virtual std::filesystem::path localRepoLocation(
        const std::optional<std::filesystem::path>& downloadBase) const;
    // The model file: from the model folder, else the local cache, else a download (when allowed).
    virtual std::filesystem::path resolveModel(
        const std::string& name, const ModelInfo& modelInfo,
        const std::optional<std::filesystem::path>& modelFolder,
        const std::optional<std::filesystem::path>& downloadBase, bool download,
        const StateCallback& modelStateCallback = {}, std::stop_token stop = {}) const;
    virtual std::string resolveModelPath(const std::string& name, const ModelInfo& modelInfo,
                                         const std::optional<std::filesystem::path>& modelFolder,
                                         const std::optional<std::filesystem::path>& downloadBase,
                                         bool download,
                                         const StateCallback& modelStateCallback = {},
                                         std::stop_token stop = {}) const;
    // The local repository folder with every pattern present (fetched when allowed); a repository
    // holding a checkpoint gives its converted model folder.
    virtual std::filesystem::path resolveRepo(
        const std::vector<std::string>& patterns,
        const std::optional<std::filesystem::path>& downloadBase, bool download,
        const ProgressCallback& progressCallback = {}, std::stop_token stop = {}) const;
    virtual std::vector<std::string> fetchFilenames(
        const std::vector<std::string>& patterns,
        const std::optional<std::filesystem::path>& downloadBase, std::stop_token stop = {}) const;
    virtual std::optional<std::filesystem::path> modelURLIfExists(
        const std::filesystem::path& folder, const std::string& name) const;

private:
    std::optional<std::filesystem::path> resolvedDownloadBase(
        const std::optional<std::filesystem::path>& downloadBase) const;
    hub::HubApi hubClient(const std::optional<std::filesystem::path>& downloadBase,
                          std::optional<bool> useOfflineMode) const;
    hub::Repo repo() const;
    // The model file of `modelInfo` under a downloaded folder, converting a checkpoint found there.
    std::optional<std::filesystem::path> modelInDownload(const hub::HubApi& hubApi,
                                                         const std::filesystem::path& root,
                                                         const std::string& name,
                                                         const ModelInfo& modelInfo) const;

    ModelDownloadConfig config_;
};

}  // namespace vevidocore
