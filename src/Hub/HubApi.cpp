#include "hub/HubApi.h"

#include <fmt/core.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "FileReading.h"
#include "Utf8Text.h"
#include "vevidocore/AbsolutePath.h"
#include "vevidocore/Logging.h"

#ifndef QUILLORA_HUB_ENDPOINT
#error "QUILLORA_HUB_ENDPOINT names the default hub endpoint"
#endif

namespace hub {

namespace {

std::optional<std::string> environmentValue(const char* name) {
    if (const char* value = std::getenv(name)) {
        return std::string(value);
    }
    return std::nullopt;
}

// A token is a line of text; a token file is small.
constexpr std::size_t maximumTokenFileBytes = 4096;

// The whole file as text; nothing when it is missing, unreadable, not a regular file, longer than
// a token file can be or not UTF-8.
std::optional<std::string> readTokenFile(const std::filesystem::path& path) {
    std::error_code error;
    std::optional<std::string> text =
        detail::readSmallRegularFile(path, maximumTokenFileBytes, error);
    if (error == std::errc::invalid_argument || error == std::errc::file_too_large) {
        HubApi::logger().log(
            vevidocore::Logging::LogType::error,
            fmt::format("Ignoring the token file {}: {}", path.string(),
                        error == std::errc::file_too_large
                            ? fmt::format("longer than {} bytes", maximumTokenFileBytes)
                            : std::string("not a regular file")));
    }
    if (!text || !detail::isValidUtf8(*text)) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> nonEmpty(std::optional<std::string> text) {
    if (text && text->empty()) {
        return std::nullopt;
    }
    return text;
}

// The token sources, in order; the first non-empty text wins. Values are used exactly as they
// stand: a token file's final line break stays part of the token.
std::optional<std::string> hubTokenFromEnv() {
    if (auto token = nonEmpty(environmentValue("HUB_TOKEN"))) {
        return token;
    }
    if (auto token = nonEmpty(environmentValue("MODEL_HUB_TOKEN"))) {
        return token;
    }
    if (const auto path = environmentValue("HUB_TOKEN_PATH")) {
        if (auto token = nonEmpty(readTokenFile(vevidocore::resolveAbsolutePath(*path)))) {
            return token;
        }
    }
    if (const auto home = environmentValue("HUB_HOME")) {
        const std::filesystem::path folder = vevidocore::resolveAbsolutePath(*home);
        if (auto token = nonEmpty(readTokenFile(folder / "token"))) {
            return token;
        }
    }
    for (const char* file : {"~/.cache/modelhub/token", "~/.modelhub/token"}) {
        if (auto token = nonEmpty(readTokenFile(vevidocore::resolveAbsolutePath(file)))) {
            return token;
        }
    }
    return std::nullopt;
}

std::string hubEndpointFromEnv() {
    return environmentValue("HUB_ENDPOINT").value_or(HubApi::defaultEndpoint());
}

// The value of XDG_DOCUMENTS_DIR in the user's user-dirs.dirs, with "$HOME" expanded.
std::optional<std::filesystem::path> xdgDocumentsFolder(const std::filesystem::path& home) {
    const std::optional<std::string> configHome = environmentValue("XDG_CONFIG_HOME");
    const std::filesystem::path config =
        configHome && !configHome->empty() ? std::filesystem::path(*configHome) : home / ".config";
    std::ifstream file(config / "user-dirs.dirs");
    std::string line;
    while (std::getline(file, line)) {
        constexpr std::string_view key = "XDG_DOCUMENTS_DIR=";
        if (!line.starts_with(key)) {
            continue;
        }
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.starts_with("$HOME")) {
            return std::filesystem::path(home.string() + value.substr(5));
        }
        if (value.starts_with("/")) {
            return std::filesystem::path(value);
        }
    }
    return std::nullopt;
}

std::filesystem::path documentsFolder() {
    const std::filesystem::path home = vevidocore::resolveAbsolutePath("~");
    return xdgDocumentsFolder(home).value_or(home / "Documents");
}

}  // namespace

HubApi::HubApi() : HubApi(Options{}) {}

HubApi::HubApi(Options options)
    : networkMonitor_(options.networkMonitor ? std::move(options.networkMonitor)
                                             : NetworkMonitor::shared()) {
    hubToken_ = options.hubToken ? std::move(options.hubToken) : hubTokenFromEnv();
    if (environmentValue("CI_DISABLE_NETWORK_MONITOR") == "1") {
        fmt::print("{}\n", hubToken_ ? "\u2705 got token" : "\U0001F534 NO TOKEN **");
        std::fflush(stdout);
    }
    downloadBase_ =
        options.downloadBase ? std::move(*options.downloadBase) : documentsFolder() / "modelhub";
    endpoint_ = options.endpoint ? std::move(*options.endpoint) : hubEndpointFromEnv();
    useBackgroundSession_ = options.useBackgroundSession;
    useOfflineMode_ = options.useOfflineMode;
    // Every client keeps the process-wide monitor going; a running one keeps its state.
    NetworkMonitor::shared()->startMonitoring();
}

const HubApi& HubApi::shared() {
    static const HubApi client;
    return client;
}

vevidocore::Logging& HubApi::logger() {
    return vevidocore::Logging::shared();
}

const std::string& HubApi::defaultEndpoint() {
    static const std::string endpoint = QUILLORA_HUB_ENDPOINT;
    return endpoint;
}

bool HubApi::isOffline() const {
    const bool monitorSaysOffline = networkMonitor_->state().shouldUseOfflineMode();
    return useOfflineMode_.value_or(monitorSaysOffline);
}

std::filesystem::path HubApi::localRepoLocation(const Repo& repo) const {
    return downloadBase_ / rawValue(repo.type) / repo.id;
}

}  // namespace hub
