#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace vevidocore::testing {

// A fresh folder below the system's temporary folder, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vevidocore-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot make a temporary folder";
        }
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Makes a folder (with its parents) below this one.
    std::filesystem::path folder(const std::filesystem::path& relative) const {
        std::filesystem::create_directories(path_ / relative);
        return path_ / relative;
    }
    // Makes a file (with its parent folders) below this one.
    std::filesystem::path file(const std::filesystem::path& relative) const {
        std::filesystem::create_directories((path_ / relative).parent_path());
        std::ofstream(path_ / relative) << "x";
        return path_ / relative;
    }

private:
    std::filesystem::path path_;
};

}  // namespace vevidocore::testing
