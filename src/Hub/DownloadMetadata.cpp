#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <system_error>
#include <variant>
#include <vector>

#include "FileReading.h"
#include "HubURL.h"
#include "UniqueFd.h"
#include "Utf8Text.h"
#include "hub/HubApi.h"
#include "vevidocore/Logging.h"

namespace hub {

namespace {

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

constexpr std::size_t hashChunkSize = 1 << 20;

// The whole text must be one floating-point number:
// an optional sign, then decimal or exponent form, "inf"/"nan", or hexadecimal with "0x".
std::optional<double> parseTimestamp(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '+' || text.front() == '-') {
        return std::nullopt;
    }
    auto format = std::chars_format::general;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        format = std::chars_format::hex;
        text.remove_prefix(2);
    }
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, format);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

// Shortest text that reads back to the same value, always with a fraction.
std::string timestampText(double seconds) {
    std::string text = fmt::format("{}", seconds);
    if (text.find_first_of(".eEn") == std::string::npos) {
        text += ".0";
    }
    return text;
}

std::string removingAll(std::string text, std::string_view part) {
    for (std::size_t at; (at = text.find(part)) != std::string::npos;) {
        text.erase(at, part.size());
    }
    return text;
}

// What stands in a metadata file, or the failure that makes it unusable.
struct ReadFailure {
    std::string description;
    bool invalid;  // the contents are wrong, as opposed to the file being unreadable
};

std::variant<HubApi::LocalDownloadFileMetadata, ReadFailure> parseMetadataFile(
    const std::filesystem::path& path) {
    std::error_code error;
    const std::optional<std::string> bytes = detail::readFileBytes(path, error);
    if (!bytes) {
        return ReadFailure{fmt::format("The file \u201c{}\u201d couldn\u2019t be read: {}",
                                       path.filename().string(), error.message()),
                           false};
    }
    const std::string& text = *bytes;
    if (!detail::isValidUtf8(text)) {
        return ReadFailure{fmt::format("The file \u201c{}\u201d couldn\u2019t be opened because it "
                                       "isn\u2019t UTF-8 text.",
                                       path.filename().string()),
                           false};
    }
    const std::vector<std::string_view> lines = detail::splitLines(text);
    if (lines.size() < 3) {
        return ReadFailure{
            EnvironmentError::invalidMetadataError("Metadata file is missing required fields")
                .errorDescription(),
            true};
    }
    const std::optional<double> seconds = parseTimestamp(detail::trimmedWhitespace(lines[2]));
    if (!seconds) {
        return ReadFailure{
            EnvironmentError::invalidMetadataError("Invalid timestamp format").errorDescription(),
            true};
    }
    return HubApi::LocalDownloadFileMetadata{
        std::string(detail::trimmedWhitespace(lines[0])),
        std::string(detail::trimmedWhitespace(lines[1])),
        removingAll(path.filename().string(), ".metadata"),
        HubApi::Timestamp(std::chrono::duration<double>(*seconds)),
    };
}

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category());
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Writes into a fresh file beside the target and renames it over the target, so that a reader
// sees the old text or the new one, never a mixture. The temporary name does not grow with the
// target's: a target name near the file system's limit must still have room for its twin.
void writeAtomically(const std::filesystem::path& target, std::string_view text) {
    std::string temporary = (target.parent_path() / ".quillora-XXXXXX").string();
    detail::UniqueFd file(::mkstemp(temporary.data()));
    if (!file) {
        throw std::system_error(errno, std::generic_category());
    }
    try {
        writeAll(file.get(), text);
        ::fchmod(file.get(), 0644);
        if (::fsync(file.get()) != 0) {
            throw std::system_error(errno, std::generic_category());
        }
        file.reset();
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            throw std::system_error(errno, std::generic_category());
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

}  // namespace

std::optional<HubApi::LocalDownloadFileMetadata> HubApi::readDownloadMetadata(
    const std::filesystem::path& metadataPath) const {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(metadataPath, error))) {
        return std::nullopt;
    }
    auto parsed = parseMetadataFile(metadataPath);
    if (auto* metadata = std::get_if<LocalDownloadFileMetadata>(&parsed)) {
        return std::move(*metadata);
    }
    const ReadFailure& failure = std::get<ReadFailure>(parsed);
    logger().log(
        vevidocore::Logging::LogType::error,
        fmt::format("{} {}: {}. Removing it from disk and continuing.",
                    failure.invalid ? "Invalid metadata file" : "Error reading metadata file",
                    detail::fileURLText(metadataPath), failure.description));
    if (!std::filesystem::remove(metadataPath, error) && error) {
        throw EnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " +
                                                     error.message());
    }
    return std::nullopt;
}

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                   const std::filesystem::path& metadataPath) const {
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string text = commitHash + "\n" + etag + "\n" + timestampText(now) + "\n";
    try {
        std::filesystem::create_directories(metadataPath.parent_path());
        writeAtomically(metadataPath, text);
    } catch (const std::system_error& error) {
        throw EnvironmentError::fileWriteError(
            "Failed to write metadata to " + metadataPath.string() + ": " + error.code().message());
    }
}

bool HubApi::isValidHash(std::string_view hash, std::string_view pattern) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(icu::StringPiece(
                                       pattern.data(), static_cast<int32_t>(pattern.size()))),
                                   0, status));
    if (U_FAILURE(status) || !compiled) {
        return false;
    }
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(hash.data(), static_cast<int32_t>(hash.size())));
    const std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(text, status));
    if (U_FAILURE(status) || !matcher) {
        return false;
    }
    const bool found = matcher->find(0, status);
    return U_SUCCESS(status) && found;
}

std::string HubApi::computeFileHash(const std::filesystem::path& file) {
    detail::UniqueFd input(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!input) {
        throw HubClientError::fileNotFound(file.filename().string());
    }
    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        throw HubClientError::unexpectedError();
    }
    std::vector<unsigned char> chunk(hashChunkSize);
    for (;;) {
        const ssize_t count = ::read(input.get(), chunk.data(), chunk.size());
        if (count == 0) {
            break;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            // A digest of part of the file would only show up later as a mismatch that hides
            // the real cause.
            throw HubClientError::fileSystemError(
                fmt::format("cannot read {}: {}", file.string(), std::strerror(errno)));
        }
        if (EVP_DigestUpdate(context.get(), chunk.data(), static_cast<std::size_t>(count)) != 1) {
            throw HubClientError::unexpectedError();
        }
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
        throw HubClientError::unexpectedError();
    }
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex += fmt::format("{:02x}", digest[i]);
    }
    return hex;
}

}  // namespace hub
