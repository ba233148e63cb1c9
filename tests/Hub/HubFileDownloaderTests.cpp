#include <gtest/gtest.h>

#include <thread>

#include "../VevidoCore/TempFolder.h"
#include "DownloadTestSupport.h"
#include "TestHub.h"
#include "TestSupport.h"
#include "hub/Downloader.h"
#include "hub/HubFileDownloader.h"

namespace hub {
namespace {

using testing::generatedBytes;
using testing::readFile;
using testing::TestHub;
using testing::writeFile;

class FileDownloadDecision : public ::testing::Test {
protected:
    HubFileDownloader downloader(const std::string& name) const {
        const HubApi client({.downloadBase = temp.path(),
                             .hubToken = "",
                             .endpoint = hub.endpoint(),
                             .useOfflineMode = false});
        return {.hub = client,
                .repo = repo,
                .revision = "main",
                .repoDestination = client.localRepoLocation(repo),
                .repoMetadataDestination = client.localMetadataLocation(repo),
                .relativeFilename = name,
                .hubToken = client.hubToken(),
                .endpoint = client.endpoint(),
                .backgroundSession = false};
    }
    // Requests for the file's body, at the hub or the content store.
    std::size_t transfers() const {
        std::size_t count = 0;
        for (const auto& request : hub.requests()) {
            count += request.method == "GET" ? 1 : 0;
        }
        return count;
    }
    std::size_t heads() const {
        std::size_t count = 0;
        for (const auto& request : hub.requests()) {
            count += request.method == "HEAD" ? 1 : 0;
        }
        return count;
    }

    vevidocore::testing::TempFolder temp;
    TestHub hub;
    const Repo repo{"owner/model"};
};

TEST_F(FileDownloadDecision, TransfersOnlyWhatIsNotCurrent) {
    const std::string content = generatedBytes(5000);
    hub.addFile(repo, "sub/config.json", content);
    const HubFileDownloader file = downloader("sub/config.json");
    const HubApi& client = file.hub;
    EXPECT_EQ(file.source(), hub.endpoint() + "/owner/model/resolve/main/sub/config.json");

    std::vector<std::pair<double, std::optional<double>>> reports;
    EXPECT_EQ(file.download([&](double fraction, std::optional<double> speed) {
        reports.emplace_back(fraction, speed);
    }),
              file.targetFile());
    EXPECT_TRUE(readFile(file.targetFile()) == content);
    EXPECT_EQ(transfers(), 1u);
    EXPECT_FALSE(reports.empty());
    EXPECT_TRUE(testing::partialFilesBelow(temp.path()).empty());
    auto record = client.readDownloadMetadata(file.metadataFile());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->commitHash, hub.commit(repo));
    EXPECT_EQ(record->etag, hub.gitHash(repo, "sub/config.json"));

    // The same commit: one HEAD, nothing else, even when the answer lacks its entity tag.
    hub.clearRequests();
    const std::string recordText = readFile(file.metadataFile());
    hub.addFault({.method = "HEAD", .headers = {{"ETag", std::nullopt}}});
    reports.clear();
    file.download([&](double fraction, std::optional<double> speed) {
        reports.emplace_back(fraction, speed);
    });
    hub.clearFaults();
    EXPECT_EQ(heads(), 1u);
    EXPECT_EQ(transfers(), 0u);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(readFile(file.metadataFile()), recordText);

    // A new commit that leaves this file as it was: the record follows the commit.
    hub.addFile(repo, "other.txt", "x");
    hub.clearRequests();
    file.download();
    EXPECT_EQ(transfers(), 0u);
    EXPECT_EQ(client.readDownloadMetadata(file.metadataFile())->commitHash, hub.commit(repo));

    // The record without its file: fetched again, resuming the partial file left for its tag.
    std::filesystem::remove(file.targetFile());
    const std::filesystem::path partial = file.incompleteFile(hub.gitHash(repo, "sub/config.json"));
    writeFile(partial, content.substr(0, 1234));
    hub.clearRequests();
    file.download();
    EXPECT_TRUE(readFile(file.targetFile()) == content);
    ASSERT_EQ(transfers(), 1u);
    EXPECT_EQ(hub.requests().back().header("Range"), "bytes=1234-");
}

TEST_F(FileDownloadDecision, AFilePlacedByHandIsKeptOnlyWhenItsSha256Matches) {
    const std::string content = generatedBytes(3000, 2);
    hub.addFile(repo, "weights.bin", content, {.large = true});  // entity tag: the SHA-256
    hub.addFile(repo, "config.json", content);                   // entity tag: the git hash
    for (const char* name : {"weights.bin", "config.json"}) {
        writeFile(downloader(name).targetFile(), content);
    }

    hub.clearRequests();
    downloader("weights.bin").download();
    EXPECT_EQ(transfers(), 0u);
    const auto record = downloader("weights.bin")
                            .hub.readDownloadMetadata(downloader("weights.bin").metadataFile());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->etag, hub.sha256(repo, "weights.bin"));

    hub.clearRequests();
    downloader("config.json").download();
    EXPECT_EQ(transfers(), 1u);

    // Same size, other bytes: the hash tells, and the file is fetched.
    std::filesystem::remove(downloader("weights.bin").metadataFile());
    writeFile(downloader("weights.bin").targetFile(), generatedBytes(3000, 3));
    hub.clearRequests();
    downloader("weights.bin").download();
    EXPECT_EQ(transfers(), 2u);  // the hub's redirect, then the content store
    EXPECT_TRUE(readFile(downloader("weights.bin").targetFile()) == content);
}

TEST_F(FileDownloadDecision, ACachedFileCutShortIsFetchedAgainWhateverItsRecordSays) {
    const std::string content = generatedBytes(4000, 4);
    hub.addFile(repo, "weights.bin", content, {.large = true});
    hub.addFile(repo, "config.json", content);
    for (const char* name : {"weights.bin", "config.json"}) {
        SCOPED_TRACE(name);
        const HubFileDownloader file = downloader(name);
        file.download();
        // Same commit, same entity tag, fewer bytes.
        std::filesystem::resize_file(file.targetFile(), 1000);
        hub.clearRequests();
        file.download();
        EXPECT_GE(transfers(), 1u);
        EXPECT_TRUE(readFile(file.targetFile()) == content);
    }
}

TEST_F(FileDownloadDecision, PartialFilesOfOlderEntityTagsGoWhenANewerOneArrives) {
    hub.addFile(repo, "weights.bin", generatedBytes(3000, 5));
    hub.addFile(repo, "weights.bin.sig", generatedBytes(10, 6));
    const HubFileDownloader file = downloader("weights.bin");
    const std::filesystem::path older = file.incompleteFile(std::string(40, 'a'));
    // A sibling's partial file, whatever its tag, is not this file's.
    const std::filesystem::path sibling =
        downloader("weights.bin.sig").incompleteFile(std::string(40, 'b'));
    writeFile(older, "an older version, cut short");
    writeFile(sibling, "x");

    file.download();
    EXPECT_FALSE(std::filesystem::exists(older));
    EXPECT_TRUE(std::filesystem::exists(sibling));
    EXPECT_EQ(testing::partialFilesBelow(temp.path()), std::vector{sibling});
}

TEST_F(FileDownloadDecision, ALyingHubPutsNothingInPlace) {
    const std::string content = generatedBytes(3000, 7);
    hub.addFile(repo, "weights.bin", content, {.large = true});
    const HubFileDownloader file = downloader("weights.bin");
    const std::string lie(64, 'c');
    hub.addFault({.method = "HEAD", .headers = {{"X-Linked-Etag", "\"" + lie + "\""}}});
    try {
        file.download();
        ADD_FAILURE() << "content that does not match its entity tag was accepted";
    } catch (const Downloader::DownloadError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cannot download " + file.targetFile().string() + ": the content's SHA-256 is " +
                      hub.sha256(repo, "weights.bin") + ", the server announced " + lie);
    }
    EXPECT_FALSE(std::filesystem::exists(file.targetFile()));
    EXPECT_FALSE(file.hub.readDownloadMetadata(file.metadataFile()));
    EXPECT_TRUE(testing::partialFilesBelow(temp.path()).empty());

    // The hub mends its ways: the next run fetches the file whole.
    hub.clearFaults();
    EXPECT_EQ(file.download(), file.targetFile());
    EXPECT_TRUE(readFile(file.targetFile()) == content);
}

TEST_F(FileDownloadDecision, RefusesIncompleteAnswersAndUnsafeNames) {
    hub.addFile(repo, "config.json", "{}");
    hub.addFault({.method = "HEAD", .headers = {{"X-Repo-Commit", std::nullopt}}});
    try {
        downloader("config.json").download();
        ADD_FAILURE() << "an answer without a commit was accepted";
    } catch (const EnvironmentError& error) {
        EXPECT_STREQ(error.what(),
                     "Invalid metadata: File metadata must have been retrieved from server");
    }
    hub.clearFaults();

    for (const char* name : {"../escape.bin", "/etc/escape.bin", "a//b.bin", "a/./b.bin", ""}) {
        SCOPED_TRACE(name);
        hub.clearRequests();
        EXPECT_THROW(downloader(name).download(), EnvironmentError);
        EXPECT_TRUE(hub.requests().empty());
    }
    for (const char* id : {"owner/../../escape", "..", "owner/.."}) {
        SCOPED_TRACE(id);
        HubFileDownloader file = downloader("config.json");
        file.repo = Repo(id);
        hub.clearRequests();
        EXPECT_THROW(file.download(), EnvironmentError);
        EXPECT_TRUE(hub.requests().empty());
    }
}

TEST_F(FileDownloadDecision, AnEntityTagNamesThePartialFileOnlyWhenItIsPlain) {
    const HubFileDownloader file = downloader("weights.bin");
    const std::filesystem::path metadataFolder = file.repoMetadataDestination;
    EXPECT_EQ(file.incompleteFile("abc-1.2_3"),
              metadataFolder / "weights.bin.abc-1.2_3.incomplete");
    for (const char* hostile : {"../../../../escaped", "a/b", "", "tab\there"}) {
        SCOPED_TRACE(hostile);
        const std::filesystem::path partial = file.incompleteFile(hostile);
        EXPECT_EQ(partial.parent_path(), metadataFolder);
        EXPECT_EQ(partial.filename().string().size(),
                  std::string("weights.bin.").size() + 64 + std::string(".incomplete").size());
    }

    // A hostile tag from the hub still downloads, inside the cache.
    const std::string content = generatedBytes(2000, 4);
    hub.addFile(repo, "weights.bin", content, {.large = true});
    hub.addFault(
        {.method = "HEAD", .headers = {{"X-Linked-Etag", "\"../../../../../../escaped\""}}});
    file.download();
    EXPECT_TRUE(readFile(file.targetFile()) == content);
    EXPECT_FALSE(std::filesystem::exists(temp.path().parent_path() / "escaped.incomplete"));
    EXPECT_TRUE(testing::partialFilesBelow(temp.path()).empty());
}

TEST_F(FileDownloadDecision, TwoDownloadsOfOneFileAtOnceTransferItOnce) {
    const std::string content = generatedBytes(50000, 6);
    hub.addFile(repo, "weights.bin", content, {.large = true});
    // The first transfer waits half-way until the second download has asked the hub too.
    hub.addFault(
        {.method = "GET", .pathContains = "resolve-cache", .times = 1, .stallAfter = 20000});

    std::jthread first([&] { downloader("weights.bin").download(); });
    for (int i = 0; i < 2000 && transfers() < 2; ++i) {  // the redirect and the stalled body
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::jthread second([&] { downloader("weights.bin").download(); });
    for (int i = 0; i < 2000 && heads() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // lets it reach the lock
    hub.releaseStalls();
    first.join();
    second.join();

    EXPECT_TRUE(readFile(downloader("weights.bin").targetFile()) == content);
    EXPECT_EQ(heads(), 2u);
    EXPECT_EQ(transfers(), 2u);  // one redirect and one body: the second found the file current
    EXPECT_TRUE(testing::partialFilesBelow(temp.path()).empty());
}

}  // namespace
}  // namespace hub
