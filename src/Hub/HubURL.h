#pragma once

// URL texts as the hub client builds and reads them. Private to the module.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "hub/Repo.h"

namespace hub::detail {

// Percent-encodes every byte that may not stand in a URL path; "/" stays when `keepSlash`.
std::string percentEncodedPath(std::string_view text, bool keepSlash);
std::string percentDecoded(std::string_view text);

// `url` with `path` appended below its path; each "/" of `path` separates components. Raises
// HubClientError::networkError (bad URL) when `url` is no absolute URL.
std::string appendingPath(const std::string& url, std::string_view path);
// The same with `component` as one component: a "/" inside it is written %2F.
std::string appendingPathComponent(const std::string& url, std::string_view component);
// The last component of the URL's path, percent-decoded.
std::string lastPathComponent(const std::string& url);

// "file://" and the absolute path, percent-encoded.
std::string fileURLText(const std::filesystem::path& path);

// {endpoint}/[datasets/|spaces/]{repository id}/resolve/{revision}: the base below which a
// revision's files are fetched, the revision kept as one component.
std::string resolveBase(const std::string& endpoint, const Repo& repo, std::string_view revision);
// A file's resolve URL: the base with the repository-relative path appended.
std::string resolveURL(const std::string& endpoint, const Repo& repo, std::string_view revision,
                       std::string_view relativeFilename);

// Where a redirect whose "Location" is `location` leads when it is followed: only a relative
// location is, to the path and query it names on the scheme, host and port of `originalURL`.
// A location that names a host, or that cannot be read, gives no target.
std::optional<std::string> relativeRedirectTarget(const std::string& originalURL,
                                                  std::string_view location);

}  // namespace hub::detail
