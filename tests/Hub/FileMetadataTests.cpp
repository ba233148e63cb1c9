#include <gtest/gtest.h>

#include "TestHub.h"
#include "TestSupport.h"
#include "hub/HubApi.h"

namespace hub {
namespace {

using testing::caught;
using testing::TestHub;

class FileMetadata : public ::testing::Test {
protected:
    FileMetadata() {
        hub.addFile(repo, "config.json", R"({"a": 1})");
        hub.addFile(repo, "weights.bin", std::string(1000, 'w'), {.large = true});
    }

    HubApi client(std::optional<std::string> endpoint = std::nullopt) const {
        return HubApi({.hubToken = "", .endpoint = endpoint.value_or(hub.endpoint())});
    }
    std::string resolveURL(const std::string& name) const {
        return hub.endpoint() + "/owner/model/resolve/main/" + name;
    }

    TestHub hub;
    const Repo repo{"owner/model"};
};

TEST_F(FileMetadata, SmallFileAnswersItself) {
    const auto metadata = client().getFileMetadata(resolveURL("config.json"));
    EXPECT_EQ(metadata.commitHash, hub.commit(repo));
    EXPECT_EQ(metadata.etag, hub.gitHash(repo, "config.json"));
    EXPECT_EQ(metadata.size, 8);
    EXPECT_EQ(metadata.location, resolveURL("config.json"));
    EXPECT_EQ(metadata.xetFileData, std::nullopt);
}

TEST_F(FileMetadata, LargeFileIsDescribedByTheRedirectsLinkedHeaders) {
    const auto metadata = client().getFileMetadata(resolveURL("weights.bin"));
    EXPECT_EQ(metadata.commitHash, hub.commit(repo));
    EXPECT_EQ(metadata.etag, hub.sha256(repo, "weights.bin"));  // X-Linked-Etag over ETag
    EXPECT_EQ(metadata.size, 1000);                             // X-Linked-Size over length 0
    EXPECT_TRUE(metadata.location.starts_with(hub.contentStoreEndpoint() + "/cdn/"))
        << metadata.location;
    ASSERT_EQ(hub.requests().size(), 1u) << "the content store is not asked";
}

TEST_F(FileMetadata, EntityTagsAreStoredBare) {
    const struct {
        const char* etag;
        std::optional<std::string> stored;
    } cases[] = {
        {"W/\"abc\"", "abc"}, {"\"abc\"", "abc"},
        {"abc", "abc"},       {"w/\"abc\"", "w/\"abc"},  // the weak prefix is upper case only
        {"W/abc", "abc"},     {"\"\"", ""},
    };
    for (const auto& c : cases) {
        hub.clearFaults();
        hub.addFault({.headers = {{"ETag", c.etag}}});
        EXPECT_EQ(client().getFileMetadata(resolveURL("config.json")).etag, c.stored) << c.etag;
    }
}

TEST_F(FileMetadata, SizeIsADecimalIntegerOrNothing) {
    const struct {
        const char* linkedSize;  // nullptr: no such header
        std::optional<std::int64_t> size;
    } cases[] = {
        {"42", 42},
        {"+42", 42},
        {"-7", -7},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775808", INT64_MIN},
        {"4.0", std::nullopt},
        {"0x10", std::nullopt},
        {"", std::nullopt},  // present but unreadable: the content length is not consulted
        {nullptr, 8},        // no linked size: the content length
    };
    for (const auto& c : cases) {
        hub.clearFaults();
        if (c.linkedSize != nullptr) {
            hub.addFault({.headers = {{"X-Linked-Size", c.linkedSize}}});
        }
        EXPECT_EQ(client().getFileMetadata(resolveURL("config.json")).size, c.size)
            << (c.linkedSize ? c.linkedSize : "none");
    }
}

TEST_F(FileMetadata, LocationFollowsTheAnswer) {
    // A 302 without "Location": the URL that was asked.
    hub.addFault({.pathContains = "weights.bin", .headers = {{"Location", std::nullopt}}});
    EXPECT_EQ(client().getFileMetadata(resolveURL("weights.bin")).location,
              resolveURL("weights.bin"));

    // A renamed repository answers with a relative redirect: followed, and the final URL is the
    // location.
    hub.moveRepo(Repo("owner/old-name"), repo);
    hub.clearRequests();
    const auto metadata =
        client().getFileMetadata(hub.endpoint() + "/owner/old-name/resolve/main/config.json");
    EXPECT_EQ(metadata.location, resolveURL("config.json"));
    EXPECT_EQ(metadata.etag, hub.gitHash(repo, "config.json"));
    const auto requests = hub.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].method, "HEAD");
}

TEST_F(FileMetadata, XetReferenceNeedsAHashAndARoute) {
    const std::string defaultRoute = HubApi::defaultEndpoint() + "/api/xet/refresh";
    const struct {
        std::vector<std::pair<std::string, std::optional<std::string>>> headers;
        std::optional<XetFileData> data;
    } cases[] = {
        {{{"X-Xet-Refresh-Route", "https://other.invalid/r"}}, std::nullopt},
        {{{"X-Xet-Hash", "h"}}, std::nullopt},
        {{{"X-Xet-Hash", "h"}, {"X-Xet-Refresh-Route", "https://other.invalid/r"}},
         XetFileData{"h", "https://other.invalid/r"}},
        {{{"X-Xet-Hash", "h"},
          {"X-Xet-Refresh-Route", "https://other.invalid/r"},
          {"Link",
           "<https://x.invalid/a>; rel=\"next\", <https://x.invalid/auth>; rel=\"xet-auth\""}},
         XetFileData{"h", "https://x.invalid/auth"}},
        // A route on the public hub is moved to the client's endpoint.
        {{{"X-Xet-Hash", "h"}, {"X-Xet-Refresh-Route", defaultRoute}},
         XetFileData{"h", hub.endpoint() + "/api/xet/refresh"}},
    };
    for (const auto& c : cases) {
        hub.clearFaults();
        hub.addFault({.headers = c.headers});
        EXPECT_EQ(client().getFileMetadata(resolveURL("config.json")).xetFileData, c.data);
    }
}

TEST_F(FileMetadata, BatchAsksEveryMatchingFileOfTheRevision) {
    const Repo dataset("owner/data", RepoType::datasets);
    hub.addFile(dataset, "a.csv", "1");
    hub.addFile(dataset, "b.csv", "22");
    hub.addFile(dataset, "notes.txt", "x");
    hub.addRevision(dataset, "refs/pr/1");

    const auto files = client().getFileMetadata(dataset, "refs/pr/1", {"*.csv"});
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].size, 1);
    EXPECT_EQ(files[1].size, 2);
    const auto requests = hub.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].target, "/datasets/owner/data/resolve/refs%2Fpr%2F1/a.csv");
    EXPECT_EQ(requests[2].target, "/datasets/owner/data/resolve/refs%2Fpr%2F1/b.csv");

    hub.clearRequests();
    EXPECT_TRUE(client().getFileMetadata(dataset, "main", {"*.bin"}).empty());
    EXPECT_EQ(hub.requests().size(), 1u) << "no HEAD without files";

    hub.addFault({.method = "HEAD", .pathContains = "b.csv", .status = 500});
    EXPECT_EQ(caught<HubClientError>([&] { client().getFileMetadata(dataset, "main", {"*.csv"}); }),
              HubClientError::httpStatusCode(500));
}

}  // namespace
}  // namespace hub
