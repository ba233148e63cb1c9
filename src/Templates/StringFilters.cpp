#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "BuiltinSupport.h"
#include "LimitErrors.h"
#include "templates/Filters.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace builtins {

std::string replaceOccurrences(std::string_view text, std::string_view old,
                               std::string_view replacement, std::optional<std::int64_t> limit,
                               std::size_t maximumLength) {
    const auto mayReplace = [&](std::int64_t made) { return !limit || made < *limit; };
    if (old.empty()) {
        const std::vector<std::string_view> characters = unicode::characters(text);
        std::uint64_t inserts = characters.size() + 1;
        if (limit) {
            inserts = std::min<std::uint64_t>(
                inserts, static_cast<std::uint64_t>(std::max<std::int64_t>(*limit, 0)));
        }
        std::uint64_t added = 0;
        if (__builtin_mul_overflow(inserts, replacement.size(), &added) || added > maximumLength ||
            text.size() > maximumLength - added) {
            checkTextLength(maximumLength + 1, RenderLimits{.maximumTextLength = maximumLength});
        }
        std::string out;
        out.reserve(text.size() + added);
        std::int64_t made = 0;
        for (const std::string_view character : characters) {
            if (mayReplace(made)) {
                out.append(replacement);
                ++made;
            }
            out.append(character);
        }
        if (mayReplace(made)) {
            out.append(replacement);
        }
        return out;
    }
    std::uint64_t matches = 0;
    for (std::size_t at = text.find(old);
         at != std::string_view::npos && mayReplace(static_cast<std::int64_t>(matches));
         at = text.find(old, at + old.size())) {
        ++matches;
    }
    if (replacement.size() > old.size()) {
        std::uint64_t added = 0;
        if (__builtin_mul_overflow(matches, replacement.size() - old.size(), &added) ||
            added > maximumLength || text.size() > maximumLength - added) {
            checkTextLength(maximumLength + 1, RenderLimits{.maximumTextLength = maximumLength});
        }
    }
    std::string out;
    out.reserve(text.size() + matches * replacement.size() - matches * old.size());
    std::size_t start = 0;
    std::int64_t made = 0;
    while (!limit || made < *limit) {
        const std::size_t found = text.find(old, start);
        if (found == std::string_view::npos) {
            break;
        }
        out.append(text.substr(start, found - start));
        out.append(replacement);
        start = found + old.size();
        ++made;
    }
    out.append(text.substr(start));
    return out;
}

}  // namespace builtins

namespace {

using builtins::bindAfterValue;
using builtins::intOr;
using builtins::textOfValue;

const std::string noParameters[1];
const std::span<const std::string> none(noParameters, 0);

std::size_t characterCount(std::string_view text) {
    return unicode::graphemeBoundaries(text).size() - 1;
}

Value mapped(const Filters::Args& args, const KeywordValues& kwargs,
             std::string (*mapping)(std::string_view)) {
    bindAfterValue(args, kwargs, none);
    return Value(mapping(textOfValue(args)));
}

std::string capitalizedText(std::string_view text) {
    const std::vector<std::size_t> cuts = unicode::graphemeBoundaries(text);
    if (cuts.size() < 2) {
        return std::string();
    }
    return unicode::uppercased(text.substr(0, cuts[1])) + unicode::lowercased(text.substr(cuts[1]));
}

}  // namespace

Value Filters::upper(const Args& args, const KeywordValues& kwargs, const Scope&) {
    return mapped(args, kwargs, unicode::uppercased);
}

Value Filters::lower(const Args& args, const KeywordValues& kwargs, const Scope&) {
    return mapped(args, kwargs, unicode::lowercased);
}

Value Filters::capitalize(const Args& args, const KeywordValues& kwargs, const Scope&) {
    return mapped(args, kwargs, capitalizedText);
}

Value Filters::title(const Args& args, const KeywordValues& kwargs, const Scope&) {
    return mapped(args, kwargs, unicode::capitalizedWords);
}

Value Filters::trim(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"chars"};
    static const ArgumentDefaults defaults{{"chars", Value()}};
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    // A text argument is read in place, and given back as it is when nothing is trimmed.
    const bool givenText = !args.empty() && args.front().isString();
    const std::string printed = givenText ? std::string() : textOfValue(args);
    const std::string_view text = givenText ? std::string_view(args.front().asString()) : printed;
    const Value& chars = bound.at(0);
    std::string_view result;
    if (chars.isString() && !chars.asString().empty()) {
        std::u32string set;
        for (const auto& scalar : unicode::scalars(chars.asString())) {
            set.push_back(scalar.value);
        }
        result = unicode::trimmed(
            text, [&set](char32_t c) { return set.find(c) != std::u32string::npos; }, true, true);
    } else {
        result = unicode::trimmed(text, unicode::isSpaceOrLineBreak, true, true);
    }
    if (givenText && result.size() == text.size()) {
        return args.front();
    }
    return Value(std::string(result));
}

Value Filters::replace(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    static const std::string parameters[] = {"old", "new", "count"};
    static const ArgumentDefaults defaults{{"count", Value()}};
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const std::string text = textOfValue(args);
    const std::string old = bound.at(0).description();
    const std::string replacement = bound.at(1).description();
    std::optional<std::int64_t> limit;
    if (bound.at(2).isInt()) {
        limit = bound.at(2).asInt();
    }
    return Value(builtins::replaceOccurrences(text, old, replacement, limit,
                                              builtins::limitsOf(env).maximumTextLength));
}

Value Filters::center(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    static const std::string parameters[] = {"width"};
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters);
    if (!bound.at(0).isInt()) {
        throw TemplateError::runtime("center filter requires width parameter");
    }
    const std::string text = textOfValue(args);
    const auto count = static_cast<std::int64_t>(characterCount(text));
    const std::int64_t padding = bound.at(0).asInt() - count;
    if (padding < 1) {
        return Value(text);
    }
    const std::size_t maximumLength = builtins::limitsOf(env).maximumTextLength;
    if (static_cast<std::uint64_t>(padding) > maximumLength) {
        throw TemplateError::runtime("center filter width is too large");
    }
    checkTextLength(text.size() + static_cast<std::size_t>(padding), builtins::limitsOf(env));
    const auto left = static_cast<std::size_t>(padding / 2);
    const auto right = static_cast<std::size_t>(padding) - left;
    return Value(std::string(left, ' ') + text + std::string(right, ' '));
}

Value Filters::indent(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    static const std::string parameters[] = {"width", "first", "blank"};
    static const ArgumentDefaults defaults{
        {"width", Value(4)}, {"first", Value(false)}, {"blank", Value(false)}};
    if (args.empty() || !args.front().isString()) {
        return Value("");
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const Value& width = bound.at(0);
    const RenderLimits& limits = builtins::limitsOf(env);
    std::string indentation = "    ";
    if (width.isInt()) {
        // As center: a width no text could reach is the template's error.
        if (width.asInt() > 0 &&
            static_cast<std::uint64_t>(width.asInt()) > limits.maximumTextLength) {
            throw TemplateError::runtime("indent filter width is too large");
        }
        indentation.assign(static_cast<std::size_t>(std::max<std::int64_t>(width.asInt(), 0)), ' ');
    } else if (width.isString()) {
        indentation = width.asString();
    }
    const bool indentFirst = bound.at(1).isTruthy();
    const bool blank = bound.at(2).isTruthy();
    const std::string& text = args.front().asString();
    // Every line may gain the indentation: bound the result before building it.
    std::uint64_t lines =
        1 + static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
    std::uint64_t added = 0;
    if (__builtin_mul_overflow(lines, indentation.size(), &added) ||
        added > limits.maximumTextLength || text.size() > limits.maximumTextLength - added) {
        checkTextLength(limits.maximumTextLength + 1, limits);
    }
    std::string out;
    out.reserve(text.size() + added);
    std::size_t start = 0;
    bool firstLine = true;
    while (true) {
        // A CR LF pair is one character and does not end a line.
        std::size_t end = start;
        while (end < text.size() &&
               !(text[end] == '\n' && (end == 0 || text[end - 1] != '\r'))) {
            ++end;
        }
        const std::string_view line(text.data() + start, end - start);
        if (!firstLine) {
            out.push_back('\n');
        }
        if ((!firstLine || indentFirst) && (!line.empty() || blank)) {
            out += indentation;
        }
        out.append(line);
        firstLine = false;
        if (end >= text.size()) {
            break;
        }
        start = end + 1;
    }
    return Value(std::move(out));
}

Value Filters::truncate(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"length", "killwords", "end", "leeway"};
    static const ArgumentDefaults defaults{{"length", Value(255)},
                                           {"killwords", Value(false)},
                                           {"end", Value("...")},
                                           {"leeway", Value(5)}};
    if (args.empty() || !args.front().isString()) {
        return Value("");
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const std::int64_t length = std::max<std::int64_t>(intOr(bound.at(0), 255), 0);
    const bool killwords = bound.at(1).isTruthy();
    const std::string end = bound.at(2).isString() ? bound.at(2).asString() : "...";
    const std::int64_t leeway = std::max<std::int64_t>(intOr(bound.at(3), 5), 0);
    const std::string& text = args.front().asString();
    const std::vector<std::size_t> cuts = unicode::graphemeBoundaries(text);
    const auto count = static_cast<std::int64_t>(cuts.size() - 1);
    if (length > count || length + leeway >= count) {
        return args.front();
    }
    const std::string_view prefix(text.data(), cuts[static_cast<std::size_t>(length)]);
    if (killwords) {
        return Value(std::string(prefix) + end);
    }
    const std::vector<unicode::Scalar> scalars = unicode::scalars(prefix);
    for (auto it = scalars.rbegin(); it != scalars.rend(); ++it) {
        if (unicode::isSpaceOrLineBreak(it->value)) {
            return Value(std::string(prefix.substr(0, it->offset)) + end);
        }
    }
    return Value(std::string(prefix) + end);
}

Value Filters::wordwrap(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    static const std::string parameters[] = {"width", "break_long_words", "wrapstring",
                                             "break_on_hyphens"};
    static const ArgumentDefaults defaults{{"width", Value(79)},
                                           {"break_long_words", Value(true)},
                                           {"wrapstring", Value()},
                                           {"break_on_hyphens", Value(true)}};
    if (args.empty() || !args.front().isString()) {
        return Value("");
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const auto width = static_cast<std::size_t>(std::max<std::int64_t>(intOr(bound.at(0), 79), 1));
    const bool breakLong = bound.at(1).isTruthy();
    const std::string wrap = bound.at(2).isString() ? bound.at(2).asString() : "\n";
    const bool breakHyphens = bound.at(3).isTruthy();
    const auto isLineBreak = [](char32_t c) {
        return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
    };
    std::vector<std::string> lines;
    std::vector<std::string> paragraphs(1);
    for (const auto& scalar : unicode::scalars(args.front().asString())) {
        const std::string_view bytes =
            std::string_view(args.front().asString()).substr(scalar.offset, scalar.length);
        if (isLineBreak(scalar.value)) {
            paragraphs.emplace_back();
        } else {
            paragraphs.back().append(bytes);
        }
    }
    for (const std::string& paragraph : paragraphs) {
        std::vector<std::string> words(1);
        for (const auto& scalar : unicode::scalars(paragraph)) {
            if (unicode::isSpaceOrLineBreak(scalar.value)) {
                words.emplace_back();
            } else {
                words.back().append(paragraph, scalar.offset, scalar.length);
            }
        }
        std::string current;
        std::size_t currentLength = 0;
        const auto place = [&](const std::string& piece) {
            const std::size_t pieceLength = characterCount(piece);
            if (current.empty()) {
                current = piece;
                currentLength = pieceLength;
            } else if (currentLength + 1 + pieceLength <= width) {
                current += ' ' + piece;
                currentLength += 1 + pieceLength;
            } else {
                lines.push_back(std::move(current));
                current = piece;
                currentLength = pieceLength;
            }
        };
        for (const std::string& word : words) {
            if (word.empty()) {
                continue;
            }
            if (!breakLong || characterCount(word) <= width) {
                place(word);
                continue;
            }
            std::vector<std::string> parts;
            if (breakHyphens && word.find('-') != std::string::npos) {
                std::size_t start = 0;
                std::size_t dash;
                while ((dash = word.find('-', start)) != std::string::npos) {
                    parts.push_back(word.substr(start, dash + 1 - start));
                    start = dash + 1;
                }
                parts.push_back(word.substr(start));
            } else {
                parts.push_back(word);
            }
            for (const std::string& part : parts) {
                const std::vector<std::size_t> cuts = unicode::graphemeBoundaries(part);
                const std::size_t count = cuts.size() - 1;
                if (count <= width) {
                    if (!part.empty()) {
                        place(part);
                    }
                    continue;
                }
                for (std::size_t i = 0; i < count; i += width) {
                    const std::size_t stop = std::min(i + width, count);
                    place(part.substr(cuts[i], cuts[stop] - cuts[i]));
                }
            }
        }
        if (!current.empty()) {
            lines.push_back(std::move(current));
        }
    }
    std::uint64_t length = 0;
    for (const std::string& line : lines) {
        length += line.size();
    }
    std::uint64_t joins = 0;
    if (!lines.empty() && __builtin_mul_overflow(lines.size() - 1, wrap.size(), &joins)) {
        joins = std::numeric_limits<std::uint64_t>::max() - length;
    }
    checkTextLength(length + joins, builtins::limitsOf(env));
    std::string out;
    out.reserve(length + joins);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            out += wrap;
        }
        out += lines[i];
    }
    return Value(std::move(out));
}

Value Filters::wordcount(const Args& args, const KeywordValues& kwargs, const Scope&) {
    bindAfterValue(args, kwargs, none);
    std::int64_t count = 0;
    bool inWord = false;
    for (const auto& scalar : unicode::scalars(textOfValue(args))) {
        const bool separator = unicode::isSpaceOrLineBreak(scalar.value);
        if (!separator && !inWord) {
            ++count;
        }
        inWord = !separator;
    }
    return Value(count);
}

Value Filters::format(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    bindAfterValue(args, kwargs, none);
    const std::string text = textOfValue(args);
    if (args.size() < 2) {
        return Value(text);
    }
    const std::size_t maximumLength = builtins::limitsOf(env).maximumTextLength;
    std::string out;
    std::size_t cursor = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || cursor >= args.size() || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        if (text[i + 1] == 's') {
            args[cursor++].appendDescription(out, maximumLength);
            checkTextLength(out.size(), builtins::limitsOf(env));
        } else {
            out.push_back('%');
            out.push_back(text[i + 1]);
        }
        ++i;
    }
    return Value(std::move(out));
}

Value Filters::string(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    if (args.empty()) {
        return Value("");
    }
    bindAfterValue(args, kwargs, none);
    if (args.front().isString()) {
        return args.front();
    }
    std::string text;
    args.front().appendDescription(text, builtins::limitsOf(env).maximumTextLength);
    return Value(std::move(text));
}

Value Filters::filesizeformat(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"binary"};
    static const ArgumentDefaults defaults{{"binary", Value(false)}};
    if (args.empty()) {
        return Value("");
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    if (!args.front().isNumber()) {
        return Value("");
    }
    const double size = args.front().asNumber();
    const bool binary = bound.at(0).isTruthy();
    const double base = binary ? 1024.0 : 1000.0;
    if (!std::isfinite(size)) {
        return Value("");
    }
    if (size < base) {
        return Value(fmt::format("{} Bytes", static_cast<std::int64_t>(
                                                 std::clamp(size, -9.2e18, 9.2e18))));
    }
    const int exponent =
        std::clamp(static_cast<int>(std::log(size) / std::log(base)), 1, 8);
    const char unit = (binary ? "KMGTPEZY" : "kMGTPEZY")[exponent - 1];
    return Value(fmt::format("{:.1f} {}{}", size / std::pow(base, exponent), unit,
                             binary ? "iB" : "B"));
}

}  // namespace templates
