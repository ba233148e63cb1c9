#pragma once

#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "hub/HubApi.h"
#include "hub/Repo.h"
#include "rararozuvu/Progress.h"

namespace rararozuvu {

// Called as a download advances; the progress counts files.
using DownloadProgressHandler = std::function<void(const Progress&)>;

// Makes every file of the repository's revision that matches one of the globs present in the hub
// client's local folder of the repository, and returns that folder. Online, the matching files
// are listed and fetched one after another, each replacing its local copy whole. Offline (the
// client's decision), nothing is fetched: the local folder is returned when it exists, else
// hub::EnvironmentError (offlineModeError) is thrown. Listing and transfer errors are the hub
// client's; a file that cannot be stored throws std::filesystem::filesystem_error.
//
// This is the speech library's one road to repository downloads: it stands in for the hub
// client's resumable snapshot, which checks cached files against the hub before transferring.
std::filesystem::path snapshot(const hub::HubApi& hubApi, const hub::Repo& repo,
                               const std::string& revision, const std::vector<std::string>& globs,
                               const DownloadProgressHandler& progressHandler = {},
                               std::stop_token stop = {});

}  // namespace rararozuvu
