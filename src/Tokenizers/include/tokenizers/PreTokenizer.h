#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizers/Regex.h"
#include "tokenizers/StringSplitting.h"

namespace hub {
class Config;
}

namespace tokenizers {

enum class PreTokenizerOption { firstSection };

// The set of options handed to a pre-tokenizer. The tokenizer passes `firstSection` for the
// first section of its input; only the Metaspace pre-tokenizer reads it.
class PreTokenizerOptions {
public:
    PreTokenizerOptions() = default;
    PreTokenizerOptions(std::initializer_list<PreTokenizerOption> options) {
        for (PreTokenizerOption o : options)
            bits_ |= bit(o);
    }
    bool contains(PreTokenizerOption o) const { return (bits_ & bit(o)) != 0; }

private:
    static unsigned bit(PreTokenizerOption o) { return 1u << static_cast<unsigned>(o); }
    unsigned bits_ = 0;
};

// Cuts (normalized) text into the pieces that the model encodes one by one. Immutable after
// construction and safe to share between threads.
class PreTokenizer {
public:
    virtual ~PreTokenizer() = default;

    virtual std::vector<std::string> preTokenize(std::string_view text,
                                                 PreTokenizerOptions options) const = 0;
    // Each text pre-tokenized in order, the results concatenated.
    virtual std::vector<std::string> preTokenize(const std::vector<std::string>& texts,
                                                 PreTokenizerOptions options) const;

    std::vector<std::string> operator()(std::string_view text,
                                        PreTokenizerOptions options = {}) const {
        return preTokenize(text, options);
    }
    std::vector<std::string> operator()(const std::vector<std::string>& texts,
                                        PreTokenizerOptions options = {}) const {
        return preTokenize(texts, options);
    }
};

// Builds the pre-tokenizer a description object names by its "type". Nothing for a missing
// description or one without a string "type"; an unknown type, or a "Sequence" without
// "pretokenizers", throws TokenizerError (invalidDescription).
struct PreTokenizerFactory {
    static std::unique_ptr<PreTokenizer> fromConfig(const hub::Config* config);
};

class PreTokenizerSequence : public PreTokenizer {
public:
    explicit PreTokenizerSequence(std::vector<std::unique_ptr<PreTokenizer>> preTokenizers)
        : preTokenizers_(std::move(preTokenizers)) {}
    std::vector<std::string> preTokenize(std::string_view text,
                                         PreTokenizerOptions options) const override;

private:
    std::vector<std::unique_ptr<PreTokenizer>> preTokenizers_;
};

// Splits with the GPT-2 pattern (when `useRegex`) and writes every byte of each piece as its
// character of the byte alphabet (ByteTables.h). With `addPrefixSpace`, a text that does not
// begin with a space gets one in front before it is split.
class ByteLevelPreTokenizer : public PreTokenizer {
public:
    ByteLevelPreTokenizer(bool addPrefixSpace, bool useRegex);
    std::vector<std::string> preTokenize(std::string_view text,
                                         PreTokenizerOptions options) const override;

private:
    bool addPrefixSpace_;
    bool useRegex_;
    std::optional<Regex> regex_;
};

// The pieces are the matches of one fixed pattern; text outside the matches is dropped.
class PatternPreTokenizer : public PreTokenizer {
public:
    std::vector<std::string> preTokenize(std::string_view text,
                                         PreTokenizerOptions options) const override;

protected:
    explicit PatternPreTokenizer(std::string_view pattern);

private:
    std::optional<Regex> regex_;
};

// Runs of non-punctuation and runs of punctuation (the ASCII symbols count as punctuation).
class PunctuationPreTokenizer : public PatternPreTokenizer {
public:
    PunctuationPreTokenizer();
};

// Runs of non-digits and runs of digits, or each digit alone when `individualDigits`.
class DigitsPreTokenizer : public PatternPreTokenizer {
public:
    explicit DigitsPreTokenizer(bool individualDigits);
};

// Runs of non-white-space; white space is dropped ("Whitespace" and "WhitespaceSplit"). The
// pieces are the matches of \S+, found without the regular-expression engine.
class WhitespacePreTokenizer : public PatternPreTokenizer {
public:
    WhitespacePreTokenizer();
    std::vector<std::string> preTokenize(std::string_view text,
                                         PreTokenizerOptions options) const override;
};

// Runs of characters that are neither white space nor punctuation, and each punctuation
// character alone; white space is dropped. Found without the regular-expression engine.
class BertPreTokenizer : public PatternPreTokenizer {
public:
    BertPreTokenizer();
    std::vector<std::string> preTokenize(std::string_view text,
                                         PreTokenizerOptions options) const override;
};

// A literal or regular-expression pattern named by a description's "pattern" object.
struct StringSplitPattern {
    enum class Kind { regexp, string };
    Kind kind;
    std::string text;
};

class SplitPreTokenizer : public PreTokenizer {
public:
    // `invert` only affects literal patterns: they keep the separators unless it is set; a
    // regular expression always keeps them. A regular expression that does not compile matches
    // nothing.
    SplitPreTokenizer(std::optional<StringSplitPattern> pattern, bool invert);
    std::vector<std::string> preTokenize(std::string_view text,
                                         PreTokenizerOptions options) const override;

private:
    std::optional<SearchPattern> search_;
    bool includeSeparators_ = true;
};

class MetaspacePreTokenizer : public PreTokenizer {
public:
    enum class PrependScheme { first, never, always };

    MetaspacePreTokenizer(std::string replacement, std::string stringReplacement,
                          PrependScheme prependScheme);
    std::vector<std::string> preTokenize(std::string_view text,
                                         PreTokenizerOptions options) const override;

private:
    std::string replacement_;
    std::string stringReplacement_;
    PrependScheme prependScheme_;
    // The replacement is searched as a regular expression (as a literal when it holds no
    // metacharacter, which finds the same); one that does not compile splits nothing.
    std::optional<SearchPattern> splitter_;
};

}  // namespace tokenizers
