#include "hub/URLError.h"

namespace hub {

namespace {

const char* describe(URLError::Code code) {
    switch (code) {
        case URLError::Code::cancelled:
            return "cancelled";
        case URLError::Code::badURL:
            return "bad URL";
        case URLError::Code::timedOut:
            return "The request timed out.";
        case URLError::Code::unsupportedURL:
            return "unsupported URL";
        case URLError::Code::cannotFindHost:
            return "A server with the specified hostname could not be found.";
        case URLError::Code::cannotConnectToHost:
            return "Could not connect to the server.";
        case URLError::Code::networkConnectionLost:
            return "The network connection was lost.";
        case URLError::Code::httpTooManyRedirects:
            return "too many HTTP redirects";
        case URLError::Code::badServerResponse:
            return "The server returned an invalid response.";
        case URLError::Code::secureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be "
                   "made.";
        case URLError::Code::cannotWriteToFile:
            return "The file could not be written.";
        case URLError::Code::unknown:
            break;
    }
    return "An unknown error occurred.";
}

}  // namespace

URLError::URLError(Code code, std::string detail, std::string url)
    : code_(code),
      detail_(std::move(detail)),
      url_(std::move(url)),
      description_(describe(code)),
      message_(description_) {}

URLError URLError::withContext(std::string_view context) const {
    URLError error = *this;
    error.message_ = std::string(context) + ": " + description_;
    if (!detail_.empty()) {
        error.message_ += " (" + detail_ + ")";
    }
    return error;
}

}  // namespace hub
