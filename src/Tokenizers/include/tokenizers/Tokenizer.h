#pragma once

#include <any>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tokenizers {

// A chat message or a tool description: names to host values that the template engine converts
// (texts, numbers, booleans, std::vector<std::any>, maps of std::any, an empty std::any for none).
using ChatMessage = std::unordered_map<std::string, std::any>;
using ToolSpec = std::unordered_map<std::string, std::any>;
using ChatContext = std::unordered_map<std::string, std::any>;

// Which chat template to render: the template text itself, or the name of one of the templates
// the tokenizer configuration stores.
struct ChatTemplateArgument {
    enum class Kind { literal, name };
    Kind kind;
    std::string text;

    static ChatTemplateArgument literal(std::string source) {
        return {Kind::literal, std::move(source)};
    }
    static ChatTemplateArgument name(std::string name) { return {Kind::name, std::move(name)}; }
};

// Everything a chat-template rendering takes besides the messages.
struct ChatTemplateOptions {
    std::optional<ChatTemplateArgument> chatTemplate;
    bool addGenerationPrompt = true;
    bool truncation = false;
    std::optional<int> maxLength;
    std::optional<std::vector<ToolSpec>> tools;
    std::optional<ChatContext> additionalContext;
};

// The tokenizer as the rest of the system holds it: text to token ids and back. Implementations
// are immutable after construction and may be shared between threads. Input text is UTF-8; ill-
// formed sequences are read as U+FFFD.
class Tokenizer {
public:
    virtual ~Tokenizer() = default;

    // The tokens of a text, no special tokens added.
    virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
    std::vector<int> encode(std::string_view text) const { return encode(text, true); }
    virtual std::vector<int> encode(std::string_view text, bool addSpecialTokens) const = 0;
    std::vector<int> operator()(std::string_view text, bool addSpecialTokens = true) const {
        return encode(text, addSpecialTokens);
    }
    // Special tokens stay in the text unless `skipSpecialTokens`.
    std::string decode(const std::vector<int>& tokens) const { return decode(tokens, false); }
    virtual std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const = 0;

    // The unknown token's id for text outside the vocabulary; nothing without an unknown token.
    virtual std::optional<int> convertTokenToId(std::string_view token) const = 0;
    std::vector<std::optional<int>> convertTokensToIds(
        const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;

    virtual bool hasChatTemplate() const { return false; }

    // The token ids of the prompt a chat template makes of the messages. The default has no
    // template and throws TokenizerError (missingChatTemplate).
    virtual std::vector<int> applyChatTemplate(const std::vector<ChatMessage>& messages,
                                               const ChatTemplateOptions& options) const;
    std::vector<int> applyChatTemplate(const std::vector<ChatMessage>& messages) const {
        return applyChatTemplate(messages, ChatTemplateOptions{});
    }
    std::vector<int> applyChatTemplate(const std::vector<ChatMessage>& messages,
                                       std::vector<ToolSpec> tools) const {
        ChatTemplateOptions options;
        options.tools = std::move(tools);
        return applyChatTemplate(messages, options);
    }
    std::vector<int> applyChatTemplate(const std::vector<ChatMessage>& messages,
                                       std::vector<ToolSpec> tools,
                                       ChatContext additionalContext) const {
        ChatTemplateOptions options;
        options.tools = std::move(tools);
        options.additionalContext = std::move(additionalContext);
        return applyChatTemplate(messages, options);
    }
    std::vector<int> applyChatTemplate(const std::vector<ChatMessage>& messages,
                                       ChatTemplateArgument chatTemplate) const {
        ChatTemplateOptions options;
        options.chatTemplate = std::move(chatTemplate);
        return applyChatTemplate(messages, options);
    }
    std::vector<int> applyChatTemplate(const std::vector<ChatMessage>& messages,
                                       std::string_view templateSource) const {
        return applyChatTemplate(messages,
                                 ChatTemplateArgument::literal(std::string(templateSource)));
    }
};

}  // namespace tokenizers
