#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace hub {

// A failure of the HTTP layer itself: no answer, a broken or timed-out connection, a cancelled
// request. Answers with an error status are not URL errors; the hub client maps those itself.
class URLError : public std::exception {
public:
    enum class Code {
        unknown,
        cancelled,
        badURL,
        timedOut,
        unsupportedURL,
        cannotFindHost,
        cannotConnectToHost,
        networkConnectionLost,
        httpTooManyRedirects,
        badServerResponse,
        secureConnectionFailed,
        cannotWriteToFile,
    };

    // `detail` is the transport's own account of what happened (kept for diagnosis), `url` the
    // request's URL.
    explicit URLError(Code code, std::string detail = {}, std::string url = {});

    Code code() const noexcept { return code_; }
    const std::string& detail() const noexcept { return detail_; }
    const std::string& url() const noexcept { return url_; }

    // The fixed text of the code, such as "The request timed out.".
    const std::string& localizedDescription() const noexcept { return description_; }
    // The description, or the message given by withContext().
    const char* what() const noexcept override { return message_.c_str(); }

    // The same error with a message that says what was being done ("cannot download x"),
    // then the description and the transport's detail.
    URLError withContext(std::string_view context) const;

private:
    Code code_;
    std::string detail_;
    std::string url_;
    std::string description_;
    std::string message_;
};

}  // namespace hub
