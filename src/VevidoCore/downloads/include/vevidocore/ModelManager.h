#pragma once

// Drives one set of models through download, prewarm, load and unload, keeps the current state
// and reports every change of it. The model work itself belongs to a pluggable loader; the manager
// adds the order of steps, the messages, and one serialisation point: ensureModelsLoaded() runs
// a single download-and-load for all callers that arrive while one is in flight.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "vevidocore/ModelDownloader.h"
#include "vevidocore/ModelState.h"

namespace vevidocore {

class ModelLoader {
public:
    virtual ~ModelLoader() = default;
    // A folder that already holds the models; absent when they must be downloaded. Reading it has
    // no side effects.
    virtual std::optional<std::string> modelFolder() const = 0;
    // Fetches the models and returns the folder that holds them.
    virtual std::string downloadModels(
        const ModelDownloader& downloader,
        const ModelDownloader::ProgressCallback& progressCallback) = 0;
    virtual void loadModels(const std::string& path, bool prewarmMode) = 0;
    virtual void unloadModels() = 0;
};

class ModelManager {
public:
    using StateCallback = std::function<void(ModelState oldState, ModelState newState)>;

    ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader);
    // Waits for a run of ensureModelsLoaded() still in flight.
    virtual ~ModelManager();
    ModelManager(const ModelManager&) = delete;
    ModelManager& operator=(const ModelManager&) = delete;

    ModelState modelState() const;
    // Stores the state, then calls the callback (outside the lock) when it changed.
    void setModelState(ModelState state);
    StateCallback modelStateCallback() const;
    void setModelStateCallback(StateCallback callback);
    std::optional<std::filesystem::path> modelPath() const;
    std::optional<std::filesystem::path> modelFolder() const;
    const ModelDownloader& downloader() const { return *downloader_; }
    ModelLoader& loader() const { return *loader_; }
    bool isAvailable() const;
    bool isLoaded() const;

    // Download (when needed) and load, once for every caller that arrives while a run is in
    // flight: all of them get its outcome. A stop of one caller's token ends only that caller's
    // wait (with CancellationError); the shared run goes on.
    virtual void ensureModelsLoaded(std::stop_token stop = {});
    virtual void downloadModels(const ModelDownloader::ProgressCallback& progressCallback = {});
    virtual void prewarmModels();
    virtual void loadModels();
    virtual void unloadModels();

protected:
    // The name in the brackets of every log line: the dynamic type's unqualified name.
    std::string loggerName() const;

private:
    std::filesystem::path modelPathForLoad() const;

    std::shared_ptr<ModelLoader> loader_;
    std::shared_ptr<ModelDownloader> downloader_;

    mutable std::mutex mutex_;
    ModelState modelState_ = ModelState::unloaded;
    StateCallback modelStateCallback_;
    std::optional<std::filesystem::path> modelPath_;
    mutable std::once_flag loggerNameOnce_;
    mutable std::string loggerName_;

    // The download-and-load in flight, shared by every caller of ensureModelsLoaded(); it runs on
    // a thread of its own so that no caller's cancellation cuts it short.
    struct Run;
    std::mutex inflightMutex_;
    std::shared_ptr<Run> inflightLoad_;
    std::jthread inflightThread_;
};

}  // namespace vevidocore
