// Rendering real chat templates of the shared data, compiled once, for a conversation of 20
// turns: the cost the tokenizer pays each time it builds a prompt.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "templates/Template.h"

namespace {

using templates::Template;
using templates::Value;

std::string chatTemplate(const std::string& name) {
    const char* env = std::getenv("QUILLORA_SHARED_DIR");
    const std::filesystem::path path =
        std::filesystem::path(env != nullptr ? env : QUILLORA_SHARED_DIR) / "data" /
        "chat-templates" / (name + ".jinja");
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

Template::Context conversation() {
    std::vector<Value> messages{Value::dictionaryLiteral(
        {{"role", "system"}, {"content", "You turn dictated speech into clean text."}})};
    for (int turn = 0; turn < 20; ++turn) {
        const bool user = turn % 2 == 0;
        messages.push_back(Value::dictionaryLiteral(
            {{"role", user ? "user" : "assistant"},
             {"content", user ? "so um I think we should uh move the meeting to Thursday "
                                "afternoon no wait Friday morning"
                              : "I think we should move the meeting to Friday morning."}}));
    }
    return {{"messages", Value(std::move(messages))},
            {"add_generation_prompt", true},
            {"bos_token", "<s>"},
            {"eos_token", "</s>"}};
}

void renderTemplate(benchmark::State& state, const std::string& name) {
    const Template compiled(chatTemplate(name), {});
    const Template::Context context = conversation();
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = compiled.render(context);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_RenderQwen25(benchmark::State& state) {
    renderTemplate(state, "qwen2.5-instruct");
}
BENCHMARK(BM_RenderQwen25);

void BM_RenderTinyLlama(benchmark::State& state) {
    renderTemplate(state, "tinyllama-chat-zephyr");
}
BENCHMARK(BM_RenderTinyLlama);

void BM_RenderPhi4(benchmark::State& state) {
    renderTemplate(state, "phi-4");
}
BENCHMARK(BM_RenderPhi4);

void BM_CompileQwen25(benchmark::State& state) {
    const std::string source = chatTemplate("qwen2.5-instruct");
    for (auto _ : state) {
        const Template compiled(source, {});
        benchmark::DoNotOptimize(&compiled);
    }
}
BENCHMARK(BM_CompileQwen25);

}  // namespace

BENCHMARK_MAIN();
