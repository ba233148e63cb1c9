#include "hub/HTTPResponse.h"

#include <strings.h>

namespace hub {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trimSpacesAndTabs(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::optional<std::string> HTTPResponse::value(std::string_view name) const {
    std::optional<std::string> joined;
    for (const auto& [field, fieldValue] : headerFields) {
        if (sameName(field, name)) {
            if (joined) {
                *joined += ", ";
                *joined += fieldValue;
            } else {
                joined = fieldValue;
            }
        }
    }
    return joined;
}

std::optional<std::string> HTTPResponse::getLinkURL(std::string_view rel) const {
    const std::optional<std::string> links = value("Link");
    if (!links) {
        return std::nullopt;
    }
    const std::string quoted = "rel=\"" + std::string(rel) + "\"";
    const std::string bare = "rel=" + std::string(rel);
    std::string_view rest = *links;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view part = trimSpacesAndTabs(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (part.find(quoted) == std::string_view::npos &&
            part.find(bare) == std::string_view::npos) {
            continue;
        }
        const std::size_t open = part.find('<');
        const std::size_t close = part.find('>');
        if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
            return std::string(part.substr(open + 1, close - open - 1));
        }
    }
    return std::nullopt;
}

}  // namespace hub
