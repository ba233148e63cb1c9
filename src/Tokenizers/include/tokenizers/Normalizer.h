#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizers/StringReplacePattern.h"
#include "tokenizers/UnicodeText.h"

namespace hub {
class Config;
}

namespace tokenizers {

// Rewrites the input text before it is split and tokenized. Immutable after construction and
// safe to share between threads.
class Normalizer {
public:
    virtual ~Normalizer() = default;
    virtual std::string normalize(std::string_view text) const = 0;
    std::string operator()(std::string_view text) const { return normalize(text); }
};

// Builds the normalizer a description object names by its "type". Nothing for a missing
// description or one without a string "type". An unknown type, a "Sequence" without a
// "normalizers" array and a "Regex" that does not compile throw TokenizerError
// (invalidDescription) with the component's message.
struct NormalizerFactory {
    static std::unique_ptr<Normalizer> fromConfig(const hub::Config* config);
};

class NormalizerSequence : public Normalizer {
public:
    explicit NormalizerSequence(std::vector<std::unique_ptr<Normalizer>> normalizers)
        : normalizers_(std::move(normalizers)) {}
    std::string normalize(std::string_view text) const override;

private:
    std::vector<std::unique_ptr<Normalizer>> normalizers_;
};

// `prepend` in front of every text, the empty one too.
class PrependNormalizer : public Normalizer {
public:
    explicit PrependNormalizer(std::string prepend) : prepend_(std::move(prepend)) {}
    std::string normalize(std::string_view text) const override;

private:
    std::string prepend_;
};

class ReplaceNormalizer : public Normalizer {
public:
    explicit ReplaceNormalizer(std::optional<StringReplacePattern> pattern)
        : pattern_(std::move(pattern)) {}
    std::string normalize(std::string_view text) const override;

private:
    std::optional<StringReplacePattern> pattern_;
};

// Full Unicode lower-case mapping (a character may become several).
class LowercaseNormalizer : public Normalizer {
public:
    std::string normalize(std::string_view text) const override;
};

// One of the four Unicode normalization forms.
class NormalizationFormNormalizer : public Normalizer {
public:
    explicit NormalizationFormNormalizer(unicode::NormalizationForm form) : form_(form) {}
    std::string normalize(std::string_view text) const override;

private:
    unicode::NormalizationForm form_;
};

class NFDNormalizer : public NormalizationFormNormalizer {
public:
    NFDNormalizer() : NormalizationFormNormalizer(unicode::NormalizationForm::nfd) {}
};
class NFCNormalizer : public NormalizationFormNormalizer {
public:
    NFCNormalizer() : NormalizationFormNormalizer(unicode::NormalizationForm::nfc) {}
};
class NFKDNormalizer : public NormalizationFormNormalizer {
public:
    NFKDNormalizer() : NormalizationFormNormalizer(unicode::NormalizationForm::nfkd) {}
};
class NFKCNormalizer : public NormalizationFormNormalizer {
public:
    NFKCNormalizer() : NormalizationFormNormalizer(unicode::NormalizationForm::nfkc) {}
};

// The clean-up of BERT descriptions, its steps in this order, each when its flag is set:
// - clean text: tab, line feed and carriage return (a CR LF pair is one character) become a
//   blank; characters whose first scalar is U+0000, U+FFFD or of general category C (control,
//   format, surrogate, private use, unassigned) are removed, since they carry no text;
// - CJK ideographs get a blank on each side, so that each becomes a word of its own;
// - accents are stripped: NFD, then the combining diacritical marks U+0300-U+036F removed (the
//   text stays decomposed);
// - full lower-case mapping.
class BertNormalizer : public Normalizer {
public:
    BertNormalizer(bool shouldCleanText, bool shouldHandleChineseChars, bool shouldStripAccents,
                   bool shouldLowercase)
        : shouldCleanText_(shouldCleanText),
          shouldHandleChineseChars_(shouldHandleChineseChars),
          shouldStripAccents_(shouldStripAccents),
          shouldLowercase_(shouldLowercase) {}
    std::string normalize(std::string_view text) const override;

private:
    bool shouldCleanText_;
    bool shouldHandleChineseChars_;
    bool shouldStripAccents_;
    bool shouldLowercase_;
};

// The normalization of SentencePiece descriptions, as fixed rules over scalars (the charsmap a
// description carries is not read): control characters U+0001-U+0008, U+000B, U+000E-U+001F,
// U+007F, U+008F and U+009F are removed; U+0009, U+000A, U+000C, U+000D, U+1680, U+200B-U+200F,
// U+2028, U+2029, U+2581, U+FEFF and U+FFFD become a blank; the result is put in NFKC. A fullwidth
// tilde U+FF5E survives NFKC (which would make it "~"): the text is cut at the tildes, the
// non-empty pieces put in NFKC and joined with one tilde each, so runs of tildes collapse into
// one and tildes at either end go.
class PrecompiledNormalizer : public Normalizer {
public:
    std::string normalize(std::string_view text) const override;
};

// Removes accents: NFD, then every nonspacing mark (general category Mn) removed; the text stays
// decomposed. Descriptions put it after "NFD" and before a composing form.
class StripAccentsNormalizer : public Normalizer {
public:
    std::string normalize(std::string_view text) const override;
};

// Drops leading (`leftStrip`) and trailing (`rightStrip`) characters that are white space (the
// White_Space property of their first scalar; CR LF is one character).
class StripNormalizer : public Normalizer {
public:
    StripNormalizer(bool leftStrip, bool rightStrip)
        : leftStrip_(leftStrip), rightStrip_(rightStrip) {}
    std::string normalize(std::string_view text) const override;

private:
    bool leftStrip_;
    bool rightStrip_;
};

}  // namespace tokenizers
