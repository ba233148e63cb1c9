// Compiles arbitrary bytes as a template and renders it twice against a small fixed context with
// tight resource bounds, so that no input can hang or exhaust memory. Besides crashes and
// undefined behaviour it checks that rendering is deterministic.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "templates/ControlFlow.h"
#include "templates/Environment.h"
#include "templates/Template.h"
#include "templates/TemplateError.h"

namespace {

using namespace templates;

Value message(const char* role, const char* content) {
    return Value::dictionaryLiteral({{"role", role}, {"content", content}});
}

const Template::Context& context() {
    static const Template::Context context{
        {"messages", Value(std::vector<Value>{message("system", "Be brief."),
                                              message("user", "Hello, \xC3\xA9t\xC3\xA9!"),
                                              message("assistant", "Hi.")})},
        {"bos_token", "<s>"},
        {"add_generation_prompt", true},
        {"n", 3},
        {"x", 2.5},
        {"args", Value::function([](const std::vector<Value>& args, const KeywordValues&,
                                    const std::shared_ptr<Environment>&) { return Value(args); })},
    };
    return context;
}

std::string render(const Template& compiled) {
    RenderLimits limits;
    limits.maximumTextLength = 1 << 16;
    limits.maximumArrayLength = 1 << 12;
    limits.maximumSteps = 20'000;
    const auto environment = Environment::make();
    environment->setLimits(limits);
    try {
        return compiled.render(context(), environment);
    } catch (const TemplateError& error) {
        return std::string("error: ") + error.what();
    } catch (const ControlFlow& signal) {
        return std::string("signal: ") + signal.what();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    const bool options = size > 0 && (data[0] & 1) != 0;
    std::optional<Template> compiled;
    try {
        compiled.emplace(source, Template::Options{options, options});
    } catch (const TemplateError&) {
        return 0;
    }
    if (render(*compiled) != render(*compiled)) {
        std::abort();
    }
    return 0;
}
