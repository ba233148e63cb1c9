#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "templates/TemplateException.h"
#include "tokenizers/AutoTokenizer.h"
#include "tokenizers/PreTrainedTokenizer.h"

namespace tokenizers {
namespace {

using testing::tokenizerFolder;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::filesystem::path templateFolder() {
    return std::filesystem::path(QUILLORA_SHARED_DIR) / "data" / "chat-templates";
}

// The TinyLlama tokenizer: its configuration gives bos "<s>" and eos "</s>".
const PreTrainedTokenizer& tokenizer() {
    static const std::unique_ptr<Tokenizer> loaded = AutoTokenizer::from(
        testing::json(readFile(tokenizerFolder("tinyllama-1.1b-chat") / "tokenizer_config.json")),
        testing::json(readFile(tokenizerFolder("tinyllama-1.1b-chat") / "tokenizer.json")), true);
    return dynamic_cast<const PreTrainedTokenizer&>(*loaded);
}

ChatMessage message(std::string role, std::string content) {
    return {{"role", std::move(role)}, {"content", std::move(content)}};
}

const std::vector<ChatMessage> withSystem{message("system", "You are terse."),
                                          message("user", "Hi"),
                                          message("assistant", "Hello!"),
                                          message("user", "Bye")};
const std::vector<ChatMessage> withoutSystem{message("user", "Hi"), message("assistant", "Hello!"),
                                             message("user", "Bye")};

std::string render(const std::string& family, const std::vector<ChatMessage>& messages) {
    ChatTemplateOptions options;
    options.chatTemplate =
        ChatTemplateArgument::literal(readFile(templateFolder() / (family + ".jinja")));
    return tokenizer().renderChatTemplate(messages, options);
}

TEST(ChatTemplates, SimpleTemplatesRenderAsTheirLogicSays) {
    EXPECT_EQ(render("phi-3.5-mini-instruct", withSystem),
              "<|system|>\nYou are terse.<|end|>\n<|user|>\nHi<|end|>\n<|assistant|>\nHello!<|end|>\n"
              "<|user|>\nBye<|end|>\n<|assistant|>\n");
    EXPECT_EQ(render("phi-4", withSystem),
              "<|im_start|>system<|im_sep|>You are terse.<|im_end|><|im_start|>user<|im_sep|>Hi"
              "<|im_end|><|im_start|>assistant<|im_sep|>Hello!<|im_end|><|im_start|>user"
              "<|im_sep|>Bye<|im_end|><|im_start|>assistant<|im_sep|>");
    EXPECT_EQ(render("gemma-2-it", withoutSystem),
              "<s><start_of_turn>user\nHi<end_of_turn>\n<start_of_turn>model\nHello!<end_of_turn>\n"
              "<start_of_turn>user\nBye<end_of_turn>\n<start_of_turn>model\n");
    EXPECT_EQ(render("mistral-instruct-v0.2", withSystem),
              "<s> [INST] You are terse.\n\nHi [/INST] Hello!</s> [INST] Bye [/INST]");
    // No whitespace control: every tag leaves its line feed behind.
    const auto turn = [](const std::string& text) { return "\n\n" + text + "</s>\n\n"; };
    EXPECT_EQ(render("tinyllama-chat-zephyr", withSystem),
              turn("<|system|>\nYou are terse.") + "\n" + turn("<|user|>\nHi") + "\n" +
                  turn("<|assistant|>\nHello!") + "\n" + turn("<|user|>\nBye") +
                  "\n<|assistant|>\n\n");
}

TEST(ChatTemplates, EveryTemplateRendersAConversationWithToolsAndATemplateRefusalIsItsOwnError) {
    const std::vector<ToolSpec> tools{
        {{"type", std::string("function")},
         {"function",
          std::unordered_map<std::string, std::any>{
              {"name", std::string("get_weather")},
              {"description", std::string("Weather of a city")},
              {"parameters",
               std::unordered_map<std::string, std::any>{
                   {"type", std::string("object")},
                   {"properties", std::unordered_map<std::string, std::any>{
                                      {"city", std::unordered_map<std::string, std::any>{
                                                   {"type", std::string("string")}}}}}}}}}}};
    std::size_t rendered = 0;
    for (const auto& entry : std::filesystem::directory_iterator(templateFolder())) {
        const std::string family = entry.path().stem().string();
        const bool refusesSystem = family == "gemma-2-it";
        ChatTemplateOptions options;
        options.chatTemplate = ChatTemplateArgument::literal(readFile(entry.path()));
        options.tools = tools;
        try {
            const std::string prompt =
                tokenizer().renderChatTemplate(refusesSystem ? withoutSystem : withSystem, options);
            EXPECT_NE(prompt.find("Bye"), std::string::npos) << family;
            ++rendered;
        } catch (const std::exception& error) {
            ADD_FAILURE() << family << ": " << error.what();
        }
    }
    EXPECT_EQ(rendered, 11u);
    EXPECT_THROW(render("gemma-2-it", withSystem), templates::TemplateException);
}

TEST(ChatTemplates, ChoiceCacheAndTruncation) {
    const std::string source = "{% for m in messages %}{{ m.content }} {% endfor %}{{ bos_token }}";
    ChatTemplateOptions options;
    options.chatTemplate = ChatTemplateArgument::literal(source);
    EXPECT_EQ(tokenizer().renderChatTemplate(withoutSystem, options), "Hi Hello! Bye <s>");
    EXPECT_EQ(tokenizer().compiledTemplate(source), tokenizer().compiledTemplate(source));

    const std::vector<int> all = tokenizer().applyChatTemplate(withoutSystem, source);
    options.truncation = true;
    options.maxLength = 3;
    const std::vector<int> cut = tokenizer().applyChatTemplate(withoutSystem, options);
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), all.begin()));

    // The configuration's own template is a string, so a name is ignored.
    options = {};
    options.chatTemplate = ChatTemplateArgument::name("tool_use");
    EXPECT_EQ(tokenizer().renderChatTemplate(withoutSystem, options).substr(0, 14),
              "\n\n<|user|>\nHi<");
}

}  // namespace
}  // namespace tokenizers
