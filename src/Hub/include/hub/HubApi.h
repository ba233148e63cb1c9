#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hub/Config.h"
#include "hub/EnvironmentError.h"
#include "hub/HTTPResponse.h"
#include "hub/HubClientError.h"
#include "hub/NetworkMonitor.h"
#include "hub/Progress.h"
#include "hub/Repo.h"
#include "hub/XetFileData.h"

namespace vevidocore {
class Logging;
}

namespace hub {

// The client of the model hub and owner of the local repository cache. A value carries where
// and how to work; it is immutable once made and cheap to copy (copies share the network
// monitor). Every operation blocks; those that talk to the hub take a stop token and end with a
// cancelled transport error once a stop is requested.
class HubApi {
public:
    using EnvironmentError = hub::EnvironmentError;

    struct Options {
        // Root of the local cache; default: the user's Documents folder / "modelhub".
        std::optional<std::filesystem::path> downloadBase;
        // Sent with every request; an explicit value (even empty) skips discovery.
        std::optional<std::string> hubToken;
        // The hub's base URL; default: HUB_ENDPOINT, else the build's hub endpoint.
        std::optional<std::string> endpoint;
        bool useBackgroundSession = false;
        // true: always offline, false: always online, absent: the network monitor decides.
        std::optional<bool> useOfflineMode;
        // The monitor that the offline decision asks; default: NetworkMonitor::shared().
        std::shared_ptr<NetworkMonitor> networkMonitor;
    };

    // One entry of a revision listing.
    struct Sibling {
        std::string rfilename;
    };
    struct SiblingsResponse {
        std::vector<Sibling> siblings;
    };

    using Timestamp =
        std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

    // The contents of one metadata record of the local cache.
    struct LocalDownloadFileMetadata {
        std::string commitHash;
        std::string etag;
        // The record's file name without ".metadata".
        std::string filename;
        Timestamp timestamp;
    };

    // What a HEAD request on a file's resolve URL tells about it.
    struct FileMetadata {
        std::optional<std::string> commitHash;
        std::optional<std::string> etag;  // normalised: no "W/", no surrounding quotes
        std::string location;
        std::optional<std::int64_t> size;
        std::optional<XetFileData> xetFileData;
    };

    // What one snapshot may fetch: a listing that names more files, or files that add up to more
    // bytes, is refused.
    static constexpr std::size_t maximumSnapshotFiles = 10000;
    static constexpr std::int64_t maximumSnapshotBytes = std::int64_t{64} << 30;
    // The largest JSON answer (listing, account) read.
    static constexpr std::size_t maximumAnswerBytes = std::size_t{64} << 20;

    static constexpr std::string_view sha256Pattern = "^[0-9a-f]{64}$";
    static constexpr std::string_view commitHashPattern = "^[0-9a-f]{40}$";

    // Every field from its default: token and endpoint by discovery.
    HubApi();
    explicit HubApi(Options options);

    // The default client, made once on first use.
    static const HubApi& shared();
    // Where the client's diagnostics go (error lines of the metadata reader).
    static vevidocore::Logging& logger();
    // The hub endpoint used when neither the client nor HUB_ENDPOINT names one.
    static const std::string& defaultEndpoint();

    const std::filesystem::path& downloadBase() const noexcept { return downloadBase_; }
    const std::optional<std::string>& hubToken() const noexcept { return hubToken_; }
    const std::string& endpoint() const noexcept { return endpoint_; }
    bool useBackgroundSession() const noexcept { return useBackgroundSession_; }
    std::optional<bool> useOfflineMode() const noexcept { return useOfflineMode_; }
    const std::shared_ptr<NetworkMonitor>& networkMonitor() const noexcept {
        return networkMonitor_;
    }

    // Whether work that starts now goes offline: useOfflineMode when set, else the monitor's
    // verdict (see NetworkStateActor::shouldUseOfflineMode).
    bool isOffline() const;

    // A GET that follows redirects; the body (at most maximumAnswerBytes) and the final answer's
    // head. A status outside
    // 200-299 raises HubClientError (401/403 authorizationRequired, 404 fileNotFound with the
    // URL's last path component, other httpStatusCode); a transport failure raises
    // HubClientError::downloadError with its description.
    std::pair<std::string, HTTPResponse> httpGet(const std::string& url,
                                                 std::stop_token stop = {}) const;
    // A HEAD that follows only relative redirects (staying on the same scheme, host and port); a
    // redirect to a location with a host comes back as the answer. Statuses map as for httpGet
    // except that 300-399 is a success; a transport failure raises URLError as it is.
    HTTPResponse httpHead(const std::string& url, std::stop_token stop = {}) const;

    // The files of a repository revision. Without globs every name in the hub's order; with
    // globs each name that matches any of them (fnmatch, no flags), once.
    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision,
                                          const std::vector<std::string>& globs,
                                          std::stop_token stop = {}) const;
    // Revision "main". (Without a stop token, so that a call with an empty brace list for the
    // globs of the full form stays unambiguous.)
    std::vector<std::string> getFilenames(const Repo& repo,
                                          const std::vector<std::string>& globs) const;
    std::vector<std::string> getFilenames(const Repo& repo, const std::string& glob) const;

    // downloadBase / type / id; nothing is checked on disk.
    std::filesystem::path localRepoLocation(const Repo& repo) const;

    // A JSON file read into a Config. A read failure raises std::filesystem::filesystem_error;
    // malformed JSON HubClientError::jsonSerialization.
    Config configuration(const std::filesystem::path& fileURL) const;
    Config configuration(const std::string& fileName, const Repo& repo) const;

    // The regular, visible files below `folder` (hidden files and folders skipped); none when it
    // does not exist.
    static std::vector<std::filesystem::path> getFileUrls(const std::filesystem::path& folder);

    // The account that the token belongs to. Without a token authorizationRequired, before any
    // request.
    Config whoami(std::stop_token stop = {}) const;

    // Reads a metadata record. None when there is no file; a malformed or unreadable record is
    // logged, deleted and reads as none; EnvironmentError::invalidMetadataError when it cannot be
    // deleted.
    std::optional<LocalDownloadFileMetadata> readDownloadMetadata(
        const std::filesystem::path& metadataPath) const;
    // Writes a record stamped with the current time, atomically, creating its folders.
    // EnvironmentError::fileWriteError when that fails.
    void writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                               const std::filesystem::path& metadataPath) const;
    // Whether the regular expression `pattern` finds a match in `hash`; false when it does not
    // compile.
    static bool isValidHash(std::string_view hash, std::string_view pattern);
    // The file's SHA-256 as 64 lower-case hexadecimal digits, read in 1 MiB pieces.
    // HubClientError::fileNotFound (last path component) when it cannot be opened,
    // HubClientError::fileSystemError when reading it fails.
    static std::string computeFileHash(const std::filesystem::path& file);

    // One HEAD request on a file's resolve URL, read into FileMetadata.
    FileMetadata getFileMetadata(const std::string& url, std::stop_token stop = {}) const;
    // The metadata of every file of a revision that matches the globs, in listing order, one
    // request after another.
    std::vector<FileMetadata> getFileMetadata(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs,
                                              std::stop_token stop = {}) const;

    // Called with the overall progress of a snapshot: one child per file, 100 units each.
    using ProgressHandler = std::function<void(const Progress&)>;
    // The same with the last measured download speed (bytes per second), once there is one.
    using SpeedProgressHandler = std::function<void(const Progress&, std::optional<double>)>;

    // Makes every file of the revision that matches the globs present in the local repository
    // folder, and returns that folder.
    //
    // Online (see isOffline()), the revision is listed and each matching file brought up to date
    // one after another (HubFileDownloader); the handler sees the overall progress while bytes
    // arrive and once at the end. A listing that names a path leaving the repository folder, or
    // more than maximumSnapshotFiles files, is refused before anything is fetched; a file that
    // would take the snapshot past maximumSnapshotBytes is refused before it is fetched. A stop
    // ends the call with URLError cancelled; the files fetched so far stay.
    //
    // Offline, nothing is fetched and the handler is not called: every visible file already in
    // the repository folder must have its metadata record, and its SHA-256 must match a
    // recorded entity tag of that form (EnvironmentError offlineModeError or
    // fileIntegrityError otherwise).
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision,
                                   const std::vector<std::string>& globs,
                                   const ProgressHandler& progressHandler = {},
                                   std::stop_token stop = {}) const;
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision,
                                   const std::string& glob,
                                   const ProgressHandler& progressHandler = {},
                                   std::stop_token stop = {}) const;
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision,
                                   const std::vector<std::string>& globs,
                                   const SpeedProgressHandler& progressHandler,
                                   std::stop_token stop = {}) const;
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision,
                                   const std::string& glob,
                                   const SpeedProgressHandler& progressHandler,
                                   std::stop_token stop = {}) const;

    // repository folder / ".cache" / "modelhub" / "download": where metadata records and partial
    // files lie.
    std::filesystem::path localMetadataLocation(const Repo& repo) const;

private:
    std::filesystem::path downloadBase_;
    std::optional<std::string> hubToken_;
    std::string endpoint_;
    bool useBackgroundSession_ = false;
    std::optional<bool> useOfflineMode_;
    std::shared_ptr<NetworkMonitor> networkMonitor_;
};

}  // namespace hub
