#pragma once

// Whole-file reading for the client's small files (tokens, records, configurations). Private to
// the module.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace hub::detail {

// The file's bytes; none, with `error` set, when it cannot be opened or read (a folder included).
std::optional<std::string> readFileBytes(const std::filesystem::path& path, std::error_code& error);

// The bytes of a regular file of at most `limit` bytes; none, with `error` set, for anything else
// (a device or FIFO is refused without blocking, a longer file with file_too_large).
std::optional<std::string> readSmallRegularFile(const std::filesystem::path& path,
                                                std::size_t limit, std::error_code& error);

}  // namespace hub::detail
