#include "hub/BinaryDistinctString.h"

#include <unicode/normalizer2.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <cstdlib>
#include <memory>

#include "CaseMapping.h"
#include "FatalError.h"
#include "TextEncoding.h"

namespace hub {

namespace {

// Positions (in code units) where extended grapheme clusters start, followed by the end position.
std::vector<std::size_t> graphemeBoundaries(const std::u16string& units) {
    std::vector<std::size_t> boundaries{0};
    if (units.empty()) {
        return boundaries;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> it(
        ubrk_open(UBRK_CHARACTER, "", units.data(), static_cast<int32_t>(units.size()), &status),
        &ubrk_close);
    if (U_FAILURE(status)) {
        std::abort();  // ICU data for character breaks is built into the library
    }
    ubrk_first(it.get());
    for (int32_t p = ubrk_next(it.get()); p != UBRK_DONE; p = ubrk_next(it.get())) {
        boundaries.push_back(static_cast<std::size_t>(p));
    }
    return boundaries;
}

// Full lower-case mapping of one scalar, without the context-dependent rules (final sigma) that a
// whole-string mapping would apply.
void appendLowercased(std::u16string& out, UChar32 c) {
    if (c < 0x80) {
        out.push_back(static_cast<char16_t>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
        return;
    }
    UChar source[2];
    int32_t sourceLength = 0;
    U16_APPEND_UNSAFE(source, sourceLength, c);
    UChar mapped[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = u_strToLower(mapped, 8, source, sourceLength, "", &status);
    if (U_FAILURE(status)) {
        out.append(source, source + sourceLength);
        return;
    }
    out.append(mapped, mapped + length);
}

}  // namespace

namespace detail {

// Shared with the snake-case conversion of configuration keys.
void appendLowercasedScalar(std::u16string& out, char32_t c) {
    appendLowercased(out, static_cast<UChar32>(c));
}

}  // namespace detail

BinaryDistinctString::BinaryDistinctString(std::string_view text)
    : value_(detail::utf8ToUtf16(text)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
    for (const auto& c : characters) {
        value_ += c.bytes();
    }
}

std::string BinaryDistinctString::string() const {
    return detail::utf16ToUtf8(value_);
}

void BinaryDistinctString::hash(Hasher& hasher) const noexcept {
    hasher.combine(value_.size());
    hasher.combineBytes(value_.data(), value_.size() * sizeof(char16_t));
}

std::size_t BinaryDistinctString::hashValue() const noexcept {
    Hasher hasher;
    hash(hasher);
    return hasher.finalize();
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const noexcept {
    return std::u16string_view(value_).starts_with(prefix.value_);
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const noexcept {
    return std::u16string_view(value_).ends_with(suffix.value_);
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
    std::u16string out;
    out.reserve(value_.size());
    const auto length = static_cast<int32_t>(value_.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U16_NEXT(value_.data(), i, length, c);
        // Decoding the text turns an unpaired surrogate into U+FFFD; keep that behaviour.
        appendLowercased(out, U_IS_SURROGATE(c) ? 0xFFFD : c);
    }
    return BinaryDistinctString(std::move(out));
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(
    const BinaryDistinctString& target, const BinaryDistinctString& replacement) const {
    if (target.value_.empty() || value_.empty()) {
        return *this;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) {
        std::abort();  // normalisation data is built into ICU
    }
    auto decomposed = [&](std::u16string_view units) {
        icu::UnicodeString source(false, units.data(), static_cast<int32_t>(units.size()));
        UErrorCode error = U_ZERO_ERROR;
        icu::UnicodeString result = nfd->normalize(source, error);
        return std::u16string(result.getBuffer(), static_cast<std::size_t>(result.length()));
    };

    // Cut the text where decomposition restarts: there the decomposed text is the concatenation of
    // the decomposed pieces, so a match under canonical equivalence is a run of whole pieces whose
    // decomposed forms spell the decomposed target.
    std::vector<std::size_t> cuts{0};
    const auto length = static_cast<int32_t>(value_.size());
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c;
        U16_NEXT(value_.data(), i, length, c);
        if (start > 0 && nfd->hasBoundaryBefore(c)) {
            cuts.push_back(static_cast<std::size_t>(start));
        }
    }
    cuts.push_back(value_.size());
    std::vector<std::u16string> pieces;
    pieces.reserve(cuts.size() - 1);
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
        pieces.push_back(
            decomposed(std::u16string_view(value_).substr(cuts[k], cuts[k + 1] - cuts[k])));
    }
    const std::u16string pattern = decomposed(target.value_);

    std::u16string out;
    out.reserve(value_.size());
    std::size_t k = 0;
    while (k < pieces.size()) {
        std::size_t matched = 0;
        std::size_t end = k;
        while (end < pieces.size() && matched < pattern.size()) {
            const std::u16string& piece = pieces[end];
            if (std::u16string_view(pattern).substr(matched, piece.size()) != piece) {
                break;
            }
            matched += piece.size();
            ++end;
        }
        if (matched == pattern.size()) {
            out += replacement.value_;
            k = end;
        } else {
            out.append(value_, cuts[k], cuts[k + 1] - cuts[k]);
            ++k;
        }
    }
    return BinaryDistinctString(std::move(out));
}

std::vector<BinaryDistinctCharacter> BinaryDistinctString::characters() const {
    const auto boundaries = graphemeBoundaries(value_);
    std::vector<BinaryDistinctCharacter> result;
    result.reserve(boundaries.size() - 1);
    for (std::size_t k = 0; k + 1 < boundaries.size(); ++k) {
        result.emplace_back(
            std::u16string_view(value_).substr(boundaries[k], boundaries[k + 1] - boundaries[k]));
    }
    return result;
}

std::ptrdiff_t BinaryDistinctString::count() const {
    return static_cast<std::ptrdiff_t>(graphemeBoundaries(value_).size()) - 1;
}

std::ptrdiff_t BinaryDistinctString::index(std::ptrdiff_t i, std::ptrdiff_t n) const {
    const std::ptrdiff_t result = i + n;
    if (result < 0 || result > count()) {
        detail::fatalError("Index out of bounds", "Hub/BinaryDistinct", 128);
    }
    return result;
}

std::optional<std::ptrdiff_t> BinaryDistinctString::index(std::ptrdiff_t i, std::ptrdiff_t n,
                                                          std::ptrdiff_t limit) const noexcept {
    if (i + n > limit) {
        return std::nullopt;
    }
    return i + n;
}

BinaryDistinctString BinaryDistinctString::slice(std::ptrdiff_t lower, std::ptrdiff_t upper) const {
    // Positions count characters, as count() and index() do, so a slice never splits a character.
    const auto boundaries = graphemeBoundaries(value_);
    const auto characterCount = static_cast<std::ptrdiff_t>(boundaries.size()) - 1;
    if (lower < 0 || upper > characterCount || lower > upper) {
        detail::fatalError("Index out of bounds", "Hub/BinaryDistinct", 159);
    }
    const std::size_t from = boundaries[static_cast<std::size_t>(lower)];
    const std::size_t to = boundaries[static_cast<std::size_t>(upper)];
    return BinaryDistinctString(value_.substr(from, to - from));
}

BinaryDistinctString BinaryDistinctString::slice(std::ptrdiff_t lower) const {
    return slice(lower, count());
}

}  // namespace hub
