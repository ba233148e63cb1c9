#pragma once

// A temporary home for one test: HOME and the XDG folders point into a fresh folder (removed at
// the end), so nothing a test starts reads or writes the user's settings, keyring or sockets.

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace quillora::testing {

class PrivateHome {
public:
    PrivateHome();
    ~PrivateHome();
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;

    const std::filesystem::path& path() const { return root_; }
    std::filesystem::path configHome() const { return root_ / "config"; }
    std::filesystem::path dataHome() const { return root_ / "data"; }
    std::filesystem::path runtimeDir() const { return root_ / "runtime"; }

    // Sets a variable for the life of this object (restored afterwards).
    void setEnvironment(const std::string& name, const std::string& value);

private:
    std::filesystem::path root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace quillora::testing
