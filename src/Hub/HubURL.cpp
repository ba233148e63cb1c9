#include "HubURL.h"

#include <fmt/format.h>

#include <cctype>

#include "CurlHandles.h"
#include "hub/HubClientError.h"

namespace hub::detail {

namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

bool isPathCharacter(unsigned char c) {
    return isUnreserved(c) ||
           std::string_view("!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
}

[[noreturn]] void badURL(const std::string& url) {
    throw HubClientError::networkError(
        URLError(URLError::Code::badURL, "not an absolute URL", url));
}

// The parts of an absolute URL text, cut where they stand so that the text is kept byte for byte
// (a parser's normal form would change the letter case of escapes, for one).
struct URLParts {
    std::string_view origin;  // scheme "://" authority
    std::string_view path;
    std::string_view rest;  // "?" query and "#" fragment
};

URLParts split(std::string_view url) {
    const std::size_t authority = url.find("://") + 3;
    const std::size_t pathStart = std::min(url.find_first_of("/?#", authority), url.size());
    const std::size_t pathEnd = std::min(url.find_first_of("?#", pathStart), url.size());
    return {url.substr(0, pathStart), url.substr(pathStart, pathEnd - pathStart),
            url.substr(pathEnd)};
}

// An absolute URL with a scheme and a host, or a bad-URL failure.
URLParts checkedAbsolute(const std::string& url) {
    ensureCurlInitialised();
    CurlUrl handle(curl().url());
    char* host = nullptr;
    if (!handle || curl().url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
        curl().url_get(handle.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK ||
        url.find("://") == std::string::npos) {
        badURL(url);
    }
    CurlString owned(host);
    return split(url);
}

std::string appendingEncoded(const std::string& url, const std::string& encoded) {
    const URLParts parts = checkedAbsolute(url);
    std::string_view path = parts.path;
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    return std::string(parts.origin).append(path).append("/").append(encoded).append(parts.rest);
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
        if (c <= 0x20 || c >= 0x7f ||
            std::string_view("\"<>\\^`{|}").find(static_cast<char>(c)) != std::string_view::npos) {
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
    std::string_view path = checkedAbsolute(url).path;
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    if (path.empty() || path == "/") {
        return "/";
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
    URLParts original;
    try {
        original = checkedAbsolute(originalURL);
    } catch (const HubClientError&) {
        return std::nullopt;
    }
    std::string target(original.origin);
    target += path.empty() ? "/" : path;
    if (question != std::string_view::npos) {
        target += location.substr(question);
    }
    return target;
}

}  // namespace hub::detail
