#include "FileReading.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "UniqueFd.h"

namespace hub::detail {

std::optional<std::string> readFileBytes(const std::filesystem::path& path,
                                         std::error_code& error) {
    error.clear();
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0) {
        error.assign(errno, std::generic_category());
        return std::nullopt;
    }
    if (S_ISDIR(status.st_mode)) {
        error = std::make_error_code(std::errc::is_a_directory);
        return std::nullopt;
    }
    std::string bytes;
    if (status.st_size > 0) {
        bytes.reserve(static_cast<std::size_t>(status.st_size));
    }
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof(buffer));
        if (count == 0) {
            return bytes;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            error.assign(errno, std::generic_category());
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
}

std::optional<std::string> readSmallRegularFile(const std::filesystem::path& path,
                                                std::size_t limit, std::error_code& error) {
    error.clear();
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0) {
        error.assign(errno, std::generic_category());
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    // One byte past the limit tells a file that grew since fstat from one that fits.
    std::string bytes(limit + 1, '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (count == 0) {
            break;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            error.assign(errno, std::generic_category());
            return std::nullopt;
        }
        filled += static_cast<std::size_t>(count);
    }
    if (filled > limit) {
        error = std::make_error_code(std::errc::file_too_large);
        return std::nullopt;
    }
    bytes.resize(filled);
    return bytes;
}

}  // namespace hub::detail
