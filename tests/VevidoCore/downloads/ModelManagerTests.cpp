// The model manager's state machine and its single download-and-load for concurrent callers,
// with a loader that records what it is asked to do.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "vevidocore/CancellationError.h"
#include "vevidocore/Logging.h"
#include "vevidocore/ModelManager.h"
#include "vevidocore/VevidoCoreError.h"

namespace vevidocore {
namespace {

using S = ModelState;

class RecordingLoader : public ModelLoader {
public:
    std::optional<std::string> folder;
    std::string downloadedPath = "/models/downloaded";
    std::optional<std::string> failDownload;
    std::optional<std::string> failLoad;
    std::atomic<int> downloads{0};
    std::atomic<int> loads{0};
    std::atomic<int> unloads{0};
    std::vector<bool> prewarmModes;

    // While held, downloads wait: lets a test gather callers around one run.
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        released_.notify_all();
    }

    std::optional<std::string> modelFolder() const override { return folder; }
    std::string downloadModels(const ModelDownloader&,
                               const ModelDownloader::ProgressCallback&) override {
        {
            std::unique_lock lock(mutex_);
            released_.wait(lock, [&] { return !held_; });
        }
        ++downloads;
        if (failDownload)
            throw std::runtime_error(*failDownload);
        return downloadedPath;
    }
    void loadModels(const std::string& path, bool prewarmMode) override {
        ++loads;
        {
            std::lock_guard lock(mutex_);
            prewarmModes.push_back(prewarmMode);
            lastPath = path;
        }
        if (failLoad)
            throw std::runtime_error(*failLoad);
    }
    void unloadModels() override { ++unloads; }
    std::string lastPath;

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
};

struct Fixture {
    std::shared_ptr<RecordingLoader> loader = std::make_shared<RecordingLoader>();
    std::shared_ptr<ModelDownloader> downloader =
        std::make_shared<ModelDownloader>("http://127.0.0.1:9", "owner/repo", "", "main", false);
    ModelManager manager{loader, downloader};
    std::vector<std::pair<S, S>> changes;
    Fixture() {
        manager.setModelStateCallback([this](S o, S n) { changes.emplace_back(o, n); });
    }
};

std::string messageOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(ModelManager, ReportsOnlyChangesOfState) {
    Fixture f;
    f.manager.setModelState(S::unloaded);
    EXPECT_TRUE(f.changes.empty());
    f.manager.setModelState(S::downloaded);
    EXPECT_EQ(f.changes, (std::vector<std::pair<S, S>>{{S::unloaded, S::downloaded}}));
    EXPECT_TRUE(f.manager.isAvailable());
    f.manager.setModelState(S::prewarmed);
    EXPECT_FALSE(f.manager.isAvailable());
}

TEST(ModelManager, WalksThroughTheLifecycle) {
    Fixture f;
    f.manager.prewarmModels();
    f.manager.loadModels();
    f.manager.unloadModels();
    EXPECT_EQ(f.changes, (std::vector<std::pair<S, S>>{{S::unloaded, S::downloading},
                                                       {S::downloading, S::downloaded},
                                                       {S::downloaded, S::prewarming},
                                                       {S::prewarming, S::prewarmed},
                                                       {S::prewarmed, S::loading},
                                                       {S::loading, S::loaded},
                                                       {S::loaded, S::unloading},
                                                       {S::unloading, S::unloaded}}));
    EXPECT_EQ(f.loader->prewarmModes, (std::vector<bool>{true, false}));
    EXPECT_EQ(f.loader->lastPath, "/models/downloaded");
    EXPECT_EQ(f.manager.modelPath(), std::filesystem::path("/models/downloaded"));
}

TEST(ModelManager, AGivenFolderSkipsTheDownload) {
    Fixture f;
    f.loader->folder = "/given";
    f.manager.downloadModels();
    EXPECT_EQ(f.loader->downloads, 0);
    EXPECT_EQ(f.changes, (std::vector<std::pair<S, S>>{{S::unloaded, S::downloaded}}));
    EXPECT_EQ(f.manager.modelPath(), std::filesystem::path("/given"));
}

TEST(ModelManager, RefusesWhatTheStateDoesNotAllow) {
    const struct {
        S state;
        bool withPath;
        std::function<void(ModelManager&)> operation;
        const char* message;
    } cases[] = {
        {S::downloading, true, [](ModelManager& m) { m.loadModels(); },
         "Cannot load in state: Downloading"},
        {S::loaded, true, [](ModelManager& m) { m.prewarmModels(); },
         "Cannot prewarm in state: Loaded"},
        {S::prewarming, true, [](ModelManager& m) { m.prewarmModels(); },
         "Cannot prewarm in state: Specializing"},
        {S::loaded, false, [](ModelManager& m) { m.loadModels(); },
         "No model path available. Call downloadModels() first, or provide modelFolder."},
        {S::downloading, true, [](ModelManager& m) { m.ensureModelsLoaded(); },
         "Cannot load in state: Downloading"},
    };
    for (const auto& c : cases) {
        Fixture f;
        if (c.withPath)
            f.loader->folder = "/given";
        f.manager.setModelState(c.state);
        f.changes.clear();
        EXPECT_EQ(messageOf([&] { c.operation(f.manager); }), c.message);
        EXPECT_EQ(f.manager.modelState(), c.state);
        EXPECT_TRUE(f.changes.empty());
    }
}

TEST(ModelManager, SkipsWhatIsDoneAlready) {
    Fixture f;
    f.loader->folder = "/given";
    f.manager.setModelState(S::loaded);
    f.manager.loadModels();
    f.manager.downloadModels();
    f.manager.setModelState(S::downloaded);
    f.manager.unloadModels();  // nothing to unload in this state
    EXPECT_EQ(f.loader->loads, 0);
    EXPECT_EQ(f.loader->unloads, 0);
    EXPECT_EQ(f.loader->downloads, 0);
}

TEST(ModelManager, AFailedStepLeavesItUnloadedWithTheLoadersError) {
    Fixture f;
    f.loader->failLoad = "weights are missing";
    EXPECT_EQ(messageOf([&] { f.manager.loadModels(); }), "weights are missing");
    EXPECT_EQ(f.manager.modelState(), S::unloaded);
    EXPECT_EQ(f.manager.modelPath(), std::filesystem::path("/models/downloaded"));
}

TEST(ModelManager, ConcurrentCallersShareOneDownloadAndLoad) {
    Fixture f;
    f.loader->hold();
    constexpr int kCallers = 10;
    std::atomic<int> succeeded{0};
    std::latch started(kCallers);
    std::vector<std::jthread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&] {
            started.count_down();
            f.manager.ensureModelsLoaded();
            ++succeeded;
        });
    }
    started.wait();
    f.loader->release();
    callers.clear();
    EXPECT_EQ(succeeded, kCallers);
    EXPECT_EQ(f.loader->downloads, 1);
    EXPECT_EQ(f.loader->loads, 1);
    EXPECT_TRUE(f.manager.isLoaded());
}

TEST(ModelManager, EveryWaiterGetsTheSharedFailure) {
    Fixture f;
    f.loader->failDownload = "the hub answered 503";
    f.loader->hold();
    constexpr int kCallers = 10;
    std::mutex mutex;
    std::vector<std::string> messages;
    std::latch started(kCallers);
    std::vector<std::jthread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&] {
            started.count_down();
            const std::string message = messageOf([&] { f.manager.ensureModelsLoaded(); });
            std::lock_guard lock(mutex);
            messages.push_back(message);
        });
    }
    started.wait();
    f.loader->release();
    callers.clear();
    EXPECT_EQ(messages, std::vector<std::string>(kCallers, "the hub answered 503"));
    EXPECT_LE(f.loader->downloads, kCallers);  // late arrivals may start a run of their own
    EXPECT_EQ(f.manager.modelState(), S::unloaded);
    // The slot is free again: the next call runs anew.
    f.loader->failDownload.reset();
    f.manager.ensureModelsLoaded();
    EXPECT_TRUE(f.manager.isLoaded());
}

TEST(ModelManager, ACancelledWaiterLeavesTheSharedRunGoing) {
    Fixture f;
    f.loader->hold();
    std::stop_source cancel;
    std::string cancelledMessage;
    std::jthread cancelled([&] {
        cancelledMessage = messageOf([&] { f.manager.ensureModelsLoaded(cancel.get_token()); });
    });
    std::jthread patient([&] { f.manager.ensureModelsLoaded(); });
    cancel.request_stop();
    cancelled.join();
    EXPECT_EQ(cancelledMessage, CancellationError().what());
    f.loader->release();
    patient.join();
    EXPECT_TRUE(f.manager.isLoaded());
    EXPECT_EQ(f.loader->downloads, 1);
}

class CustomManager : public ModelManager {
public:
    using ModelManager::ModelManager;
};

TEST(ModelManager, LogsWithTheDynamicTypesName) {
    std::vector<std::string> lines;
    Logging::shared().setLogLevel(Logging::LogLevel::debug);
    Logging::shared().setLoggingCallback([&](std::string_view line) { lines.emplace_back(line); });
    auto loader = std::make_shared<RecordingLoader>();
    loader->folder = "/given";
    CustomManager manager(loader, std::make_shared<ModelDownloader>(
                                      "http://127.0.0.1:9", "owner/repo", "", "main", false));
    manager.downloadModels();
    Logging::shared().setLoggingCallback(nullptr);
    Logging::shared().setLogLevel(Logging::LogLevel::none);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find("[CustomManager] modelFolder is set, skipping download"),
              std::string::npos)
        << lines.front();
}

}  // namespace
}  // namespace vevidocore
