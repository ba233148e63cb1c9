#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "SafePath.h"
#include "hub/HubApi.h"
#include "hub/HubFileDownloader.h"

namespace hub {

namespace {

// fraction × 100, truncated; reports that cannot be a count are left out.
std::optional<std::int64_t> percentOf(double fraction) {
    const double percent = fraction * 100;
    if (!std::isfinite(percent) || percent < -9.2e18 || percent > 9.2e18) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(percent);
}

HubApi::ProgressHandler withSpeed(const HubApi::SpeedProgressHandler& handler) {
    return [handler](const Progress& progress) {
        if (handler) {
            handler(progress, progress.throughput());
        }
    };
}

}  // namespace

std::filesystem::path HubApi::localMetadataLocation(const Repo& repo) const {
    return localRepoLocation(repo) / ".cache" / "modelhub" / "download";
}

std::filesystem::path HubApi::snapshot(const Repo& repo, const std::string& revision,
                                       const std::vector<std::string>& globs,
                                       const ProgressHandler& progressHandler,
                                       std::stop_token stop) const {
    detail::requireSafeRelativePath(repo.id, "repository id");
    const std::filesystem::path repoDestination = localRepoLocation(repo);
    const std::filesystem::path metadataDestination = localMetadataLocation(repo);
    const auto report = [&progressHandler](const Progress& progress) {
        if (progressHandler) {
            progressHandler(progress);
        }
    };

    if (isOffline()) {
        std::error_code error;
        if (!std::filesystem::exists(repoDestination, error)) {
            throw EnvironmentError::offlineModeError("Repository not available locally");
        }
        const std::vector<std::filesystem::path> files = getFileUrls(repoDestination);
        if (files.empty()) {
            throw EnvironmentError::offlineModeError(
                "No files available locally for this repository");
        }
        for (const std::filesystem::path& file : files) {
            std::filesystem::path record =
                metadataDestination / file.lexically_relative(repoDestination);
            record += ".metadata";
            const std::string name = file.filename().string();
            const std::optional<LocalDownloadFileMetadata> metadata = readDownloadMetadata(record);
            if (!metadata) {
                throw EnvironmentError::offlineModeError("Metadata not available for " +
                                                         detail::printable(name));
            }
            if (isValidHash(metadata->etag, sha256Pattern) &&
                computeFileHash(file) != metadata->etag) {
                throw EnvironmentError::fileIntegrityError("Hash mismatch for " +
                                                           detail::printable(name));
            }
        }
        return repoDestination;
    }

    const std::vector<std::string> names = getFilenames(repo, revision, globs, stop);
    // A hostile listing is refused whole, before anything is written.
    if (names.size() > maximumSnapshotFiles) {
        throw HubClientError::downloadError(
            fmt::format("cannot download {}: the listing names {} matching files, more than the "
                        "{} that one download may fetch",
                        detail::printable(repo.id), names.size(), maximumSnapshotFiles));
    }
    for (const std::string& name : names) {
        detail::requireSafeRelativePath(name, "file name");
    }
    std::int64_t bytes = 0;
    Progress overall(static_cast<std::int64_t>(names.size()));
    for (const std::string& name : names) {
        auto fileProgress = std::make_shared<Progress>(100);
        overall.addChild(fileProgress, 1);
        const HubFileDownloader downloader{
            .hub = *this,
            .repo = repo,
            .revision = revision,
            .repoDestination = repoDestination,
            .repoMetadataDestination = metadataDestination,
            .relativeFilename = name,
            .hubToken = hubToken_,
            .endpoint = endpoint_,
            .backgroundSession = useBackgroundSession_,
            .maximumSize = maximumSnapshotBytes - bytes,
        };
        const std::filesystem::path file = downloader.download(
            [&](double fraction, std::optional<double> speed) {
                if (const std::optional<std::int64_t> percent = percentOf(fraction)) {
                    fileProgress->setCompletedUnitCount(*percent);
                }
                if (speed) {
                    fileProgress->setThroughput(*speed);
                    overall.setThroughput(*speed);
                }
                report(overall);
            },
            stop);
        if (stop.stop_requested()) {
            // Returning the folder would pass a partial snapshot off as a complete one.
            throw URLError(URLError::Code::cancelled);
        }
        std::error_code error;
        bytes += static_cast<std::int64_t>(std::filesystem::file_size(file, error));
        fileProgress->setCompletedUnitCount(100);
    }
    report(overall);
    return repoDestination;
}

std::filesystem::path HubApi::snapshot(const Repo& repo, const std::string& revision,
                                       const std::string& glob,
                                       const ProgressHandler& progressHandler,
                                       std::stop_token stop) const {
    return snapshot(repo, revision, std::vector<std::string>{glob}, progressHandler,
                    std::move(stop));
}

std::filesystem::path HubApi::snapshot(const Repo& repo, const std::string& revision,
                                       const std::vector<std::string>& globs,
                                       const SpeedProgressHandler& progressHandler,
                                       std::stop_token stop) const {
    return snapshot(repo, revision, globs, withSpeed(progressHandler), std::move(stop));
}

std::filesystem::path HubApi::snapshot(const Repo& repo, const std::string& revision,
                                       const std::string& glob,
                                       const SpeedProgressHandler& progressHandler,
                                       std::stop_token stop) const {
    return snapshot(repo, revision, std::vector<std::string>{glob}, withSpeed(progressHandler),
                    std::move(stop));
}

}  // namespace hub
