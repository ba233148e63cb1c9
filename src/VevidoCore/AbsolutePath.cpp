#include "vevidocore/AbsolutePath.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

namespace vevidocore {

namespace {

std::optional<std::string> homeFromPasswd(const char* user) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    for (;;) {
        const int status = user == nullptr
                               ? getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)
                               : getpwnam_r(user, &entry, buffer.data(), buffer.size(), &found);
        if (status == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0 || found == nullptr || found->pw_dir == nullptr) {
            return std::nullopt;
        }
        return std::string(found->pw_dir);
    }
}

std::optional<std::string> homeFolder(const std::string& user) {
    if (user.empty()) {
        if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
            return std::string(home);
        }
        return homeFromPasswd(nullptr);
    }
    return homeFromPasswd(user.c_str());
}

// "~" and "~/x" name the user's home, "~name/x" another user's; an unknown user leaves the path
// as it is.
std::string expandTilde(std::string_view path) {
    if (path.empty() || path.front() != '~') {
        return std::string(path);
    }
    const std::size_t slash = path.find('/');
    const std::string user(path.substr(1, slash == std::string_view::npos ? path.npos : slash - 1));
    const std::optional<std::string> home = homeFolder(user);
    if (!home) {
        return std::string(path);
    }
    std::string expanded = *home;
    if (slash != std::string_view::npos) {
        // A home of "/" must not give a path starting with "//".
        while (expanded.size() > 1 && expanded.back() == '/') {
            expanded.pop_back();
        }
        if (expanded == "/") {
            expanded.clear();
        }
        expanded.append(path.substr(slash));
    }
    return expanded;
}

}  // namespace

std::string resolveAbsolutePath(std::string_view path) {
    const std::string expanded = expandTilde(path);
    if (!expanded.empty() && expanded.front() == '/') {
        return expanded;
    }
    std::error_code error;
    const std::filesystem::path current = std::filesystem::current_path(error);
    if (error) {
        return expanded;
    }
    return (current / expanded).string();
}

}  // namespace vevidocore
