#include "tokenizers/UnicodeText.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <algorithm>
#include <memory>

#include "tokenizers/Utf8.h"

namespace tokenizers::unicode {
namespace {

struct UTextCloser {
    void operator()(UText* t) const { utext_close(t); }
};
using UTextPtr = std::unique_ptr<UText, UTextCloser>;

const icu::Normalizer2* normalizer(NormalizationForm form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = nullptr;
    switch (form) {
        case NormalizationForm::nfd:
            n = icu::Normalizer2::getNFDInstance(status);
            break;
        case NormalizationForm::nfc:
            n = icu::Normalizer2::getNFCInstance(status);
            break;
        case NormalizationForm::nfkd:
            n = icu::Normalizer2::getNFKDInstance(status);
            break;
        case NormalizationForm::nfkc:
            n = icu::Normalizer2::getNFKCInstance(status);
            break;
    }
    return U_SUCCESS(status) ? n : nullptr;
}

// One character break iterator per thread: break iterators keep per-text state, and creating
// one per call would dominate the cost of short texts.
icu::BreakIterator* characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(it) : nullptr;
    }();
    return iterator.get();
}

}  // namespace

std::string normalized(std::string_view text, NormalizationForm form) {
    // ASCII is invariant under every form; text below U+0300 is already composed (but Latin-1
    // letters decompose, and compatibility forms rewrite signs such as U+00A0 and U+00BD).
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || (form == NormalizationForm::nfc && isBelowCombiningMarks(text))) {
        return std::string(text);
    }
    const icu::Normalizer2* n = normalizer(form);
    if (n == nullptr)
        return std::string(text);
    UErrorCode status = U_ZERO_ERROR;
    const auto source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
    if (n->isNormalized(source, status) && U_SUCCESS(status))
        return std::string(text);
    status = U_ZERO_ERROR;
    const icu::UnicodeString result = n->normalize(source, status);
    if (U_FAILURE(status))
        return std::string(text);
    std::string out;
    result.toUTF8String(out);
    return out;
}

std::string lowercased(std::string_view text) {
    auto s = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
    s.toLower(icu::Locale::getRoot());
    std::string out;
    s.toUTF8String(out);
    return out;
}

std::vector<std::string_view> graphemeClusters(std::string_view text) {
    std::vector<std::string_view> clusters;
    if (text.empty())
        return clusters;
    if (isBelowCombiningMarks(text)) {
        std::size_t i = 0;
        while (i < text.size()) {
            std::size_t next = utf8::nextCodePoint(text, i);
            if (text[i] == '\r' && next < text.size() && text[next] == '\n')
                ++next;
            clusters.push_back(text.substr(i, next - i));
            i = next;
        }
        return clusters;
    }
    icu::BreakIterator* it = characterIterator();
    UErrorCode status = U_ZERO_ERROR;
    UTextPtr ut(utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status));
    if (it == nullptr || U_FAILURE(status)) {
        clusters.push_back(text);
        return clusters;
    }
    it->setText(ut.get(), status);
    if (U_FAILURE(status)) {
        clusters.push_back(text);
        return clusters;
    }
    int32_t start = it->first();
    for (int32_t end = it->next(); end != icu::BreakIterator::DONE; end = it->next()) {
        clusters.push_back(
            text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
        start = end;
    }
    // Leave no view into the caller's text behind in the thread's iterator.
    it->setText(icu::UnicodeString());
    return clusters;
}

std::size_t graphemeCount(std::string_view text) {
    return graphemeClusters(text).size();
}

bool isWhiteSpace(char32_t c) {
    return u_isUWhiteSpace(static_cast<UChar32>(c));
}
bool isLetter(char32_t c) {
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_L_MASK) != 0;
}
bool isNumber(char32_t c) {
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_N_MASK) != 0;
}
bool isPunctuation(char32_t c) {
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_P_MASK) != 0;
}
bool isHorizontalSpace(char32_t c) {
    return c == 0x09 || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

}  // namespace tokenizers::unicode
