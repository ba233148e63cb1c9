#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hub {
class Config;
}

namespace tokenizers {

// Adds the special tokens that frame one sequence or a pair, after the model has run and before
// the tokens become ids. Immutable after construction and safe to share between threads.
class PostProcessor {
public:
    using Tokens = std::vector<std::string>;

    virtual ~PostProcessor() = default;
    // The tokens come by value: a post-processor that keeps them moves them through.
    virtual Tokens postProcess(Tokens tokens, const std::optional<Tokens>& tokensPair,
                               bool addSpecialTokens) const = 0;
    Tokens operator()(Tokens tokens, const std::optional<Tokens>& tokensPair = std::nullopt,
                      bool addSpecialTokens = true) const {
        return postProcess(std::move(tokens), tokensPair, addSpecialTokens);
    }
};

// Builds the post-processor a description object names by its "type". Nothing for a missing
// description or one without a string "type"; an unknown type or a missing required key throws
// TokenizerError (invalidDescription) with the component's message.
struct PostProcessorFactory {
    static std::unique_ptr<PostProcessor> fromConfig(const hub::Config* config);
};

// A special token's (id, text), as "cls" and "sep" give it.
using SpecialTokenPair = std::pair<std::uint64_t, std::string>;

class TemplateProcessing : public PostProcessor {
public:
    // One item of a template: a special token's text, the first or second sequence, or an item
    // of any other shape, which contributes nothing.
    struct Item {
        enum class Kind { specialToken, sequenceA, sequenceB, other };
        Kind kind = Kind::other;
        std::string text;  // the special token's text
    };

    TemplateProcessing(std::vector<Item> single, std::vector<Item> pair)
        : single_(std::move(single)), pair_(std::move(pair)) {}
    // Reads one template item ({"SpecialToken": {"id": text}} or {"Sequence": {"id": "A"}}).
    static Item itemFromConfig(const hub::Config& item);

    // The pair template when a second sequence is given (even an empty one), else the single
    // one. A "B" item without a second sequence adds nothing.
    Tokens postProcess(Tokens tokens, const std::optional<Tokens>& tokensPair,
                       bool addSpecialTokens) const override;

private:
    std::vector<Item> single_;
    std::vector<Item> pair_;
};

class ByteLevelPostProcessor : public PostProcessor {
public:
    // The first sequence unchanged; the second one and the flag are ignored.
    Tokens postProcess(Tokens tokens, const std::optional<Tokens>& tokensPair,
                       bool addSpecialTokens) const override;
};

class RobertaProcessing : public PostProcessor {
public:
    RobertaProcessing(SpecialTokenPair sep, SpecialTokenPair cls, bool trimOffset,
                      bool addPrefixSpace)
        : sep_(std::move(sep)),
          cls_(std::move(cls)),
          trimOffset_(trimOffset),
          addPrefixSpace_(addPrefixSpace) {}
    Tokens postProcess(Tokens tokens, const std::optional<Tokens>& tokensPair,
                       bool addSpecialTokens) const override;

private:
    std::string trimmed(const std::string& token) const;

    SpecialTokenPair sep_;
    SpecialTokenPair cls_;
    bool trimOffset_;
    bool addPrefixSpace_;
};

class BertProcessing : public PostProcessor {
public:
    BertProcessing(SpecialTokenPair sep, SpecialTokenPair cls)
        : sep_(std::move(sep)), cls_(std::move(cls)) {}
    Tokens postProcess(Tokens tokens, const std::optional<Tokens>& tokensPair,
                       bool addSpecialTokens) const override;

private:
    SpecialTokenPair sep_;
    SpecialTokenPair cls_;
};

class SequenceProcessing : public PostProcessor {
public:
    explicit SequenceProcessing(std::vector<std::unique_ptr<PostProcessor>> processors)
        : processors_(std::move(processors)) {}
    // The first processor sees both sequences; each later one sees the previous result alone.
    Tokens postProcess(Tokens tokens, const std::optional<Tokens>& tokensPair,
                       bool addSpecialTokens) const override;

private:
    std::vector<std::unique_ptr<PostProcessor>> processors_;
};

}  // namespace tokenizers
