#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "hub/URLError.h"

namespace hub {

// The error of the hub client's operations. Each case carries what its message needs;
// errorDescription() (and what()) give the message.
class HubClientError : public std::exception {
public:
    enum class Case {
        httpStatusCode,
        jsonSerialization,
        downloadError,
        fileNotFound,
        networkError,
        resourceNotFound,
        configurationMissing,
        fileSystemError,
        parseError,
        authorizationRequired,
        parse,
        unexpectedError,
    };

    static HubClientError httpStatusCode(int code);
    // The message stands alone: it is the whole description.
    static HubClientError jsonSerialization(std::filesystem::path fileURL, std::string message);
    static HubClientError downloadError(std::string text);
    static HubClientError fileNotFound(std::string text);
    static HubClientError networkError(URLError error);
    static HubClientError resourceNotFound(std::string text);
    static HubClientError configurationMissing(std::string text);
    // `description` is the wrapped error's own description.
    static HubClientError fileSystemError(std::string description);
    static HubClientError parseError(std::string text);
    static HubClientError authorizationRequired();
    static HubClientError parse();
    static HubClientError unexpectedError();

    Case errorCase() const noexcept { return case_; }
    // The status of httpStatusCode; 0 for the other cases.
    int statusCode() const noexcept { return statusCode_; }
    // The text payload: the message of jsonSerialization, the wrapped description of
    // fileSystemError and networkError, the text of the other text cases; empty otherwise.
    const std::string& text() const noexcept { return text_; }
    const std::filesystem::path& fileURL() const noexcept { return fileURL_; }
    const std::optional<URLError>& urlError() const noexcept { return urlError_; }

    const std::string& errorDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const HubClientError& a, const HubClientError& b) {
        return a.case_ == b.case_ && a.description_ == b.description_;
    }

private:
    HubClientError(Case c, std::string text, std::string description);

    Case case_;
    int statusCode_ = 0;
    std::string text_;
    std::filesystem::path fileURL_;
    std::optional<URLError> urlError_;
    std::string description_;
};

}  // namespace hub
