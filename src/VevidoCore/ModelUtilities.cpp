#include "vevidocore/ModelUtilities.h"

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

namespace vevidocore {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view compiledExtension = ".mlmodelc";
constexpr std::string_view packageExtension = ".mlpackage";
// Where a package keeps the model proper.
constexpr std::string_view packageModelPath = "Data/com.apple.CoreML/model.mlmodel";

std::string compiledName(std::string_view name) {
    return std::string(name).append(compiledExtension);
}

bool existsAt(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

}  // namespace

fs::path ModelUtilities::detectModelURL(const fs::path& folder, std::string_view name) {
    const fs::path compiled = folder / compiledName(name);
    const fs::path package =
        folder / (std::string(name).append(packageExtension)) / packageModelPath;
    const bool compiledExists = existsAt(compiled);
    const bool packageExists = existsAt(package);
    return compiledExists || !packageExists ? compiled : package;
}

fs::path ModelUtilities::detectModelURL(const fs::path& folder, std::string_view name,
                                        bool recursive) {
    if (!recursive) {
        return detectModelURL(folder, name);
    }
    const fs::path compiled = folder / compiledName(name);
    if (existsAt(compiled)) {
        return compiled;
    }
    const std::string wanted = compiledName(name);
    std::error_code error;
    fs::recursive_directory_iterator entries(folder, fs::directory_options::skip_permission_denied,
                                             error);
    if (error) {
        return compiled;
    }
    for (; entries != fs::recursive_directory_iterator(); entries.increment(error)) {
        if (error) {
            break;
        }
        if (entries->path().filename() == wanted) {
            return entries->path();
        }
    }
    return compiled;
}

std::optional<fs::path> ModelUtilities::detectModelURL(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator listing(folder, error);
    if (error) {
        return std::nullopt;
    }
    std::vector<fs::path> entries;
    for (; listing != fs::directory_iterator(); listing.increment(error)) {
        if (error) {
            return std::nullopt;
        }
        entries.push_back(listing->path());
    }
    // The directory's own order differs between file systems; name order makes the pick stable.
    std::sort(entries.begin(), entries.end());
    const auto withExtension = [&](std::string_view extension) {
        return std::find_if(entries.begin(), entries.end(),
                            [&](const fs::path& entry) { return entry.extension() == extension; });
    };
    if (const auto compiled = withExtension(compiledExtension); compiled != entries.end()) {
        return *compiled;
    }
    if (const auto package = withExtension(packageExtension); package != entries.end()) {
        return *package / packageModelPath;
    }
    return std::nullopt;
}

}  // namespace vevidocore
