#include "hub/Downloader.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <system_error>

#include <openssl/evp.h>

#include <deque>

#include "Authorization.h"
#include "CurlTransfer.h"
#include "SafePath.h"
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

// Chunks handed to the hasher and not yet hashed. Two keep it busy while the next chunk fills;
// more would only hold memory when the hash falls behind.
constexpr std::size_t queuedChunks = 2;

using UnexpectedError = Downloader::DownloadError;

[[noreturn]] void fail(const std::string& file, std::string_view cause) {
    throw UnexpectedError(UnexpectedError::Case::unexpectedError,
                          fmt::format("cannot download {}: {}", file, cause));
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

// The SHA-256 of a body, computed on a thread of its own while the transfer receives the next
// chunk: hashing on the receiving thread would hold a fast link up by about as long again.
class ContentHasher {
public:
    ContentHasher() : context_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("cannot start a SHA-256 digest");
        }
        worker_ = std::jthread([this](std::stop_token stop) { run(stop); });
    }
    ~ContentHasher() {
        worker_.request_stop();
        work_.notify_all();
    }
    ContentHasher(const ContentHasher&) = delete;
    ContentHasher& operator=(const ContentHasher&) = delete;

    // Queues the bytes for hashing and returns an empty buffer (a hashed one when there is one)
    // for the caller to fill next. Waits while the queue is full.
    std::vector<char> hand(std::vector<char> bytes) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return queue_.size() < queuedChunks; });
        queue_.push_back(std::move(bytes));
        work_.notify_all();
        std::vector<char> spare;
        if (!spare_.empty()) {
            spare = std::move(spare_.back());
            spare_.pop_back();
        }
        spare.clear();
        return spare;
    }

    // Forgets everything hashed so far.
    void restart() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return queue_.empty() && !busy_; });
        EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr);
    }

    // The digest of everything handed over, in lower-case hexadecimal.
    std::string hexDigest() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return queue_.empty() && !busy_; });
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context_.get(), digest, &length);
        std::string hex;
        hex.reserve(2 * length);
        for (unsigned int i = 0; i < length; ++i) {
            hex += fmt::format("{:02x}", digest[i]);
        }
        return hex;
    }

private:
    void run(const std::stop_token& stop) {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, stop, [this] { return !queue_.empty(); });
            if (queue_.empty()) {
                return;  // stopped
            }
            std::vector<char> bytes = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            lock.unlock();
            EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size());
            lock.lock();
            busy_ = false;
            spare_.push_back(std::move(bytes));
            done_.notify_all();
        }
    }

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context_;
    std::mutex mutex_;
    std::condition_variable_any work_;
    std::condition_variable done_;
    std::deque<std::vector<char>> queue_;
    std::vector<std::vector<char>> spare_;
    bool busy_ = false;
    std::jthread worker_;  // last: stopped and joined before the rest goes
};

const char* Downloader::DownloadError::what() const noexcept {
    if (!message_.empty()) {
        return message_.c_str();
    }
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
    BodyWriter(int fd, const std::filesystem::path& path, std::string name, std::size_t chunkSize,
               std::int64_t written, std::optional<std::int64_t> expectedSize,
               Downloader::StateBroadcaster& states, ContentHasher* hasher)
        : fd_(fd),
          path_(path),
          name_(std::move(name)),
          chunkSize_(chunkSize),
          expectedSize_(expectedSize),
          states_(states),
          hasher_(hasher),
          written_(written),
          lastTotal_(written),
          lastTime_(Clock::now()) {
        buffer_.reserve(chunkSize_);
        if (hasher_) {
            hashWrittenPrefix();
        }
    }

    std::int64_t written() const noexcept { return written_; }

    // Drops everything on disk: the next byte is the file's first.
    void startOver() {
        if (::ftruncate(fd_, 0) != 0) {
            throwErrno("cannot empty the partial file", path_);
        }
        buffer_.clear();
        if (hasher_) {
            hasher_->restart();
        }
        written_ = 0;
        lastTotal_ = 0;
        lastTime_ = Clock::now();
    }

    // Bytes received but not yet written are lost when the connection breaks.
    void dropUnwritten() { buffer_.clear(); }

    // Returns whether a whole chunk was written.
    bool append(std::string_view piece) {
        // A body that goes on past the announced size would otherwise fill the disk.
        if (expectedSize_ &&
            written_ + static_cast<std::int64_t>(buffer_.size() + piece.size()) > *expectedSize_) {
            fail(name_,
                 fmt::format("the server sends more than the announced {} bytes", *expectedSize_));
        }
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
            writeBuffer();
        }
    }

private:
    void writeBuffer() {
        writeAt(fd_, buffer_.data(), buffer_.size(), written_, path_);
        written_ += static_cast<std::int64_t>(buffer_.size());
        if (hasher_) {
            buffer_ = hasher_->hand(std::move(buffer_));
            buffer_.reserve(chunkSize_);
        } else {
            buffer_.clear();
        }
    }

    // A resumed body's hash starts with the bytes already on disk.
    void hashWrittenPrefix() {
        std::int64_t offset = 0;
        while (offset < written_) {
            std::vector<char> piece(
                static_cast<std::size_t>(std::min<std::int64_t>(written_ - offset, 1 << 20)));
            const ssize_t count = ::pread(fd_, piece.data(), piece.size(), offset);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                throwErrno("cannot read the partial file", path_);
            }
            piece.resize(static_cast<std::size_t>(count));
            offset += count;
            (void)hasher_->hand(std::move(piece));
        }
    }

    void writeChunk() {
        writeBuffer();
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
    const std::string name_;
    const std::size_t chunkSize_;
    const std::optional<std::int64_t> expectedSize_;
    Downloader::StateBroadcaster& states_;
    ContentHasher* const hasher_;
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

        // Read as well as written: a resumed body's hash starts with what is on disk.
        detail::UniqueFd file(::open(incompleteDestination_.c_str(), O_RDWR | O_CLOEXEC));
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
    const std::string name = detail::printable(destination_.string());
    std::optional<ContentHasher> hasher;
    if (options_.contentSha256) {
        hasher.emplace();
    }
    BodyWriter body(fd, incompleteDestination_, name, options_.chunkSize, resumeSize,
                    request.expectedSize, broadcaster_, hasher ? &*hasher : nullptr);
    int budget = request.numRetries;
    int retries = 0;
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
                fail(name, fmt::format("the server answered with status {}", status));
            }
            if (offset >= 1 && status != 206) {
                // The whole body instead of the rest of it: appending it would corrupt the file.
                body.startOver();
            } else if (offset >= 1) {
                const std::optional<std::string> range = head.value("Content-Range");
                const std::optional<std::int64_t> first =
                    range ? contentRangeStart(*range) : std::nullopt;
                if (range && first != offset) {
                    fail(name, fmt::format("asked for the rest from byte {}, the server sent "
                                           "\"Content-Range: {}\"",
                                           offset, detail::printable(*range)));
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
                fail(name, "the server cannot satisfy a request for the whole file");
            }
            startedOverForRange = true;
            body.startOver();
            continue;
        } catch (const URLError& error) {
            if (error.code() == URLError::Code::cancelled) {
                throw;
            }
            if (!headArrived || budget <= 0 || stop.stop_requested()) {
                throw error.withContext(
                    retries == 0
                        ? fmt::format("cannot download {}", name)
                        : fmt::format("cannot download {} (after {} retries)", name, retries));
            }
            body.dropUnwritten();
            pause(options_.retryDelay, stop);
            if (stop.stop_requested()) {
                throw URLError(URLError::Code::cancelled, {}, request.url);
            }
            --budget;
            ++retries;
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
        fail(name, fmt::format("the body ended after {} bytes, the server announced {}",
                               status.st_size, *request.expectedSize));
    }
    if (hasher) {
        const std::string actual = hasher->hexDigest();
        if (actual != *options_.contentSha256) {
            // Resuming from these bytes would only end in the same mismatch.
            std::error_code ignored;
            std::filesystem::remove(incompleteDestination_, ignored);
            fail(name, fmt::format("the content's SHA-256 is {}, the server announced {}", actual,
                                   detail::printable(*options_.contentSha256)));
        }
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
