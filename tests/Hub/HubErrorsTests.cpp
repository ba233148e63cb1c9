#include <gtest/gtest.h>

#include "../VevidoCore/TempFolder.h"
#include "hub/ConfigError.h"
#include "hub/EnvironmentError.h"
#include "hub/HubClientError.h"
#include "hub/ModuleBundle.h"
#include "hub/Repo.h"
#include "hub/YYJSONParser.h"

namespace hub {
namespace {

TEST(HubClientError, DescribesEachCase) {
    const struct {
        HubClientError error;
        const char* description;
    } cases[] = {
        {HubClientError::httpStatusCode(404), "HTTP error with status code: 404"},
        {HubClientError::jsonSerialization("/x/config.json", "bare message"), "bare message"},
        {HubClientError::downloadError("timed out"), "Download failed: timed out"},
        {HubClientError::fileNotFound("main"), "File not found: main"},
        {HubClientError::networkError(URLError(URLError::Code::timedOut)),
         "Network error: The request timed out."},
        {HubClientError::resourceNotFound("r"), "Resource not found: r"},
        {HubClientError::configurationMissing("config.json"),
         "Required configuration file missing: config.json"},
        {HubClientError::fileSystemError("disk full"), "File system error: disk full"},
        {HubClientError::parseError("p"), "Parse error: p"},
        {HubClientError::authorizationRequired(),
         "Authentication required. Please provide a valid hub access token."},
        {HubClientError::parse(), "Failed to parse server response."},
        {HubClientError::unexpectedError(), "An unexpected error occurred."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.errorDescription(), c.description);
        EXPECT_STREQ(c.error.what(), c.description);
    }
    EXPECT_EQ(HubClientError::httpStatusCode(500).statusCode(), 500);
    EXPECT_EQ(HubClientError::jsonSerialization("/x/config.json", "m").fileURL(), "/x/config.json");
}

TEST(EnvironmentError, DescribesEachCase) {
    EXPECT_STREQ(EnvironmentError::invalidMetadataError("x").what(), "Invalid metadata: x");
    EXPECT_STREQ(EnvironmentError::offlineModeError("x").what(), "Offline mode error: x");
    EXPECT_STREQ(EnvironmentError::fileIntegrityError("x").what(),
                 "File integrity check failed: x");
    EXPECT_STREQ(EnvironmentError::fileWriteError("x").what(), "Failed to write file: x");
}

TEST(Repo, TypeRawValuesAreExact) {
    for (RepoType type : {RepoType::models, RepoType::datasets, RepoType::spaces}) {
        EXPECT_EQ(repoTypeFromRawValue(rawValue(type)), type);
    }
    for (const char* other : {"Models", "model", "dataset", ""}) {
        EXPECT_EQ(repoTypeFromRawValue(other), std::nullopt) << other;
    }
}

TEST(Repo, CodesAsIdAndType) {
    const Repo repo("owner/na\"me", RepoType::datasets);
    EXPECT_EQ(repo.encodedJSON(), R"({"id":"owner/na\"me","type":"datasets"})");
    EXPECT_EQ(Repo::decodedJSON(repo.encodedJSON()), repo);
    EXPECT_EQ(Repo::decodedJSON(R"({"type":"spaces","id":"a/b","extra":1})"),
              Repo("a/b", RepoType::spaces));

    for (const char* bad : {R"({"id":"a/b","type":"dataset"})", R"({"id":"a/b"})",
                            R"({"type":"models"})", R"({"id":7,"type":"models"})", "[]"}) {
        EXPECT_THROW(Repo::decodedJSON(bad), ConfigError) << bad;
    }
    EXPECT_THROW(Repo::decodedJSON("{"), YYJSONParser::ParseError);
}

TEST(ModuleBundle, FirstCandidateHoldingTheBundleWins) {
    vevidocore::testing::TempFolder temp;
    const auto resources = temp.folder("share");
    const auto program = temp.folder("bin");
    temp.folder("bin/radid-ozezivurired_Hub.bundle");

    // Only beside the program: the last candidate finds it; absent places are skipped.
    EXPECT_EQ(findModuleBundle({resources, std::nullopt, program}),
              program / "radid-ozezivurired_Hub.bundle");

    temp.folder("share/radid-ozezivurired_Hub.bundle");
    EXPECT_EQ(findModuleBundle({resources, std::nullopt, program}),
              resources / "radid-ozezivurired_Hub.bundle");
    EXPECT_EQ(findModuleBundle({temp.folder("empty")}), std::nullopt);
}

}  // namespace
}  // namespace hub
