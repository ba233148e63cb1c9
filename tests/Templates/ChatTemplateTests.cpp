// Real chat templates of the shared data that need no built-in filter, test or global beyond
// tojson, rendered for a short conversation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "templates/Template.h"

namespace templates {
namespace {

std::string chatTemplate(const std::string& name) {
    const char* env = std::getenv("QUILLORA_SHARED_DIR");
    const std::filesystem::path path =
        std::filesystem::path(env != nullptr ? env : QUILLORA_SHARED_DIR) / "data" /
        "chat-templates" / (name + ".jinja");
    std::ifstream file(path);
    EXPECT_TRUE(file.good()) << path;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

Template::Context conversation(bool generationPrompt) {
    const auto message = [](const char* role, const char* content) {
        return Value::dictionaryLiteral({{"role", role}, {"content", content}});
    };
    return {
        {"messages", Value(std::vector<Value>{message("system", "S"), message("user", "U"),
                                              message("assistant", "A"), message("user", "V")})},
        {"add_generation_prompt", generationPrompt},
        {"bos_token", "<s>"},
        {"eos_token", "</s>"}};
}

TEST(ChatTemplateTest, RealTemplatesRender) {
    const struct {
        const char* name;
        bool generationPrompt;
        const char* expected;
    } cases[] = {
        {"tinyllama-chat-zephyr", true,
         "\n\n<|system|>\nS</s>\n\n\n\n\n<|user|>\nU</s>\n\n\n\n\n<|assistant|>\nA</s>\n\n\n"
         "\n\n<|user|>\nV</s>\n\n\n<|assistant|>\n\n"},
        {"phi-3.5-mini-instruct", false,
         "<|system|>\nS<|end|>\n<|user|>\nU<|end|>\n<|assistant|>\nA<|end|>\n<|user|>\nV<|end|>\n"
         "</s>"},
        {"phi-4", true,
         "<|im_start|>system<|im_sep|>S<|im_end|><|im_start|>user<|im_sep|>U<|im_end|><|im_start|>"
         "assistant<|im_sep|>A<|im_end|><|im_start|>user<|im_sep|>V<|im_end|><|im_start|>"
         "assistant<|im_sep|>"},
        {"qwen2.5-instruct", true,
         "<|im_start|>system\nS<|im_end|>\n<|im_start|>user\nU<|im_end|>\n<|im_start|>assistant\n"
         "A<|im_end|>\n<|im_start|>user\nV<|im_end|>\n<|im_start|>assistant\n"},
        // These files end in a line feed, which belongs to the file, not to the prompt.
        {"llama-3.2-instruct", true,
         "<s><|start_header_id|>system<|end_header_id|>\n\nCutting Knowledge Date: "
         "December 2023\nToday Date: 26 Jul 2024\n\nS<|eot_id|><|start_header_id|>user"
         "<|end_header_id|>\n\nU<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n\nA"
         "<|eot_id|><|start_header_id|>user<|end_header_id|>\n\nV<|eot_id|>"
         "<|start_header_id|>assistant<|end_header_id|>\n\n"},
        {"mistral-instruct-v0.2", true, "<s> [INST] S\n\nU [/INST] A</s> [INST] V [/INST]"},
    };
    for (const auto& c : cases) {
        const Template compiled(chatTemplate(c.name), {});
        Template::Context context = conversation(c.generationPrompt);
        context["date_string"] = "26 Jul 2024";
        EXPECT_EQ(compiled.render(context), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace templates
