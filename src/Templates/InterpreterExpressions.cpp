// Expression evaluation: a plain recursive walk, left to right, that reads the scopes and never
// writes them.
#include <algorithm>
#include <array>
#include <limits>
#include <span>

#include "InterpreterInternals.h"
#include "LimitErrors.h"
#include "templates/Filters.h"
#include "templates/Interpreter.h"
#include "templates/PropertyMembers.h"
#include "templates/TemplateError.h"
#include "templates/Tests.h"
#include "templates/Unicode.h"

namespace templates {

using namespace interpreter;

namespace {

using K = Expression::Kind;

// Characters as offsets into the text; ASCII text without carriage returns has one per byte.
std::vector<std::size_t> characterBoundaries(const std::string& text, bool& oneBytePerCharacter) {
    oneBytePerCharacter = unicode::isAscii(text) && text.find('\r') == std::string::npos;
    if (oneBytePerCharacter) {
        return {};
    }
    return unicode::graphemeBoundaries(text);
}

std::vector<Value> evaluateArguments(const ExpressionList& expressions, const Scope& env) {
    std::vector<Value> values;
    values.reserve(expressions.size());
    for (const Expression& argument : expressions) {
        const auto* unary = argument.getIf<Expression::Unary>();
        if (unary && unary->op == Expression::UnaryOp::splat) {
            Value spread = Interpreter::evaluateExpression(unary->operand, env);
            if (!spread.isArray()) {
                throw TemplateError::runtime("Cannot unpack non-array value");
            }
            values.insert(values.end(), spread.asArray().begin(), spread.asArray().end());
        } else {
            values.push_back(Interpreter::evaluateExpression(argument, env));
        }
    }
    return values;
}

// Whether evaluateArguments() would give one value per written argument, and no more than
// `room` of them: no argument is unpacked with *.
bool fitsHeldArguments(const ExpressionList& expressions, std::size_t room) {
    if (expressions.size() > room) {
        return false;
    }
    for (const Expression& argument : expressions) {
        const auto* unary = argument.getIf<Expression::Unary>();
        if (unary && unary->op == Expression::UnaryOp::splat) {
            return false;
        }
    }
    return true;
}

KeywordValues evaluateKeywords(const KeywordArguments& expressions, const Scope& env) {
    KeywordValues values;
    for (const auto& [name, expression] : expressions) {
        values.emplace(name, Interpreter::evaluateExpression(expression, env));
    }
    return values;
}

Value callValue(const Value& callee, const std::vector<Value>& args, const KeywordValues& kwargs,
                const Scope& env) {
    if (callee.isFunction()) {
        return callee.asFunction()(args, kwargs, env);
    }
    if (callee.isMacro()) {
        return Interpreter::callMacro(callee.asMacro(), args, kwargs, env);
    }
    throw TemplateError::runtime("Cannot call non-function value");
}

const Value& undefinedName() {
    static const Value undefined = Value::undefined();
    return undefined;
}

[[gnu::hot]] inline const Value& variable(const Expression::Identifier& name, const Scope& env) {
    const Value* value = findName(*env, name);
    return value ? *value : undefinedName();
}

bool isLiteral(const Expression& e) {
    switch (e.kind()) {
        case K::string:
        case K::number:
        case K::integer:
        case K::boolean:
        case K::null:
            return true;
        default:
            return false;
    }
}

// The expression's value; a variable's value is lent out of its scope instead of copied. The
// reference is good only until the next evaluation, which may rebind the variable, so callers
// borrow only where nothing else is evaluated while they use it.
const Value* memberInPlace(const Expression::Member& member, const Scope& env, Value& storage);

// The value of `e` without a copy where it is stored already: a variable's binding, or a value
// inside an object reached from one (tool.function.parameters). Anything else is evaluated into
// `storage`. The reference lasts as long as `storage` does and nothing is evaluated meanwhile.
[[gnu::hot]] const Value& evaluateBorrowed(const Expression& e, const Scope& env, Value& storage) {
    switch (e.kind()) {
        case K::identifier:
            return variable(e.as<Expression::Identifier>(), env);
        case K::member: {
            const Value* value = memberInPlace(e.as<Expression::Member>(), env, storage);
            return value ? *value : storage;
        }
        case K::binary: {
            const auto& binary = e.as<Expression::Binary>();
            if (binary.op != Expression::BinaryOp::and_ && binary.op != Expression::BinaryOp::or_) {
                break;
            }
            // `a or b` is one of its operands, so the one it gives is lent like any other value;
            // the left one may be dropped from `storage` once the right one decides.
            const Value& left = evaluateBorrowed(binary.left, env, storage);
            if (left.isTruthy() == (binary.op == Expression::BinaryOp::and_)) {
                return evaluateBorrowed(binary.right, env, storage);
            }
            return left;
        }
        default:
            break;
    }
    storage = Interpreter::evaluateExpression(e, env);
    return storage;
}

// memberInPlace() once the receiver is known and is not an object holding the member under a
// text key, the commonest case, which memberInPlace() settles itself.
[[gnu::noinline, gnu::hot]] const Value* memberOfReceiver(const Expression::Member& member,
                                                          const Value& receiver, const Scope& env,
                                                          Value& storage) {
    Value result;
    if (member.computed) {
        const auto* text = member.key.getIf<Expression::String>();
        if (text && receiver.isObject()) {
            // The commonest subscript of all, message['content']: no key value is built.
            if (const Value* value =
                    findValue(receiver.asObject(), text->value, member.keyPosition)) {
                return value;
            }
            result = Value::undefined();
        } else {
            result = Interpreter::evaluateComputedMember(
                receiver, Interpreter::evaluateExpression(member.key, env));
        }
    } else {
        const auto* property = member.key.getIf<Expression::Identifier>();
        if (!property) {
            throw TemplateError::runtime("Property access requires identifier");
        }
        if (receiver.isObject()) {
            // An object's methods come before its keys.
            if (PropertyMembers::hasObjectMember(property->name)) {
                result = PropertyMembers::evaluateObjectProperty(receiver, property->name);
            } else if (const Value* value =
                           findValue(receiver.asObject(), property->name, member.keyPosition)) {
                return value;
            } else {
                result = Value::undefined();
            }
        } else if (receiver.isString()) {
            result = PropertyMembers::evaluateStringProperty(receiver, property->name);
        } else {
            result = Value::undefined();
        }
    }
    // The receiver may live in `storage`: it goes only once the result is made.
    storage = std::move(result);
    return nullptr;
}

// The member where its receiver object stores it (the receiver itself may be held by `storage`),
// or null with the member evaluated into `storage`.
[[gnu::hot]] const Value* memberInPlace(const Expression::Member& member, const Scope& env,
                                        Value& storage) {
    if (member.computed && !isLiteral(member.key)) {
        const Value receiver = Interpreter::evaluateExpression(member.object, env);
        storage = Interpreter::evaluateComputedMember(
            receiver, Interpreter::evaluateExpression(member.key, env));
        return nullptr;
    }
    // A name's value is read in its scope directly: the commonest receiver, as in message.role.
    const auto* name = member.object.getIf<Expression::Identifier>();
    const Value& receiver =
        name ? variable(*name, env) : evaluateBorrowed(member.object, env, storage);
    // The commonest member of all: a key of an object, found where the last lookup found it.
    if (receiver.isObject() && !member.computed) {
        if (const Value* value =
                findValueAtHint(receiver.asObject(), member.key.as<Expression::Identifier>().name,
                                member.keyPosition)) {
            return value;
        }
    }
    return memberOfReceiver(member, receiver, env, storage);
}

[[gnu::noinline, gnu::hot]] bool memberIsTruthy(const Expression::Member& member,
                                                const Scope& env) {
    Value storage;
    const Value* value = memberInPlace(member, env, storage);
    return (value ? *value : storage).isTruthy();
}

[[gnu::noinline]] Value evaluateMember(const Expression::Member& member, const Scope& env) {
    Value storage;
    if (const Value* value = memberInPlace(member, env, storage)) {
        return *value;
    }
    return storage;
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

// The first index of the walk i, i + step, ... that is not below 0 (step > 0) or not above n - 1
// (step < 0); the walk skips the indices before it without visiting them.
std::int64_t firstIndexInside(std::int64_t i, std::int64_t step, std::int64_t n) {
    if (step > 0 && i < 0) {
        const std::uint64_t distance = 0 - static_cast<std::uint64_t>(i);
        const std::uint64_t steps =
            (distance + static_cast<std::uint64_t>(step) - 1) / static_cast<std::uint64_t>(step);
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(i) +
                                         steps * static_cast<std::uint64_t>(step));
    }
    if (step < 0 && i > n - 1) {
        const std::uint64_t distance =
            static_cast<std::uint64_t>(i) - static_cast<std::uint64_t>(n - 1);
        const std::uint64_t stride = 0 - static_cast<std::uint64_t>(step);
        const std::uint64_t steps = (distance + stride - 1) / stride;
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(i) - steps * stride);
    }
    return i;
}

Value evaluateSlice(const Value& receiver, const std::optional<Expression>& startExpression,
                    const std::optional<Expression>& stopExpression,
                    const std::optional<Expression>& stepExpression, const Scope& env) {
    const auto bound = [&](const std::optional<Expression>& e) {
        return e ? Interpreter::evaluateExpression(*e, env) : Value::undefined();
    };
    const Value startValue = bound(startExpression);
    const Value stopValue = bound(stopExpression);
    const Value stepValue = bound(stepExpression);
    std::int64_t step = 1;
    if (stepValue.isInt()) {
        if (stepValue.asInt() == 0) {
            throw TemplateError::runtime("Slice step cannot be zero");
        }
        step = stepValue.asInt();
    }
    if (!receiver.isString() && !receiver.isArray()) {
        throw TemplateError::runtime("Slice requires array or string");
    }
    bool oneBytePerCharacter = false;
    std::vector<std::size_t> boundaries;
    std::int64_t n;
    if (receiver.isString()) {
        boundaries = characterBoundaries(receiver.asString(), oneBytePerCharacter);
        n = static_cast<std::int64_t>(oneBytePerCharacter ? receiver.asString().size()
                                                          : boundaries.size() - 1);
    } else {
        n = static_cast<std::int64_t>(receiver.asArray().size());
    }
    const auto resolve = [&](const Value& v, std::int64_t absent) {
        if (!v.isInt()) {
            return absent;
        }
        return v.asInt() < 0 ? v.asInt() + n : v.asInt();
    };
    const std::int64_t start = resolve(startValue, step < 0 ? n - 1 : 0);
    const std::int64_t stop = resolve(stopValue, step < 0 ? -1 : n);

    std::string text;
    std::vector<Value> items;
    if (receiver.isArray() && step == 1) {
        // The commonest slice, messages[1:], knows its length.
        const std::int64_t first = firstIndexInside(start, step, n);
        const std::int64_t end = std::min(stop, n);
        if (end > first) {
            items.reserve(static_cast<std::size_t>(end - first));
        }
    }
    for (std::int64_t i = firstIndexInside(start, step, n);
         (step > 0 && i < stop && i < n) || (step < 0 && i > stop && i >= 0);
         i = saturatingAdd(i, step)) {
        const auto at = static_cast<std::size_t>(i);
        if (receiver.isArray()) {
            items.push_back(receiver.asArray()[at]);
        } else if (oneBytePerCharacter) {
            text.push_back(receiver.asString()[at]);
        } else {
            text.append(receiver.asString(), boundaries[at], boundaries[at + 1] - boundaries[at]);
        }
    }
    if (receiver.isArray()) {
        return Value(std::move(items));
    }
    return Value(std::move(text));
}

}  // namespace

namespace {

// Each case with locals of its own lives in a function of its own, so that the dispatcher's
// frame, which every level of a nested expression adds to the stack, stays small.

[[gnu::noinline]] Value evaluateList(const ExpressionList& list, const Scope& env) {
    std::vector<Value> items;
    items.reserve(list.size());
    for (const Expression& item : list) {
        items.push_back(Interpreter::evaluateExpression(item, env));
    }
    return Value(std::move(items));
}

[[gnu::noinline]] Value evaluateObject(const ObjectEntries& entries, const Scope& env) {
    std::vector<Value> values;
    values.reserve(entries.size());
    for (const Expression& value : entries.values()) {
        values.push_back(Interpreter::evaluateExpression(value, env));
    }
    return Value(Value::Object(entries.keys(), std::move(values)));
}

bool isJoin(Expression::BinaryOp op) {
    return op == Expression::BinaryOp::add || op == Expression::BinaryOp::concat;
}

// A left-leaning run of + and ~, such as 'a' + x + 'b' ~ y. Once the running value is a text,
// each further operand only appends its printed form, so the run is built in one buffer instead
// of one new text per operator. Appends the text to `text` and returns true, or, when the run
// never becomes a text, leaves `text` as it was and stores the result in `result`.
[[gnu::hot]] bool joinChain(const Expression::Binary& top, const Scope& env, std::string& text,
                            Value& result) {
    // Runs are short, so their links are gathered on the stack unless there are many.
    constexpr std::size_t stackLinks = 16;
    std::array<const Expression::Binary*, stackLinks> shortChain;
    std::vector<const Expression::Binary*> longChain;
    std::size_t links = 0;
    // The long case apart, so that a link of a short run costs a store.
    const auto addLongLink = [&](const Expression::Binary* link) {
        if (links == stackLinks) {
            longChain.assign(shortChain.begin(), shortChain.end());
        }
        longChain.push_back(link);
    };
    const auto addLink = [&](const Expression::Binary* link) {
        if (links < stackLinks) [[likely]] {
            shortChain[links] = link;
        } else {
            addLongLink(link);
        }
        ++links;
    };
    addLink(&top);
    const Expression* leftmost = &top.left;
    while (const auto* inner = leftmost->getIf<Expression::Binary>()) {
        if (!isJoin(inner->op)) {
            break;
        }
        addLink(inner);
        leftmost = &inner->left;
    }
    const std::span<const Expression::Binary* const> chain =
        links <= stackLinks ? std::span<const Expression::Binary* const>(shortChain.data(), links)
                            : std::span<const Expression::Binary* const>(longChain);
    const RenderLimits& limits = env->limits();
    const std::size_t start = text.size();
    bool joiningText = false;
    try {
        // A leftmost text goes straight into the buffer: appended before the next operand is
        // evaluated or after, it is the same text.
        if (const auto* literal = leftmost->getIf<Expression::String>()) {
            text.append(literal->value);
            joiningText = true;
        } else {
            Value storage;
            const Value& left = evaluateBorrowed(*leftmost, env, storage);
            if (left.isString()) {
                text.append(left.asString());
                joiningText = true;
            } else {
                result = left;
            }
        }
        for (auto link = chain.rbegin(); link != chain.rend(); ++link) {
            const Expression& operand = (*link)->right;
            if (joiningText) {
                // Each operand is printed as soon as it is evaluated, so it is read where it is
                // stored rather than copied.
                if (const auto* literal = operand.getIf<Expression::String>()) {
                    appendText(text, literal->value, limits.maximumTextLength);
                } else {
                    Value storage;
                    evaluateBorrowed(operand, env, storage)
                        .appendDescription(text, limits.maximumTextLength);
                }
                checkTextLength(text.size() - start, limits);
                continue;
            }
            const Value right = Interpreter::evaluateExpression(operand, env);
            if (result.isString()) {
                text.append(result.asString());
                joiningText = true;
                right.appendDescription(text, limits.maximumTextLength);
                checkTextLength(text.size() - start, limits);
            } else {
                result = Interpreter::evaluateBinaryValues((*link)->op, result, right, limits);
            }
        }
    } catch (...) {
        text.resize(start);  // an expression that fails adds nothing
        throw;
    }
    if (!joiningText && result.isString()) {
        text.append(result.asString());
        joiningText = true;
    }
    return joiningText;
}

// The text literal an == or != compares with, as in message.role == 'user'; null for any other
// operation.
const std::string* comparedText(const Expression::Binary& binary) {
    if (binary.op != Expression::BinaryOp::equal && binary.op != Expression::BinaryOp::notEqual) {
        return nullptr;
    }
    const auto* text = binary.right.getIf<Expression::String>();
    return text ? &text->value : nullptr;
}

// The truth of such a comparison. A literal has no effects, so the left operand is borrowed while
// it is read.
[[gnu::hot]] bool isTextComparisonTrue(const Expression::Binary& binary, const std::string& text,
                                       const Scope& env) {
    Value storage;
    const Value& left = evaluateBorrowed(binary.left, env, storage);
    const bool equal = left.isString() && unicode::canonicallyEquivalent(left.asString(), text);
    return equal == (binary.op == Expression::BinaryOp::equal);
}

// `text in container` for a text needle, as Value::isContained() gives it, without a value
// made for the needle.
bool isTextContained(const std::string& text, const Value& container) {
    switch (container.kind()) {
        case Value::Kind::object:
            return findValue(container.asObject(), text) != nullptr;
        case Value::Kind::string:
            return unicode::contains(container.asString(), text);
        case Value::Kind::array:
            for (const Value& item : container.asArray()) {
                if (item.isString() && unicode::canonicallyEquivalent(item.asString(), text)) {
                    return true;
                }
            }
            return false;
        default:
            return Value(text).isContained(container);
    }
}

// The text literal an `in` or `not in` looks for in a container that only reads, as in
// "content" in message; null for any other operation.
const std::string* containmentText(const Expression::Binary& binary) {
    if ((binary.op != Expression::BinaryOp::in && binary.op != Expression::BinaryOp::notIn) ||
        !binary.right.onlyReads()) {
        return nullptr;
    }
    const auto* text = binary.left.getIf<Expression::String>();
    return text ? &text->value : nullptr;
}

// Whether `text in container` (or `not in`) holds; the container is read where it is stored.
bool isTextContainmentTrue(const Expression::Binary& binary, const std::string& text,
                           const Scope& env) {
    Value storage;
    const bool contained = isTextContained(text, evaluateBorrowed(binary.right, env, storage));
    return contained == (binary.op == Expression::BinaryOp::in);
}

[[gnu::noinline, gnu::hot]] Value evaluateBinary(const Expression::Binary& binary,
                                                 const Scope& env) {
    using Op = Expression::BinaryOp;
    if (isJoin(binary.op)) {
        std::string text;
        Value result;
        return joinChain(binary, env, text, result) ? Value(std::move(text)) : result;
    }
    if (binary.op == Op::and_ || binary.op == Op::or_) {
        // The left operand is copied only when it is the result.
        Value storage;
        const Value& left = evaluateBorrowed(binary.left, env, storage);
        if (left.isTruthy() == (binary.op == Op::and_)) {
            return Interpreter::evaluateExpression(binary.right, env);
        }
        return left;
    }
    if (const auto* text = comparedText(binary)) {
        return Value(isTextComparisonTrue(binary, *text, env));
    }
    if (isLiteral(binary.right)) {
        // A literal has no effects, so the left operand may be borrowed while it is read.
        Value storage;
        const Value& left = evaluateBorrowed(binary.left, env, storage);
        return Interpreter::evaluateBinaryValues(
            binary.op, left, Interpreter::evaluateExpression(binary.right, env), env->limits());
    }
    if (const auto* text = containmentText(binary)) {
        return Value(isTextContainmentTrue(binary, *text, env));
    }
    if (binary.right.onlyReads()) {
        // Reading the right operand changes nothing the left one may be borrowed from.
        Value leftStorage;
        const Value& left = evaluateBorrowed(binary.left, env, leftStorage);
        Value rightStorage;
        const Value& right = evaluateBorrowed(binary.right, env, rightStorage);
        return Interpreter::evaluateBinaryValues(binary.op, left, right, env->limits());
    }
    const Value left = Interpreter::evaluateExpression(binary.left, env);
    return Interpreter::evaluateBinaryValues(
        binary.op, left, Interpreter::evaluateExpression(binary.right, env), env->limits());
}

[[gnu::noinline]] Value evaluateCall(const Expression::Call& call, const Scope& env) {
    const Value callee = Interpreter::evaluateExpression(call.callee, env);
    const std::vector<Value> args = evaluateArguments(call.args, env);
    return callValue(callee, args, evaluateKeywords(call.kwargs, env), env);
}

// The operand followed by the written arguments.
std::vector<Value> operandAndArguments(const Expression& operand, const ExpressionList& arguments,
                                       const Scope& env) {
    std::vector<Value> args;
    args.reserve(arguments.size() + 1);
    args.push_back(Interpreter::evaluateExpression(operand, env));
    for (const Expression& argument : arguments) {
        args.push_back(Interpreter::evaluateExpression(argument, env));
    }
    return args;
}

[[gnu::noinline]] Value evaluateFilter(const Expression::Filter& filter, const Scope& env) {
    const std::vector<Value> args = operandAndArguments(filter.operand, filter.args, env);
    return applyFilter(filter.name, filter.scopeHash, args, evaluateKeywords(filter.kwargs, env),
                       env);
}

using KindTest = bool (*)(const Value&);

// The built-in tests of a value's kind, in the order of kindTestNames: the commonest tests of
// chat templates (`is defined`, `is string`), run on the operand where it is stored.
constexpr KindTest kindTests[] = {
    [](const Value& v) { return !v.isUndefined(); },
    [](const Value& v) { return v.isUndefined(); },
    [](const Value& v) { return v.isNull(); },
    [](const Value& v) { return v.isString(); },
    [](const Value& v) { return v.isNumber(); },
    [](const Value& v) { return v.isBoolean(); },
    [](const Value& v) { return v.isIterable(); },
    [](const Value& v) { return v.isObject(); },
    [](const Value& v) { return v.isInt(); },
    [](const Value& v) { return v.isDouble(); },
    [](const Value& v) { return v.isString() || v.isArray(); },
    [](const Value& v) { return v.isBoolean() && v.asBool(); },
    [](const Value& v) { return v.isBoolean() && !v.asBool(); },
};
static_assert(std::size(kindTests) == std::size(kindTestNames));

[[gnu::noinline, gnu::hot]] bool isTestTrue(const Expression::Test& test, const Scope& env) {
    if (test.args.empty() && test.kindTest != 0) {
        Value storage;
        const Value& operand = evaluateBorrowed(test.operand, env, storage);
        // A function variable of the test's name is called instead, as evaluateTest does; most
        // chains have no variable of such a name at all.
        if (!env->chainBindsKindTestName(test.kindTest - 1)) {
            return kindTests[test.kindTest - 1](operand) != test.negated;
        }
        const Value* variable = findName(*env, test.name, test.scopeHash);
        if (!variable || !variable->isFunction()) {
            return kindTests[test.kindTest - 1](operand) != test.negated;
        }
        const std::vector<Value> args{operand};
        return evaluateTest(test.name, test.scopeHash, args, env) != test.negated;
    }
    const std::vector<Value> args = operandAndArguments(test.operand, test.args, env);
    return evaluateTest(test.name, test.scopeHash, args, env) != test.negated;
}

[[gnu::noinline]] Value evaluateSliceExpression(const Expression::Slice& slice, const Scope& env) {
    return evaluateSlice(Interpreter::evaluateExpression(slice.object, env), slice.start,
                         slice.stop, slice.step, env);
}

}  // namespace

namespace interpreter {

[[gnu::hot]] void appendOutput(const Expression& expression, const Scope& env, std::string& out) {
    if (const auto* name = expression.getIf<Expression::Identifier>()) {
        variable(*name, env).appendDescription(out, env->limits().maximumTextLength);
        return;
    }
    if (const auto* literal = expression.getIf<Expression::String>()) {
        appendText(out, literal->value, env->limits().maximumTextLength);
        return;
    }
    if (const auto* call = expression.getIf<Expression::Call>()) {
        // In the order evaluateCall() takes them; a macro's text goes straight into `out`.
        const Value callee = Interpreter::evaluateExpression(call->callee, env);
        // A macro's few arguments are held on the stack rather than in a vector of their own.
        std::array<Value, 4> held;
        if (callee.isMacro() && fitsHeldArguments(call->args, held.size())) {
            for (std::size_t i = 0; i < call->args.size(); ++i) {
                held[i] = Interpreter::evaluateExpression(call->args[i], env);
            }
            const std::span arguments(held.data(), call->args.size());
            if (call->kwargs.empty()) {
                static const KeywordValues none;
                appendMacroCall(callee.asMacro(), arguments, none, env, out);
                return;
            }
            const KeywordValues kwargs = evaluateKeywords(call->kwargs, env);
            appendMacroCall(callee.asMacro(), arguments, kwargs, env, out);
            return;
        }
        std::vector<Value> args = evaluateArguments(call->args, env);
        const KeywordValues kwargs = evaluateKeywords(call->kwargs, env);
        if (callee.isMacro()) {
            appendMacroCall(callee.asMacro(), args, kwargs, env, out);
        } else {
            callValue(callee, args, kwargs, env)
                .appendDescription(out, env->limits().maximumTextLength);
        }
        return;
    }
    if (const auto* member = expression.getIf<Expression::Member>()) {
        Value storage;
        const Value* value = memberInPlace(*member, env, storage);
        (value ? *value : storage).appendDescription(out, env->limits().maximumTextLength);
        return;
    }
    if (const auto* binary = expression.getIf<Expression::Binary>(); binary && isJoin(binary->op)) {
        Value result;
        if (!joinChain(*binary, env, out, result)) {
            result.appendDescription(out, env->limits().maximumTextLength);
        }
        return;
    }
    Interpreter::evaluateExpression(expression, env)
        .appendDescription(out, env->limits().maximumTextLength);
}

[[gnu::hot]] bool isTruthy(const Expression& expression, const Scope& env) {
    switch (expression.kind()) {
        case K::identifier:
            return variable(expression.as<Expression::Identifier>(), env).isTruthy();
        case K::member:
            return memberIsTruthy(expression.as<Expression::Member>(), env);
        case K::test:
            return isTestTrue(expression.as<Expression::Test>(), env);
        case K::unary: {
            const auto& unary = expression.as<Expression::Unary>();
            if (unary.op == Expression::UnaryOp::not_) {
                return !isTruthy(unary.operand, env);
            }
            break;
        }
        case K::binary: {
            // `a and b` is a or b, whichever decides, so its truth is that of the one that does.
            const auto& binary = expression.as<Expression::Binary>();
            if (binary.op == Expression::BinaryOp::and_) {
                return isTruthy(binary.left, env) && isTruthy(binary.right, env);
            }
            if (binary.op == Expression::BinaryOp::or_) {
                return isTruthy(binary.left, env) || isTruthy(binary.right, env);
            }
            if (const auto* text = comparedText(binary)) {
                return isTextComparisonTrue(binary, *text, env);
            }
            if (const auto* text = containmentText(binary)) {
                return isTextContainmentTrue(binary, *text, env);
            }
            break;
        }
        default:
            break;
    }
    return Interpreter::evaluateExpression(expression, env).isTruthy();
}

Value evaluateIterable(const Expression& expression, const Scope& env) {
    // `for k, v in x.items()`, the commonest loop over an object: the pairs are made straight
    // from the object, without first binding the method to it as a value to call.
    const auto* call = expression.getIf<Expression::Call>();
    const auto* member = call ? call->callee.getIf<Expression::Member>() : nullptr;
    const auto* name =
        member && !member->computed ? member->key.getIf<Expression::Identifier>() : nullptr;
    if (!name || name->name != "items" || !call->args.empty() || !call->kwargs.empty()) {
        return Interpreter::evaluateExpression(expression, env);
    }
    Value storage;
    const Value& receiver = evaluateBorrowed(member->object, env, storage);
    if (receiver.isObject()) {
        return Value(PropertyMembers::items(receiver.asObject()));
    }
    // Anything else goes on as evaluateMember() and evaluateCall() would from the receiver.
    const Value callee = receiver.isString()
                             ? PropertyMembers::evaluateStringProperty(receiver, name->name)
                             : Value::undefined();
    return callValue(callee, {}, {}, env);
}

}  // namespace interpreter

[[gnu::hot]] Value Interpreter::evaluateExpression(const Expression& expression, const Scope& env) {
    switch (expression.kind()) {
        case K::string:
            return Value::sharedText(expression.sharedString());
        case K::number:
            return Value(expression.as<Expression::Number>().value);
        case K::integer:
            return Value(expression.as<Expression::Integer>().value);
        case K::boolean:
            return Value(expression.as<Expression::Boolean>().value);
        case K::null:
            return Value();
        case K::array:
            return evaluateList(expression.as<Expression::Array>().items, env);
        case K::tuple:
            return evaluateList(expression.as<Expression::Tuple>().items, env);
        case K::object:
            return evaluateObject(expression.as<Expression::Object>().entries, env);
        case K::identifier:
            return variable(expression.as<Expression::Identifier>(), env);
        case K::unary: {
            const auto& unary = expression.as<Expression::Unary>();
            if (unary.op == Expression::UnaryOp::not_) {
                return Value(!isTruthy(unary.operand, env));
            }
            return evaluateUnaryValue(unary.op, evaluateExpression(unary.operand, env));
        }
        case K::binary:
            return evaluateBinary(expression.as<Expression::Binary>(), env);
        case K::ternary: {
            const auto& ternary = expression.as<Expression::Ternary>();
            if (isTruthy(ternary.test, env)) {
                return evaluateExpression(ternary.value, env);
            }
            return ternary.alternate ? evaluateExpression(*ternary.alternate, env) : Value();
        }
        case K::call:
            return evaluateCall(expression.as<Expression::Call>(), env);
        case K::member:
            return evaluateMember(expression.as<Expression::Member>(), env);
        case K::slice:
            return evaluateSliceExpression(expression.as<Expression::Slice>(), env);
        case K::filter:
            return evaluateFilter(expression.as<Expression::Filter>(), env);
        case K::test:
            return Value(isTestTrue(expression.as<Expression::Test>(), env));
    }
    return Value::undefined();
}

bool Interpreter::evaluateTest(std::string_view name, const std::vector<Value>& args,
                               const Scope& env) {
    return interpreter::evaluateTest(name, 0, args, env);
}

bool interpreter::evaluateTest(std::string_view name, std::uint64_t scopeHash,
                               const std::vector<Value>& args, const Scope& env) {
    static const KeywordValues noKeywords;
    const Value* variable = findName(*env, name, scopeHash);
    if (variable && variable->isFunction()) {
        const Value result = variable->asFunction()(args, noKeywords, env);
        return result.isBoolean() ? result.asBool() : result.isTruthy();
    }
    const TestTable& tests = Tests::builtIn();
    const auto found = tests.find(name);
    if (found == tests.end()) {
        throw TemplateError::runtime("Unknown test: " + std::string(name));
    }
    return found->second(args, noKeywords, env);
}

Value Interpreter::applyFilter(std::string_view name, const std::vector<Value>& args,
                               const KeywordValues& kwargs, const Scope& env) {
    return interpreter::applyFilter(name, 0, args, kwargs, env);
}

Value interpreter::applyFilter(std::string_view name, std::uint64_t scopeHash,
                               const std::vector<Value>& args, const KeywordValues& kwargs,
                               const Scope& env) {
    const Value* variable = findName(*env, name, scopeHash);
    if (variable && variable->isFunction()) {
        // Held by value: the function may rebind the variable while it runs.
        const Value function = *variable;
        return function.asFunction()(args, kwargs, env);
    }
    const FilterTable& filters = Filters::builtIn();
    const auto found = filters.find(name);
    if (found == filters.end()) {
        throw TemplateError::runtime("Unknown filter: " + std::string(name));
    }
    Value result = found->second(args, kwargs, env);
    // Filters whose text can outgrow a text they were given within the limit (case mapping,
    // escaping) grow it by a small factor at most; the limit still holds for what they return.
    if (result.isString()) {
        checkTextLength(result.asString().size(), env->limits());
    }
    return result;
}

Value Interpreter::evaluateUnaryValue(Expression::UnaryOp op, const Value& operand) {
    switch (op) {
        case Expression::UnaryOp::not_:
            return Value(!operand.isTruthy());
        case Expression::UnaryOp::minus:
            if (operand.isInt()) {
                if (operand.asInt() == std::numeric_limits<std::int64_t>::min()) {
                    throw TemplateError::runtime("Integer overflow in negation (" +
                                                 operand.description() + ")");
                }
                return Value(-operand.asInt());
            }
            if (operand.isDouble()) {
                return Value(-operand.asDouble());
            }
            throw TemplateError::runtime("Cannot negate non-numeric value");
        case Expression::UnaryOp::plus:
            if (operand.isNumber()) {
                return operand;
            }
            throw TemplateError::runtime("Cannot apply unary plus to non-numeric value");
        case Expression::UnaryOp::splat:
            break;
    }
    throw TemplateError::runtime("Unpacking operator can only be used in function calls");
}

Value Interpreter::evaluateBinaryValues(Expression::BinaryOp op, const Value& left,
                                        const Value& right, const RenderLimits& limits) {
    using Op = Expression::BinaryOp;
    switch (op) {
        case Op::add:
            return left.add(right, limits);
        case Op::subtract:
            return left.subtract(right);
        case Op::multiply:
            return left.multiply(right, limits);
        case Op::divide:
            return left.divide(right);
        case Op::floorDivide:
            return left.floorDivide(right);
        case Op::power:
            return left.power(right);
        case Op::modulo:
            return left.modulo(right);
        case Op::concat:
            return left.concatenate(right, limits);
        case Op::equal:
            return Value(left.isEquivalent(right));
        case Op::notEqual:
            return Value(!left.isEquivalent(right));
        case Op::less:
            return Value(left.compare(right) < 0);
        case Op::lessEqual:
            return Value(left.compare(right) < 1);
        case Op::greater:
            return Value(left.compare(right) > 0);
        case Op::greaterEqual:
            return Value(left.compare(right) >= 0);
        case Op::and_:
            return left.isTruthy() ? right : left;
        case Op::or_:
            return left.isTruthy() ? left : right;
        case Op::in:
            return Value(left.isContained(right));
        case Op::notIn:
            return Value(!left.isContained(right));
    }
    return Value::undefined();
}

Value Interpreter::evaluateComputedMember(const Value& receiver, const Value& key) {
    if (receiver.isObject()) {
        const Value* value = nullptr;
        if (key.isString()) {
            value = findValue(receiver.asObject(), key.asString());
        } else if (key.isInt()) {
            value = receiver.asObject().get(ObjectKey(key.asInt()));
        }
        return value ? *value : Value::undefined();
    }
    if (!key.isInt() || (!receiver.isArray() && !receiver.isString())) {
        return Value::undefined();
    }
    std::int64_t index = key.asInt();
    if (receiver.isArray()) {
        const auto n = static_cast<std::int64_t>(receiver.asArray().size());
        if (index < 0) {
            index += n;
        }
        return index >= 0 && index < n ? receiver.asArray()[static_cast<std::size_t>(index)]
                                       : Value::undefined();
    }
    const std::string& text = receiver.asString();
    bool oneBytePerCharacter = false;
    const std::vector<std::size_t> boundaries = characterBoundaries(text, oneBytePerCharacter);
    const auto n =
        static_cast<std::int64_t>(oneBytePerCharacter ? text.size() : boundaries.size() - 1);
    if (index < 0) {
        index += n;
    }
    if (index < 0 || index >= n) {
        return Value::undefined();
    }
    const auto at = static_cast<std::size_t>(index);
    if (oneBytePerCharacter) {
        return Value(std::string(1, text[at]));
    }
    return Value(text.substr(boundaries[at], boundaries[at + 1] - boundaries[at]));
}

}  // namespace templates
