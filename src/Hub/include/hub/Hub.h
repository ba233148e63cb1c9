#pragma once

#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

#include "hub/Config.h"
#include "hub/HubApi.h"
#include "hub/Repo.h"

namespace hub {

// One-line conveniences on the shared client (HubApi::shared()) at the revision "main". A
// repository given by its id alone is a model repository. Errors pass through unchanged.
struct Hub {
    Hub() = delete;

    static std::vector<std::string> getFilenames(const Repo& repo,
                                                 const std::vector<std::string>& globs,
                                                 std::stop_token stop = {});
    static std::vector<std::string> getFilenames(const Repo& repo, const std::string& glob,
                                                 std::stop_token stop = {});

    static std::filesystem::path snapshot(const Repo& repo, const std::vector<std::string>& globs,
                                          const HubApi::ProgressHandler& progressHandler = {},
                                          std::stop_token stop = {});
    static std::filesystem::path snapshot(const Repo& repo, const std::string& glob,
                                          const HubApi::ProgressHandler& progressHandler = {},
                                          std::stop_token stop = {});
    static std::filesystem::path snapshot(const Repo& repo, const std::vector<std::string>& globs,
                                          const HubApi::SpeedProgressHandler& progressHandler,
                                          std::stop_token stop = {});
    static std::filesystem::path snapshot(const Repo& repo, const std::string& glob,
                                          const HubApi::SpeedProgressHandler& progressHandler,
                                          std::stop_token stop = {});

    // The account of `token`, asked by a new client that uses exactly that token.
    static Config whoami(const std::string& token, std::stop_token stop = {});

    static HubApi::FileMetadata getFileMetadata(const std::string& fileURL,
                                                std::stop_token stop = {});
    static std::vector<HubApi::FileMetadata> getFileMetadata(const Repo& repo,
                                                             const std::vector<std::string>& globs,
                                                             std::stop_token stop = {});
    static std::vector<HubApi::FileMetadata> getFileMetadata(const Repo& repo,
                                                             const std::string& glob,
                                                             std::stop_token stop = {});
};

}  // namespace hub
