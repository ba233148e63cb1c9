#pragma once

// One HTTP request over libcurl, blocking, cancellable through a stop token. Private to the
// module: the hub client's small requests and its file transfers go through it.

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hub/HTTPResponse.h"

namespace hub::detail {

struct HttpRequest {
    std::string method = "GET";  // "GET" or "HEAD"
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    bool followRedirects = false;
    // Seconds without progress (no connection made, no byte moved) before the request fails with
    // URLError::Code::timedOut. There is no limit on the whole transfer.
    long idleTimeoutSeconds = 60;
    // Encodings that the transfer offers and decodes itself ("" offers every one it knows);
    // absent leaves "Accept-Encoding" to `headers`.
    std::optional<std::string> acceptEncoding;
    // Bytes libcurl reads from the connection at once; 0 keeps its default. Large bodies move
    // faster with a larger buffer.
    long receiveBufferSize = 0;
    // Called once with the head of the final answer, before its first body byte.
    std::function<void(const HTTPResponse&)> onResponse;
    // Receives the body piece by piece; without it the body is collected in HttpResult::body.
    std::function<void(std::string_view)> onBody;
};

struct HttpResult {
    HTTPResponse response;
    std::string body;
};

// Transport failures raise URLError (code cancelled once `stop` is requested), a libcurl that
// cannot be loaded HubClientError (see ensureCurlInitialised); an exception thrown by a callback
// ends the transfer and passes through unchanged. Any HTTP status is a result, not an error.
HttpResult performRequest(const HttpRequest& request, std::stop_token stop = {});

}  // namespace hub::detail
