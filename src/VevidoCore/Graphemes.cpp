#include "Graphemes.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>

#include <memory>

namespace vevidocore::detail {

Graphemes splitGraphemes(std::string_view utf8) {
    Graphemes graphemes;
    graphemes.text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    graphemes.boundaries.push_back(0);
    if (graphemes.text.isEmpty()) {
        return graphemes;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks) {
        // Without break data every code point counts as a character of its own.
        for (std::int32_t i = 0; i < graphemes.text.length();) {
            i = graphemes.text.moveIndex32(i, 1);
            graphemes.boundaries.push_back(i);
        }
        return graphemes;
    }
    breaks->setText(graphemes.text);
    for (std::int32_t end = breaks->next(); end != icu::BreakIterator::DONE; end = breaks->next()) {
        graphemes.boundaries.push_back(end);
    }
    return graphemes;
}

bool canonicallyEquivalent(const icu::UnicodeString& a, const icu::UnicodeString& b) {
    if (a == b) {
        return true;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) {
        return false;
    }
    const icu::UnicodeString left = nfd->normalize(a, status);
    const icu::UnicodeString right = nfd->normalize(b, status);
    return U_SUCCESS(status) && left == right;
}

}  // namespace vevidocore::detail
