#include <fmt/format.h>

#include "Authorization.h"
#include "CurlTransfer.h"
#include "HubURL.h"
#include "SafePath.h"
#include "hub/HubApi.h"

namespace hub {

namespace {

// A redirect chain longer than this is a loop.
constexpr int maximumRedirects = 16;
constexpr long requestTimeoutSeconds = 60;

std::vector<std::pair<std::string, std::string>> requestHeaders(
    const std::optional<std::string>& token) {
    std::vector<std::pair<std::string, std::string>> headers;
    if (auto authorization = detail::bearerAuthorization(token)) {
        headers.emplace_back("Authorization", std::move(*authorization));
    }
    return headers;
}

[[noreturn]] void throwForStatus(int status, const std::string& url) {
    if (status == 401 || status == 403) {
        throw HubClientError::authorizationRequired();
    }
    if (status == 404) {
        throw HubClientError::fileNotFound(detail::printable(detail::lastPathComponent(url)));
    }
    throw HubClientError::httpStatusCode(status);
}

}  // namespace

namespace detail {

std::optional<std::string> bearerAuthorization(const std::optional<std::string>& token) {
    if (!token) {
        return std::nullopt;
    }
    const std::size_t end = token->find_last_not_of(" \t\r\n\v\f");
    if (end == std::string::npos) {
        return std::nullopt;
    }
    const std::string_view kept = std::string_view(*token).substr(0, end + 1);
    if (kept.find_first_of("\r\n") != std::string_view::npos) {
        return std::nullopt;
    }
    return fmt::format("Bearer {}", kept);
}

}  // namespace detail

std::pair<std::string, HTTPResponse> HubApi::httpGet(const std::string& url,
                                                     std::stop_token stop) const {
    detail::HttpRequest request;
    request.url = url;
    request.headers = requestHeaders(hubToken_);
    request.followRedirects = true;
    request.idleTimeoutSeconds = requestTimeoutSeconds;
    request.acceptEncoding = "";
    // An answer that never ends would otherwise take all memory.
    std::string body;
    request.onBody = [&body, &url](std::string_view piece) {
        if (body.size() + piece.size() > maximumAnswerBytes) {
            throw HubClientError::downloadError(
                fmt::format("the answer from {} is larger than {} MiB", detail::printable(url),
                            maximumAnswerBytes >> 20));
        }
        body.append(piece);
    };
    detail::HttpResult result;
    try {
        result = detail::performRequest(request, std::move(stop));
    } catch (const URLError& error) {
        throw HubClientError::downloadError(error.localizedDescription());
    }
    const int status = result.response.statusCode;
    if (status < 200 || status > 299) {
        throwForStatus(status, url);
    }
    return {std::move(body), std::move(result.response)};
}

HTTPResponse HubApi::httpHead(const std::string& url, std::stop_token stop) const {
    detail::HttpRequest request;
    request.method = "HEAD";
    request.url = url;
    request.headers = requestHeaders(hubToken_);
    request.headers.emplace_back("Accept-Encoding", "identity");
    request.idleTimeoutSeconds = requestTimeoutSeconds;
    const auto originalHeaders = request.headers;
    HTTPResponse response;
    for (int redirects = 0;; ++redirects) {
        response = detail::performRequest(request, stop).response;
        const int status = response.statusCode;
        const std::optional<std::string> location = response.value("Location");
        if (status < 300 || status > 399 || !location) {
            break;
        }
        // Only a relative location is followed: one that names a host (the content store's) is
        // the answer the caller wants to read.
        const std::optional<std::string> target = detail::relativeRedirectTarget(url, *location);
        if (!target) {
            break;
        }
        if (redirects == maximumRedirects) {
            throw URLError(URLError::Code::httpTooManyRedirects, {}, url);
        }
        request.url = *target;
        request.headers = originalHeaders;
        request.headers.emplace_back("Location", *target);
    }
    const int status = response.statusCode;
    if (status < 200 || status > 399) {
        throwForStatus(status, url);
    }
    return response;
}

}  // namespace hub
