#include "hub/Hub.h"

namespace hub {

namespace {

constexpr const char* mainRevision = "main";

// Each call works on its own copy, taken when it starts.
HubApi sharedClient() {
    return HubApi::shared();
}

}  // namespace

std::vector<std::string> Hub::getFilenames(const Repo& repo, const std::vector<std::string>& globs,
                                           std::stop_token stop) {
    return sharedClient().getFilenames(repo, mainRevision, globs, std::move(stop));
}

std::vector<std::string> Hub::getFilenames(const Repo& repo, const std::string& glob,
                                           std::stop_token stop) {
    return getFilenames(repo, std::vector<std::string>{glob}, std::move(stop));
}

std::filesystem::path Hub::snapshot(const Repo& repo, const std::vector<std::string>& globs,
                                    const HubApi::ProgressHandler& progressHandler,
                                    std::stop_token stop) {
    return sharedClient().snapshot(repo, mainRevision, globs, progressHandler, std::move(stop));
}

std::filesystem::path Hub::snapshot(const Repo& repo, const std::string& glob,
                                    const HubApi::ProgressHandler& progressHandler,
                                    std::stop_token stop) {
    return sharedClient().snapshot(repo, mainRevision, glob, progressHandler, std::move(stop));
}

std::filesystem::path Hub::snapshot(const Repo& repo, const std::vector<std::string>& globs,
                                    const HubApi::SpeedProgressHandler& progressHandler,
                                    std::stop_token stop) {
    return sharedClient().snapshot(repo, mainRevision, globs, progressHandler, std::move(stop));
}

std::filesystem::path Hub::snapshot(const Repo& repo, const std::string& glob,
                                    const HubApi::SpeedProgressHandler& progressHandler,
                                    std::stop_token stop) {
    return sharedClient().snapshot(repo, mainRevision, glob, progressHandler, std::move(stop));
}

Config Hub::whoami(const std::string& token, std::stop_token stop) {
    return HubApi(HubApi::Options{.hubToken = token}).whoami(std::move(stop));
}

HubApi::FileMetadata Hub::getFileMetadata(const std::string& fileURL, std::stop_token stop) {
    return sharedClient().getFileMetadata(fileURL, std::move(stop));
}

std::vector<HubApi::FileMetadata> Hub::getFileMetadata(const Repo& repo,
                                                       const std::vector<std::string>& globs,
                                                       std::stop_token stop) {
    return sharedClient().getFileMetadata(repo, mainRevision, globs, std::move(stop));
}

std::vector<HubApi::FileMetadata> Hub::getFileMetadata(const Repo& repo, const std::string& glob,
                                                       std::stop_token stop) {
    return getFileMetadata(repo, std::vector<std::string>{glob}, std::move(stop));
}

}  // namespace hub
