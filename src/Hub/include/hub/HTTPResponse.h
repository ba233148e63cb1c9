#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hub {

// The head of one HTTP answer: the URL that was finally asked (after any followed redirect), the
// status and the header fields as they arrived.
struct HTTPResponse {
    std::string url;
    int statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headerFields;

    // The field's value, names compared without regard to letter case; a field that came more
    // than once gives its values joined by ", ".
    std::optional<std::string> value(std::string_view name) const;

    // The target of the first link in the "Link" field whose relation is `rel` (written
    // rel="<rel>" or rel=<rel>), without its angle brackets.
    std::optional<std::string> getLinkURL(std::string_view rel) const;
};

}  // namespace hub
