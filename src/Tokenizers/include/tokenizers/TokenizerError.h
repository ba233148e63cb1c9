#pragma once

#include <exception>
#include <string>
#include <utility>

namespace tokenizers {

// The one error type of the tokenizer library. The cases with a payload carry the detail that
// their description embeds; `what()` is the description a user sees.
//
// `invalidDescription` is ours: a tokenizer description is downloaded data, so a component it
// names that we cannot build (an unknown kind, a missing required key, a pattern that does not
// compile) fails the load with the component's own message instead of stopping the program.
class TokenizerError : public std::exception {
public:
    enum class Case {
        unsupportedTokenizer,
        chatTemplate,
        tooLong,
        mismatchedConfig,
        missingConfig,
        missingTokenizerClassInConfig,
        missingVocab,
        malformedVocab,
        missingChatTemplate,
        invalidDescription,
    };

    static TokenizerError unsupportedTokenizer(std::string name) {
        return {Case::unsupportedTokenizer, std::move(name)};
    }
    static TokenizerError chatTemplate(std::string detail) {
        return {Case::chatTemplate, std::move(detail)};
    }
    static TokenizerError tooLong(std::string detail) { return {Case::tooLong, std::move(detail)}; }
    static TokenizerError mismatchedConfig(std::string detail) {
        return {Case::mismatchedConfig, std::move(detail)};
    }
    static TokenizerError missingConfig() { return {Case::missingConfig, {}}; }
    static TokenizerError missingTokenizerClassInConfig() {
        return {Case::missingTokenizerClassInConfig, {}};
    }
    static TokenizerError missingVocab() { return {Case::missingVocab, {}}; }
    static TokenizerError malformedVocab() { return {Case::malformedVocab, {}}; }
    static TokenizerError missingChatTemplate() { return {Case::missingChatTemplate, {}}; }
    static TokenizerError invalidDescription(std::string message) {
        return {Case::invalidDescription, std::move(message)};
    }

    Case errorCase() const noexcept { return case_; }
    // The payload of the case (the tokenizer name, the detail text); empty for cases without one.
    const std::string& detail() const noexcept { return detail_; }
    const std::string& errorDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const TokenizerError& a, const TokenizerError& b) {
        return a.case_ == b.case_ && a.detail_ == b.detail_;
    }

private:
    TokenizerError(Case c, std::string detail);

    Case case_;
    std::string detail_;
    std::string description_;
};

}  // namespace tokenizers
