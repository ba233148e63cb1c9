#include "vevidocore/NaturalBoundary.h"

#include <unicode/uchar.h>

#include <array>

#include "Graphemes.h"

namespace vevidocore {

namespace {

using MarkGroup = std::vector<icu::UnicodeString>;

const std::array<MarkGroup, 2>& markGroups() {
    static const std::array<MarkGroup, 2> groups{
        MarkGroup{u".", u"!", u"?", u"\n"},
        MarkGroup{u",", u";", u":", u"-", u"\u2013"},
    };
    return groups;
}

bool isMark(const icu::UnicodeString& character, const MarkGroup& group) {
    for (const auto& mark : group) {
        if (detail::canonicallyEquivalent(character, mark)) {
            return true;
        }
    }
    return false;
}

// The index of the last character that is one of the group's marks.
std::optional<std::size_t> lastIndexOf(const detail::Graphemes& graphemes, const MarkGroup& group) {
    for (std::size_t i = graphemes.count(); i > 0; --i) {
        if (isMark(graphemes.character(i - 1), group)) {
            return i - 1;
        }
    }
    return std::nullopt;
}

// The first `end` units of the text, without white space or line breaks at either end.
std::string trimmedPrefix(const icu::UnicodeString& text, std::int32_t end) {
    std::int32_t start = 0;
    while (start < end && u_isUWhiteSpace(text.char32At(start))) {
        start = text.moveIndex32(start, 1);
    }
    while (end > start) {
        const std::int32_t previous = text.moveIndex32(end, -1);
        if (!u_isUWhiteSpace(text.char32At(previous))) {
            break;
        }
        end = previous;
    }
    std::string result;
    text.tempSubString(start, end - start).toUTF8String(result);
    return result;
}

}  // namespace

std::optional<std::string> lastNaturalBoundary(
    const std::string& text, int minTokenCount,
    const std::function<std::vector<int>(const std::string&)>& encode) {
    if (text.empty()) {
        return std::nullopt;
    }
    const detail::Graphemes graphemes = detail::splitGraphemes(text);
    const auto longEnough = [&](const std::string& prefix) {
        return static_cast<std::int64_t>(encode(prefix).size()) >= minTokenCount;
    };
    for (const MarkGroup& group : markGroups()) {
        if (const auto mark = lastIndexOf(graphemes, group)) {
            std::string prefix = trimmedPrefix(graphemes.text, graphemes.boundaries[*mark + 1]);
            if (longEnough(prefix)) {
                return prefix;
            }
        }
    }
    static const MarkGroup blank{u" "};
    if (const auto space = lastIndexOf(graphemes, blank)) {
        std::string prefix = trimmedPrefix(graphemes.text, graphemes.boundaries[*space]);
        if (longEnough(prefix)) {
            return prefix;
        }
    }
    return std::nullopt;
}

}  // namespace vevidocore
