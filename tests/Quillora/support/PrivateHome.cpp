#include "PrivateHome.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

#include <sys/stat.h>

namespace quillora::testing {

PrivateHome::PrivateHome() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillora-home-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot make a temporary home");
    }
    root_ = pattern;
    for (const char* sub : {"config", "data", "cache", "runtime"}) {
        std::filesystem::create_directories(root_ / sub);
    }
    chmod((root_ / "runtime").c_str(), 0700);
    setEnvironment("HOME", root_.string());
    setEnvironment("XDG_CONFIG_HOME", configHome().string());
    setEnvironment("XDG_DATA_HOME", dataHome().string());
    setEnvironment("XDG_CACHE_HOME", (root_ / "cache").string());
    setEnvironment("XDG_RUNTIME_DIR", runtimeDir().string());
}

PrivateHome::~PrivateHome() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void PrivateHome::setEnvironment(const std::string& name, const std::string& value) {
    if (!saved_.count(name)) {
        const char* old = std::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace quillora::testing
