#include "SafePath.h"

#include <fmt/format.h>
#include <openssl/evp.h>

#include <algorithm>

#include "hub/EnvironmentError.h"

namespace hub::detail {

namespace {

// Longer tags are hashed: a file name has room for 255 bytes in all.
constexpr std::size_t longestKeptComponent = 128;

bool isFileNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

std::string sha256Hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex += fmt::format("{:02x}", digest[i]);
    }
    return hex;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            shown += fmt::format("\\x{:02x}", byte);
        } else {
            shown += c;
        }
    }
    return shown;
}

bool isSafeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos) {
        return false;
    }
    for (;;) {
        const std::size_t slash = path.find('/');
        const std::string_view segment = path.substr(0, slash);
        if (segment.empty() || segment == "." || segment == "..") {
            return false;
        }
        if (slash == std::string_view::npos) {
            return true;
        }
        path.remove_prefix(slash + 1);
    }
}

std::string fileNameComponent(std::string_view text) {
    if (!text.empty() && text.size() <= longestKeptComponent &&
        std::all_of(text.begin(), text.end(), isFileNameCharacter)) {
        return std::string(text);
    }
    return sha256Hex(text);
}

void requireSafeRelativePath(std::string_view path, std::string_view what) {
    if (!isSafeRelativePath(path)) {
        throw EnvironmentError::invalidMetadataError(fmt::format(
            "unsafe {} \"{}\": a path in the local cache must be relative, without empty, \".\" "
            "or \"..\" segments",
            what, printable(path)));
    }
}

}  // namespace hub::detail
