#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "hub/HubApi.h"
#include "hub/Repo.h"

namespace hub {

// Brings one file of one repository revision into the local repository folder, or establishes
// that the copy there is current and leaves it alone.
//
// The decision, in this order, the first that settles it ending the call:
//  1. read the local metadata record;
//  2. one HEAD request on the file's resolve URL (redirects to other hosts not followed);
//  3. same commit: the remote commit is a well-formed commit hash equal to the recorded one and
//     the file exists: done, nothing written;
//  4. the answer must name a commit, an entity tag, a size and a location;
//  5. same entity tag as recorded, file present: record rewritten, done;
//  6. the entity tag is a SHA-256 equal to the present file's hash: record rewritten, done;
//  7. transfer through a Downloader into "<metadata folder>/<file>.<etag>.incomplete", then the
//     record is written and the partial files of other entity tags are deleted.
// A present file counts (steps 3 and 5) only with the size the hub announces. An entity tag that
// is a SHA-256 is checked against the content while it arrives.
// The partial file is locked for the transfer, so two processes (or two snapshots) fetching the
// same file do not write it together: the second waits, then finds the file current.
struct HubFileDownloader {
    HubApi hub;
    Repo repo;
    std::string revision;
    std::filesystem::path repoDestination;
    std::filesystem::path repoMetadataDestination;
    // The file's path inside the repository, "/" between folders. Refused, as is a repository id,
    // unless it stays below the repository folder.
    std::string relativeFilename;
    std::optional<std::string> hubToken;
    // None: the hub's default endpoint.
    std::optional<std::string> endpoint;
    bool backgroundSession = false;
    // A file announced larger than this is refused before it is fetched.
    std::optional<std::int64_t> maximumSize;

    // (fraction downloaded in 0...1, speed in bytes per second when measured)
    using ProgressHandler = std::function<void(double, std::optional<double>)>;

    // {endpoint}/[datasets/|spaces/]{repository id}/resolve/{revision}/{relative path}
    std::string source() const;
    std::filesystem::path targetFile() const;
    std::filesystem::path metadataFile() const;
    // The partial file for a remote entity tag; a tag that is not plain [A-Za-z0-9._-] is
    // replaced by its hash.
    std::filesystem::path incompleteFile(const std::string& etag) const;

    // Makes the partial file's folder and the file itself (empty) unless it exists.
    static void prepareCacheDestination(const std::filesystem::path& incompleteFile);

    // Returns the target file. The handler is called on the calling thread, only while a
    // transfer runs. A stop ends a transfer with URLError cancelled; the partial file keeps what
    // was written.
    std::filesystem::path download(const ProgressHandler& progressHandler = {},
                                   std::stop_token stop = {}) const;
};

}  // namespace hub
