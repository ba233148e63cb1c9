#include <charconv>

#include "HubURL.h"
#include "hub/HubApi.h"

namespace hub {

namespace {

// Optional sign, then digits only, within the signed 64-bit range.
std::optional<std::int64_t> parseSize(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    // Read with the sign so that the most negative value fits.
    const std::string digits = (negative ? "-" : "") + std::string(text);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

std::string trimmedSlashes(std::string_view text) {
    const auto first = text.find_first_not_of('/');
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of('/') - first + 1));
}

std::optional<std::string> normalizeEtag(std::optional<std::string> etag) {
    if (!etag) {
        return etag;
    }
    std::string_view tag = *etag;
    if (tag.starts_with("W/")) {
        tag.remove_prefix(2);
    }
    const auto first = tag.find_first_not_of('"');
    if (first == std::string_view::npos) {
        return std::string();
    }
    return std::string(tag.substr(first, tag.find_last_not_of('"') - first + 1));
}

std::optional<XetFileData> parseXetFileData(const HTTPResponse& response,
                                            const std::string& endpoint) {
    std::optional<std::string> fileHash = response.value("x-xet-hash");
    if (!fileHash) {
        return std::nullopt;
    }
    std::optional<std::string> route = response.getLinkURL("xet-auth");
    if (!route) {
        route = response.value("X-Xet-Refresh-Route");
    }
    if (!route) {
        return std::nullopt;
    }
    // The hub hands out routes on its public address; a client configured for another endpoint
    // must be sent there instead.
    const std::string& defaultEndpoint = HubApi::defaultEndpoint();
    if (route->starts_with(defaultEndpoint)) {
        const std::string from = trimmedSlashes(defaultEndpoint);
        const std::string to = trimmedSlashes(endpoint);
        if (!from.empty()) {
            std::string rewritten;
            std::string_view rest = *route;
            for (std::size_t at; (at = rest.find(from)) != std::string_view::npos;) {
                rewritten.append(rest.substr(0, at)).append(to);
                rest.remove_prefix(at + from.size());
            }
            route = rewritten.append(rest);
        }
    }
    return XetFileData{std::move(*fileHash), std::move(*route)};
}

}  // namespace

HubApi::FileMetadata HubApi::getFileMetadata(const std::string& url, std::stop_token stop) const {
    const HTTPResponse response = httpHead(url, std::move(stop));
    FileMetadata metadata;
    std::optional<std::string> location = response.statusCode == 302 ? response.value("Location")
                                          : response.url.empty()     ? std::nullopt
                                                                     : std::optional(response.url);
    metadata.location = location.value_or(url);
    metadata.commitHash = response.value("X-Repo-Commit");
    std::optional<std::string> etag = response.value("X-Linked-Etag");
    metadata.etag = normalizeEtag(etag ? std::move(etag) : response.value("Etag"));
    std::optional<std::string> size = response.value("X-Linked-Size");
    metadata.size = parseSize(size ? *size : response.value("Content-Length").value_or(""));
    metadata.xetFileData = parseXetFileData(response, endpoint_);
    return metadata;
}

std::vector<HubApi::FileMetadata> HubApi::getFileMetadata(const Repo& repo,
                                                          const std::string& revision,
                                                          const std::vector<std::string>& globs,
                                                          std::stop_token stop) const {
    const std::vector<std::string> names = getFilenames(repo, revision, globs, stop);
    if (names.empty()) {
        return {};
    }
    const std::string base = detail::resolveBase(endpoint_, repo, revision);
    std::vector<FileMetadata> files;
    files.reserve(names.size());
    for (const std::string& name : names) {
        files.push_back(getFileMetadata(detail::appendingPath(base, name), stop));
    }
    return files;
}

}  // namespace hub
