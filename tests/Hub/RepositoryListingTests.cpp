#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "../VevidoCore/TempFolder.h"
#include "TestHub.h"
#include "TestSupport.h"
#include "hub/ConfigError.h"
#include "hub/HubApi.h"
#include "hub/YYJSONParser.h"

namespace hub {
namespace {

using testing::caught;
using testing::TestHub;
using testing::writeFile;

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

class RepositoryListing : public ::testing::Test {
protected:
    RepositoryListing() {
        for (const char* name : {"config.json", "tokenizer.json", "folder/file.bin",
                                 "folder/deeper/model.bin", "README.md"}) {
            hub.addFile(repo, name, name);
        }
    }

    HubApi client(std::optional<std::string> token = std::nullopt) const {
        return HubApi({.downloadBase = temp.path(),
                       .hubToken = std::move(token),
                       .endpoint = hub.endpoint()});
    }

    TestHub hub;
    vevidocore::testing::TempFolder temp;
    const Repo repo{"owner/model"};
};

TEST_F(RepositoryListing, GlobsSelectEachNameOnce) {
    const struct {
        std::vector<std::string> globs;
        std::vector<std::string> names;
    } cases[] = {
        {{"*.json", "config.json"}, {"config.json", "tokenizer.json"}},
        {{"*"},
         {"README.md", "config.json", "folder/deeper/model.bin", "folder/file.bin",
          "tokenizer.json"}},
        {{"folder/*"}, {"folder/deeper/model.bin", "folder/file.bin"}},
        {{"*.gguf"}, {}},
        {{"[Rc]*"}, {"README.md", "config.json"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.globs.front());
        EXPECT_EQ(sorted(client().getFilenames(repo, "main", c.globs)), c.names);
    }
    // Without globs: everything, in the hub's order.
    EXPECT_EQ(client().getFilenames(repo, "main", {}),
              (std::vector<std::string>{"README.md", "config.json", "folder/deeper/model.bin",
                                        "folder/file.bin", "tokenizer.json"}));
    EXPECT_EQ(client().getFilenames("owner/model", "*.md"), std::vector<std::string>{"README.md"});
}

TEST_F(RepositoryListing, RevisionTravelsAsOneEscapedPathSegment) {
    hub.addRevision(repo, "refs/pr/1");
    const Repo dataset("owner/data", RepoType::datasets);
    hub.addFile(dataset, "train.csv", "a,b");
    hub.addRevision(dataset, "v 1.0");

    EXPECT_EQ(client().getFilenames(repo, "refs/pr/1", {"README.md"}).size(), 1u);
    EXPECT_EQ(client().getFilenames(dataset, "v 1.0", {}), std::vector<std::string>{"train.csv"});
    const auto requests = hub.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/api/models/owner/model/revision/refs%2Fpr%2F1");
    EXPECT_EQ(requests[1].target, "/api/datasets/owner/data/revision/v%201.0");
}

TEST_F(RepositoryListing, FailuresOfTheListing) {
    const auto failure = [&](const Repo& which, const std::string& revision) {
        const auto error =
            caught<HubClientError>([&] { client().getFilenames(which, revision, {}); });
        return error ? error->errorDescription() : "no failure";
    };
    EXPECT_EQ(failure(repo, "missing"), "File not found: missing");
    EXPECT_EQ(failure(Repo("owner/unknown"), "main"), "File not found: main");
    hub.requireToken("secret");
    EXPECT_EQ(failure(repo, "main"),
              "Authentication required. Please provide a valid hub access token.");
    hub.requireToken(std::nullopt);

    // An answer of the wrong shape is the decoder's error, not a client error.
    for (const char* body :
         {R"({"files":[]})", R"({"siblings":[{"name":"x"}]})", R"({"siblings":{}})", "[]"}) {
        hub.clearFaults();
        hub.addFault({.status = 200, .body = body});
        EXPECT_THROW(client().getFilenames(repo, "main", {}), ConfigError) << body;
    }
    hub.clearFaults();
    hub.addFault({.status = 200, .body = "{"});
    EXPECT_THROW(client().getFilenames(repo, "main", {}), YYJSONParser::ParseError);

    // An answer that never ends stops at the cap, for the listing and for the account alike.
    hub.clearFaults();
    hub.addFault({.method = "GET", .endlessBody = true});
    hub.addAccount("token", R"({"name":"someone"})");
    for (const auto& [what, call] : std::vector<std::pair<const char*, std::function<void()>>>{
             {"listing", [&] { client().getFilenames(repo, "main", {}); }},
             {"whoami", [&] { client("token").whoami(); }},
         }) {
        SCOPED_TRACE(what);
        const auto error = caught<HubClientError>(call);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->errorCase(), HubClientError::Case::downloadError);
        EXPECT_THAT(error->errorDescription(), ::testing::HasSubstr("is larger than 64 MiB"));
    }
}

TEST_F(RepositoryListing, ConfigurationFilesAreReadFromTheLocalRepository) {
    const auto folder = client().localRepoLocation(repo);
    writeFile(folder / "config.json", R"({"model_type": "whisper", "layers": 4})");
    writeFile(folder / "sub/broken.json", "{");

    const Config config = client().configuration("config.json", repo);
    EXPECT_EQ(config["modelType"].string(), "whisper");
    EXPECT_EQ(config["layers"].integer(), 4);

    try {
        client().configuration("sub/broken.json", repo);
        ADD_FAILURE() << "malformed JSON was read";
    } catch (const HubClientError& error) {
        EXPECT_EQ(error.errorCase(), HubClientError::Case::jsonSerialization);
        EXPECT_EQ(error.fileURL(), folder / "sub/broken.json");
        const std::string message = error.errorDescription();
        EXPECT_TRUE(message.starts_with("JSON parsing failed for file://" +
                                        (folder / "sub/broken.json").string() + ": "))
            << message;
        EXPECT_TRUE(
            message.ends_with(". If this is a private model, verify that HUB_TOKEN is set."))
            << message;
    }
    EXPECT_THROW(client().configuration("absent.json", repo), std::filesystem::filesystem_error);
}

TEST_F(RepositoryListing, LocalFilesSkipHiddenOnes) {
    const auto folder = temp.path() / "repo";
    for (const char* name : {"a.json", "sub/b.bin", ".hidden", ".cache/modelhub/download/a.json",
                             "sub/.also-hidden"}) {
        writeFile(folder / name, "x");
    }
    std::filesystem::create_symlink(folder / "a.json", folder / "link.json");
    std::vector<std::string> names;
    for (const auto& file : HubApi::getFileUrls(folder)) {
        names.push_back(file.lexically_relative(folder).string());
    }
    EXPECT_EQ(sorted(names), (std::vector<std::string>{"a.json", "sub/b.bin"}));
    EXPECT_TRUE(HubApi::getFileUrls(temp.path() / "absent").empty());
}

TEST_F(RepositoryListing, WhoamiDescribesTheTokensAccount) {
    hub.addAccount("secret", R"({"name": "someone", "orgs": [], "type": "user"})");
    const Config account = client("secret").whoami();
    EXPECT_EQ(account["name"].string(), "someone");

    hub.clearRequests();
    EXPECT_EQ(caught<HubClientError>([&] { client(std::nullopt).whoami(); }),
              HubClientError::authorizationRequired());
    EXPECT_TRUE(hub.requests().empty()) << "asked without a token";

    EXPECT_THROW(client("wrong").whoami(), HubClientError);
    // An empty token is a token: the request goes out, without an Authorization header.
    EXPECT_THROW(client("").whoami(), HubClientError);
    EXPECT_EQ(hub.requests().back().header("Authorization"), std::nullopt);

    hub.addAccount("list", "[1, 2]");
    EXPECT_EQ(caught<HubClientError>([&] { client("list").whoami(); }), HubClientError::parse());
}

}  // namespace
}  // namespace hub
