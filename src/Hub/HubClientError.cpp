#include "hub/HubClientError.h"

#include <fmt/format.h>

#include <utility>

namespace hub {

HubClientError::HubClientError(Case c, std::string text, std::string description)
    : case_(c), text_(std::move(text)), description_(std::move(description)) {}

HubClientError HubClientError::httpStatusCode(int code) {
    HubClientError error(Case::httpStatusCode, {},
                         fmt::format("HTTP error with status code: {}", code));
    error.statusCode_ = code;
    return error;
}

HubClientError HubClientError::jsonSerialization(std::filesystem::path fileURL,
                                                 std::string message) {
    std::string description = message;
    HubClientError error(Case::jsonSerialization, std::move(message), std::move(description));
    error.fileURL_ = std::move(fileURL);
    return error;
}

HubClientError HubClientError::downloadError(std::string text) {
    std::string description = "Download failed: " + text;
    return {Case::downloadError, std::move(text), std::move(description)};
}

HubClientError HubClientError::fileNotFound(std::string text) {
    std::string description = "File not found: " + text;
    return {Case::fileNotFound, std::move(text), std::move(description)};
}

HubClientError HubClientError::networkError(URLError error) {
    HubClientError result(Case::networkError, error.localizedDescription(),
                          "Network error: " + error.localizedDescription());
    result.urlError_ = std::move(error);
    return result;
}

HubClientError HubClientError::resourceNotFound(std::string text) {
    std::string description = "Resource not found: " + text;
    return {Case::resourceNotFound, std::move(text), std::move(description)};
}

HubClientError HubClientError::configurationMissing(std::string text) {
    std::string description = "Required configuration file missing: " + text;
    return {Case::configurationMissing, std::move(text), std::move(description)};
}

HubClientError HubClientError::fileSystemError(std::string description) {
    std::string message = "File system error: " + description;
    return {Case::fileSystemError, std::move(description), std::move(message)};
}

HubClientError HubClientError::parseError(std::string text) {
    std::string description = "Parse error: " + text;
    return {Case::parseError, std::move(text), std::move(description)};
}

HubClientError HubClientError::authorizationRequired() {
    return {Case::authorizationRequired,
            {},
            "Authentication required. Please provide a valid hub access token."};
}

HubClientError HubClientError::parse() {
    return {Case::parse, {}, "Failed to parse server response."};
}

HubClientError HubClientError::unexpectedError() {
    return {Case::unexpectedError, {}, "An unexpected error occurred."};
}

}  // namespace hub
