#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hub/Broadcaster.h"

namespace hub {

// Fetches one remote file into a partial file and, once the whole body is on disk, moves it to
// its final place. A partial file left by an earlier attempt (or by a process that was killed) is
// resumed with a range request from its length. What happens is reported as a sequence of
// DownloadState values to any number of subscribers.
//
// For one transfer a subscriber receives, in order: the latest earlier state (notStarted for a new
// downloader); downloading(fraction already on disk, no speed); one downloading state per chunk
// written while the expected size is known; then exactly one completed or failed state.
//
// The transfer runs on a thread of the downloader's own, which the destructor stops and joins.
// One caller drives a downloader: download() and cancel() are not meant to race each other from
// several threads, though cancel() may come from any thread (a callback included).
class Downloader {
public:
    static constexpr std::size_t defaultChunkSize = 10 * 1024 * 1024;

    struct DownloadState {
        enum class Kind { downloading, completed, failed, notStarted };

        Kind kind = Kind::notStarted;
        // downloading: the fraction of the expected size on disk; its speed in bytes per second
        // since the previous such state, when measured.
        double fraction = 0;
        std::optional<double> speed;
        // completed: where the file now is.
        std::filesystem::path destination;
        // failed: why.
        std::exception_ptr error;

        static DownloadState notStarted() { return {}; }
        static DownloadState downloading(double fraction, std::optional<double> speed) {
            return {Kind::downloading, fraction, speed, {}, {}};
        }
        static DownloadState completed(std::filesystem::path destination) {
            return {Kind::completed, 0, std::nullopt, std::move(destination), {}};
        }
        static DownloadState failed(std::exception_ptr error) {
            return {Kind::failed, 0, std::nullopt, {}, std::move(error)};
        }
        bool isFinal() const noexcept { return kind == Kind::completed || kind == Kind::failed; }
    };

    // The downloader's own failures. Those it raises carry a message that names the file and
    // the cause; equality is by case alone.
    class DownloadError : public std::exception {
    public:
        enum class Case { invalidDownloadLocation, unexpectedError, tempFileNotFound };

        explicit DownloadError(Case c, std::string message = {})
            : case_(c), message_(std::move(message)) {}
        Case errorCase() const noexcept { return case_; }
        const std::string& message() const noexcept { return message_; }
        const char* what() const noexcept override;

        friend bool operator==(const DownloadError& a, const DownloadError& b) {
            return a.case_ == b.case_;
        }

    private:
        Case case_;
        std::string message_;
    };

    using StateBroadcaster = Broadcaster<DownloadState>;
    using Subscription = StateBroadcaster::Subscription;
    using Headers = std::vector<std::pair<std::string, std::string>>;

    struct Options {
        // There is no background transfer service here: a background downloader works as any
        // other.
        bool inBackground = false;
        // Bytes per write to the partial file, and so per progress state.
        std::size_t chunkSize = defaultChunkSize;
        // The pause before a request that resumes a body broken off by the network.
        std::chrono::milliseconds retryDelay{1000};
        // The SHA-256 (64 lower-case hexadecimal digits) that the whole content must have. It is
        // computed while the body arrives; on a mismatch the partial file is deleted and nothing
        // is moved into place.
        std::optional<std::string> contentSha256;
    };

    // `incompleteDestination` must exist before a transfer starts.
    Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination,
               bool inBackground = false, std::size_t chunkSize = defaultChunkSize);
    Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination,
               Options options);
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Starts fetching `url` (GET, following redirects) and returns at once with `onState`
    // subscribed. A token, even an empty one, is sent as "Authorization: Bearer <token>".
    // `timeout` is an idle limit in seconds: the transfer fails when nothing moves for that long,
    // however long the whole body takes. A body that the network breaks off is asked for again
    // from the written length up to `numRetries` times in a row (a chunk written restores the
    // budget). When `expectedSize` is given the file must end up exactly that long, and a body
    // that runs past it fails at once. A transfer that was running is stopped first.
    [[nodiscard]] Subscription download(const std::string& url,
                                        const std::optional<std::string>& token,
                                        const std::optional<Headers>& headers,
                                        std::optional<std::int64_t> expectedSize, double timeout,
                                        int numRetries, StateBroadcaster::Callback onState);

    // Stops the transfer; it ends with failed(URLError cancelled) unless it had already ended.
    void cancel();

    // Another subscriber for the states; it first receives the latest one.
    [[nodiscard]] Subscription subscribe(StateBroadcaster::Callback onState) {
        return broadcaster_.subscribe(std::move(onState));
    }

    const std::filesystem::path& destination() const noexcept { return destination_; }
    const std::filesystem::path& incompleteDestination() const noexcept {
        return incompleteDestination_;
    }

    // The file's size in bytes; 0 when it does not exist or its size cannot be read.
    static std::int64_t incompleteFileSize(const std::filesystem::path& file);

    // Replaces whatever is at `to` with `from`, making the folders above `to`.
    static void moveDownloadedFile(const std::filesystem::path& from,
                                   const std::filesystem::path& to);

private:
    struct Request;

    void run(std::stop_token stop, const Request& request);
    void fetch(const std::stop_token& stop, const Request& request, int fd,
               std::int64_t resumeSize);

    const std::filesystem::path destination_;
    const std::filesystem::path incompleteDestination_;
    const Options options_;
    StateBroadcaster broadcaster_;

    std::mutex mutex_;
    std::jthread thread_;  // the current transfer
};

}  // namespace hub
