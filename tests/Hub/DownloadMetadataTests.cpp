#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

#include "../VevidoCore/TempFolder.h"
#include "TestHub.h"
#include "TestSupport.h"
#include "hub/HubApi.h"
#include "vevidocore/Logging.h"

namespace hub {
namespace {

using testing::caught;
using testing::readFile;
using testing::writeFile;

const std::string commit(40, 'a');
const std::string sha(64, 'b');

// Error lines of the client's logger during one test.
class LoggedLines {
public:
    LoggedLines() {
        vevidocore::Logging::shared().setLoggingCallback(
            [this](const std::string& line) { lines.push_back(line); });
    }
    ~LoggedLines() { vevidocore::Logging::shared().setLoggingCallback(nullptr); }
    LoggedLines(const LoggedLines&) = delete;
    LoggedLines& operator=(const LoggedLines&) = delete;

    std::vector<std::string> lines;
};

class DownloadMetadata : public ::testing::Test {
protected:
    std::filesystem::path metadataFolder() const {
        return temp.path() / "models/o/m/.cache/modelhub/download";
    }

    vevidocore::testing::TempFolder temp;
    const HubApi client{HubApi::Options{.downloadBase = temp.path(), .hubToken = ""}};
};

TEST_F(DownloadMetadata, WrittenRecordReadsBackExactly) {
    const auto path = metadataFolder() / "sub/model.bin.metadata";
    const double before =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    client.writeDownloadMetadata(commit, "W/\"raw tag\"", path);
    const double after =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

    const std::string text = readFile(path);
    const auto lines = [&] {
        std::vector<std::string> split;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            split.push_back(text.substr(start, end - start));
        }
        EXPECT_EQ(start, text.size()) << "the record ends with a line feed";
        return split;
    }();
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_EQ(lines[0], commit);
    EXPECT_EQ(lines[1], "W/\"raw tag\"");  // written as given
    EXPECT_NE(lines[2].find('.'), std::string::npos) << lines[2];

    const auto record = client.readDownloadMetadata(path);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->commitHash, commit);
    EXPECT_EQ(record->etag, "W/\"raw tag\"");
    EXPECT_EQ(record->filename, "model.bin");
    // Bracketed by the clock: the text keeps the time in full, not rounded to seconds.
    const double written = record->timestamp.time_since_epoch().count();
    EXPECT_GE(written, before);
    EXPECT_LE(written, after);
}

TEST_F(DownloadMetadata, WholeSecondsKeepTheirFraction) {
    const auto path =
        writeFile(metadataFolder() / "a.metadata", commit + "\n" + sha + "\n" + "1700000000.0\n");
    const auto record = client.readDownloadMetadata(path);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->timestamp.time_since_epoch().count(), 1700000000.0);
}

TEST_F(DownloadMetadata, ValuesAreTrimmedAndExtraLinesIgnored) {
    const auto path = writeFile(metadataFolder() / "x.metadata.metadata",
                                " \t" + commit + "  \n\t" + sha + "\n 1.5e9 \nextra\nmore");
    const auto record = client.readDownloadMetadata(path);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->commitHash, commit);
    EXPECT_EQ(record->etag, sha);
    EXPECT_EQ(record->filename, "x");
    EXPECT_EQ(record->timestamp.time_since_epoch().count(), 1.5e9);
}

TEST_F(DownloadMetadata, BadRecordsAreLoggedDeletedAndReadAsNone) {
    const struct {
        const char* name;
        std::string bytes;
        const char* logged;
    } cases[] = {
        {"two lines", commit + "\n" + sha, "Invalid metadata file "},
        {"no timestamp", commit + "\n" + sha + "\n\n", "Invalid metadata file "},
        {"word timestamp", commit + "\n" + sha + "\nyesterday\n", "Invalid metadata file "},
        // A line break of CR LF splits twice: the tag moves to the third line.
        {"carriage returns", commit + "\r\n" + sha + "\r\n1700000000.0\r\n",
         "Invalid metadata file "},
        {"not UTF-8", commit + "\n\xff\n1.0\n", "Error reading metadata file "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoggedLines log;
        const auto path = writeFile(metadataFolder() / "bad.metadata", c.bytes);
        EXPECT_EQ(client.readDownloadMetadata(path), std::nullopt);
        EXPECT_FALSE(std::filesystem::exists(path));
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_TRUE(log.lines[0].starts_with(c.logged + testing::fileURL(path) + ": "))
            << log.lines[0];
        EXPECT_TRUE(log.lines[0].ends_with(". Removing it from disk and continuing."))
            << log.lines[0];
    }

    LoggedLines log;
    EXPECT_EQ(client.readDownloadMetadata(metadataFolder() / "absent.metadata"), std::nullopt);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(DownloadMetadata, ABadRecordThatCannotBeRemovedIsAnError) {
    // A folder in the record's place cannot be read as a record nor removed while it holds a file.
    const auto path = metadataFolder() / "stuck.metadata";
    writeFile(path / "inside", "x");
    LoggedLines log;
    const auto error = caught<EnvironmentError>([&] { client.readDownloadMetadata(path); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), EnvironmentError::Case::invalidMetadataError);
    EXPECT_TRUE(error->text().starts_with("Could not remove corrupted metadata file: "))
        << error->what();
}

// A record named at the file system's limit of 255 bytes is written: its temporary twin is not.
TEST_F(DownloadMetadata, ARecordNamedNearTheNameLimitIsWritten) {
    const std::string filename(255 - std::string_view(".metadata").size(), 'n');
    const auto path = metadataFolder() / (filename + ".metadata");
    client.writeDownloadMetadata(commit, sha, path);
    const auto record = client.readDownloadMetadata(path);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->filename, filename);
    EXPECT_EQ(record->etag, sha);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(metadataFolder()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file is left beside the record";
}

TEST_F(DownloadMetadata, AFailedWriteNamesThePath) {
    writeFile(temp.path() / "plain-file", "x");
    const auto blocked = temp.path() / "plain-file/sub/a.metadata";
    const auto error =
        caught<EnvironmentError>([&] { client.writeDownloadMetadata(commit, sha, blocked); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), EnvironmentError::Case::fileWriteError);
    EXPECT_TRUE(error->text().starts_with("Failed to write metadata to " + blocked.string() + ": "))
        << error->what();
}

TEST(HashPattern, MatchesOnlyLowerCaseDigestsOfTheRightLength) {
    const struct {
        std::string hash;
        std::string_view pattern;
        bool valid;
    } cases[] = {
        {std::string(64, 'a'), HubApi::sha256Pattern, true},
        {std::string(64, '0'), HubApi::sha256Pattern, true},
        {std::string(64, 'A'), HubApi::sha256Pattern, false},
        {std::string(63, 'a'), HubApi::sha256Pattern, false},
        {std::string(65, 'a'), HubApi::sha256Pattern, false},
        {std::string(63, 'a') + "g", HubApi::sha256Pattern, false},
        {std::string(40, 'f'), HubApi::commitHashPattern, true},
        {std::string(64, 'f'), HubApi::commitHashPattern, false},
        {std::string(40, 'f'), "^[0-9a-f{40}$", false},  // does not compile
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HubApi::isValidHash(c.hash, c.pattern), c.valid) << c.hash << " " << c.pattern;
    }
}

TEST(FileHash, StreamsTheWholeFile) {
    vevidocore::testing::TempFolder temp;
    EXPECT_EQ(HubApi::computeFileHash(writeFile(temp.path() / "empty", "")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HubApi::computeFileHash(writeFile(temp.path() / "abc", "abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // Several pieces, the last one partial: compare with a digest computed in one go.
    std::string large(3 * 1048576 + 12345, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7919 % 251);
    }
    testing::TestHub hub;
    hub.addFile(Repo("o/m"), "large.bin", large);
    EXPECT_EQ(HubApi::computeFileHash(writeFile(temp.path() / "large.bin", large)),
              hub.sha256(Repo("o/m"), "large.bin"));
}

TEST(FileHash, MissingAndUnreadableFilesAreErrorsNotWrongDigests) {
    vevidocore::testing::TempFolder temp;
    EXPECT_EQ(caught<HubClientError>(
                  [&] { HubApi::computeFileHash(temp.path() / "sub" / "missing.bin"); }),
              HubClientError::fileNotFound("missing.bin"));
    // A folder opens but cannot be read.
    const auto error =
        caught<HubClientError>([&] { HubApi::computeFileHash(temp.folder("folder.bin")); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), HubClientError::Case::fileSystemError);
}

}  // namespace
}  // namespace hub
