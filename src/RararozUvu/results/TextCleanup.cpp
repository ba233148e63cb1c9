#include "rararozuvu/results/TextCleanup.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace rararozuvu {

std::string trimmingSpecialTokenCharacters(std::string_view text) {
    const auto special = [](char c) { return c == '<' || c == '|' || c == '>'; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && special(text[begin]))
        ++begin;
    while (end > begin && special(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

std::string normalized(std::string_view text) {
    icu::UnicodeString lower = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    lower.toLower(icu::Locale::getRoot());

    // Hyphens become blanks, punctuation goes and each run of blanks shrinks to one, in one pass:
    // a hyphen turned blank joins the run it stands in.
    icu::UnicodeString cleaned;
    bool lastWasBlank = false;
    for (int32_t i = 0; i < lower.length();) {
        UChar32 c = lower.char32At(i);
        i += U16_LENGTH(c);
        if (c == u'-')
            c = u' ';
        if (c != u' ' && u_ispunct(c))
            continue;
        if (c == u' ') {
            if (lastWasBlank)
                continue;
            lastWasBlank = true;
        } else {
            lastWasBlank = false;
        }
        cleaned.append(c);
    }

    int32_t begin = 0;
    int32_t end = cleaned.length();
    while (begin < end && u_isUWhiteSpace(cleaned.char32At(begin))) {
        begin += U16_LENGTH(cleaned.char32At(begin));
    }
    while (end > begin && u_isUWhiteSpace(cleaned.char32At(end - 1))) {
        end -= U16_LENGTH(cleaned.char32At(end - 1));
    }
    std::string out;
    cleaned.tempSubStringBetween(begin, end).toUTF8String(out);
    return out;
}

}  // namespace rararozuvu
