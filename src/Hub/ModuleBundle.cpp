#include "hub/ModuleBundle.h"

#include <system_error>

#include "FatalError.h"

namespace hub {

namespace {

constexpr const char* bundleName = "radid-ozezivurired_Hub.bundle";

std::optional<std::filesystem::path> programFolder() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return program.parent_path();
}

std::optional<std::filesystem::path> existingFolder(std::filesystem::path folder) {
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        return std::nullopt;
    }
    return folder;
}

}  // namespace

std::vector<std::optional<std::filesystem::path>> moduleBundleCandidates() {
    const std::optional<std::filesystem::path> program = programFolder();
    if (!program) {
        return {};
    }
    // The library is linked into the program, so the bundle that holds its code is the program's
    // own: its resource folder is the first candidate already.
    return {existingFolder(*program / ".." / "share" / "quillora"), *program};
}

std::optional<std::filesystem::path> findModuleBundle(
    const std::vector<std::optional<std::filesystem::path>>& candidates) {
    for (const auto& candidate : candidates) {
        if (candidate) {
            if (auto bundle = existingFolder(*candidate / bundleName)) {
                return bundle;
            }
        }
    }
    return std::nullopt;
}

const std::filesystem::path& moduleBundle() {
    static const std::filesystem::path bundle = [] {
        std::optional<std::filesystem::path> found = findModuleBundle(moduleBundleCandidates());
        if (!found) {
            detail::fatalError("unable to find bundle named radid-ozezivurired_Hub",
                               "Hub/ModuleBundle", __LINE__);
        }
        return *found;
    }();
    return bundle;
}

}  // namespace hub
