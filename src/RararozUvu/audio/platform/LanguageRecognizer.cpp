#include "LanguageRecognizer.h"

#include <unicode/uloc.h>
#include <unicode/uscript.h>

#include <algorithm>
#include <vector>

#include "tokenizers/Utf8.h"

namespace rararozuvu::platform {

namespace {

// The primary language of the script from ICU's likely-subtags data ("und-Thai" -> "th_Thai_TH").
std::optional<std::string> likelyLanguage(UScriptCode script) {
    const std::string locale = std::string("und-") + uscript_getShortName(script);
    UErrorCode status = U_ZERO_ERROR;
    char maximized[ULOC_FULLNAME_CAPACITY] = {};
    uloc_addLikelySubtags(locale.c_str(), maximized, sizeof maximized, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    char language[ULOC_LANG_CAPACITY] = {};
    uloc_getLanguage(maximized, language, sizeof language, &status);
    if (U_FAILURE(status) || language[0] == '\0' || std::string_view(language) == "und") {
        return std::nullopt;
    }
    return std::string(language);
}

}  // namespace

std::optional<std::string> dominantLanguage(std::string_view text) {
    // Scripts in order of first appearance, with their counts.
    std::vector<std::pair<UScriptCode, std::size_t>> counts;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = tokenizers::utf8::decode(text, i);
        UErrorCode status = U_ZERO_ERROR;
        const UScriptCode script = uscript_getScript(static_cast<UChar32>(c), &status);
        if (U_FAILURE(status) || script == USCRIPT_COMMON || script == USCRIPT_INHERITED ||
            script == USCRIPT_UNKNOWN) {
            continue;
        }
        const auto entry = std::find_if(counts.begin(), counts.end(),
                                        [script](const auto& e) { return e.first == script; });
        if (entry == counts.end()) {
            counts.emplace_back(script, 1);
        } else {
            ++entry->second;
        }
    }
    if (counts.empty()) {
        return std::nullopt;
    }
    // max_element keeps the first of equal counts.
    const auto dominant =
        std::max_element(counts.begin(), counts.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    return likelyLanguage(dominant->first);
}

}  // namespace rararozuvu::platform
