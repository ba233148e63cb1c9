#include "hub/HubFileDownloader.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "HubURL.h"
#include "SafePath.h"
#include "UniqueFd.h"
#include "hub/Downloader.h"
#include "hub/URLError.h"

namespace hub {

namespace {

constexpr double transferIdleTimeoutSeconds = 10;
constexpr int transferRetries = 5;
// How often a wait for another writer's lock looks for a stop.
constexpr auto lockPollInterval = std::chrono::milliseconds(20);

[[noreturn]] void throwErrno(const char* what, const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(errno, std::generic_category()));
}

// An exclusive lock on the partial file, held while one writer fills it and moves it into place.
// The lock belongs to the file, not to its name: a writer that finished has moved the locked
// file away, so after waiting the name is checked to still be the file that was locked.
class PartialFileLock {
public:
    PartialFileLock(const std::filesystem::path& path, const std::stop_token& stop) {
        for (;;) {
            HubFileDownloader::prepareCacheDestination(path);
            detail::UniqueFd file(::open(path.c_str(), O_RDWR | O_CLOEXEC));
            if (!file) {
                if (errno == ENOENT) {
                    continue;  // moved into place between making it and opening it
                }
                throwErrno("cannot open the partial file", path);
            }
            while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
                if (errno != EWOULDBLOCK && errno != EINTR) {
                    throwErrno("cannot lock the partial file", path);
                }
                if (stop.stop_requested()) {
                    throw URLError(URLError::Code::cancelled);
                }
                std::this_thread::sleep_for(lockPollInterval);
            }
            struct stat locked {};
            struct stat named {};
            if (::fstat(file.get(), &locked) != 0) {
                throwErrno("cannot read the partial file", path);
            }
            if (::stat(path.c_str(), &named) == 0 && named.st_dev == locked.st_dev &&
                named.st_ino == locked.st_ino) {
                file_ = std::move(file);
                return;
            }
        }
    }

private:
    detail::UniqueFd file_;  // closing it releases the lock
};

// The downloader's states, handed from its thread to the waiting caller.
class StateQueue {
public:
    void push(const Downloader::DownloadState& state) {
        {
            std::lock_guard lock(mutex_);
            states_.push_back(state);
        }
        ready_.notify_one();
    }

    Downloader::DownloadState pop() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !states_.empty(); });
        Downloader::DownloadState state = std::move(states_.front());
        states_.pop_front();
        return state;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Downloader::DownloadState> states_;
};

bool isPresent(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// Present with the size the hub announces (when it announces one): a copy cut short on disk is
// not current whatever its record says.
bool isPresentWhole(const std::filesystem::path& path, std::optional<std::int64_t> size) {
    std::error_code error;
    const std::uintmax_t onDisk = std::filesystem::file_size(path, error);
    if (error) {
        return false;
    }
    return !size || (*size >= 0 && onDisk == static_cast<std::uintmax_t>(*size));
}

// Deletes the partial files that other entity tags of the file left, unless a writer holds one.
// Only "<name>.<tag>.incomplete" with a tag free of dots is taken as the file's own: a sibling
// "<name>.<more>" has a dot between its own name and its tag.
void removeStalePartialFiles(const std::filesystem::path& current, const std::string& base) {
    const std::string currentName = current.filename().string();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(current.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name == currentName || !name.starts_with(base + ".") ||
            !name.ends_with(".incomplete")) {
            continue;
        }
        const std::string_view tag = std::string_view(name).substr(
            base.size() + 1,
            name.size() - base.size() - 1 - std::string_view(".incomplete").size());
        if (tag.empty() || tag.find('.') != std::string_view::npos) {
            continue;
        }
        detail::UniqueFd file(::open(entry.path().c_str(), O_RDWR | O_CLOEXEC));
        if (file && ::flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
            std::filesystem::remove(entry.path(), error);
        }
    }
}

}  // namespace

std::string HubFileDownloader::source() const {
    return detail::resolveURL(endpoint.value_or(HubApi::defaultEndpoint()), repo, revision,
                              relativeFilename);
}

std::filesystem::path HubFileDownloader::targetFile() const {
    return repoDestination / relativeFilename;
}

std::filesystem::path HubFileDownloader::metadataFile() const {
    return repoMetadataDestination / (relativeFilename + ".metadata");
}

std::filesystem::path HubFileDownloader::incompleteFile(const std::string& etag) const {
    return repoMetadataDestination /
           (relativeFilename + "." + detail::fileNameComponent(etag) + ".incomplete");
}

void HubFileDownloader::prepareCacheDestination(const std::filesystem::path& incompleteFile) {
    std::filesystem::create_directories(incompleteFile.parent_path());
    // Never truncates: an existing partial file holds where a transfer resumes, and another
    // writer may hold it.
    detail::UniqueFd file(::open(incompleteFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!file) {
        throwErrno("cannot create the partial file", incompleteFile);
    }
}

std::filesystem::path HubFileDownloader::download(const ProgressHandler& progressHandler,
                                                  std::stop_token stop) const {
    detail::requireSafeRelativePath(repo.id, "repository id");
    detail::requireSafeRelativePath(relativeFilename, "file name");
    const std::filesystem::path target = targetFile();
    const std::filesystem::path metadataPath = metadataFile();

    const std::optional<HubApi::LocalDownloadFileMetadata> local =
        hub.readDownloadMetadata(metadataPath);
    const HubApi::FileMetadata remote = hub.getFileMetadata(source(), stop);

    const std::string remoteCommit = remote.commitHash.value_or("");
    if (HubApi::isValidHash(remoteCommit, HubApi::commitHashPattern) &&
        isPresentWhole(target, remote.size) && local && local->commitHash == remoteCommit) {
        return target;
    }
    if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty()) {
        throw EnvironmentError::invalidMetadataError(
            "File metadata must have been retrieved from server");
    }
    const std::string& etag = *remote.etag;
    if (maximumSize && *remote.size > *maximumSize) {
        throw HubClientError::downloadError(fmt::format(
            "cannot download {}: the hub announces {} bytes, more than the {} left for this "
            "download",
            detail::printable(relativeFilename), *remote.size, *maximumSize));
    }
    if (isPresentWhole(target, remote.size) && local && local->etag == etag) {
        hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
        return target;
    }
    if (isPresent(target) && HubApi::isValidHash(etag, HubApi::sha256Pattern) &&
        HubApi::computeFileHash(target) == etag) {
        hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
        return target;
    }

    const std::filesystem::path incomplete = incompleteFile(etag);
    const PartialFileLock lock(incomplete, stop);
    // Whoever held the lock before may have just brought in this very file.
    if (const auto recorded = hub.readDownloadMetadata(metadataPath);
        recorded && recorded->etag == etag && isPresentWhole(target, remote.size)) {
        std::error_code ignored;
        std::filesystem::remove(incomplete, ignored);  // made empty while waiting; still locked
        return target;
    }

    StateQueue states;
    const bool etagIsHash = HubApi::isValidHash(etag, HubApi::sha256Pattern);
    Downloader downloader(target, incomplete,
                          Downloader::Options{
                              .inBackground = backgroundSession,
                              .chunkSize = Downloader::defaultChunkSize,
                              .contentSha256 = etagIsHash ? std::optional(etag) : std::nullopt,
                          });
    const Downloader::Subscription subscription = downloader.download(
        source(), hubToken, std::nullopt, remote.size, transferIdleTimeoutSeconds, transferRetries,
        [&states](const Downloader::DownloadState& state) { states.push(state); });
    const std::stop_callback onStop(stop, [&downloader] { downloader.cancel(); });
    for (bool done = false; !done;) {
        const Downloader::DownloadState state = states.pop();
        switch (state.kind) {
            case Downloader::DownloadState::Kind::downloading:
                if (progressHandler) {
                    progressHandler(state.fraction, state.speed);
                }
                break;
            case Downloader::DownloadState::Kind::completed:
                done = true;
                break;
            case Downloader::DownloadState::Kind::failed:
                std::rethrow_exception(state.error);
            case Downloader::DownloadState::Kind::notStarted:
                break;
        }
    }
    hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
    removeStalePartialFiles(incomplete,
                            std::filesystem::path(relativeFilename).filename().string());
    return target;
}

}  // namespace hub
