#pragma once

// Whole-file reading for the client's small files (tokens, records, configurations). Private to
// the module.

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace hub::detail {

// The file's bytes; none, with `error` set, when it cannot be opened or read (a folder included).
std::optional<std::string> readFileBytes(const std::filesystem::path& path, std::error_code& error);

}  // namespace hub::detail
