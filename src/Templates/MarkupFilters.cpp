#include <regex>
#include <set>

#include <fmt/format.h>

#include "BuiltinSupport.h"
#include "templates/Filters.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

using builtins::bindAfterValue;

const std::string noParameters[1];
const std::span<const std::string> none(noParameters, 0);

std::string htmlEscaped(std::string_view text, bool attribute = false) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += attribute ? "&quot;" : "&#34;"; break;
            case '\'':
                if (attribute) {
                    out.push_back(c);
                } else {
                    out += "&#39;";
                }
                break;
            default: out.push_back(c);
        }
    }
    return out;
}

bool queryAllowed(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-._~!$&'()*+,;=:@/?").find(static_cast<char>(c)) !=
               std::string_view::npos;
}

std::string percentEncoded(std::string_view text, bool component) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (queryAllowed(byte) && !(component && (c == '&' || c == '=' || c == '+'))) {
            out.push_back(c);
        } else {
            out += fmt::format("%{:02X}", byte);
        }
    }
    return out;
}

}  // namespace

Value Filters::escape(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    bindAfterValue(args, kwargs, none);
    return forceescape(args, kwargs, env);
}

Value Filters::forceescape(const Args& args, const KeywordValues& kwargs, const Scope&) {
    if (args.empty() || !args.front().isString()) {
        return Value("");
    }
    bindAfterValue(args, kwargs, none);
    return Value(htmlEscaped(args.front().asString()));
}

Value Filters::safe(const Args& args, const KeywordValues& kwargs, const Scope&) {
    bindAfterValue(args, kwargs, none);
    return args.empty() ? Value("") : args.front();
}

Value Filters::striptags(const Args& args, const KeywordValues& kwargs, const Scope&) {
    if (args.empty() || !args.front().isString()) {
        return Value("");
    }
    bindAfterValue(args, kwargs, none);
    const std::string& text = args.front().asString();
    std::string stripped;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t close = text[i] == '<' ? text.find('>', i + 1) : std::string::npos;
        if (close != std::string::npos && close > i + 1) {
            i = close + 1;
        } else {
            stripped.push_back(text[i++]);
        }
    }
    std::string out;
    std::string word;
    for (const auto& scalar : unicode::scalars(stripped)) {
        if (unicode::isSpaceOrLineBreak(scalar.value)) {
            if (!word.empty()) {
                out += (out.empty() ? "" : " ") + word;
                word.clear();
            }
        } else {
            word.append(stripped, scalar.offset, scalar.length);
        }
    }
    if (!word.empty()) {
        out += (out.empty() ? "" : " ") + word;
    }
    return Value(std::move(out));
}

Value Filters::xmlattr(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"autospace"};
    static const ArgumentDefaults defaults{{"autospace", Value(true)}};
    if (args.empty() || !args.front().isObject()) {
        return Value("");
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    std::string out;
    for (const auto& entry : args.front().asObject()) {
        if (entry.value.isNull() || entry.value.isUndefined()) {
            continue;
        }
        const std::string key = entry.key.stringValue();
        if (key.find_first_of(" />=") != std::string::npos) {
            throw TemplateError::runtime("Invalid character in XML attribute key: '" + key + "'");
        }
        out += (out.empty() ? "" : " ") + key + "=\"" +
               htmlEscaped(entry.value.description(), true) + "\"";
    }
    if (bound.at(0).isTruthy() && !out.empty()) {
        out.insert(out.begin(), ' ');
    }
    return Value(std::move(out));
}

Value Filters::urlencode(const Args& args, const KeywordValues& kwargs, const Scope&) {
    bindAfterValue(args, kwargs, none);
    if (args.empty()) {
        return Value("");
    }
    const Value& value = args.front();
    if (value.isString()) {
        return Value(percentEncoded(value.asString(), false));
    }
    if (value.isObject()) {
        std::string out;
        for (const auto& entry : value.asObject()) {
            out += (out.empty() ? "" : "&") + percentEncoded(entry.key.stringValue(), true) + "=" +
                   percentEncoded(entry.value.description(), true);
        }
        return Value(std::move(out));
    }
    return Value("");
}

Value Filters::urlize(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"trim_url_limit", "nofollow", "target", "rel",
                                             "extra_schemes"};
    static const ArgumentDefaults defaults{{"trim_url_limit", Value()},
                                           {"nofollow", Value(false)},
                                           {"target", Value()},
                                           {"rel", Value()},
                                           {"extra_schemes", Value()}};
    if (args.empty() || !args.front().isString()) {
        return Value("");
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const std::optional<std::int64_t> limit =
        bound.at(0).isInt() ? std::optional(bound.at(0).asInt()) : std::nullopt;
    const bool nofollow = bound.at(1).isTruthy();
    std::set<std::string> schemes{"http", "https", "mailto"};
    if (bound.at(4).isArray()) {
        for (const Value& scheme : bound.at(4).asArray()) {
            if (scheme.isString()) {
                schemes.insert(unicode::lowercased(scheme.asString()));
            }
        }
    }
    std::string attributes;
    if (nofollow) {
        attributes += " rel=\"nofollow\"";
    }
    if (bound.at(2).isString()) {
        attributes += " target=\"" + htmlEscaped(bound.at(2).asString()) + "\"";
    }
    if (bound.at(3).isString()) {
        attributes += " rel=\"" + htmlEscaped(bound.at(3).asString()) + "\"";
    }
    const auto linked = [&](const std::string& word) -> std::string {
        std::size_t begin = 0;
        while (begin < word.size() && (word[begin] == '(' || word[begin] == '[')) {
            ++begin;
        }
        std::size_t end = word.size();
        while (end > begin && std::string_view(".,:;!?)]\"").find(word[end - 1]) !=
                                  std::string_view::npos) {
            --end;
        }
        const std::string core = word.substr(begin, end - begin);
        if (core.empty()) {
            return word;
        }
        const std::string lower = unicode::lowercased(core);
        const bool http = lower.starts_with("http://") || lower.starts_with("https://");
        const bool mailto = lower.starts_with("mailto:");
        const bool www = lower.starts_with("www.");
        const bool email = lower.find('@') != std::string::npos && !http && !mailto;
        bool schemed = false;
        const std::size_t colon = lower.find(':', lower.find_first_not_of(':'));
        if (colon != std::string::npos && lower.find_first_not_of(':') != std::string::npos) {
            const std::size_t start = lower.find_first_not_of(':');
            schemed = schemes.count(lower.substr(start, colon - start)) != 0;
        }
        std::string target;
        if (http || mailto || www) {
            target = email ? "mailto:" + core : www ? "https://" + core : core;
        } else if (email) {
            target = "mailto:" + core;
        } else if (schemed) {
            target = core;
        } else {
            return word;
        }
        std::string text = core;
        if (limit) {
            const std::vector<std::size_t> cuts = unicode::graphemeBoundaries(core);
            const auto count = static_cast<std::int64_t>(cuts.size() - 1);
            if (count > *limit) {
                text = core.substr(0, cuts[static_cast<std::size_t>(std::max<std::int64_t>(*limit, 0))]) +
                       "...";
            }
        }
        return word.substr(0, begin) + "<a href=\"" + htmlEscaped(target) + "\"" + attributes +
               ">" + htmlEscaped(text) + "</a>" + word.substr(end);
    };
    const std::string& text = args.front().asString();
    std::string out;
    std::string word;
    for (const auto& scalar : unicode::scalars(text)) {
        if (unicode::isSpaceOrLineBreak(scalar.value)) {
            if (!word.empty()) {
                out += linked(word);
                word.clear();
            }
            out.append(text, scalar.offset, scalar.length);
        } else {
            word.append(text, scalar.offset, scalar.length);
        }
    }
    if (!word.empty()) {
        out += linked(word);
    }
    return Value(std::move(out));
}

}  // namespace templates
