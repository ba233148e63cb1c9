#include <gtest/gtest.h>
#include <sys/stat.h>

#include "../VevidoCore/TempFolder.h"
#include "TestSupport.h"
#include "hub/HubApi.h"

namespace hub {
namespace {

using testing::FakePathMonitor;
using testing::ScopedEnvironment;
using testing::writeFile;

// Every test starts from a home folder of its own and none of the client's variables set.
class HubConfiguration : public ::testing::Test {
protected:
    HubConfiguration() {
        environment.set("HOME", temp.path().string());
        for (const char* name : {"HUB_TOKEN", "MODEL_HUB_TOKEN", "HUB_TOKEN_PATH", "HUB_HOME",
                                 "HUB_ENDPOINT", "CI_DISABLE_NETWORK_MONITOR", "XDG_CONFIG_HOME"}) {
            environment.set(name, std::nullopt);
        }
    }

    std::string inTemp(const std::string& text) {
        std::string expanded = text;
        for (std::size_t at; (at = expanded.find("{tmp}")) != std::string::npos;) {
            expanded.replace(at, 5, temp.path().string());
        }
        return expanded;
    }

    vevidocore::testing::TempFolder temp;
    ScopedEnvironment environment;
};

TEST_F(HubConfiguration, TokenDiscoveryTakesTheFirstNonEmptySourceAsItStands) {
    const struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> variables;
        std::vector<std::pair<const char*, std::string>> files;  // below the home folder
        std::optional<std::string> token;
    } cases[] = {
        {"nothing anywhere", {}, {}, std::nullopt},
        {"empty variable skipped", {{"HUB_TOKEN", ""}, {"MODEL_HUB_TOKEN", "model"}}, {}, "model"},
        {"variable not trimmed", {{"HUB_TOKEN", " tok \n"}}, {}, " tok \n"},
        {"variable before files",
         {{"HUB_TOKEN", "env"}},
         {{".cache/modelhub/token", "file"}},
         "env"},
        {"token path read whole",
         {{"HUB_TOKEN_PATH", "{tmp}/custom"}},
         {{"custom", "from path\n"}},
         "from path\n"},
        {"missing token path falls to hub home",
         {{"HUB_TOKEN_PATH", "{tmp}/missing"}, {"HUB_HOME", "{tmp}/home"}},
         {{"home/token", "from home"}},
         "from home"},
        {"hub home with a tilde", {{"HUB_HOME", "~/hub"}}, {{"hub/token", "tilde"}}, "tilde"},
        {"empty file skipped",
         {{"HUB_TOKEN_PATH", "{tmp}/empty"}},
         {{"empty", ""}, {".cache/modelhub/token", "cache"}},
         "cache"},
        {"file that is not UTF-8 skipped",
         {},
         {{".cache/modelhub/token", "\xff\xfe"}, {".modelhub/token", "legacy"}},
         "legacy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnvironment local;
        for (const auto& [name, value] : c.variables) {
            local.set(name, inTemp(value));
        }
        for (const auto& [path, bytes] : c.files) {
            writeFile(temp.path() / path, bytes);
        }
        EXPECT_EQ(HubApi().hubToken(), c.token);
        for (const auto& [path, bytes] : c.files) {
            std::filesystem::remove(temp.path() / path);
        }
    }
}

// A token file is a small regular file: anything else is passed over without blocking or
// reading without bound.
TEST_F(HubConfiguration, ATokenPathToAnythingButASmallFileIsPassedOver) {
    writeFile(temp.path() / ".cache/modelhub/token", "cache");
    const std::filesystem::path fifo = temp.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    writeFile(temp.path() / "large", std::string(5000, 't'));
    for (const std::string& path :
         {std::string("/dev/zero"), fifo.string(), inTemp("{tmp}/large"), temp.path().string()}) {
        SCOPED_TRACE(path);
        ScopedEnvironment local;
        local.set("HUB_TOKEN_PATH", path);
        EXPECT_EQ(HubApi().hubToken(), "cache");
    }
}

TEST_F(HubConfiguration, ExplicitTokenEvenEmptySkipsDiscovery) {
    environment.set("HUB_TOKEN", "discovered");
    EXPECT_EQ(HubApi({.hubToken = ""}).hubToken(), "");
    EXPECT_EQ(HubApi({.hubToken = "given"}).hubToken(), "given");
    EXPECT_EQ(HubApi().hubToken(), "discovered");
}

TEST_F(HubConfiguration, EndpointComesFromArgumentThenVariableThenBuild) {
    EXPECT_EQ(HubApi().endpoint(), HubApi::defaultEndpoint());
    environment.set("HUB_ENDPOINT", "");
    EXPECT_EQ(HubApi().endpoint(), "");
    environment.set("HUB_ENDPOINT", "http://127.0.0.1:9");
    EXPECT_EQ(HubApi().endpoint(), "http://127.0.0.1:9");
    EXPECT_EQ(HubApi({.endpoint = "http://127.0.0.1:8"}).endpoint(), "http://127.0.0.1:8");
}

TEST_F(HubConfiguration, DownloadBaseDefaultsBelowTheDocumentsFolder) {
    EXPECT_EQ(HubApi().downloadBase(), temp.path() / "Documents" / "modelhub");
    writeFile(temp.path() / ".config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
    EXPECT_EQ(HubApi().downloadBase(), temp.path() / "Papers" / "modelhub");
    EXPECT_EQ(HubApi({.downloadBase = "/somewhere"}).downloadBase(), "/somewhere");
}

TEST_F(HubConfiguration, UnattendedRunsSayWhetherATokenWasFound) {
    const struct {
        std::optional<const char*> variable;
        std::optional<std::string> token;
        const char* printed;
    } cases[] = {
        {"1", std::nullopt, "\U0001F534 NO TOKEN **\n"},
        {"1", "", "\u2705 got token\n"},
        {"true", std::nullopt, ""},
        {std::nullopt, "t", ""},
    };
    for (const auto& c : cases) {
        ScopedEnvironment local;
        local.set("CI_DISABLE_NETWORK_MONITOR",
                  c.variable ? std::optional<std::string>(*c.variable) : std::nullopt);
        ::testing::internal::CaptureStdout();
        HubApi client({.hubToken = c.token});
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    }
}

TEST_F(HubConfiguration, RepositoriesLiveBelowTheirTypeFolder) {
    const HubApi client({.downloadBase = "/cache"});
    EXPECT_EQ(client.localRepoLocation(Repo("openai/whisper-tiny")),
              std::filesystem::path("/cache/models/openai/whisper-tiny"));
    EXPECT_EQ(client.localRepoLocation(Repo("a/b", RepoType::datasets)),
              std::filesystem::path("/cache/datasets/a/b"));
    EXPECT_EQ(client.localRepoLocation(Repo("a/b", RepoType::spaces)),
              std::filesystem::path("/cache/spaces/a/b"));
}

TEST_F(HubConfiguration, OfflineDecisionPrefersTheClientsOwnSetting) {
    const struct {
        std::optional<bool> useOfflineMode;
        bool pathSatisfied;
        std::optional<const char*> ciVariable;
        bool offline;
    } cases[] = {
        {std::nullopt, true, std::nullopt, false}, {std::nullopt, false, std::nullopt, true},
        {std::nullopt, false, "1", false},         {std::nullopt, false, "true", true},
        {std::nullopt, false, "0", true},          {true, true, "1", true},
        {false, false, std::nullopt, false},
    };
    for (const auto& c : cases) {
        ScopedEnvironment local;
        local.set("CI_DISABLE_NETWORK_MONITOR",
                  c.ciVariable ? std::optional<std::string>(*c.ciVariable) : std::nullopt);
        auto paths = std::make_unique<FakePathMonitor>();
        FakePathMonitor& fake = *paths;
        const HubApi client({.useOfflineMode = c.useOfflineMode,
                             .networkMonitor = std::make_shared<NetworkMonitor>(std::move(paths))});
        fake.report({c.pathSatisfied, false, false});
        EXPECT_EQ(client.isOffline(), c.offline)
            << "useOfflineMode " << (c.useOfflineMode ? *c.useOfflineMode : -1) << ", satisfied "
            << c.pathSatisfied << ", variable " << c.ciVariable.value_or("unset");
    }
}

}  // namespace
}  // namespace hub
