#include <algorithm>
#include <array>

#include "hub/ConfigValue.h"
#include "templates/Value.h"
#include "tokenizers/PreTrainedTokenizer.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {

namespace {

templates::Value hostList(const std::vector<std::unordered_map<std::string, std::any>>& items) {
    std::vector<templates::Value> values;
    values.reserve(items.size());
    for (const auto& item : items) {
        values.push_back(templates::Value::fromAny(item));
    }
    return templates::Value(std::move(values));
}

// The special token of one configuration entry as the template sees it; nothing for null.
std::optional<templates::Value> specialTokenValue(const hub::Config& entry) {
    switch (entry.kind()) {
        case hub::Config::Kind::null:
            return std::nullopt;
        case hub::Config::Kind::string:
            return templates::Value(*entry.string());
        case hub::Config::Kind::dictionary: {
            const auto content = entry["content"].string();
            return content ? std::optional(templates::Value(*content)) : std::nullopt;
        }
        case hub::Config::Kind::array: {
            std::vector<templates::Value> texts;
            for (const hub::Config& item : *entry.array()) {
                if (const auto text = item.string()) {
                    texts.emplace_back(*text);
                }
            }
            return templates::Value(std::move(texts));
        }
        default:
            return hub::templateValue(entry);
    }
}

}  // namespace

std::vector<int> Tokenizer::applyChatTemplate(const std::vector<ChatMessage>&,
                                              const ChatTemplateOptions&) const {
    throw TokenizerError::missingChatTemplate();
}

std::shared_ptr<const templates::Template> PreTrainedTokenizer::compiledTemplate(
    const std::string& source) const {
    {
        const std::lock_guard guard(templateCache_->lock);
        const auto found = templateCache_->templates.find(source);
        if (found != templateCache_->templates.end()) {
            return found->second;
        }
    }
    auto compiled = std::make_shared<const templates::Template>(source, templates::Template::Options{});
    const std::lock_guard guard(templateCache_->lock);
    // Another caller may have compiled the same source meanwhile: keep the first one stored.
    return templateCache_->templates.try_emplace(source, std::move(compiled)).first->second;
}

std::string PreTrainedTokenizer::renderChatTemplate(const std::vector<ChatMessage>& messages,
                                                    const ChatTemplateOptions& options) const {
    std::string source;
    if (options.chatTemplate && options.chatTemplate->kind == ChatTemplateArgument::Kind::literal) {
        source = options.chatTemplate->text;
    } else {
        const hub::Config stored = tokenizerConfig_["chatTemplate"];
        if (const auto* entries = stored.array()) {
            std::unordered_map<std::string, std::string> named;
            for (const hub::Config& entry : *entries) {
                const auto name = entry["name"].string();
                const auto text = entry["template"].string();
                if (name && text) {
                    named.try_emplace(*name, *text);
                }
            }
            std::unordered_map<std::string, std::string>::const_iterator chosen;
            if (options.chatTemplate) {
                chosen = named.find(options.chatTemplate->text);
                if (chosen == named.end()) {
                    throw TokenizerError::chatTemplate("No chat template named \"" +
                                                       options.chatTemplate->text +
                                                       "\" was found in the tokenizer config");
                }
            } else {
                chosen = options.tools && !options.tools->empty() ? named.find("tool_use")
                                                                  : named.end();
                if (chosen == named.end()) {
                    chosen = named.find("default");
                }
                if (chosen == named.end()) {
                    throw TokenizerError::missingChatTemplate();
                }
            }
            source = chosen->second;
        } else if (const auto text = stored.string()) {
            source = *text;
        } else {
            throw TokenizerError::missingChatTemplate();
        }
    }
    const std::shared_ptr<const templates::Template> compiled = compiledTemplate(source);

    templates::Template::Context context;
    context["messages"] = hostList(messages);
    context["add_generation_prompt"] = templates::Value(options.addGenerationPrompt);
    if (options.tools) {
        context["tools"] = hostList(*options.tools);
    }
    if (options.additionalContext) {
        for (const auto& [key, value] : *options.additionalContext) {
            context[key] = templates::Value::fromAny(value);
        }
    }
    static const std::array<std::string_view, 8> specialKeys{
        "bos_token", "eos_token",  "unk_token",  "sep_token",
        "pad_token", "cls_token", "mask_token", "additional_special_tokens"};
    if (const auto* entries = tokenizerConfig_.dictionary()) {
        for (const auto& [key, entry] : *entries) {
            const std::string name = key.string();
            if (std::find(specialKeys.begin(), specialKeys.end(), name) == specialKeys.end()) {
                continue;
            }
            if (auto value = specialTokenValue(entry)) {
                context[name] = std::move(*value);
            }
        }
    }
    return compiled->render(context);
}

std::vector<int> PreTrainedTokenizer::applyChatTemplate(const std::vector<ChatMessage>& messages,
                                                        const ChatTemplateOptions& options) const {
    const std::string prompt = renderChatTemplate(messages, options);
    std::vector<int> ids = encode(prompt, false);
    if (!options.truncation) {
        return ids;
    }
    const std::int64_t requested =
        options.maxLength ? *options.maxLength : static_cast<std::int64_t>(ids.size());
    const std::int64_t model = tokenizerConfig_["modelMaxLength"].integer(requested);
    const auto limit =
        static_cast<std::size_t>(std::max<std::int64_t>(std::min(model, requested), 0));
    if (limit < ids.size()) {
        ids.resize(limit);
    }
    return ids;
}

}  // namespace tokenizers
