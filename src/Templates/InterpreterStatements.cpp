// Statement execution, assignment and the node walk.
#include "InterpreterInternals.h"
#include "templates/Interpreter.h"
#include "templates/TemplateError.h"

namespace templates {

using namespace interpreter;
using K = Expression::Kind;

namespace interpreter {

ControlFlow toControlFlow(Flow flow) {
    return flow == Flow::break_ ? ControlFlow::break_() : ControlFlow::continue_();
}

Flow toFlow(const ControlFlow& signal) {
    return signal.flowCase() == ControlFlow::Case::break_ ? Flow::break_ : Flow::continue_;
}

void checkLength(const std::string& text, const Environment& env) {
    const Environment::RenderState& state = env.renderState();
    const std::size_t limit = state.limits.maximumTextLength;
    const std::size_t length =
        &text == state.macroText ? text.size() - state.macroTextStart : text.size();
    if (length > limit) {
        throw TemplateError::runtime("Rendered text would exceed the limit of " +
                                     std::to_string(limit) + " bytes");
    }
}

void countStep(Environment& env) {
    Environment::RenderState& state = env.renderState();
    ++state.steps;
    if (state.limits.maximumSteps != 0 && state.steps > state.limits.maximumSteps) {
        throw TemplateError::runtime("Rendering exceeded the limit of " +
                                     std::to_string(state.limits.maximumSteps) +
                                     " loop iterations and calls");
    }
}

CallDepth::CallDepth(Environment& env) : state_(env.renderState()) {
    if (state_.callDepth >= state_.limits.maximumCallDepth) {
        throw TemplateError::runtime("Macro calls nested deeper than the limit of " +
                                     std::to_string(state_.limits.maximumCallDepth));
    }
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (state_.callDepth == 0) {
        state_.stackBase = here;
    } else if (state_.stackBase > here && state_.stackBase - here > state_.limits.maximumStackUse) {
        throw TemplateError::runtime("Macro calls nested deeper than the stack allows");
    }
    countStep(env);
    ++state_.callDepth;
}

namespace {

// The nodes an if statement runs: the body of the first branch whose test holds, else the last
// alternate. An elif chain is an if nested in the alternate of the one before: it is walked in a
// loop, so that a long chain does not recurse once per branch.
[[gnu::hot]] const NodeList& chosenBranch(const Statement::If& statement, const Scope& env) {
    const Statement::If* branch = &statement;
    while (!isTruthy(branch->test, env)) {
        const NodeList& alternate = branch->alternate;
        if (alternate.size() != 1 || alternate.front().kind() != Node::Kind::statement ||
            alternate.front().as<Statement>().kind() != Statement::Kind::if_) {
            return alternate;
        }
        branch = &alternate.front().as<Statement>().as<Statement::If>();
    }
    return branch->body;
}

// Binds the macro's value under its name, by the canonical name and hash its call layout keeps
// when it has one.
[[gnu::noinline]] void defineMacro(const Statement::Macro& macro, Value value, Environment& env) {
    if (const auto& layout = macro.callLayout) {
        env.variables().setCanonical(layout->canonicalName, layout->nameHash, std::move(value));
    } else {
        env.set(macro.name, std::move(value));
    }
}

}  // namespace

[[gnu::hot]] Flow run(const NodeList& nodes, const Scope& env, std::string& out) {
    for (const Node& node : nodes) {
        switch (node.kind()) {
            case Node::Kind::text:
                out.append(node.as<Node::Text>().value);
                checkLengthInline(out, *env);
                break;
            case Node::Kind::expression: {
                // Literal text in an output tag, the commonest, is written here.
                const Expression& expression = node.as<Expression>();
                if (const auto* literal = expression.getIf<Expression::String>()) {
                    appendText(out, literal->value, env->limits().maximumTextLength);
                } else {
                    appendOutput(expression, env, out);
                }
                checkLengthInline(out, *env);
                break;
            }
            case Node::Kind::statement: {
                const Statement& statement = node.as<Statement>();
                if (statement.kind() == Statement::Kind::macro) {
                    // The value shares the definition with the tree rather than copying it.
                    defineMacro(statement.as<Statement::Macro>(), Value::macro(node.sharedMacro()),
                                *env);
                    break;
                }
                // An if statement, the commonest, runs its branch from here.
                const Flow flow =
                    statement.kind() == Statement::Kind::if_
                        ? run(chosenBranch(statement.as<Statement::If>(), env), env, out)
                        : execute(statement, env, out);
                if (flow != Flow::normal) {
                    return flow;
                }
                break;
            }
            case Node::Kind::comment:
                break;
        }
    }
    return Flow::normal;
}

std::string renderRoot(const NodeList& nodes, const Scope& root) {
    struct ReleaseItems {
        ~ReleaseItems() { releaseSpareLoopItems(); }
    } releaseItems;
    std::string out;
    out.reserve(4096);
    const Flow flow = run(nodes, root, out);
    if (flow != Flow::normal) {
        throw toControlFlow(flow);
    }
    return out;
}

}  // namespace interpreter

namespace {

// The `caller` of a call block: renders the block's body in a scope below the one the block ran
// in. It holds that scope weakly: a template can store `caller` in a variable of that very scope,
// and a strong reference would then keep the scope alive forever.
class Caller {
public:
    Caller(const Scope& scope, const Statement::Call& block)
        : scope_(scope),
          parameters_(block.callerArgs.value_or(ExpressionList())),
          body_(block.body) {
        scope->holdWeakly();
    }

    Value operator()(const std::vector<Value>& args, const KeywordValues&, const Scope&) const {
        const Scope scope = scope_.lock();
        if (!scope) {
            throw TemplateError::runtime("caller called after its call block ended");
        }
        CallDepth depth(*scope);
        const Scope callerScope = Environment::make(scope);
        for (std::size_t i = 0; i < parameters_.size() && i < args.size(); ++i) {
            const auto* name = parameters_[i].getIf<Expression::Identifier>();
            if (!name) {
                throw TemplateError::runtime("Caller parameter must be an identifier");
            }
            callerScope->set(name->name, args[i]);
        }
        std::string out;
        const Flow flow = run(body_, callerScope, out);
        if (flow != Flow::normal) {
            throw toControlFlow(flow);
        }
        return Value(std::move(out));
    }

private:
    std::weak_ptr<Environment> scope_;
    ExpressionList parameters_;
    NodeList body_;
};

[[gnu::noinline]] Flow executeCallBlock(const Statement::Call& block, const Scope& env,
                                        std::string& out) {
    static const ExpressionList noArguments;
    static const KeywordArguments noKeywords;
    const auto* call = block.callable.getIf<Expression::Call>();
    const Expression& calleeExpression = call ? call->callee : block.callable;
    const ExpressionList& argumentExpressions = call ? call->args : noArguments;
    const KeywordArguments& keywordExpressions = call ? call->kwargs : noKeywords;

    const Value callee = Interpreter::evaluateExpression(calleeExpression, env);
    const Scope callScope = Environment::make(env);
    callScope->set("caller", Value::function(Caller(env, block)));
    std::vector<Value> args;
    args.reserve(argumentExpressions.size());
    for (const Expression& argument : argumentExpressions) {
        args.push_back(Interpreter::evaluateExpression(argument, env));
    }
    KeywordValues kwargs;
    for (const auto& [name, expression] : keywordExpressions) {
        kwargs.emplace(name, Interpreter::evaluateExpression(expression, env));
    }
    Value result;
    if (callee.isFunction()) {
        result = callee.asFunction()(args, kwargs, callScope);
    } else if (callee.isMacro()) {
        result = Interpreter::callMacro(callee.asMacro(), args, kwargs, callScope);
    } else {
        throw TemplateError::runtime("Cannot call non-function value");
    }
    result.appendDescription(out, env->limits().maximumTextLength);
    checkLength(out, *env);
    return Flow::normal;
}

// One filter of a filter block applied to `value`: a bare name, a call such as replace('a', 'b'),
// or a chain such as upper | replace('a', 'b'), applied from the left.
Value applyBlockFilter(const Expression& expression, Value value, const Scope& env) {
    const auto withArguments = [&](std::string_view name, const ExpressionList& arguments,
                                   const KeywordArguments& keywords, Value operand) {
        std::vector<Value> args{std::move(operand)};
        for (const Expression& argument : arguments) {
            args.push_back(Interpreter::evaluateExpression(argument, env));
        }
        KeywordValues kwargs;
        for (const auto& [name, keyword] : keywords) {
            kwargs.emplace(name, Interpreter::evaluateExpression(keyword, env));
        }
        return Interpreter::applyFilter(name, args, kwargs, env);
    };
    if (const auto* identifier = expression.getIf<Expression::Identifier>()) {
        return Interpreter::applyFilter(identifier->name, {std::move(value)}, KeywordValues(), env);
    }
    if (const auto* call = expression.getIf<Expression::Call>()) {
        if (const auto* callee = call->callee.getIf<Expression::Identifier>()) {
            return withArguments(callee->name, call->args, call->kwargs, std::move(value));
        }
    }
    if (const auto* filter = expression.getIf<Expression::Filter>()) {
        Value inner = applyBlockFilter(filter->operand, std::move(value), env);
        return withArguments(filter->name, filter->args, filter->kwargs, std::move(inner));
    }
    throw TemplateError::runtime("Invalid filter expression in filter statement");
}

[[gnu::noinline]] Flow executeFilterBlock(const Statement::Filter& block, const Scope& env,
                                          std::string& out) {
    std::string captured;
    const Flow flow = run(block.body, env, captured);
    if (flow != Flow::normal) {
        return flow;
    }
    applyBlockFilter(block.filterExpr, Value(std::move(captured)), env)
        .appendDescription(out, env->limits().maximumTextLength);
    checkLength(out, *env);
    return Flow::normal;
}

void appendDebugText(std::string& out, const Expression& e);

void appendDebugList(std::string& out, const ExpressionList& list) {
    out.push_back('[');
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0) {
            out.append(", ");
        }
        appendDebugText(out, list[i]);
    }
    out.push_back(']');
}

void appendDebugKeywords(std::string& out, const KeywordArguments& keywords) {
    if (keywords.empty()) {
        out.append("[:]");
        return;
    }
    out.push_back('[');
    bool first = true;
    for (const auto& [name, value] : keywords) {
        out.append(first ? "\"" : ", \"").append(name).append("\": ");
        appendDebugText(out, value);
        first = false;
    }
    out.push_back(']');
}

void appendDebugOptional(std::string& out, std::string_view label,
                         const std::optional<Expression>& e) {
    out.append(", ").append(label).append(": ");
    if (e) {
        appendDebugText(out, *e);
    } else {
        out.append("nil");
    }
}

// The syntax tree as its case names with their payloads, e.g.
// member(identifier("a"), call(identifier("f"), [], [:]), computed: true).
void appendDebugText(std::string& out, const Expression& e) {
    static constexpr const char* unaryNames[] = {"not", "minus", "plus", "splat"};
    static constexpr const char* binaryNames[] = {
        "add",     "subtract",     "multiply", "divide",   "floorDivide", "power",
        "modulo",  "concat",       "equal",    "notEqual", "less",        "lessEqual",
        "greater", "greaterEqual", "and",      "or",       "in",          "notIn"};
    const auto quoted = [&](const std::string& text) {
        out.push_back('"');
        out.append(text);
        out.push_back('"');
    };
    switch (e.kind()) {
        case K::string:
            out.append("string(");
            quoted(e.as<Expression::String>().value);
            break;
        case K::number:
            out.append("number(").append(Value(e.as<Expression::Number>().value).description());
            break;
        case K::integer:
            out.append("integer(").append(std::to_string(e.as<Expression::Integer>().value));
            break;
        case K::boolean:
            out.append("boolean(").append(e.as<Expression::Boolean>().value ? "true" : "false");
            break;
        case K::null:
            out.append("null");
            return;
        case K::array:
            out.append("array(");
            appendDebugList(out, e.as<Expression::Array>().items);
            break;
        case K::tuple:
            out.append("tuple(");
            appendDebugList(out, e.as<Expression::Tuple>().items);
            break;
        case K::object: {
            out.append("object([");
            bool first = true;
            for (const auto& [key, value] : e.as<Expression::Object>().entries) {
                out.append(first ? "" : ", ");
                first = false;
                if (key.isString()) {
                    quoted(key.asString());
                } else {
                    out.append(std::to_string(key.asInt()));
                }
                out.append(": ");
                appendDebugText(out, value);
            }
            out.push_back(']');
            break;
        }
        case K::identifier:
            out.append("identifier(");
            quoted(e.as<Expression::Identifier>().name);
            break;
        case K::unary: {
            const auto& unary = e.as<Expression::Unary>();
            out.append("unary(").append(unaryNames[static_cast<int>(unary.op)]).append(", ");
            appendDebugText(out, unary.operand);
            break;
        }
        case K::binary: {
            const auto& binary = e.as<Expression::Binary>();
            out.append("binary(").append(binaryNames[static_cast<int>(binary.op)]).append(", ");
            appendDebugText(out, binary.left);
            out.append(", ");
            appendDebugText(out, binary.right);
            break;
        }
        case K::ternary: {
            const auto& ternary = e.as<Expression::Ternary>();
            out.append("ternary(");
            appendDebugText(out, ternary.value);
            out.append(", test: ");
            appendDebugText(out, ternary.test);
            appendDebugOptional(out, "alternate", ternary.alternate);
            break;
        }
        case K::call: {
            const auto& call = e.as<Expression::Call>();
            out.append("call(");
            appendDebugText(out, call.callee);
            out.append(", ");
            appendDebugList(out, call.args);
            out.append(", ");
            appendDebugKeywords(out, call.kwargs);
            break;
        }
        case K::member: {
            const auto& member = e.as<Expression::Member>();
            out.append("member(");
            appendDebugText(out, member.object);
            out.append(", ");
            appendDebugText(out, member.key);
            out.append(member.computed ? ", computed: true" : ", computed: false");
            break;
        }
        case K::slice: {
            const auto& slice = e.as<Expression::Slice>();
            out.append("slice(");
            appendDebugText(out, slice.object);
            appendDebugOptional(out, "start", slice.start);
            appendDebugOptional(out, "stop", slice.stop);
            appendDebugOptional(out, "step", slice.step);
            break;
        }
        case K::filter: {
            const auto& filter = e.as<Expression::Filter>();
            out.append("filter(");
            appendDebugText(out, filter.operand);
            out.append(", ");
            quoted(filter.name);
            out.append(", ");
            appendDebugList(out, filter.args);
            out.append(", ");
            appendDebugKeywords(out, filter.kwargs);
            break;
        }
        case K::test: {
            const auto& test = e.as<Expression::Test>();
            out.append("test(");
            appendDebugText(out, test.operand);
            out.append(", ");
            quoted(test.name);
            out.append(", ");
            appendDebugList(out, test.args);
            out.append(test.negated ? ", negated: true" : ", negated: false");
            break;
        }
    }
    out.push_back(')');
}

// `set ns.name = value` on an object that only its variable holds (a namespace, typically):
// changed where it is bound, which is what the copy written back to the same binding would hold.
// False, changing nothing, where the object is shared or the copy is needed for any other reason.
bool assignMemberInPlace(const Expression::Member& member, const Value& value, Environment& env) {
    const auto* variable = member.object.getIf<Expression::Identifier>();
    const auto* name = member.key.getIf<Expression::Identifier>();
    if (!variable || !name || member.computed || value.depth() + 1 > Value::maximumDepth) {
        return false;
    }
    // The nearest binding: the one the object is read from and the copy would be written to.
    auto* bound = const_cast<Value*>(findName(env, *variable));
    if (!bound || bound == &value) {
        return false;
    }
    return bound->changeUniqueObject(
        [&](Value::Object& object) { object.updateValue(ObjectKey(name->name), value); });
}

}  // namespace

namespace interpreter {

namespace {

[[gnu::noinline]] Flow executeSet(const Statement::Set& set, const Scope& env) {
    if (set.value) {
        Interpreter::assign(set.target, Interpreter::evaluateExpression(*set.value, env), env);
        return Flow::normal;
    }
    std::string captured;
    const Flow flow = run(set.body, env, captured);
    if (flow != Flow::normal) {
        return flow;
    }
    Interpreter::assign(set.target, Value(std::move(captured)), env);
    return Flow::normal;
}

}  // namespace

[[gnu::hot]] Flow execute(const Statement& statement, const Scope& env, std::string& out) {
    using S = Statement::Kind;
    switch (statement.kind()) {
        case S::program:
            return run(statement.as<Statement::Program>().body, env, out);
        case S::generation:
            return run(statement.as<Statement::Generation>().body, env, out);
        case S::set:
            return executeSet(statement.as<Statement::Set>(), env);
        case S::if_:
            return run(chosenBranch(statement.as<Statement::If>(), env), env, out);
        case S::for_:
            return executeFor(statement.as<Statement::For>(), env, out);
        case S::macro:
            defineMacro(statement.as<Statement::Macro>(),
                        Value::macro(statement.as<Statement::Macro>()), *env);
            return Flow::normal;
        case S::call:
            return executeCallBlock(statement.as<Statement::Call>(), env, out);
        case S::filter:
            return executeFilterBlock(statement.as<Statement::Filter>(), env, out);
        case S::break_:
            return Flow::break_;
        case S::continue_:
            return Flow::continue_;
    }
    return Flow::normal;
}

}  // namespace interpreter

std::string Interpreter::interpret(const NodeList& nodes, const Scope& environment) {
    const Scope root = Environment::make(nullptr, environment->variables());
    root->setPolicies(environment->policies());
    root->setLimits(environment->limits());
    return renderRoot(nodes, root);
}

void Interpreter::interpret(const NodeList& nodes, const Scope& env, std::string& into) {
    const Flow flow = run(nodes, env, into);
    if (flow != Flow::normal) {
        throw toControlFlow(flow);
    }
}

void Interpreter::executeStatementWithOutput(const Statement& statement, const Scope& env,
                                             std::string& into) {
    const Flow flow = execute(statement, env, into);
    if (flow != Flow::normal) {
        throw toControlFlow(flow);
    }
}

[[gnu::hot]] void Interpreter::assign(const Expression& target, const Value& value,
                                      const Scope& env) {
    switch (target.kind()) {
        case K::identifier: {
            const auto& name = target.as<Expression::Identifier>();
            if (name.scopeHash != 0) {
                env->variables().setCanonical(name.name, name.scopeHash, value);
            } else {
                env->set(name.name, value);
            }
            return;
        }
        case K::tuple: {
            const ExpressionList& targets = target.as<Expression::Tuple>().items;
            if (!value.isArray()) {
                throw TemplateError::runtime("Cannot unpack non-array value for tuple assignment.");
            }
            const Value::Array& items = value.asArray();
            if (targets.size() != items.size()) {
                throw TemplateError::runtime(
                    "Tuple assignment mismatch: " + std::to_string(targets.size()) +
                    " variables and " + std::to_string(items.size()) + " values.");
            }
            for (std::size_t i = 0; i < targets.size(); ++i) {
                assign(targets[i], items[i], env);
            }
            return;
        }
        case K::member: {
            const auto& member = target.as<Expression::Member>();
            if (assignMemberInPlace(member, value, *env)) {
                return;
            }
            const Value object = evaluateExpression(member.object, env);
            std::optional<ObjectKey> key;
            if (member.computed) {
                key = evaluateExpression(member.key, env).asObjectKey();
                if (!key) {
                    throw TemplateError::runtime(
                        "Computed property key must be a string or integer");
                }
            } else if (const auto* name = member.key.getIf<Expression::Identifier>()) {
                key = ObjectKey(name->name);
            } else {
                throw TemplateError::runtime("Property assignment requires identifier");
            }
            if (!object.isObject()) {
                return;
            }
            const auto* variable = member.object.getIf<Expression::Identifier>();
            if (!variable) {
                return;  // the updated copy would reach nothing
            }
            Value::Object updated = object.asObject();
            updated.updateValue(std::move(*key), value);
            env->setInChain(variable->name, Value(std::move(updated)));
            return;
        }
        default: {
            std::string message = "Invalid target for assignment: ";
            appendDebugText(message, target);
            throw TemplateError::runtime(std::move(message));
        }
    }
}

}  // namespace templates
