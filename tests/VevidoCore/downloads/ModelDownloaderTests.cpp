// The model downloader against the loopback test hub: the lookup order (model folder, cache,
// download), its messages, and checkpoint repositories converted once into model folders.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "../TempFolder.h"
#include "TestHub.h"
#include "ml/whisper/CheckpointConversion.h"
#include "vevidocore/ModelDownloader.h"
#include "vevidocore/ModelManager.h"

namespace vevidocore {
namespace {

namespace fs = std::filesystem;
using hub::testing::TestHub;

const fs::path kCheckpoint = fs::path(QUILLORA_SHARED_DIR) / "models" / "tiny-en-synth";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Files below `root` whose names mark unfinished work: partial downloads and conversions.
std::vector<std::string> leftovers(const fs::path& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".incomplete") || name.find(".converting-") != std::string::npos ||
            name.find(".partial-") != std::string::npos)
            found.push_back(entry.path().string());
    }
    return found;
}

// The machine's network monitor must not decide whether a test goes online.
class Online {
public:
    Online() { setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1); }
    ~Online() { unsetenv("CI_DISABLE_NETWORK_MONITOR"); }
};

class ModelDownloaderTest : public ::testing::Test {
protected:
    Online online_;
    testing::TempFolder base_;
    TestHub hub_;
    const hub::Repo repo_{"owner/models"};
    ModelDownloader downloader_{ModelDownloadConfig{.downloadBase = base_.path().string(),
                                                    .modelRepo = "owner/models",
                                                    .modelToken = "",
                                                    .modelFolder = std::nullopt,
                                                    .useBackgroundSession = false,
                                                    .endpoint = hub_.endpoint(),
                                                    .revision = "main"}};
    const ModelInfo enc_{.version = "3", .variant = std::nullopt, .name = "enc"};
};

TEST(ModelInfo, TextsAndFolders) {
    const ModelInfo bare{.version = std::nullopt, .variant = std::nullopt, .name = "enc"};
    const ModelInfo full{
        .version = "3", .variant = "q8", .name = "enc", .computeUnits = ml::ComputeUnits::all};
    EXPECT_EQ(bare.downloadPattern(), "enc/*/*/*");
    EXPECT_EQ(full.downloadPattern(), "enc/3/q8/*");
    EXPECT_EQ(bare.description(), "enc");
    EXPECT_EQ(full.description(), "enc/3/q8");
    EXPECT_EQ(bare.debugDescription(),
              "ModelInfo(name: enc, version: nil, variant: nil, computeUnit: cpuOnly)");
    EXPECT_EQ(full.modelURL("/m"), fs::path("/m/enc/3/q8"));
    EXPECT_EQ(bare.modelURL("/m"), fs::path("/m/enc"));
    EXPECT_EQ(bare.findBaseFolder("/a/enc/b/c"), fs::path("/a"));
    EXPECT_EQ(bare.findBaseFolder("/enc/x"), fs::path("/"));
    EXPECT_EQ(bare.findBaseFolder("/"), std::nullopt);
    EXPECT_EQ(bare.findBaseFolder("/a/b"), std::nullopt);
}

TEST_F(ModelDownloaderTest, LooksInTheFolderThenTheCacheThenTheHub) {
    hub_.addFile(repo_, "enc/3/enc.mlmodelc/model.json", "{}");
    std::vector<ModelState> states;
    const auto record = [&](ModelState s) { states.push_back(s); };

    // Not anywhere yet, and downloads are off.
    try {
        downloader_.resolveModel("enc", enc_, std::nullopt, std::nullopt, false, record);
        FAIL() << "resolved without a model";
    } catch (const ModelDownloaderError& e) {
        EXPECT_STREQ(e.what(), "No model found for enc (download disabled)");
    }
    const fs::path url =
        downloader_.resolveModel("enc", enc_, std::nullopt, std::nullopt, true, record);
    EXPECT_EQ(url, base_.path() / "models/owner/models/enc/3/enc.mlmodelc");
    EXPECT_EQ(states, (std::vector<ModelState>{ModelState::downloading, ModelState::downloaded}));

    // Now the cache answers, without the hub.
    states.clear();
    hub_.clearRequests();
    EXPECT_EQ(downloader_.resolveModel("enc", enc_, std::nullopt, std::nullopt, false, record),
              url);
    EXPECT_EQ(states, std::vector<ModelState>{ModelState::downloaded});

    // A given folder holding the model comes first and reports no state.
    const fs::path given = base_.folder("given/enc/3/enc.mlmodelc");
    states.clear();
    EXPECT_EQ(
        downloader_.resolveModel("enc", enc_, base_.path() / "given", std::nullopt, false, record),
        given);
    EXPECT_TRUE(states.empty());
}

TEST_F(ModelDownloaderTest, NamesWhatItCannotFind) {
    hub_.addFile(repo_, "other/1/x", "x");
    try {
        downloader_.downloadModel(enc_, std::nullopt, true);
        FAIL();
    } catch (const ModelDownloaderError& e) {
        EXPECT_STREQ(e.what(), "No models found matching \"enc/3/*/*\" in owner/models");
    }
    try {
        downloader_.resolveRepo({"enc/*"}, std::nullopt, false);
        FAIL();
    } catch (const ModelDownloaderError& e) {
        EXPECT_STREQ(e.what(),
                     "No local models found for repo 'owner/models' and download is disabled.");
    }
    // No patterns: the local folder, without asking the hub.
    hub_.clearRequests();
    EXPECT_EQ(downloader_.resolveRepo({}, std::nullopt, false),
              base_.path() / "models/owner/models");
    EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(ModelDownloaderTest, ACheckpointRepositoryIsConvertedOnceAndHandedOn) {
    hub_.addFolder(repo_, kCheckpoint);
    std::vector<double> fractions;
    const fs::path folder = downloader_.resolveRepo(
        {"*"}, std::nullopt, true,
        [&](const hub::Progress& p) { fractions.push_back(p.fractionCompleted()); });
    EXPECT_TRUE(ml::isModelFolder(folder)) << folder;
    EXPECT_EQ(folder, base_.path() / "converted/models/owner/models");
    ASSERT_FALSE(fractions.empty());
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    // The download cache holds the repository exactly as served.
    EXPECT_EQ(readFile(base_.path() / "models/owner/models/model.safetensors"),
              readFile(kCheckpoint / "model.safetensors"));

    // Up to date the second time: nothing fetched, nothing converted again.
    const auto converted = fs::last_write_time(folder / "TextDecoder.mlmodelc");
    hub_.clearRequests();
    EXPECT_EQ(downloader_.resolveRepo({"*"}, std::nullopt, true), folder);
    EXPECT_EQ(fs::last_write_time(folder / "TextDecoder.mlmodelc"), converted);
    for (const auto& request : hub_.requests())
        EXPECT_TRUE(request.method == "HEAD" || request.target.starts_with("/api/"))
            << request.method << " " << request.target;
    EXPECT_TRUE(leftovers(base_.path()).empty());
}

// The download of a child process killed midway is finished by the next run, byte for byte.
TEST_F(ModelDownloaderTest, ARunKilledMidDownloadIsCompletedByTheNext) {
    hub_.addFolder(repo_, kCheckpoint, {.large = true});
    // The transfer from the content store (the hub itself only redirects there) stalls midway.
    hub_.addFault({.method = "GET",
                   .pathContains = "/model.safetensors?expires",
                   .times = 1,
                   .stallAfter = 1 << 20});
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            downloader_.resolveRepo({"*"}, std::nullopt, true);
        } catch (...) {
        }
        _exit(0);
    }
    hub_.waitUntilStalled();
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    hub_.releaseStalls();

    const fs::path folder = downloader_.resolveRepo({"*"}, std::nullopt, true);
    for (const auto& entry : fs::directory_iterator(kCheckpoint)) {
        const fs::path cached = base_.path() / "models/owner/models" / entry.path().filename();
        EXPECT_EQ(readFile(cached), readFile(entry.path())) << cached;
    }
    EXPECT_TRUE(ml::isModelFolder(folder));
    EXPECT_TRUE(leftovers(base_.path()).empty());
}

// A loader that fetches its repository through the downloader and "loads" by remembering where.
class RepositoryLoader : public ModelLoader {
public:
    std::optional<std::string> modelFolder() const override { return std::nullopt; }
    std::string downloadModels(const ModelDownloader& downloader,
                               const ModelDownloader::ProgressCallback& progress) override {
        return downloader.resolveRepo({"enc/*"}, std::nullopt, true, progress).string();
    }
    void loadModels(const std::string& path, bool) override { loaded = path; }
    void unloadModels() override {}
    std::string loaded;
};

TEST_F(ModelDownloaderTest, TenCallersMakeOneDownload) {
    hub_.addFile(repo_, "enc/enc.mlmodelc/model.json", "{}");
    auto loader = std::make_shared<RepositoryLoader>();
    ModelManager manager(loader, std::make_shared<ModelDownloader>(downloader_.config()));
    std::vector<std::jthread> callers;
    std::atomic<int> loaded{0};
    for (int i = 0; i < 10; ++i) {
        callers.emplace_back([&] {
            manager.ensureModelsLoaded();
            if (manager.modelPath() == base_.path() / "models/owner/models")
                ++loaded;
        });
    }
    callers.clear();
    EXPECT_EQ(loaded, 10);
    EXPECT_EQ(loader->loaded, (base_.path() / "models/owner/models").string());
    int transfers = 0;
    for (const auto& request : hub_.requests())
        transfers +=
            request.method == "GET" && request.target.find("model.json") != std::string::npos;
    EXPECT_EQ(transfers, 1);
}

TEST(CheckpointConversion, ConvertsOnceAndAgainOnlyWhenTheCheckpointChanges) {
    testing::TempFolder scratch;
    const fs::path checkpoint = scratch.folder("checkpoint");
    for (const auto& entry : fs::directory_iterator(kCheckpoint))
        fs::copy_file(entry.path(), checkpoint / entry.path().filename());
    const fs::path destination = scratch.path() / "out" / "model";
    // A conversion killed earlier left its temporary folder behind.
    const fs::path stale = scratch.folder("out/.model.converting-99999");

    ASSERT_EQ(ml::convertCheckpointOnce(checkpoint, destination), destination);
    EXPECT_TRUE(ml::isModelFolder(destination));
    EXPECT_FALSE(fs::exists(stale));
    const auto first = fs::last_write_time(destination / "TextDecoder.mlmodelc");
    ml::convertCheckpointOnce(checkpoint, destination);
    EXPECT_EQ(fs::last_write_time(destination / "TextDecoder.mlmodelc"), first);

    // A new download of the weights makes a new conversion.
    fs::last_write_time(
        checkpoint / "model.safetensors",
        fs::last_write_time(checkpoint / "model.safetensors") + std::chrono::seconds(5));
    ml::convertCheckpointOnce(checkpoint, destination);
    EXPECT_NE(fs::last_write_time(destination / "TextDecoder.mlmodelc"), first);

    // A checkpoint that fails to convert leaves no model folder and no temporary folder.
    const fs::path broken = scratch.folder("broken");
    fs::copy_file(checkpoint / "config.json", broken / "config.json");
    std::ofstream(broken / "model.safetensors") << "not weights";
    EXPECT_THROW(ml::convertCheckpointOnce(broken, scratch.path() / "out" / "broken"),
                 std::exception);
    EXPECT_FALSE(fs::exists(scratch.path() / "out" / "broken"));
    EXPECT_TRUE(leftovers(scratch.path()).empty());
}

}  // namespace
}  // namespace vevidocore
