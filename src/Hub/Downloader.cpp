#include "hub/Downloader.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <system_error>

#include "Authorization.h"
#include "CurlTransfer.h"
#include "UniqueFd.h"
#include "hub/URLError.h"

namespace hub {

namespace {

using Clock = std::chrono::steady_clock;

// libcurl's receive buffer for file bodies: large enough that a fast link is not held up by the
// number of callbacks.
constexpr long bodyBufferSize = 512 * 1024;

[[noreturn]] void throwErrno(const char* what, const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(errno, std::generic_category()));
}

void writeAt(int fd, const char* data, std::size_t size, std::int64_t offset,
             const std::filesystem::path& path) {
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno("cannot write the partial file", path);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
}

// The first byte of a "Content-Range: bytes <first>-<last>/<size>" answer.
std::optional<std::int64_t> contentRangeStart(std::string_view value) {
    constexpr std::string_view unit = "bytes ";
    if (!value.starts_with(unit)) {
        return std::nullopt;
    }
    value.remove_prefix(unit.size());
    std::int64_t first = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), first);
    if (error != std::errc() || end == value.data() + value.size() || *end != '-') {
        return std::nullopt;
    }
    return first;
}

// A ranged request that the server could not satisfy: the partial file does not belong to the
// file the server has now.
struct RangeNotSatisfiable {};

// Waits `delay` unless a stop comes first.
void pause(std::chrono::milliseconds delay, const std::stop_token& stop) {
    std::mutex mutex;
    std::condition_variable_any woken;
    std::unique_lock lock(mutex);
    woken.wait_for(lock, stop, delay, [] { return false; });
}

}  // namespace

const char* Downloader::DownloadError::what() const noexcept {
    switch (case_) {
        case Case::invalidDownloadLocation:
            return "The operation couldn\u2019t be completed. (hub.Downloader.DownloadError error "
                   "0.)";
        case Case::unexpectedError:
            return "The operation couldn\u2019t be completed. (hub.Downloader.DownloadError error "
                   "1.)";
        case Case::tempFileNotFound:
            break;
    }
    return "The operation couldn\u2019t be completed. (hub.Downloader.DownloadError error 2.)";
}

struct Downloader::Request {
    std::string url;
    std::optional<std::string> token;
    Headers headers;
    std::optional<std::int64_t> expectedSize;
    long idleTimeoutSeconds = 10;
    int numRetries = 0;
};

// One transfer's body: written bytes, the unwritten tail and the progress bookkeeping.
class BodyWriter {
public:
    BodyWriter(int fd, const std::filesystem::path& path, std::size_t chunkSize,
               std::int64_t written, std::optional<std::int64_t> expectedSize,
               Downloader::StateBroadcaster& states)
        : fd_(fd),
          path_(path),
          chunkSize_(chunkSize),
          expectedSize_(expectedSize),
          states_(states),
          written_(written),
          lastTotal_(written),
          lastTime_(Clock::now()) {
        buffer_.reserve(chunkSize_);
    }

    std::int64_t written() const noexcept { return written_; }

    // Drops everything on disk: the next byte is the file's first.
    void startOver() {
        if (::ftruncate(fd_, 0) != 0) {
            throwErrno("cannot empty the partial file", path_);
        }
        buffer_.clear();
        written_ = 0;
        lastTotal_ = 0;
        lastTime_ = Clock::now();
    }

    // Bytes received but not yet written are lost when the connection breaks.
    void dropUnwritten() { buffer_.clear(); }

    // Returns whether a whole chunk was written.
    bool append(std::string_view piece) {
        bool wroteChunk = false;
        while (!piece.empty()) {
            const std::size_t take = std::min(piece.size(), chunkSize_ - buffer_.size());
            buffer_.insert(buffer_.end(), piece.data(), piece.data() + take);
            piece.remove_prefix(take);
            if (buffer_.size() == chunkSize_) {
                writeChunk();
                wroteChunk = true;
            }
        }
        return wroteChunk;
    }

    // The tail after the last whole chunk; no state for it.
    void finish() {
        if (!buffer_.empty()) {
            writeAt(fd_, buffer_.data(), buffer_.size(), written_, path_);
            written_ += static_cast<std::int64_t>(buffer_.size());
            buffer_.clear();
        }
    }

private:
    void writeChunk() {
        writeAt(fd_, buffer_.data(), buffer_.size(), written_, path_);
        written_ += static_cast<std::int64_t>(buffer_.size());
        buffer_.clear();
        if (!expectedSize_) {
            return;
        }
        const double fraction = *expectedSize_ == 0 ? 0.0
                                                    : static_cast<double>(written_) /
                                                          static_cast<double>(*expectedSize_);
        const Clock::time_point now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - lastTime_).count();
        std::optional<double> speed;
        if (elapsed > 0) {
            speed = static_cast<double>(written_ - lastTotal_) / elapsed;
        }
        states_.broadcast(Downloader::DownloadState::downloading(fraction, speed));
        lastTime_ = now;
        lastTotal_ = written_;
    }

    const int fd_;
    const std::filesystem::path& path_;
    const std::size_t chunkSize_;
    const std::optional<std::int64_t> expectedSize_;
    Downloader::StateBroadcaster& states_;
    std::vector<char> buffer_;
    std::int64_t written_;
    std::int64_t lastTotal_;
    Clock::time_point lastTime_;
};

Downloader::Downloader(std::filesystem::path destination,
                       std::filesystem::path incompleteDestination, bool inBackground,
                       std::size_t chunkSize)
    : Downloader(std::move(destination), std::move(incompleteDestination),
                 Options{.inBackground = inBackground, .chunkSize = chunkSize}) {}

Downloader::Downloader(std::filesystem::path destination,
                       std::filesystem::path incompleteDestination, Options options)
    : destination_(std::move(destination)),
      incompleteDestination_(std::move(incompleteDestination)),
      options_([&] {
          if (options.chunkSize == 0) {
              options.chunkSize = defaultChunkSize;
          }
          return options;
      }()),
      broadcaster_([] { return std::optional(DownloadState::notStarted()); }) {}

Downloader::~Downloader() {
    // The transfer reports to the broadcaster, which must outlive it.
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

Downloader::Subscription Downloader::download(const std::string& url,
                                              const std::optional<std::string>& token,
                                              const std::optional<Headers>& headers,
                                              std::optional<std::int64_t> expectedSize,
                                              double timeout, int numRetries,
                                              StateBroadcaster::Callback onState) {
    std::jthread previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::move(thread_);
    }
    if (previous.joinable()) {
        previous.request_stop();
        previous.join();
        // Without this a new subscriber would first be handed the earlier transfer's end.
        broadcaster_.broadcast(DownloadState::notStarted());
    }

    Request request;
    request.url = url;
    request.headers = headers.value_or(Headers{});
    if (token) {
        // An explicit token replaces any authorization the caller's headers carry.
        std::erase_if(request.headers, [](const auto& field) {
            return ::strcasecmp(field.first.c_str(), "Authorization") == 0;
        });
        // Trailing line breaks (a token file's) are left out as for every other request; an
        // empty token still says so.
        if (std::optional<std::string> authorization = detail::bearerAuthorization(token)) {
            request.headers.emplace_back("Authorization", std::move(*authorization));
        } else if (token->empty()) {
            request.headers.emplace_back("Authorization", "Bearer ");
        }
    }
    request.expectedSize = expectedSize;
    request.idleTimeoutSeconds =
        std::isfinite(timeout) && timeout >= 1 ? static_cast<long>(std::ceil(timeout)) : 1;
    request.numRetries = std::max(numRetries, 0);

    Subscription subscription = broadcaster_.subscribe(std::move(onState));
    std::lock_guard lock(mutex_);
    thread_ = std::jthread([this, request = std::move(request)](std::stop_token stop) {
        run(std::move(stop), request);
    });
    return subscription;
}

void Downloader::cancel() {
    {
        std::lock_guard lock(mutex_);
        if (thread_.joinable()) {
            // The transfer sees the stop within moments and ends with a cancelled failure (unless
            // it has already ended), so that every state of a transfer comes from its thread.
            thread_.request_stop();
            return;
        }
    }
    broadcaster_.broadcast(
        DownloadState::failed(std::make_exception_ptr(URLError(URLError::Code::cancelled))));
}

void Downloader::run(std::stop_token stop, const Request& request) {
    DownloadState end;
    try {
        std::int64_t resumeSize = incompleteFileSize(incompleteDestination_);
        if (request.expectedSize && resumeSize > *request.expectedSize) {
            // Longer than the whole file: it cannot be a prefix of it.
            std::filesystem::resize_file(incompleteDestination_, 0);
            resumeSize = 0;
        }
        broadcaster_.broadcast(DownloadState::downloading(
            resumeSize >= 1 && request.expectedSize && *request.expectedSize >= 1
                ? static_cast<double>(resumeSize) / static_cast<double>(*request.expectedSize)
                : 0.0,
            std::nullopt));

        detail::UniqueFd file(::open(incompleteDestination_.c_str(), O_WRONLY | O_CLOEXEC));
        if (!file) {
            throwErrno("cannot open the partial file", incompleteDestination_);
        }
        fetch(stop, request, file.get(), resumeSize);
        file.reset();
        if (stop.stop_requested()) {
            throw URLError(URLError::Code::cancelled, {}, request.url);
        }
        moveDownloadedFile(incompleteDestination_, destination_);
        end = DownloadState::completed(destination_);
    } catch (...) {
        end = DownloadState::failed(std::current_exception());
    }
    broadcaster_.broadcast(end);
}

void Downloader::fetch(const std::stop_token& stop, const Request& request, int fd,
                       std::int64_t resumeSize) {
    BodyWriter body(fd, incompleteDestination_, options_.chunkSize, resumeSize,
                    request.expectedSize, broadcaster_);
    int budget = request.numRetries;
    bool startedOverForRange = false;
    for (;;) {
        const std::int64_t offset = body.written();
        detail::HttpRequest http;
        http.url = request.url;
        http.headers = request.headers;
        if (offset >= 1) {
            http.headers.emplace_back("Range", "bytes=" + std::to_string(offset) + "-");
        }
        http.followRedirects = true;
        http.idleTimeoutSeconds = request.idleTimeoutSeconds;
        http.receiveBufferSize = bodyBufferSize;
        bool headArrived = false;
        http.onResponse = [&](const HTTPResponse& head) {
            const int status = head.statusCode;
            if (status == 416 && offset >= 1) {
                throw RangeNotSatisfiable{};
            }
            if (status < 200 || status > 299) {
                throw DownloadError(DownloadError::Case::unexpectedError);
            }
            if (offset >= 1 && status != 206) {
                // The whole body instead of the rest of it: appending it would corrupt the file.
                body.startOver();
            } else if (offset >= 1) {
                const std::optional<std::string> range = head.value("Content-Range");
                const std::optional<std::int64_t> first =
                    range ? contentRangeStart(*range) : std::nullopt;
                if (range && first != offset) {
                    throw DownloadError(DownloadError::Case::unexpectedError);
                }
            }
            headArrived = true;
        };
        http.onBody = [&](std::string_view piece) {
            if (body.append(piece)) {
                budget = request.numRetries;
            }
        };
        try {
            detail::performRequest(http, stop);
            body.finish();
        } catch (const RangeNotSatisfiable&) {
            if (startedOverForRange) {
                throw DownloadError(DownloadError::Case::unexpectedError);
            }
            startedOverForRange = true;
            body.startOver();
            continue;
        } catch (const URLError&) {
            if (!headArrived || budget <= 0 || stop.stop_requested()) {
                throw;
            }
            body.dropUnwritten();
            pause(options_.retryDelay, stop);
            if (stop.stop_requested()) {
                throw URLError(URLError::Code::cancelled, {}, request.url);
            }
            --budget;
            continue;
        }
        break;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        throwErrno("cannot read the partial file's size", incompleteDestination_);
    }
    if (request.expectedSize &&
        (*request.expectedSize < 0 || status.st_size != *request.expectedSize)) {
        throw DownloadError(DownloadError::Case::unexpectedError);
    }
}

std::int64_t Downloader::incompleteFileSize(const std::filesystem::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return 0;
    }
    return static_cast<std::int64_t>(status.st_size);
}

void Downloader::moveDownloadedFile(const std::filesystem::path& from,
                                    const std::filesystem::path& to) {
    if (std::filesystem::is_directory(std::filesystem::symlink_status(to))) {
        std::filesystem::remove_all(to);
    }
    std::filesystem::create_directories(to.parent_path());
    // Replaces an existing file in one step: a reader never finds the target missing.
    std::filesystem::rename(from, to);
}

}  // namespace hub
