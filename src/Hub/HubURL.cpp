#include "HubURL.h"

#include <fmt/format.h>

#include <cctype>

#include "CurlHandles.h"
#include "hub/HubClientError.h"

namespace hub::detail {

namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

bool isPathCharacter(unsigned char c) {
    return isUnreserved(c) || std::string_view("!$&'()*+,;=:@").find(static_cast<char>(c)) !=
                                  std::string_view::npos;
}

[[noreturn]] void badURL(const std::string& url) {
    throw HubClientError::networkError(URLError(URLError::Code::badURL, "not an absolute URL", url));
}

// An absolute URL with a scheme and a host, or a bad-URL failure.
CurlUrl parsedAbsolute(const std::string& url) {
    ensureCurlInitialised();
    CurlUrl handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        badURL(url);
    }
    return handle;
}

std::optional<std::string> part(CURLU* url, CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(url, which, &text, 0) != CURLUE_OK || text == nullptr) {
        return std::nullopt;
    }
    CurlString owned(text);
    return std::string(owned.get());
}

std::string withPath(CURLU* url, const std::string& path, const std::string& original) {
    if (curl_url_set(url, CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK) {
        badURL(original);
    }
    std::optional<std::string> text = part(url, CURLUPART_URL);
    if (!text) {
        badURL(original);
    }
    return *text;
}

std::string appendingEncoded(const std::string& url, const std::string& encoded) {
    CurlUrl handle = parsedAbsolute(url);
    std::string path = part(handle.get(), CURLUPART_PATH).value_or("/");
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    return withPath(handle.get(), path + "/" + encoded, url);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool hasScheme(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    for (char c : text.substr(0, colon)) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

bool isReadableReference(std::string_view text) {
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7f || std::string_view("\"<>\\^`{|}").find(static_cast<char>(c)) !=
                                          std::string_view::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string percentEncodedPath(std::string_view text, bool keepSlash) {
    std::string encoded;
    encoded.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isPathCharacter(byte) || (keepSlash && c == '/')) {
            encoded += c;
        } else {
            encoded += fmt::format("%{:02X}", byte);
        }
    }
    return encoded;
}

std::string percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                decoded += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        decoded += text[i];
    }
    return decoded;
}

std::string appendingPath(const std::string& url, std::string_view path) {
    return appendingEncoded(url, percentEncodedPath(path, true));
}

std::string appendingPathComponent(const std::string& url, std::string_view component) {
    return appendingEncoded(url, percentEncodedPath(component, false));
}

std::string lastPathComponent(const std::string& url) {
    CurlUrl handle = parsedAbsolute(url);
    std::string path = part(handle.get(), CURLUPART_PATH).value_or("/");
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (path == "/") {
        return path;
    }
    return percentDecoded(path.substr(path.rfind('/') + 1));
}

std::string fileURLText(const std::filesystem::path& path) {
    return "file://" + percentEncodedPath(std::filesystem::absolute(path).string(), true);
}

std::string resolveBase(const std::string& endpoint, const Repo& repo, std::string_view revision) {
    std::string url = endpoint;
    if (repo.type != RepoType::models) {
        url = appendingPath(url, rawValue(repo.type));
    }
    url = appendingPath(url, repo.id);
    url = appendingPath(url, "resolve");
    return appendingPathComponent(url, revision);
}

std::string resolveURL(const std::string& endpoint, const Repo& repo, std::string_view revision,
                       std::string_view relativeFilename) {
    return appendingPath(resolveBase(endpoint, repo, revision), relativeFilename);
}

std::optional<std::string> relativeRedirectTarget(const std::string& originalURL,
                                                  std::string_view location) {
    if (!isReadableReference(location) || hasScheme(location) || location.starts_with("//")) {
        return std::nullopt;  // unreadable, or it names a host
    }
    location = location.substr(0, location.find('#'));
    const std::size_t question = location.find('?');
    const std::string path(location.substr(0, question));
    if (!path.empty() && path.front() != '/') {
        return std::nullopt;  // a path relative to the current one has no place on the host
    }
    ensureCurlInitialised();
    CurlUrl handle(curl_url());
    if (!handle ||
        curl_url_set(handle.get(), CURLUPART_URL, originalURL.c_str(), 0) != CURLUE_OK ||
        curl_url_set(handle.get(), CURLUPART_PATH, path.empty() ? "/" : path.c_str(), 0) !=
            CURLUE_OK ||
        curl_url_set(handle.get(), CURLUPART_FRAGMENT, nullptr, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const std::string query =
        question == std::string_view::npos ? std::string() : std::string(location.substr(question + 1));
    if (curl_url_set(handle.get(), CURLUPART_QUERY,
                     question == std::string_view::npos ? nullptr : query.c_str(),
                     0) != CURLUE_OK) {
        return std::nullopt;
    }
    return part(handle.get(), CURLUPART_URL);
}

}  // namespace hub::detail
