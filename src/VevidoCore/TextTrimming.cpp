#include "vevidocore/TextTrimming.h"

#include "Graphemes.h"

namespace vevidocore {

std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto) {
    if (upto < 1 || text.empty()) {
        return std::string(text);
    }
    const detail::Graphemes graphemes = detail::splitGraphemes(text);
    const icu::UnicodeString wanted = icu::UnicodeString::fromUTF8(
        icu::StringPiece(character.data(), static_cast<std::int32_t>(character.size())));
    std::size_t kept = graphemes.count();
    for (int removed = 0; removed < upto && kept > 0; ++removed) {
        if (!detail::canonicallyEquivalent(graphemes.character(kept - 1), wanted)) {
            break;
        }
        --kept;
    }
    if (kept == graphemes.count()) {
        return std::string(text);
    }
    std::string result;
    graphemes.text.tempSubString(0, graphemes.boundaries[kept]).toUTF8String(result);
    return result;
}

}  // namespace vevidocore
