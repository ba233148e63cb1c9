#include "CurlTransfer.h"

#include <exception>
#include <stdexcept>

#include "CurlHandles.h"
#include "hub/HubClientError.h"
#include "hub/URLError.h"

namespace hub::detail {

namespace {

URLError::Code urlErrorCode(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return URLError::Code::timedOut;
        case CURLE_ABORTED_BY_CALLBACK:
            return URLError::Code::cancelled;
        case CURLE_URL_MALFORMAT:
            return URLError::Code::badURL;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return URLError::Code::unsupportedURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return URLError::Code::cannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return URLError::Code::cannotConnectToHost;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return URLError::Code::networkConnectionLost;
        case CURLE_TOO_MANY_REDIRECTS:
            return URLError::Code::httpTooManyRedirects;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return URLError::Code::badServerResponse;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
            return URLError::Code::secureConnectionFailed;
        case CURLE_WRITE_ERROR:
            return URLError::Code::cannotWriteToFile;
        default:
            return URLError::Code::unknown;
    }
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// What the callbacks share with the request loop.
class Transfer {
public:
    Transfer(const HttpRequest& request, CURL* easy) : request_(request), easy_(easy) {}

    static size_t onHeader(char* buffer, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->guarded(
            [&] {
                static_cast<Transfer*>(self)->headerLine({buffer, size * count});
            },
            size * count);
    }

    static size_t onWrite(char* buffer, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->guarded(
            [&] {
                static_cast<Transfer*>(self)->bodyPiece({buffer, size * count});
            },
            size * count);
    }

    // The head of the final answer, delivered once, before any body byte.
    const HTTPResponse& head() {
        if (!head_) {
            long status = 0;
            char* url = nullptr;
            curlInfo(easy_, CURLINFO_RESPONSE_CODE, &status);
            curlInfo(easy_, CURLINFO_EFFECTIVE_URL, &url);
            head_ = HTTPResponse{url != nullptr ? url : request_.url, static_cast<int>(status),
                                 headers_};
            if (request_.onResponse) {
                request_.onResponse(*head_);
            }
        }
        return *head_;
    }

    std::string takeBody() { return std::move(body_); }
    const std::exception_ptr& failure() const { return failure_; }

private:
    template <class Body>
    size_t guarded(Body&& body, size_t taken) {
        try {
            body();
            return taken;
        } catch (...) {
            failure_ = std::current_exception();
            return 0;  // ends the transfer with a write error
        }
    }

    void headerLine(std::string_view line) {
        if (line.starts_with("HTTP/")) {
            // A new answer begins (after a 1xx or a followed redirect): only the last one counts.
            headers_.clear();
            return;
        }
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            if (!headers_.empty()) {  // an obsolete folded continuation of the previous field
                headers_.back().second += ' ';
                headers_.back().second += trimmed(line);
            }
            return;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return;  // the blank line that ends a head
        }
        headers_.emplace_back(std::string(trimmed(line.substr(0, colon))),
                              std::string(trimmed(line.substr(colon + 1))));
    }

    void bodyPiece(std::string_view piece) {
        head();
        if (request_.onBody) {
            request_.onBody(piece);
        } else {
            body_.append(piece);
        }
    }

    const HttpRequest& request_;
    CURL* easy_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::optional<HTTPResponse> head_;
    std::string body_;
    std::exception_ptr failure_;
};

// Keeps the easy handle attached to the multi handle for exactly as long as this lives.
class Attachment {
public:
    Attachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        if (curl().multi_add_handle(multi, easy) != CURLM_OK) {
            throw URLError(URLError::Code::unknown, "cannot start the transfer");
        }
    }
    ~Attachment() { curl().multi_remove_handle(multi_, easy_); }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

private:
    CURLM* multi_;
    CURL* easy_;
};

void checked(CURLcode code) {
    if (code != CURLE_OK) {
        throw URLError(urlErrorCode(code), curl().easy_strerror(code));
    }
}

}  // namespace

void ensureCurlInitialised() {
    try {
        curlLibrary();
    } catch (const std::runtime_error& error) {
        // URLError's text is fixed by its code and would hide the reason.
        throw HubClientError::downloadError(error.what());
    }
}

HttpResult performRequest(const HttpRequest& request, std::stop_token stop) {
    if (stop.stop_requested()) {
        throw URLError(URLError::Code::cancelled, {}, request.url);
    }
    ensureCurlInitialised();
    CurlEasy easy(curl().easy_init());
    CurlMulti multi(curl().multi_init());
    if (!easy || !multi) {
        throw URLError(URLError::Code::unknown, "cannot make a transfer handle", request.url);
    }
    CURL* handle = easy.get();
    Transfer transfer(request, handle);
    char errorText[CURL_ERROR_SIZE] = {};

    CurlSlist headers;
    for (const auto& [name, value] : request.headers) {
        // "Name;" is how curl sends a field with an empty value ("Name:" would drop it).
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* extended = curl().slist_append(headers.get(), line.c_str());
        if (extended == nullptr) {
            throw URLError(URLError::Code::unknown, "out of memory", request.url);
        }
        (void)headers.release();
        headers.reset(extended);
    }

    checked(setCurlOption(handle, CURLOPT_URL, request.url.c_str()));
    checked(setCurlOption(handle, CURLOPT_PROTOCOLS_STR, "http,https"));
    checked(setCurlOption(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    checked(setCurlOption(handle, CURLOPT_NOSIGNAL, 1L));
    checked(setCurlOption(handle, CURLOPT_ERRORBUFFER, errorText));
    if (request.method == "HEAD") {
        checked(setCurlOption(handle, CURLOPT_NOBODY, 1L));
    } else if (request.method == "GET") {
        checked(setCurlOption(handle, CURLOPT_HTTPGET, 1L));
    } else {
        throw std::invalid_argument("unsupported HTTP method " + request.method);
    }
    checked(setCurlOption(handle, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L));
    checked(setCurlOption(handle, CURLOPT_MAXREDIRS, 16L));
    checked(setCurlOption(handle, CURLOPT_HTTPHEADER, headers.get()));
    if (request.acceptEncoding) {
        checked(setCurlOption(handle, CURLOPT_ACCEPT_ENCODING, request.acceptEncoding->c_str()));
    }
    if (request.receiveBufferSize > 0) {
        checked(setCurlOption(handle, CURLOPT_BUFFERSIZE, request.receiveBufferSize));
    }
    // Idle limits only: a large body may take as long as it needs while bytes keep moving.
    checked(setCurlOption(handle, CURLOPT_CONNECTTIMEOUT, request.idleTimeoutSeconds));
    checked(setCurlOption(handle, CURLOPT_LOW_SPEED_LIMIT, 1L));
    checked(setCurlOption(handle, CURLOPT_LOW_SPEED_TIME, request.idleTimeoutSeconds));
    checked(setCurlOption(handle, CURLOPT_HEADERFUNCTION, &Transfer::onHeader));
    checked(setCurlOption(handle, CURLOPT_HEADERDATA, &transfer));
    checked(setCurlOption(handle, CURLOPT_WRITEFUNCTION, &Transfer::onWrite));
    checked(setCurlOption(handle, CURLOPT_WRITEDATA, &transfer));

    CURLcode result = CURLE_OK;
    bool cancelled = false;
    {
        Attachment attachment(multi.get(), handle);
        std::stop_callback wake(stop, [&multi] { curl().multi_wakeup(multi.get()); });
        int running = 1;
        for (;;) {
            if (const CURLMcode code = curl().multi_perform(multi.get(), &running);
                code != CURLM_OK) {
                throw URLError(URLError::Code::unknown, curl().multi_strerror(code), request.url);
            }
            if (running == 0) {
                break;
            }
            if (stop.stop_requested()) {
                cancelled = true;
                break;
            }
            curl().multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
        }
        int queued = 0;
        while (CURLMsg* message = curl().multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == handle) {
                result = message->data.result;
            }
        }
    }
    if (transfer.failure()) {
        std::rethrow_exception(transfer.failure());
    }
    if (cancelled) {
        throw URLError(URLError::Code::cancelled, {}, request.url);
    }
    if (result != CURLE_OK) {
        throw URLError(urlErrorCode(result),
                       errorText[0] != '\0' ? errorText : curl().easy_strerror(result),
                       request.url);
    }
    HttpResult done{transfer.head(), {}};
    done.body = transfer.takeBody();
    return done;
}

}  // namespace hub::detail
