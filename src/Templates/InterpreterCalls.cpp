// Macro calls and for loops: the two places where the interpreter makes scopes of its own.
#include "InterpreterInternals.h"
#include "templates/Interpreter.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

using namespace interpreter;

Value Interpreter::callMacro(const Macro& macro, const std::vector<Value>& arguments,
                             const KeywordValues& keywordArguments, const Scope& env) {
    CallDepth depth(*env);
    const Scope scope = Environment::make(env);
    if (const Value* caller = env->find("caller"); caller && !caller->isUndefined()) {
        scope->set("caller", *caller);
    }
    // Defaults are evaluated at the call site, every time, so they cannot see the other
    // parameters.
    for (const auto& [name, expression] : macro.defaults) {
        scope->set(name, evaluateExpression(expression, env));
    }
    for (std::size_t i = 0; i < macro.parameters.size(); ++i) {
        const std::string& name = macro.parameters[i];
        Value value = i < arguments.size() ? arguments[i] : (*scope)[name];
        scope->set(name, std::move(value));
    }
    for (const auto& [name, value] : keywordArguments) {
        scope->set(name, value);
    }
    std::string out;
    const Flow flow = run(macro.body, scope, out);
    if (flow != Flow::normal) {
        throw toControlFlow(flow);
    }
    return Value(std::move(out));
}

Value Interpreter::makeLoopObject(std::span<const Value> items, std::size_t index) {
    static const Value::Object::Keys keys{"index", "index0",   "first",    "last",    "length",
                                          "revindex", "revindex0", "previtem", "nextitem", "cycle"};
    const auto n = static_cast<std::int64_t>(items.size());
    const auto i = static_cast<std::int64_t>(index);
    std::vector<Value> values;
    values.reserve(keys.size());
    values.emplace_back(i + 1);
    values.emplace_back(i);
    values.emplace_back(i == 0);
    values.emplace_back(i == n - 1);
    values.emplace_back(n);
    values.emplace_back(n - i);
    values.emplace_back(n - i - 1);
    values.push_back(i > 0 ? items[index - 1] : Value::undefined());
    values.push_back(i < n - 1 ? items[index + 1] : Value::undefined());
    values.push_back(Value::function(
        [index](const std::vector<Value>& args, const KeywordValues&, const Scope&) {
            return args.empty() ? Value(std::string()) : args[index % args.size()];
        }));
    return Value(Value::Object(keys, std::move(values)));
}

namespace interpreter {

namespace {

// What the items came from decides how a tuple of names unpacks them.
enum class Source : std::uint8_t { array, object, string };

void bindLoopVariables(const Statement::LoopVar& target, Source source, const Value& item,
                       Environment& scope) {
    if (target.kind() == Statement::LoopVar::Kind::single) {
        scope.set(target.name(), item);
        return;
    }
    const NameList& names = target.names();
    if (source == Source::string) {
        for (std::size_t j = 0; j < names.size(); ++j) {
            scope.set(names[j], j == 0 ? item : Value::undefined());
        }
        return;
    }
    // Object entries arrive as [key, value] pairs and unpack like arrays.
    if (!item.isArray()) {
        return;
    }
    const Value::Array& parts = item.asArray();
    for (std::size_t j = 0; j < names.size(); ++j) {
        scope.set(names[j], j < parts.size() ? parts[j] : Value::undefined());
    }
}

}  // namespace

Flow executeFor(const Statement::For& loop, const Scope& env, std::string& out) {
    const Value iterable = Interpreter::evaluateExpression(loop.iterable, env);
    const bool tuple = loop.loopVar.kind() == Statement::LoopVar::Kind::tuple;
    std::vector<Value> owned;
    std::span<const Value> items;
    Source source = Source::array;
    switch (iterable.kind()) {
        case Value::Kind::array:
            items = std::span(iterable.asArray().begin(), iterable.asArray().end());
            break;
        case Value::Kind::object: {
            source = Source::object;
            const Value::Object& object = iterable.asObject();
            owned.reserve(object.size());
            for (const auto& [key, value] : object) {
                owned.push_back(tuple ? Value(std::vector<Value>{Value(key), value})
                                      : Value(key));
            }
            items = owned;
            break;
        }
        case Value::Kind::string:
            source = Source::string;
            for (const std::string_view character : unicode::characters(iterable.asString())) {
                owned.emplace_back(character);
            }
            items = owned;
            break;
        default:
            throw TemplateError::runtime("Cannot iterate over non-iterable value");
    }
    if (items.empty()) {
        return run(loop.elseBody, env, out);
    }
    const Scope scope = Environment::make(env);
    if (loop.test) {
        // The loop's filter decides first, so that `loop` counts only the items it keeps.
        std::vector<Value> kept;
        for (const Value& item : items) {
            countStep(*env);
            bindLoopVariables(loop.loopVar, source, item, *scope);
            if (Interpreter::evaluateExpression(*loop.test, scope).isTruthy()) {
                kept.push_back(item);
            }
        }
        if (kept.empty()) {
            return run(loop.elseBody, env, out);
        }
        owned = std::move(kept);
        items = owned;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        countStep(*env);
        bindLoopVariables(loop.loopVar, source, items[i], *scope);
        scope->set("loop", Interpreter::makeLoopObject(items, i));
        Flow flow;
        try {
            flow = run(loop.body, scope, out);
        } catch (const ControlFlow& signal) {
            flow = toFlow(signal);  // raised inside a macro or caller body called from here
        }
        if (flow == Flow::break_) {
            break;
        }
    }
    return Flow::normal;
}

}  // namespace interpreter

}  // namespace templates
