#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../VevidoCore/TempFolder.h"
#include "DownloadTestSupport.h"
#include "TestHub.h"
#include "TestSupport.h"
#include "hub/Downloader.h"
#include "hub/URLError.h"

namespace hub {
namespace {

using Kind = Downloader::DownloadState::Kind;
using testing::generatedBytes;
using testing::readFile;
using testing::StateLog;
using testing::TestFault;
using testing::TestHub;
using testing::TestRequest;
using testing::writeFile;

class ResumableDownload : public ::testing::Test {
protected:
    ResumableDownload() { writeFile(incomplete, ""); }

    std::string url(const std::string& name = "file.bin") const {
        return hub.endpoint() + "/owner/model/resolve/main/" + name;
    }
    Downloader::Options small(std::size_t chunkSize = 1000) const {
        return {.chunkSize = chunkSize, .retryDelay = std::chrono::milliseconds(10)};
    }
    std::vector<TestRequest> gets() const {
        std::vector<TestRequest> found;
        for (const auto& request : hub.requests()) {
            if (request.method == "GET") {
                found.push_back(request);
            }
        }
        return found;
    }
    static std::vector<double> fractions(const std::vector<Downloader::DownloadState>& states) {
        std::vector<double> found;
        for (const auto& state : states) {
            if (state.kind == Kind::downloading) {
                found.push_back(state.fraction);
            }
        }
        return found;
    }

    vevidocore::testing::TempFolder temp;
    TestHub hub;
    const Repo repo{"owner/model"};
    const std::filesystem::path destination = temp.path() / "out" / "file.bin";
    const std::filesystem::path incomplete = temp.path() / "file.bin.incomplete";
};

TEST_F(ResumableDownload, AKnownSizeReportsOneStatePerTenMebibytesAndMovesTheFileIntoPlace) {
    const std::string content = generatedBytes(2 * Downloader::defaultChunkSize + 1000);
    hub.addFile(repo, "file.bin", content);
    writeFile(destination, "an older copy");

    StateLog log;
    Downloader downloader(destination, incomplete);
    const auto subscription =
        downloader.download(url(), std::nullopt, std::nullopt,
                            static_cast<std::int64_t>(content.size()), 10, 5, log.callback());
    const auto states = log.waitForEnd();

    ASSERT_EQ(states.size(), 5u);
    EXPECT_EQ(states[0].kind, Kind::notStarted);
    EXPECT_EQ(states[1].kind, Kind::downloading);
    EXPECT_EQ(states[1].fraction, 0.0);
    EXPECT_FALSE(states[1].speed);
    for (int chunk = 1; chunk <= 2; ++chunk) {
        const auto& state = states[1 + chunk];
        EXPECT_EQ(state.kind, Kind::downloading);
        EXPECT_DOUBLE_EQ(state.fraction, static_cast<double>(chunk * Downloader::defaultChunkSize) /
                                             static_cast<double>(content.size()));
        EXPECT_TRUE(state.speed && *state.speed > 0);
    }
    EXPECT_EQ(states[4].kind, Kind::completed);
    EXPECT_EQ(states[4].destination, destination);
    EXPECT_TRUE(readFile(destination) == content);
    EXPECT_FALSE(std::filesystem::exists(incomplete));
    ASSERT_EQ(gets().size(), 1u);
    EXPECT_FALSE(gets()[0].header("Range"));
}

TEST_F(ResumableDownload, StatesFollowTheChunksWrittenAndTheExpectedSize) {
    const struct {
        const char* name;
        std::size_t served;
        std::optional<std::int64_t> expected;
        std::size_t partial;  // bytes of the file already in the partial file
        std::vector<double> fractions;
        bool completes;
    } cases[] = {
        {"a tail after the chunks", 2500, 2500, 0, {0, 0.4, 0.8}, true},
        {"whole chunks only", 3000, 3000, 0, {0, 1.0 / 3, 2.0 / 3, 1}, true},
        {"no expected size", 2500, std::nullopt, 0, {0}, true},
        {"expected size zero", 2500, 0, 0, {0}, false},
        // Refused as soon as the bytes pass the announced size: none of them is written.
        {"more bytes than expected", 2500, 2000, 0, {0}, false},
        {"resumed", 2500, 2500, 1200, {0.48, 0.88}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string content = generatedBytes(c.served, 7);
        hub.addFile(repo, "file.bin", content);
        hub.clearRequests();
        std::filesystem::remove(destination);
        writeFile(incomplete, content.substr(0, c.partial));

        StateLog log;
        Downloader downloader(destination, incomplete, small());
        const auto subscription = downloader.download(url(), std::nullopt, std::nullopt, c.expected,
                                                      10, 5, log.callback());
        const auto states = log.waitForEnd();
        EXPECT_EQ(fractions(states), c.fractions);
        ASSERT_EQ(gets().size(), 1u);
        EXPECT_EQ(
            gets()[0].header("Range"),
            c.partial ? std::optional("bytes=" + std::to_string(c.partial) + "-") : std::nullopt);
        if (c.completes) {
            EXPECT_EQ(states.back().kind, Kind::completed);
            EXPECT_TRUE(readFile(destination) == content);
        } else {
            const auto error = testing::failure<Downloader::DownloadError>(states.back());
            EXPECT_EQ(error,
                      Downloader::DownloadError(Downloader::DownloadError::Case::unexpectedError));
            EXPECT_THAT(error ? error->what() : "",
                        ::testing::HasSubstr("cannot download " + destination.string()));
            EXPECT_FALSE(std::filesystem::exists(destination));
        }
    }
}

// What a hostile or broken server does; each ends in one failed state whose message names the
// file and the cause, with nothing moved into place.
TEST_F(ResumableDownload, HostileBodiesFailWithTheFileAndTheCause) {
    const std::string content = generatedBytes(3000, 17);
    hub.addFile(repo, "file.bin", content, {.large = true});
    const std::string sha256 = hub.sha256(repo, "file.bin");
    const std::string otherSha256(64, 'a');
    const struct {
        const char* name;
        std::optional<TestFault> fault;
        std::int64_t expectedSize;
        std::string contentSha256;
        std::string partial;
        std::string cause;
        bool partialKept;  // a body that does not match its hash is deleted
    } cases[] = {
        {"a body that never ends", TestFault{.method = "GET", .endlessBody = true}, 3000, sha256,
         "", "the server sends more than the announced 3000 bytes", true},
        {"a body shorter than announced", std::nullopt, 4000, "", "",
         "the body ended after 3000 bytes, the server announced 4000", true},
        {"content that does not match its SHA-256", std::nullopt, 3000, otherSha256, "",
         "the content's SHA-256 is " + sha256 + ", the server announced " + otherSha256, false},
        {"a resumed prefix that does not match", std::nullopt, 3000, sha256, std::string(1000, 'x'),
         "the content's SHA-256 is ", false},
        {"a connection lost for good", TestFault{.method = "GET", .cutAfter = 100}, 3000, "", "",
         "(after 2 retries): The network connection was lost.", true},
        {"an error status", TestFault{.method = "GET", .status = 500}, 3000, "", "",
         "the server answered with status 500", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hub.clearFaults();
        if (c.fault) {
            hub.addFault(*c.fault);
        }
        writeFile(incomplete, c.partial);
        StateLog log;
        Downloader::Options options = small();
        if (!c.contentSha256.empty()) {
            options.contentSha256 = c.contentSha256;
        }
        Downloader downloader(destination, incomplete, options);
        const auto subscription = downloader.download(url(), std::nullopt, std::nullopt,
                                                      c.expectedSize, 10, 2, log.callback());
        const auto state = log.waitForEnd().back();
        ASSERT_EQ(state.kind, Kind::failed);
        try {
            std::rethrow_exception(state.error);
        } catch (const std::exception& error) {
            EXPECT_THAT(error.what(),
                        ::testing::HasSubstr("cannot download " + destination.string()));
            EXPECT_THAT(error.what(), ::testing::HasSubstr(c.cause));
        }
        EXPECT_FALSE(std::filesystem::exists(destination));
        EXPECT_LE(Downloader::incompleteFileSize(incomplete), c.expectedSize);
        EXPECT_EQ(std::filesystem::exists(incomplete), c.partialKept);
    }
}

TEST_F(ResumableDownload, TheContentHashCoversAResumedPrefixAndAStartOver) {
    const std::string content = generatedBytes(5000, 19);
    hub.addFile(repo, "file.bin", content, {.large = true});
    const struct {
        const char* name;
        std::string partial;
        std::optional<TestFault> fault;
    } cases[] = {
        {"resumed", content.substr(0, 2000), std::nullopt},
        {"cut and resumed", "", TestFault{.method = "GET", .times = 1, .cutAfter = 2500}},
        {"range ignored", content.substr(0, 2000), TestFault{.method = "GET", .ignoreRange = true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hub.clearFaults();
        if (c.fault) {
            hub.addFault(*c.fault);
        }
        writeFile(incomplete, c.partial);
        std::filesystem::remove(destination);
        StateLog log;
        Downloader::Options options = small();
        options.contentSha256 = hub.sha256(repo, "file.bin");
        Downloader downloader(destination, incomplete, options);
        const auto subscription =
            downloader.download(url(), std::nullopt, std::nullopt, 5000, 10, 2, log.callback());
        EXPECT_EQ(log.waitForEnd().back().kind, Kind::completed);
        EXPECT_TRUE(readFile(destination) == content);
    }
}

TEST_F(ResumableDownload, APartialFileThatCannotBeResumedIsStartedOver) {
    const std::string content = generatedBytes(2500, 3);
    hub.addFile(repo, "file.bin", content);
    const struct {
        const char* name;
        std::string partial;
        std::optional<TestFault> fault;
        std::vector<std::optional<std::string>> ranges;  // of the requests, in order
    } cases[] = {
        {"the server ignores the range",
         content.substr(0, 1200),
         TestFault{.method = "GET", .ignoreRange = true},
         {"bytes=1200-"}},
        {"the range cannot be satisfied",
         std::string(1200, 'x'),
         TestFault{.method = "GET", .times = 1, .status = 416},
         {"bytes=1200-", std::nullopt}},
        {"longer than the whole file", std::string(3000, 'x'), std::nullopt, {std::nullopt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hub.clearFaults();
        hub.clearRequests();
        if (c.fault) {
            hub.addFault(*c.fault);
        }
        writeFile(incomplete, c.partial);
        StateLog log;
        Downloader downloader(destination, incomplete, small());
        const auto subscription =
            downloader.download(url(), std::nullopt, std::nullopt, 2500, 10, 5, log.callback());
        EXPECT_EQ(log.waitForEnd().back().kind, Kind::completed);
        EXPECT_TRUE(readFile(destination) == content);
        std::vector<std::optional<std::string>> ranges;
        for (const auto& request : gets()) {
            ranges.push_back(request.header("Range"));
        }
        EXPECT_EQ(ranges, c.ranges);
    }
}

TEST_F(ResumableDownload, ABodyCutSeveralTimesResumesFromTheWrittenLength) {
    const std::string content = generatedBytes(100000, 5);
    hub.addFile(repo, "file.bin", content);
    hub.addFault({.method = "GET", .times = 3, .cutAfter = 30000});

    StateLog log;
    Downloader downloader(destination, incomplete, small(4096));
    const auto subscription =
        downloader.download(url(), "token", std::nullopt, 100000, 10, 5, log.callback());
    EXPECT_EQ(log.waitForEnd().back().kind, Kind::completed);
    EXPECT_TRUE(readFile(destination) == content);

    // Each request asks for the rest after the whole chunks written so far; bytes received but
    // not yet written are asked for again.
    const auto requests = gets();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_FALSE(requests[0].header("Range"));
    EXPECT_EQ(requests[1].header("Range"), "bytes=28672-");
    EXPECT_EQ(requests[2].header("Range"), "bytes=57344-");
    EXPECT_EQ(requests[3].header("Range"), "bytes=86016-");
    for (const auto& request : requests) {
        EXPECT_EQ(request.header("Authorization"), "Bearer token");
    }
}

TEST_F(ResumableDownload, FailuresEndInOneFailedStateAndKeepThePartialFile) {
    const std::string content = generatedBytes(2500, 9);
    hub.addFile(repo, "file.bin", content);
    const struct {
        const char* name;
        TestFault fault;
        std::size_t requests;
        std::optional<URLError::Code> urlError;  // else DownloadError.unexpectedError
    } cases[] = {
        {"retries spent",
         {.method = "GET", .cutAfter = 500},
         3,
         URLError::Code::networkConnectionLost},
        {"not found", {.method = "GET", .status = 404}, 1, std::nullopt},
        {"server error", {.method = "GET", .status = 500}, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hub.clearFaults();
        hub.clearRequests();
        hub.addFault(c.fault);
        writeFile(incomplete, "");
        StateLog log;
        Downloader downloader(destination, incomplete, small());
        const auto subscription =
            downloader.download(url(), std::nullopt, std::nullopt, 2500, 10, 2, log.callback());
        const auto states = log.waitForEnd();
        if (c.urlError) {
            const auto error = testing::failure<URLError>(states.back());
            EXPECT_EQ(error ? std::optional(error->code()) : std::nullopt, c.urlError);
        } else {
            EXPECT_TRUE(testing::failure<Downloader::DownloadError>(states.back()));
        }
        EXPECT_EQ(gets().size(), c.requests);
        EXPECT_FALSE(std::filesystem::exists(destination));
        EXPECT_TRUE(std::filesystem::exists(incomplete));
    }
    // No request got as far as a whole chunk, so nothing was written.
    EXPECT_EQ(Downloader::incompleteFileSize(incomplete), 0);
}

TEST_F(ResumableDownload, CancellingEndsTheTransferOnceAndKeepsWhatWasWritten) {
    const std::string content = generatedBytes(10000, 11);
    hub.addFile(repo, "file.bin", content);
    hub.addFault({.method = "GET", .stallAfter = 5000});

    StateLog log;
    {
        Downloader downloader(destination, incomplete, small());
        const auto subscription =
            downloader.download(url(), std::nullopt, std::nullopt, 10000, 10, 5, log.callback());
        log.waitForFraction(0.5);
        downloader.cancel();
        const auto error = testing::failure<URLError>(log.waitForEnd().back());
        EXPECT_EQ(error ? std::optional(error->code()) : std::nullopt, URLError::Code::cancelled);
    }
    hub.releaseStalls();
    int finals = 0;
    for (const auto& state : log.all()) {
        finals += state.isFinal() ? 1 : 0;
    }
    EXPECT_EQ(finals, 1);
    EXPECT_EQ(Downloader::incompleteFileSize(incomplete), 5000);
    EXPECT_FALSE(std::filesystem::exists(destination));
}

TEST_F(ResumableDownload, FollowsTheHubsRedirectToTheContentStore) {
    const std::string content = generatedBytes(3000, 13);
    hub.addFile(repo, "file.bin", content, {.large = true});
    StateLog log;
    Downloader downloader(destination, incomplete, small());
    const auto subscription =
        downloader.download(url(), "", std::nullopt, 3000, 10, 5, log.callback());
    EXPECT_EQ(log.waitForEnd().back().kind, Kind::completed);
    EXPECT_TRUE(readFile(destination) == content);
    const auto requests = gets();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].listener, "hub");
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer");  // an explicit empty token
    EXPECT_EQ(requests[1].listener, "cdn");
}

}  // namespace
}  // namespace hub
