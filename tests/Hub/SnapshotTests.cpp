#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stop_token>
#include <thread>

#include "../VevidoCore/TempFolder.h"
#include "DownloadTestSupport.h"
#include "TestHub.h"
#include "TestSupport.h"
#include "hub/Hub.h"
#include "hub/HubApi.h"
#include "hub/URLError.h"

extern char** environ;

namespace hub {
namespace {

using testing::generatedBytes;
using testing::readFile;
using testing::ScopedEnvironment;
using testing::TestHub;
using testing::TestRequest;
using testing::writeFile;

// This test program runs itself again as a child process for the tests below that need one; the
// variable says what the child does.
constexpr const char* childModeVariable = "QUILLORA_HUB_TEST_CHILD";
constexpr const char* childBaseVariable = "QUILLORA_HUB_TEST_BASE";

int runChild(std::string_view mode) {
    try {
        if (mode == "snapshot") {
            const HubApi client({.downloadBase = std::getenv(childBaseVariable),
                                 .hubToken = "",
                                 .useOfflineMode = false});
            client.snapshot(Repo("owner/model"), "main", std::vector<std::string>{"*"});
            return 0;
        }
        if (mode == "wrappers") {
            Hub::snapshot("owner/model", "config.json");
            return 0;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "child failed: %s\n", error.what());
        return 1;
    }
    return 2;
}

[[maybe_unused]] const bool ranAsChild = [] {
    if (const char* mode = std::getenv(childModeVariable)) {
        std::_Exit(runChild(mode));
    }
    return false;
}();

// A child run of this program with `mode` and the environment changed as given.
class ChildProcess {
public:
    ChildProcess(const std::string& mode,
                 std::vector<std::pair<std::string, std::optional<std::string>>> changes) {
        changes.emplace_back(childModeVariable, mode);
        std::vector<std::string> variables;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view text(*entry);
            const std::string_view name = text.substr(0, text.find('='));
            if (std::none_of(changes.begin(), changes.end(),
                             [&](const auto& change) { return change.first == name; })) {
                variables.emplace_back(text);
            }
        }
        for (const auto& [name, value] : changes) {
            if (value) {
                variables.push_back(name + "=" + *value);
            }
        }
        std::vector<char*> envp;
        for (std::string& variable : variables) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        std::string program = "/proc/self/exe";
        char* argv[] = {program.data(), nullptr};
        if (posix_spawn(&pid_, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) {
            ADD_FAILURE() << "cannot start a child process";
            pid_ = -1;
        }
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void kill() { ::kill(pid_, SIGKILL); }

    // The wait status; a test failure (and a kill) when the child runs for more than a minute.
    int wait() {
        int status = 0;
        for (int i = 0; i < 6000; ++i) {
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the child process did not end";
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
};

struct ProgressReport {
    std::int64_t total;
    std::int64_t completed;
    double fraction;
    std::optional<double> speed;
};

class Snapshot : public ::testing::Test {
protected:
    HubApi client(std::optional<bool> offline = false) const {
        return HubApi({.downloadBase = temp.path(),
                       .hubToken = "",
                       .endpoint = hub.endpoint(),
                       .useOfflineMode = offline});
    }
    HubApi::SpeedProgressHandler recorder() {
        return [this](const Progress& progress, std::optional<double> speed) {
            reports.push_back({progress.totalUnitCount(), progress.completedUnitCount(),
                               progress.fractionCompleted(), speed});
        };
    }
    std::filesystem::path repoFolder() const { return temp.path() / "models" / "owner" / "model"; }
    std::vector<TestRequest> requests(const std::string& method) const {
        std::vector<TestRequest> found;
        for (const auto& request : hub.requests()) {
            if (request.method == method) {
                found.push_back(request);
            }
        }
        return found;
    }

    vevidocore::testing::TempFolder temp;
    TestHub hub;
    const Repo repo{"owner/model"};
    std::vector<ProgressReport> reports;
};

TEST_F(Snapshot, FetchesTheMatchingFilesWithOneOverallProgress) {
    const std::string weights = generatedBytes(Downloader::defaultChunkSize + 100);
    hub.addFile(repo, "config.json", "{}");
    hub.addFile(repo, "sub/weights.bin", weights, {.large = true});
    hub.addFile(repo, "README.md", "not asked for");

    EXPECT_EQ(client().snapshot("owner/model", "main", std::vector<std::string>{"*.json", "*.bin"},
                                recorder()),
              repoFolder());
    EXPECT_EQ(readFile(repoFolder() / "config.json"), "{}");
    EXPECT_TRUE(readFile(repoFolder() / "sub" / "weights.bin") == weights);
    EXPECT_FALSE(std::filesystem::exists(repoFolder() / "README.md"));
    EXPECT_TRUE(std::filesystem::exists(repoFolder() /
                                        ".cache/modelhub/download/sub/weights.bin.metadata"));
    EXPECT_TRUE(testing::partialFilesBelow(temp.path()).empty());

    // Each file's start, the one chunk of the large file, and the end; the order of the files is
    // the listing's, which globs leave open.
    ASSERT_EQ(reports.size(), 4u);
    for (const auto& report : reports) {
        EXPECT_EQ(report.total, 2);
    }
    int withSpeed = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        withSpeed += reports[i].speed ? 1 : 0;
        EXPECT_LT(reports[i].fraction, 1.0);
    }
    EXPECT_EQ(withSpeed, reports[0].speed ? 2 : 1);  // the speed stays once measured
    EXPECT_EQ(reports.back().completed, 2);
    EXPECT_EQ(reports.back().fraction, 1.0);
    EXPECT_TRUE(reports.back().speed);

    // Unchanged: one listing, then HEAD requests only.
    hub.clearRequests();
    reports.clear();
    client().snapshot("owner/model", "main", std::vector<std::string>{"*.json", "*.bin"},
                      recorder());
    EXPECT_EQ(requests("HEAD").size(), 2u);
    ASSERT_EQ(requests("GET").size(), 1u);
    EXPECT_EQ(requests("GET")[0].target, "/api/models/owner/model/revision/main");
    EXPECT_EQ(reports.size(), 1u);
}

TEST_F(Snapshot, AnEmptyListingReportsOnceAndCreatesNothing) {
    hub.addFile(repo, "config.json", "{}");
    EXPECT_EQ(client().snapshot(repo, "main", "*.safetensors", recorder()), repoFolder());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].total, 0);
    EXPECT_FALSE(std::filesystem::exists(repoFolder()));
}

TEST_F(Snapshot, OfflineTheCacheIsCheckedAgainstItsRecords) {
    hub.addFile(repo, "config.json", "{}");
    hub.addFile(repo, "sub/weights.bin", generatedBytes(5000), {.large = true});
    const auto fetch = [&] { client().snapshot(repo, "main", std::vector<std::string>{}); };
    const struct {
        const char* name;
        std::function<void()> change;
        std::optional<std::string> error;
    } cases[] = {
        {"intact", [] {}, std::nullopt},
        {"a hidden file without a record", [&] { writeFile(repoFolder() / ".notes", "x"); },
         std::nullopt},
        {"a file whose tag is no hash, changed",
         [&] { writeFile(repoFolder() / "config.json", "changed"); }, std::nullopt},
        {"a file whose tag is its hash, changed",
         [&] { writeFile(repoFolder() / "sub/weights.bin", generatedBytes(5000, 9)); },
         "File integrity check failed: Hash mismatch for weights.bin"},
        {"a file without a record", [&] { writeFile(repoFolder() / "sub/extra.txt", "x"); },
         "Offline mode error: Metadata not available for extra.txt"},
        {"no repository folder", [&] { std::filesystem::remove_all(repoFolder()); },
         "Offline mode error: Repository not available locally"},
        {"only hidden files",
         [&] {
             std::filesystem::remove(repoFolder() / "config.json");
             std::filesystem::remove_all(repoFolder() / "sub");
         },
         "Offline mode error: No files available locally for this repository"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(temp.path() / "models");
        fetch();
        c.change();
        hub.clearRequests();
        reports.clear();
        try {
            EXPECT_EQ(client(true).snapshot(repo, "main", "nothing matches", recorder()),
                      repoFolder());
            EXPECT_FALSE(c.error);
        } catch (const EnvironmentError& error) {
            EXPECT_EQ(std::optional<std::string>(error.what()), c.error);
        }
        EXPECT_TRUE(reports.empty());
        EXPECT_TRUE(hub.requests().empty());
    }
}

TEST_F(Snapshot, AListingThatLeavesTheCacheIsRefusedBeforeAnythingIsWritten) {
    for (const char* name : {"../../../../escape.bin", "/tmp/escape.bin", "a//escape.bin"}) {
        SCOPED_TRACE(name);
        TestHub hostile;
        hostile.addFile(repo, "good.bin", "fine");
        hostile.addFile(repo, name, "bad");
        try {
            HubApi({.downloadBase = temp.path(),
                    .endpoint = hostile.endpoint(),
                    .useOfflineMode = false})
                .snapshot(repo, "main", std::vector<std::string>{});
            ADD_FAILURE() << "the listing was accepted";
        } catch (const EnvironmentError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "Invalid metadata: unsafe file name \"" + std::string(name) +
                          "\": a path in the local cache must be relative, without empty, \".\" "
                          "or \"..\" segments");
        }
        EXPECT_EQ(hostile.requests().size(), 1u);  // the listing only
        EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
        EXPECT_FALSE(std::filesystem::exists(temp.path().parent_path() / "escape.bin"));
    }
    EXPECT_THROW(client().snapshot(Repo("../../elsewhere"), "main", "*"), EnvironmentError);
    EXPECT_TRUE(hub.requests().empty());
}

TEST_F(Snapshot, WhatOneSnapshotMayFetchIsBounded) {
    // More files than one snapshot fetches: refused after the listing alone.
    std::string siblings;
    for (std::size_t i = 0; i <= HubApi::maximumSnapshotFiles; ++i) {
        siblings += (i == 0 ? "" : ",") + fmt::format(R"({{"rfilename":"f{}.bin"}})", i);
    }
    hub.addFault({.method = "GET",
                  .pathContains = "/api/",
                  .times = 1,
                  .status = 200,
                  .body = R"({"siblings":[)" + siblings + "]}"});
    auto error = testing::caught<HubClientError>(
        [&] { client().snapshot(repo, "main", std::vector<std::string>{}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorDescription(),
              "Download failed: cannot download owner/model: the listing names 10001 matching "
              "files, more than the 10000 that one download may fetch");
    EXPECT_EQ(hub.requests().size(), 1u);

    // Files that add up to more bytes than the limit: the one that passes it is not fetched.
    hub.addFile(repo, "a.bin", generatedBytes(1000), {.large = true});
    hub.addFile(repo, "b.bin", generatedBytes(1000), {.large = true});
    const std::string rest = std::to_string(HubApi::maximumSnapshotBytes - 500);
    hub.addFault({.method = "HEAD", .pathContains = "b.bin", .headers = {{"X-Linked-Size", rest}}});
    hub.clearRequests();
    error = testing::caught<HubClientError>(
        [&] { client().snapshot(repo, "main", std::vector<std::string>{}); });
    ASSERT_TRUE(error);
    EXPECT_THAT(error->errorDescription(),
                ::testing::HasSubstr("cannot download b.bin: the hub announces " + rest +
                                     " bytes, more than the " +
                                     std::to_string(HubApi::maximumSnapshotBytes - 1000) +
                                     " left for this download"));
    EXPECT_TRUE(std::filesystem::exists(repoFolder() / "a.bin"));
    EXPECT_FALSE(std::filesystem::exists(repoFolder() / "b.bin"));
    EXPECT_EQ(requests("GET").size(), 3u);  // the listing, a.bin's redirect and its body
}

TEST_F(Snapshot, NamesFromTheHubAreShownWithControlCharactersEscaped) {
    const std::string name = "evil\x1b]0;owned\x07.bin";
    hub.addFile(repo, name, generatedBytes(1000), {.large = true});
    hub.addFault({.method = "HEAD", .headers = {{"X-Linked-Etag", std::string(64, 'e')}}});
    try {
        client().snapshot(repo, "main", std::vector<std::string>{});
        ADD_FAILURE() << "a lying hub was believed";
    } catch (const std::exception& error) {
        const std::string message = error.what();
        EXPECT_THAT(message, ::testing::HasSubstr("evil\\x1b]0;owned\\x07.bin"));
        EXPECT_EQ(message.find('\x1b'), std::string::npos);
        EXPECT_EQ(message.find('\x07'), std::string::npos);
    }
}

TEST_F(Snapshot, AStopEndsTheSnapshotAsCancelled) {
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        hub.addFile(repo, name, generatedBytes(3000));
    }
    std::stop_source stop;
    try {
        client().snapshot(
            repo, "main", std::vector<std::string>{},
            [&](const Progress& progress) {
                if (progress.completedUnitCount() == 1) {
                    stop.request_stop();  // while the second file comes in
                }
            },
            stop.get_token());
        ADD_FAILURE() << "a stopped snapshot succeeded";
    } catch (const URLError& error) {
        EXPECT_EQ(error.code(), URLError::Code::cancelled);
    }
    int present = 0;
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        present += std::filesystem::exists(repoFolder() / name) ? 1 : 0;
    }
    EXPECT_GE(present, 1);
    EXPECT_LE(present, 2);
}

TEST_F(Snapshot, ADownloadKilledMidwayIsFinishedByTheNextRun) {
    const std::string weights = generatedBytes(Downloader::defaultChunkSize + 600 * 1024, 21);
    hub.addFile(repo, "weights.bin", weights, {.large = true});
    hub.addFile(repo, "config.json", "{}");
    // The content store stops sending after the first chunk, so that the child is caught with a
    // partial file on disk.
    hub.addFault({.method = "GET",
                  .pathContains = "resolve-cache",
                  .times = 1,
                  .stallAfter = Downloader::defaultChunkSize + 100 * 1024});
    const std::filesystem::path partial =
        repoFolder() / ".cache/modelhub/download" /
        ("weights.bin." + hub.sha256(repo, "weights.bin") + ".incomplete");
    {
        ChildProcess child("snapshot", {{"HUB_ENDPOINT", hub.endpoint()},
                                        {childBaseVariable, temp.path().string()}});
        for (int i = 0; i < 6000 && Downloader::incompleteFileSize(partial) <
                                        static_cast<std::int64_t>(Downloader::defaultChunkSize);
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(Downloader::incompleteFileSize(partial), Downloader::defaultChunkSize);
        child.kill();
        const int status = child.wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
    hub.releaseStalls();
    hub.clearRequests();

    client().snapshot(repo, "main", std::vector<std::string>{});
    EXPECT_TRUE(readFile(repoFolder() / "weights.bin") == weights);
    EXPECT_EQ(readFile(repoFolder() / "config.json"), "{}");
    EXPECT_TRUE(testing::partialFilesBelow(temp.path()).empty());
    std::optional<std::string> resumedFrom;
    for (const auto& request : requests("GET")) {
        if (request.listener == "cdn") {
            resumedFrom = request.header("Range");
        }
    }
    EXPECT_EQ(resumedFrom, "bytes=" + std::to_string(Downloader::defaultChunkSize) + "-");
    EXPECT_NO_THROW(client(true).snapshot(repo, "main", "*"));  // and the cache checks out
}

TEST_F(Snapshot, StaticWrappersWorkOnTheSharedClientAtMain) {
    hub.addFile(repo, "config.json", "{\"a\": 1}");
    hub.addFile(repo, "other.json", "{}");
    const std::filesystem::path home = temp.path() / "home";
    {
        ChildProcess child("wrappers", {{"HOME", home.string()},
                                        {"XDG_CONFIG_HOME", std::nullopt},
                                        {"HUB_ENDPOINT", hub.endpoint()},
                                        {"CI_DISABLE_NETWORK_MONITOR", "1"}});
        const int status = child.wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::filesystem::path folder = home / "Documents/modelhub/models/owner/model";
    EXPECT_EQ(readFile(folder / "config.json"), "{\"a\": 1}");
    EXPECT_FALSE(std::filesystem::exists(folder / "other.json"));
    ASSERT_FALSE(hub.requests().empty());
    EXPECT_EQ(hub.requests()[0].target, "/api/models/owner/model/revision/main");

    ScopedEnvironment environment;
    environment.set("HUB_ENDPOINT", hub.endpoint());
    environment.set("HUB_TOKEN", "someone-else");
    hub.addAccount("mine", R"({"name": "me"})");
    EXPECT_EQ(Hub::whoami("mine")["name"].string(), "me");
}

}  // namespace
}  // namespace hub
