#include "vevidocore/ModelManager.h"

#include <cxxabi.h>
#include <condition_variable>
#include <typeinfo>

#include "vevidocore/CancellationError.h"
#include "vevidocore/Logging.h"
#include "vevidocore/VevidoCoreError.h"

namespace vevidocore {

namespace fs = std::filesystem;

struct ModelManager::Run {
    std::mutex mutex;
    std::condition_variable_any finished;
    bool done = false;
    std::exception_ptr error;
};

ModelManager::ModelManager(std::shared_ptr<ModelLoader> loader,
                           std::shared_ptr<ModelDownloader> downloader)
    : loader_(std::move(loader)), downloader_(std::move(downloader)) {}

ModelManager::~ModelManager() {
    if (inflightThread_.joinable())
        inflightThread_.join();
}

std::string ModelManager::loggerName() const {
    std::call_once(loggerNameOnce_, [this] {
        const char* mangled = typeid(*this).name();
        int status = 0;
        std::unique_ptr<char, void (*)(void*)> demangled(
            abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
        std::string name = status == 0 && demangled ? demangled.get() : mangled;
        // The unqualified name: what follows the last scope operator outside template arguments.
        int depth = 0;
        std::size_t start = 0;
        for (std::size_t i = 0; i < name.size(); ++i) {
            if (name[i] == '<')
                ++depth;
            else if (name[i] == '>')
                --depth;
            else if (depth == 0 && name[i] == ':' && i + 1 < name.size() && name[i + 1] == ':')
                start = i + 2;
        }
        loggerName_ = name.substr(start);
    });
    return loggerName_;
}

ModelState ModelManager::modelState() const {
    std::lock_guard lock(mutex_);
    return modelState_;
}

void ModelManager::setModelState(ModelState state) {
    ModelState old;
    StateCallback callback;
    {
        std::lock_guard lock(mutex_);
        old = modelState_;
        modelState_ = state;
        callback = modelStateCallback_;
    }
    if (old != state && callback)
        callback(old, state);
}

ModelManager::StateCallback ModelManager::modelStateCallback() const {
    std::lock_guard lock(mutex_);
    return modelStateCallback_;
}

void ModelManager::setModelStateCallback(StateCallback callback) {
    std::lock_guard lock(mutex_);
    modelStateCallback_ = std::move(callback);
}

std::optional<fs::path> ModelManager::modelPath() const {
    std::lock_guard lock(mutex_);
    return modelPath_;
}

std::optional<fs::path> ModelManager::modelFolder() const {
    if (auto folder = loader_->modelFolder())
        return fs::path(*folder);
    return std::nullopt;
}

bool ModelManager::isAvailable() const {
    const ModelState state = modelState();
    return state == ModelState::loading || state == ModelState::loaded ||
           state == ModelState::downloaded;
}

bool ModelManager::isLoaded() const {
    return modelState() == ModelState::loaded;
}

fs::path ModelManager::modelPathForLoad() const {
    if (auto path = modelPath())
        return *path;
    if (auto folder = modelFolder())
        return *folder;
    throw VevidoCoreError::invalidConfiguration(
        "No model path available. Call downloadModels() first, or provide modelFolder.");
}

void ModelManager::downloadModels(const ModelDownloader::ProgressCallback& progressCallback) {
    const std::string L = loggerName();
    const ModelState state = modelState();
    if (state != ModelState::unloaded) {
        Logging::debug(Logging::Separator{""}, "[", L,
                       "] Models already downloaded (state: ", description(state),
                       "), skipping download");
        return;
    }
    if (auto folder = loader_->modelFolder()) {
        Logging::debug(Logging::Separator{""}, "[", L, "] modelFolder is set, skipping download");
        {
            std::lock_guard lock(mutex_);
            modelPath_ = fs::path(*folder);
        }
        setModelState(ModelState::downloaded);
        return;
    }
    Logging::info(Logging::Separator{""}, "[", L, "] Starting download process...");
    setModelState(ModelState::downloading);
    std::string path;
    try {
        path = loader_->downloadModels(*downloader_, progressCallback);
    } catch (const std::exception& e) {
        setModelState(ModelState::unloaded);
        Logging::error(Logging::Separator{""}, "[", L, "] Failed to download models: ", e.what());
        throw;
    }
    {
        std::lock_guard lock(mutex_);
        modelPath_ = fs::path(path);
    }
    setModelState(ModelState::downloaded);
    Logging::info(Logging::Separator{""}, "[", L, "] Models downloaded to ", path);
}

void ModelManager::prewarmModels() {
    const std::string L = loggerName();
    if (modelState() == ModelState::unloaded)
        downloadModels();
    const fs::path path = modelPathForLoad();
    const ModelState state = modelState();
    if (state == ModelState::prewarmed) {
        Logging::debug(Logging::Separator{""}, "[", L, "] Models already prewarmed, skipping");
        return;
    }
    if (state != ModelState::downloaded) {
        throw VevidoCoreError::invalidConfiguration("Cannot prewarm in state: " +
                                                    std::string(description(state)));
    }
    setModelState(ModelState::prewarming);
    try {
        loader_->loadModels(path.string(), true);
    } catch (const std::exception& e) {
        setModelState(ModelState::unloaded);
        Logging::error(Logging::Separator{""}, "[", L, "] Failed to prewarm models: ", e.what());
        throw;
    }
    setModelState(ModelState::prewarmed);
    Logging::info(Logging::Separator{""}, "[", L, "] Models prewarmed successfully");
}

void ModelManager::loadModels() {
    const std::string L = loggerName();
    if (modelState() == ModelState::unloaded)
        downloadModels();
    const fs::path path = modelPathForLoad();
    const ModelState state = modelState();
    if (state == ModelState::loaded) {
        Logging::debug(Logging::Separator{""}, "[", L, "] Models already loaded, skipping");
        return;
    }
    if (state != ModelState::prewarmed && state != ModelState::downloaded) {
        throw VevidoCoreError::invalidConfiguration("Cannot load in state: " +
                                                    std::string(description(state)));
    }
    setModelState(ModelState::loading);
    try {
        loader_->loadModels(path.string(), false);
    } catch (const std::exception& e) {
        setModelState(ModelState::unloaded);
        Logging::error(Logging::Separator{""}, "[", L, "] Failed to load models: ", e.what());
        throw;
    }
    setModelState(ModelState::loaded);
    Logging::info(Logging::Separator{""}, "[", L, "] Models loaded successfully");
}

void ModelManager::unloadModels() {
    const ModelState state = modelState();
    if (state != ModelState::loaded && state != ModelState::prewarmed)
        return;
    setModelState(ModelState::unloading);
    loader_->unloadModels();
    setModelState(ModelState::unloaded);
}

void ModelManager::ensureModelsLoaded(std::stop_token stop) {
    if (modelState() == ModelState::loaded)
        return;
    std::shared_ptr<Run> run;
    {
        std::lock_guard lock(inflightMutex_);
        run = inflightLoad_;
        if (!run) {
            run = std::make_shared<Run>();
            inflightLoad_ = run;
            // The previous run's thread has left the slot already; joining it is immediate.
            inflightThread_ = std::jthread([this, run] {
                std::exception_ptr error;
                try {
                    if (modelState() != ModelState::loaded) {
                        downloadModels();
                        loadModels();
                    }
                } catch (...) {
                    error = std::current_exception();
                }
                {
                    std::lock_guard slot(inflightMutex_);
                    if (inflightLoad_ == run)
                        inflightLoad_.reset();
                }
                std::lock_guard done(run->mutex);
                run->error = error;
                run->done = true;
                run->finished.notify_all();
            });
        }
    }
    std::unique_lock lock(run->mutex);
    if (!run->finished.wait(lock, stop, [&] { return run->done; }))
        throw CancellationError();
    if (run->error)
        std::rethrow_exception(run->error);
}

}  // namespace vevidocore
