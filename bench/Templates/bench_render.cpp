// Rendering real chat templates of the shared data, compiled once, for a conversation of 20
// turns with and without tool definitions: the cost the tokenizer pays each time it builds a
// prompt. Also the one-time cost of compiling each stored template.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "templates/Template.h"

namespace {

using templates::Template;
using templates::Value;

std::filesystem::path templatesFolder() {
    const char* env = std::getenv("QUILLORA_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : QUILLORA_SHARED_DIR) / "data" /
           "chat-templates";
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string chatTemplate(const std::string& name) {
    return readFile(templatesFolder() / (name + ".jinja"));
}

// Eight function tools of the usual shape: a name, a description and a JSON schema with two
// parameters, one of them required.
Value tools() {
    std::vector<Value> list;
    for (int i = 0; i < 8; ++i) {
        const std::string name = "tool_" + std::to_string(i);
        Value properties = Value::dictionaryLiteral(
            {{"text", Value::dictionaryLiteral(
                          {{"type", "string"}, {"description", "The text to work on."}})},
             {"count", Value::dictionaryLiteral(
                           {{"type", "integer"}, {"description", "How many times."}})}});
        Value parameters =
            Value::dictionaryLiteral({{"type", "object"},
                                      {"properties", properties},
                                      {"required", Value(std::vector<Value>{"text"})}});
        list.push_back(Value::dictionaryLiteral(
            {{"type", "function"},
             {"function", Value::dictionaryLiteral({{"name", name},
                                                    {"description", "Does step " + name + "."},
                                                    {"parameters", parameters}})}}));
    }
    return Value(std::move(list));
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

void renderTemplate(benchmark::State& state, const std::string& name, bool withTools = false) {
    const Template compiled(chatTemplate(name), {});
    Template::Context context = conversation();
    if (withTools) {
        context["tools"] = tools();
    }
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = compiled.render(context);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

// Renders take microseconds, so a busy machine shows in their times: repeated runs also report
// their fastest, the figure least disturbed by other work.
double fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}

void BM_RenderQwen25(benchmark::State& state) {
    renderTemplate(state, "qwen2.5-instruct");
}
BENCHMARK(BM_RenderQwen25)->ComputeStatistics("min", fastest);

void BM_RenderQwen25Tools(benchmark::State& state) {
    renderTemplate(state, "qwen2.5-instruct", true);
}
BENCHMARK(BM_RenderQwen25Tools)->ComputeStatistics("min", fastest);

void BM_RenderLlama32(benchmark::State& state) {
    renderTemplate(state, "llama-3.2-instruct");
}
BENCHMARK(BM_RenderLlama32)->ComputeStatistics("min", fastest);

void BM_RenderLlama32Tools(benchmark::State& state) {
    renderTemplate(state, "llama-3.2-instruct", true);
}
BENCHMARK(BM_RenderLlama32Tools)->ComputeStatistics("min", fastest);

void BM_RenderTinyLlama(benchmark::State& state) {
    renderTemplate(state, "tinyllama-chat-zephyr");
}
BENCHMARK(BM_RenderTinyLlama)->ComputeStatistics("min", fastest);

void BM_RenderPhi4(benchmark::State& state) {
    renderTemplate(state, "phi-4");
}
BENCHMARK(BM_RenderPhi4)->ComputeStatistics("min", fastest);

void BM_RenderGptOss20bTools(benchmark::State& state) {
    renderTemplate(state, "gpt-oss-20b", true);
}
BENCHMARK(BM_RenderGptOss20bTools)->ComputeStatistics("min", fastest);

void BM_CompileQwen25(benchmark::State& state) {
    const std::string source = chatTemplate("qwen2.5-instruct");
    for (auto _ : state) {
        const Template compiled(source, {});
        benchmark::DoNotOptimize(&compiled);
    }
}
BENCHMARK(BM_CompileQwen25);

// Every stored template, compiled from its text.
void BM_CompileAll(benchmark::State& state) {
    std::vector<std::string> sources;
    for (const auto& entry : std::filesystem::directory_iterator(templatesFolder())) {
        if (entry.path().extension() == ".jinja") {
            sources.push_back(readFile(entry.path()));
        }
    }
    for (auto _ : state) {
        for (const std::string& source : sources) {
            const Template compiled(source, {});
            benchmark::DoNotOptimize(&compiled);
        }
    }
    state.counters["templates"] = static_cast<double>(sources.size());
}
BENCHMARK(BM_CompileAll);

}  // namespace

BENCHMARK_MAIN();
