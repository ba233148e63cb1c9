#include "templates/Unicode.h"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

namespace templates::unicode {

namespace {

const icu::Normalizer2& nfc() {
    static const icu::Normalizer2* instance = [] {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
        if (U_FAILURE(status) || n == nullptr) {
            throw std::runtime_error("ICU normalization data is unavailable");
        }
        return n;
    }();
    return *instance;
}

struct UTextCloser {
    void operator()(UText* text) const { utext_close(text); }
};

// Break iterators are costly to build and not thread-safe, so each thread keeps its own.
icu::BreakIterator& characterBreaks() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !it) {
            throw std::runtime_error("ICU character break rules are unavailable");
        }
        return it;
    }();
    return *iterator;
}

}  // namespace

bool isAscii(std::string_view text) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) {
            return false;
        }
    }
    for (; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool isValidUtf8(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t i = 0;
    while (i < length) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

std::string repairedUtf8(std::string_view text) {
    if (isValidUtf8(text)) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size() + 8);
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t i = 0;
    while (i < length) {
        const std::int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) {
            out.append("\xEF\xBF\xBD");
        } else {
            out.append(
                text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
        }
    }
    return out;
}

std::string normalized(std::string_view text) {
    if (isAscii(text)) {
        return std::string(text);
    }
    const std::string valid = repairedUtf8(text);
    UErrorCode status = U_ZERO_ERROR;
    const icu::StringPiece piece(valid.data(), static_cast<std::int32_t>(valid.size()));
    if (nfc().isNormalizedUTF8(piece, status) && U_SUCCESS(status)) {
        return valid;
    }
    status = U_ZERO_ERROR;
    std::string out;
    icu::StringByteSink<std::string> sink(&out, static_cast<std::int32_t>(valid.size()));
    nfc().normalizeUTF8(0, piece, sink, nullptr, status);
    if (U_FAILURE(status)) {
        throw std::runtime_error("ICU normalization failed");
    }
    return out;
}

bool canonicallyEquivalentSlowly(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < common && a[i] == b[i]) {
        ++i;
    }
    if (i == a.size() && i == b.size()) {
        return true;
    }
    // ASCII characters never combine with what precedes them, so when the texts first differ
    // in two ASCII bytes (or one text ends where the other goes on with one), their canonical
    // forms differ from that character on. Only a difference in non-ASCII text needs the
    // normalisation (the Kelvin sign, for one, becomes "K").
    const auto at = [](std::string_view text, std::size_t k) {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0;
    };
    if (at(a, i) < 0x80 && at(b, i) < 0x80) {
        return false;
    }
    return normalized(a) == normalized(b);
}

namespace {

int sign(int value) {
    return value < 0 ? -1 : (value > 0 ? 1 : 0);
}

}  // namespace

int compare(std::string_view a, std::string_view b) {
    // UTF-8 byte order is scalar order.
    if (isAscii(a) && isAscii(b)) {
        return sign(a.compare(b));
    }
    return sign(normalized(a).compare(normalized(b)));
}

int caseInsensitiveCompare(std::string_view a, std::string_view b) {
    const std::string x = normalized(a);
    const std::string y = normalized(b);
    icu::UnicodeString foldedX = icu::UnicodeString::fromUTF8(x);
    icu::UnicodeString foldedY = icu::UnicodeString::fromUTF8(y);
    foldedX.foldCase();
    foldedY.foldCase();
    return sign(foldedX.compareCodePointOrder(foldedY));
}

bool contains(std::string_view text, std::string_view needle) {
    if (needle.empty()) {
        return true;
    }
    std::string normalizedText, normalizedNeedle;
    const bool asciiText = isAscii(text);
    if (!asciiText || !isAscii(needle)) {
        normalizedText = normalized(text);
        normalizedNeedle = normalized(needle);
        text = normalizedText;
        needle = normalizedNeedle;
    }
    // A match counts only when it starts and ends on character boundaries; in ASCII text the one
    // character longer than a byte is a carriage return followed by a line feed. ASCII text is
    // its own normal form.
    const bool ascii = asciiText || isAscii(text);
    std::vector<std::size_t> boundaries;
    if (!ascii) {
        boundaries = graphemeBoundaries(text);
    }
    const auto isBoundary = [&](std::size_t offset) {
        if (ascii) {
            return offset == 0 || offset == text.size() ||
                   !(text[offset - 1] == '\r' && text[offset] == '\n');
        }
        return std::binary_search(boundaries.begin(), boundaries.end(), offset);
    };
    for (std::size_t at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + 1)) {
        if (isBoundary(at) && isBoundary(at + needle.size())) {
            return true;
        }
    }
    return false;
}

void combineText(Hasher& hasher, std::string_view text) {
    if (isAscii(text)) {
        hasher.combineBytes(text);
    } else {
        hasher.combineBytes(normalized(text));
    }
    hasher.combineByte(0xFF);
}

std::size_t CanonicalHash::operator()(std::string_view text) const {
    Hasher hasher;
    combineText(hasher, text);
    return static_cast<std::size_t>(hasher.finalize());
}

namespace {

// Calls `boundary` with every character boundary of `text` in order, 0 and text.size() included.
template <class F>
void forEachGraphemeBoundary(std::string_view text, F&& boundary) {
    if (isAscii(text)) {
        // In ASCII only a carriage return followed by a line feed forms one character.
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (i > 0 && text[i] == '\n' && text[i - 1] == '\r') {
                continue;
            }
            boundary(i);
        }
        boundary(text.size());
        return;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, UTextCloser> utext(
        utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status));
    if (U_FAILURE(status)) {
        throw std::runtime_error("ICU could not open the text for segmentation");
    }
    icu::BreakIterator& breaks = characterBreaks();
    breaks.setText(utext.get(), status);
    if (U_FAILURE(status)) {
        throw std::runtime_error("ICU could not segment the text");
    }
    std::optional<std::size_t> last;
    for (std::int32_t b = breaks.first(); b != icu::BreakIterator::DONE; b = breaks.next()) {
        last = static_cast<std::size_t>(b);
        boundary(*last);
    }
    // Leave the shared iterator without a reference to text that is about to go away.
    breaks.setText(icu::UnicodeString());
    if (last != text.size()) {
        boundary(text.size());
    }
}

}  // namespace

std::vector<std::size_t> graphemeBoundaries(std::string_view text) {
    std::vector<std::size_t> boundaries;
    boundaries.reserve(text.size() + 1);
    forEachGraphemeBoundary(text, [&](std::size_t b) { boundaries.push_back(b); });
    return boundaries;
}

std::vector<std::string_view> characters(std::string_view text) {
    const std::vector<std::size_t> boundaries = graphemeBoundaries(text);
    std::vector<std::string_view> result;
    result.reserve(boundaries.size() - 1);
    for (std::size_t i = 0; i + 1 < boundaries.size(); ++i) {
        result.push_back(text.substr(boundaries[i], boundaries[i + 1] - boundaries[i]));
    }
    return result;
}

std::size_t characterCount(std::string_view text) {
    // Counted without keeping the boundaries: a long text would need one entry per byte.
    std::size_t boundaries = 0;
    forEachGraphemeBoundary(text, [&](std::size_t) { ++boundaries; });
    return boundaries - 1;
}

char32_t firstScalar(std::string_view character) noexcept {
    if (character.empty()) {
        return 0;
    }
    const auto* s = reinterpret_cast<const std::uint8_t*>(character.data());
    const auto length = static_cast<std::int32_t>(character.size());
    std::int32_t i = 0;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    return c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
}

bool isWhitespace(char32_t scalar) noexcept {
    return u_isUWhiteSpace(static_cast<UChar32>(scalar));
}

bool isLetter(char32_t scalar) noexcept {
    return u_isUAlphabetic(static_cast<UChar32>(scalar));
}

bool isNumber(char32_t scalar) noexcept {
    return u_getIntPropertyValue(static_cast<UChar32>(scalar), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

namespace {

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace

std::string uppercased(std::string_view text) {
    if (isAscii(text)) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return out;
    }
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(),
                                                                         static_cast<int32_t>(text.size())));
    return toUtf8(u.toUpper(icu::Locale::getRoot()));
}

std::string lowercased(std::string_view text) {
    if (isAscii(text)) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return out;
    }
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(),
                                                                         static_cast<int32_t>(text.size())));
    return toUtf8(u.toLower(icu::Locale::getRoot()));
}

std::string capitalizedWords(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool atWordStart = true;
    for (const std::string_view character : characters(text)) {
        const char32_t first = firstScalar(character);
        if (isSpaceOrLineBreak(first)) {
            out.append(character);
            atWordStart = true;
            continue;
        }
        if (atWordStart) {
            icu::UnicodeString u = icu::UnicodeString::fromUTF8(
                icu::StringPiece(character.data(), static_cast<int32_t>(character.size())));
            out += toUtf8(u.toTitle(nullptr, icu::Locale::getRoot(),
                                    U_TITLECASE_NO_BREAK_ADJUSTMENT));
            atWordStart = false;
        } else {
            out += lowercased(character);
        }
    }
    return out;
}

bool isSpaceOrLineBreak(char32_t scalar) noexcept {
    if ((scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x20 || scalar == 0x85) {
        return true;
    }
    if (scalar < 0x80) {
        return false;
    }
    const auto type = u_charType(static_cast<UChar32>(scalar));
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR ||
           type == U_PARAGRAPH_SEPARATOR;
}

Scalar scalarAt(std::string_view text, std::size_t offset) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    auto i = static_cast<int32_t>(offset);
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
        c = 0xFFFD;
    }
    return {static_cast<char32_t>(c), offset, static_cast<std::size_t>(i) - offset};
}

std::vector<Scalar> scalars(std::string_view text) {
    std::vector<Scalar> out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t i = 0;
    while (i < length) {
        const int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            c = 0xFFFD;
        }
        out.push_back({static_cast<char32_t>(c), static_cast<std::size_t>(start),
                       static_cast<std::size_t>(i - start)});
    }
    return out;
}

}  // namespace templates::unicode
