// Real chat templates of the shared data that need no built-in filter, test or global beyond
// tojson, rendered for a short conversation.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "templates/Template.h"

namespace templates {
namespace {

std::filesystem::path templatesFolder() {
    const char* env = std::getenv("QUILLORA_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : QUILLORA_SHARED_DIR) / "data" /
           "chat-templates";
}

std::string chatTemplate(const std::string& name) {
    const std::filesystem::path path = templatesFolder() / (name + ".jinja");
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

// Conversations that between them reach every branch the stored templates take for ordinary
// input: with and without a system turn and a generation prompt, tool definitions (an array
// parameter, an enumeration with a default, a nullable one) and a tool call with its result.
Value tool(const std::string& name, Value parameters) {
    return Value::dictionaryLiteral(
        {{"type", "function"},
         {"function", Value::dictionaryLiteral({{"name", name},
                                                {"description", "Does " + name + "."},
                                                {"parameters", std::move(parameters)}})}});
}

Value toolList() {
    const auto property = [](const char* type, const char* description) {
        return Value::dictionaryLiteral({{"type", type}, {"description", description}});
    };
    std::vector<Value> tools;
    for (int i = 0; i < 3; ++i) {
        tools.push_back(
            tool("tool_" + std::to_string(i),
                 Value::dictionaryLiteral(
                     {{"type", "object"},
                      {"properties",
                       Value::dictionaryLiteral({{"text", property("string", "The text.")},
                                                 {"count", property("integer", "How many.")}})},
                      {"required", Value(std::vector<Value>{"text"})}})));
    }
    tools.push_back(tool(
        "get_weather",
        Value::dictionaryLiteral(
            {{"type", "object"},
             {"properties",
              Value::dictionaryLiteral(
                  {{"cities", Value::dictionaryLiteral(
                                  {{"type", "array"},
                                   {"items", Value::dictionaryLiteral({{"type", "string"}})}})},
                   {"unit", Value::dictionaryLiteral(
                                {{"type", "string"},
                                 {"enum", Value(std::vector<Value>{"celsius", "fahrenheit"})},
                                 {"default", "celsius"}})},
                   {"days", Value::dictionaryLiteral({{"type", "number"}, {"nullable", true}})},
                   {"detail", Value::dictionaryLiteral({{"type", "boolean"}})}})},
             {"required", Value(std::vector<Value>{"cities"})}})));
    return Value(std::move(tools));
}

Value turn(const char* role, const std::string& content) {
    return Value::dictionaryLiteral({{"role", role}, {"content", content}});
}

std::vector<std::pair<std::string, Template::Context>> storedTemplateContexts() {
    std::vector<std::pair<std::string, Template::Context>> contexts;
    const auto add = [&](std::string name, std::vector<Value> messages, bool prompt) {
        Template::Context context{{"messages", Value(std::move(messages))},
                                  {"add_generation_prompt", prompt},
                                  {"bos_token", "<s>"},
                                  {"eos_token", "</s>"},
                                  {"date_string", "26 Jul 2024"}};
        contexts.emplace_back(std::move(name), std::move(context));
    };
    const std::vector<Value> shortTalk{turn("system", "S"), turn("user", "U"),
                                       turn("assistant", "A"), turn("user", "V")};
    add("short", shortTalk, true);
    add("short without prompt", shortTalk, false);
    add("without system", {turn("user", "U"), turn("assistant", "A"), turn("user", "V")}, true);

    std::vector<Value> longTalk{turn("system", "You turn dictated speech into clean text.")};
    for (int i = 0; i < 20; ++i) {
        longTalk.push_back(i % 2 == 0 ? turn("user", "so um move it to Thursday no Friday")
                                      : turn("assistant", "Move it to Friday."));
    }
    add("twenty turns with tools", longTalk, true);
    contexts.back().second["tools"] = toolList();

    const Value call = Value::dictionaryLiteral(
        {{"role", "assistant"},
         {"content", ""},
         {"tool_calls",
          Value(std::vector<Value>{Value::dictionaryLiteral(
              {{"type", "function"},
               {"id", "call_1"},
               {"function",
                Value::dictionaryLiteral(
                    {{"name", "get_weather"},
                     {"arguments", Value::dictionaryLiteral(
                                       {{"cities", Value(std::vector<Value>{"Paris"})}})}})}})})}});
    const Value result = Value::dictionaryLiteral({{"role", "tool"},
                                                   {"name", "get_weather"},
                                                   {"tool_call_id", "call_1"},
                                                   {"content", "sunny"}});
    add("tool call",
        {turn("system", "S"), turn("user", "Weather in Paris?"), call, result,
         turn("assistant", "It is sunny."), turn("user", "Thanks")},
        true);
    contexts.back().second["tools"] = toolList();
    return contexts;
}

std::uint64_t fnv1a(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    return hash;
}

// Today's date as templates that read the clock print it, replaced by a fixed mark.
std::string withoutToday(std::string text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    for (const char* format : {"%Y-%m-%d", "%d %b %Y"}) {
        char today[64];
        const std::size_t length = std::strftime(today, sizeof today, format, &local);
        for (std::size_t at = text.find(today, 0, length); at != std::string::npos;
             at = text.find(today, at, length)) {
            text.replace(at, length, "<today>");
        }
    }
    return text;
}

// Every stored template, rendered for every conversation above, gives exactly the text (or the
// error) it gave when this table was written: the guard that work on the interpreter's speed
// changes no rendered byte. A failure prints the row as it now renders.
TEST(ChatTemplateTest, EveryStoredTemplateRendersAsRecorded) {
    struct Row {
        const char* name;
        const char* context;
        std::size_t length;
        std::uint64_t hash;
    };
    const Row rows[] = {
#include "StoredRenders.inc"
    };
    const auto contexts = storedTemplateContexts();
    std::set<std::string> names;
    std::size_t checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(templatesFolder())) {
        if (entry.path().extension() != ".jinja") {
            continue;
        }
        const std::string name = entry.path().stem().string();
        names.insert(name);
        std::ifstream file(entry.path(), std::ios::binary);
        std::stringstream source;
        source << file.rdbuf();
        const Template compiled(source.str(), {});
        for (const auto& [contextName, context] : contexts) {
            std::string text;
            try {
                text = compiled.render(context);
            } catch (const std::exception& error) {
                text = std::string("error: ") + error.what();
            }
            text = withoutToday(std::move(text));
            const Row* row = nullptr;
            for (const Row& candidate : rows) {
                if (candidate.name == name && candidate.context == contextName) {
                    row = &candidate;
                }
            }
            const std::string now =
                "{\"" + name + "\", \"" + contextName + "\", " + std::to_string(text.size()) +
                ", 0x" +
                [](std::uint64_t h) {
                    char hex[17];
                    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
                    return std::string(hex);
                }(fnv1a(text)) +
                "ULL},";
            if (!row) {
                ADD_FAILURE() << "no recorded render: " << now;
                continue;
            }
            EXPECT_TRUE(row->length == text.size() && row->hash == fnv1a(text))
                << "renders differently now: " << now << "\n"
                << text;
            ++checked;
        }
    }
    EXPECT_EQ(checked, std::size(rows));
    EXPECT_GE(names.size(), 11u);
}

}  // namespace
}  // namespace templates
