// Macro calls and for loops: the two places where the interpreter makes scopes of its own.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <new>
#include <span>
#include <tuple>
#include <utility>

#include "InterpreterInternals.h"
#include "LimitErrors.h"
#include "templates/Interpreter.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

using namespace interpreter;

namespace {

// Binds the call's arguments in a new scope below `env` and renders the body into `out`. Arguments
// given as std::span<Value> are moved into the scope, as std::span<const Value> copied.
template <class Arguments>
[[gnu::hot]] void renderMacro(const Macro& macro, Arguments arguments,
                              const KeywordValues& keywordArguments, const Scope& env,
                              std::string& out) {
    CallDepth depth(*env);
    Scope scope = Environment::makeChild(env);
    // `caller`, where the call has one, is seen through the chain like any name of the caller's.
    Environment::Variables& variables = scope->variables();
    variables.reserve(macro.defaults.size() + macro.parameters.size() + keywordArguments.size());
    std::shared_ptr<const Macro::CallLayout> built;
    const Macro::CallLayout* layout = macro.callLayout.get();
    if (layout == nullptr) {
        built = Macro::CallLayout::of(macro);
        layout = built.get();
    }
    variables.bindFresh(layout->names, layout->hashes,
                        {.nameBits = layout->nameBits, .kindTestNames = layout->kindTestNames});
    // Defaults are evaluated at the call site, every time, so they cannot see the other
    // parameters.
    std::size_t position = 0;
    for (const auto& [name, expression] : macro.defaults) {
        variables.at(position++) = Interpreter::evaluateExpression(expression, env);
    }
    for (std::size_t i = 0; i < macro.parameters.size(); ++i) {
        const std::uint32_t slot = layout->parameterSlots[i] & ~Macro::CallLayout::boundBefore;
        if (i < arguments.size()) {
            variables.at(slot) = std::move(arguments[i]);
        } else if ((layout->parameterSlots[i] & Macro::CallLayout::boundBefore) == 0) {
            // No argument and no default: the caller's variable of that name, if any.
            const Value* found = env->findCanonical(layout->names[slot], layout->hashes[slot]);
            variables.at(slot) = found ? *found : Value::undefined();
        }
    }
    for (const auto& [name, value] : keywordArguments) {
        scope->set(name, value);
    }
    const Flow flow = run(macro.body, scope, out);
    Environment::recycle(std::move(scope));
    if (flow != Flow::normal) {
        throw toControlFlow(flow);
    }
}

}  // namespace

Value Interpreter::callMacro(const Macro& macro, const std::vector<Value>& arguments,
                             const KeywordValues& keywordArguments, const Scope& env) {
    std::string out;
    renderMacro(macro, std::span<const Value>(arguments), keywordArguments, env, out);
    return Value(std::move(out));
}

[[gnu::hot]] void interpreter::appendMacroCall(const Macro& macro, std::span<Value> arguments,
                                               const KeywordValues& keywordArguments,
                                               const Scope& env, std::string& out) {
    Environment::RenderState& state = env->renderState();
    const std::size_t start = out.size();
    // The enclosing macro's text and start come back however the call ends.
    const auto enclosing = std::make_pair(std::exchange(state.macroText, &out),
                                          std::exchange(state.macroTextStart, start));
    struct Restore {
        Environment::RenderState& state;
        std::pair<const std::string*, std::size_t> enclosing;
        ~Restore() { std::tie(state.macroText, state.macroTextStart) = enclosing; }
    } restore{state, enclosing};
    try {
        renderMacro(macro, arguments, keywordArguments, env, out);
    } catch (...) {
        // As if the body had rendered into a text of its own, which the failure dropped.
        out.resize(start);
        throw;
    }
}

namespace {

constexpr std::string_view loopKeyNames[] = {"index",    "index0",   "first",     "last",
                                             "length",   "revindex", "revindex0", "previtem",
                                             "nextitem", "cycle"};

const Value::Object::Keys& loopKeys() {
    static const Value::Object::Keys keys = [] {
        std::vector<ObjectKey> names;
        for (const std::string_view name : loopKeyNames) {
            names.emplace_back(std::string(name));
        }
        return Value::Object::Keys(names.begin(), names.end());
    }();
    return keys;
}

// Unrolled so that each comparison knows its key's length and compares in place: a loop asks
// this on every iteration.
template <std::size_t I>
bool hasLoopKeyAt(const Value::Object& object) {
    constexpr std::string_view name = loopKeyNames[I];
    const ObjectKey& key = object.keys()[I];
    if (!key.isString()) {
        return false;
    }
    // The length is a constant here, so the comparison compiles to a few loads.
    const std::string& text = key.asString();
    return text.size() == name.size() && std::memcmp(text.data(), name.data(), name.size()) == 0;
}

template <std::size_t... I>
bool hasLoopKeysAt(const Value::Object& object, std::index_sequence<I...>) {
    return (hasLoopKeyAt<I>(object) && ...);
}

bool hasLoopKeys(const Value::Object& object) {
    return object.size() == std::size(loopKeyNames) &&
           hasLoopKeysAt(object, std::make_index_sequence<std::size(loopKeyNames)>());
}

// `loop.cycle`: the positional value at the loop's position modulo their count.
struct Cycle {
    std::size_t index;
    Value operator()(const std::vector<Value>& args, const KeywordValues&, const Scope&) const {
        return args.empty() ? Value(std::string()) : args[index % args.size()];
    }
};

// Every member but `cycle`. Returns the depth of the deepest member, `cycle` aside (a function,
// of depth 0).
//
// `current`, when given, is the binding of the loop's one name, still holding the previous item
// unless the body rebound it. Then the items move along instead of being copied: that item
// becomes `previtem`, the last `nextitem` becomes the binding and only the new `nextitem` is a
// copy. `shifted` tells whether they did; if not, the binding is left as it was.
[[gnu::hot]] std::size_t fillLoopPosition(std::span<Value> values, std::span<const Value> items,
                                          std::size_t index, Value* current = nullptr,
                                          bool* shifted = nullptr) {
    const auto n = static_cast<std::int64_t>(items.size());
    const auto i = static_cast<std::int64_t>(index);
    values[0].setScalar(i + 1);
    values[1].setScalar(i);
    values[2].setScalar(i == 0);
    values[3].setScalar(i == n - 1);
    values[4].setScalar(n);
    values[5].setScalar(n - i);
    values[6].setScalar(n - i - 1);
    if (current != nullptr && i > 0 && current->isSameHolding(items[index - 1]) &&
        values[8].isSameHolding(items[index])) {
        values[7] = std::move(*current);
        *current = std::move(values[8]);
        *shifted = true;
    } else {
        values[7] = i > 0 ? items[index - 1] : Value::undefined();
    }
    values[8] = i < n - 1 ? items[index + 1] : Value::undefined();
    return std::max(values[7].depth(), values[8].depth());
}

constexpr std::size_t cyclePosition = 9;

// The `loop` object of a running loop, which the loop keeps a reference to: while the object and
// its `cycle` are held by the loop's scope and here only, the loop moves them on to the next
// position in place rather than build new ones for every item. Anything else bound to `loop`
// (the template may rebind it), or an object someone else holds too, is replaced by a new one.
class LoopObject {
public:
    // Takes on `spare`, the object of a loop that ended, when there is one.
    explicit LoopObject(Value& spare) {
        if (spare.isObject() && hasLoopKeys(spare.asObject())) {
            hold(spare);
        }
    }

    // Returns whether it also bound the item to `current` (see fillLoopPosition()).
    bool advance(Value& bound, std::span<const Value> items, std::size_t index, Value* current) {
        bool shifted = false;
        const bool advanced = bound.changeObjectHeldWith(object_, [&](Value::Object& object) {
            const std::span<Value> values = object.values();
            const std::size_t deepest = fillLoopPosition(values, items, index, current, &shifted);
            if (!values[cyclePosition].changeFunctionHeldWith(
                    cycle_, [&](BuiltinFunction&) { cycleTarget_->index = index; })) {
                values[cyclePosition] = Value::function(Cycle{index});
                holdCycle(values[cyclePosition]);
            }
            return deepest;
        });
        if (!advanced) {
            bound = Interpreter::makeLoopObject(items, index);
            hold(bound);
        }
        return shifted;
    }

    // Gives the loop's object up to be the next loop's spare, when `bound` is still that object.
    void giveUp(const Value& bound, Value& spare) {
        if (bound.isObject() && object_.isObject() && &bound.asObject() == &object_.asObject()) {
            cycle_ = Value::undefined();
            spare = std::move(object_);
        }
    }

private:
    void hold(const Value& object) {
        object_ = object;
        holdCycle(object.asObject().values()[cyclePosition]);
    }
    void holdCycle(const Value& cycle) {
        cycle_ = cycle;
        cycleTarget_ = nullptr;
        if (cycle.isFunction()) {
            cycleTarget_ = const_cast<BuiltinFunction&>(cycle.asFunction()).target<Cycle>();
        }
        if (cycleTarget_ == nullptr) {
            cycle_ = Value::undefined();  // never changed in place
        }
    }

    Value object_ = Value::undefined();
    Value cycle_ = Value::undefined();
    Cycle* cycleTarget_ = nullptr;
};

}  // namespace

Value Interpreter::makeLoopObject(std::span<const Value> items, std::size_t index) {
    std::vector<Value> values(loopKeys().size());
    fillLoopPosition(values, items, index);
    values[cyclePosition] = Value::function(Cycle{index});
    return Value(Value::Object(loopKeys(), std::move(values)));
}

namespace interpreter {

namespace {

// The `loop` object of the loop that ended last on this thread, kept for the next loop to fill
// in rather than build anew, in this rendering or the next; undefined when there is none.
Value& spareLoopObject() {
    thread_local Value spare = Value::undefined();
    return spare;
}

// What the items came from decides how a tuple of names unpacks them.
enum class Source : std::uint8_t { array, object, string };

// The loop's names, bound in the loop's scope for each item. Each name's scope position is
// looked up on its first binding and kept: an item that binds nothing (a non-array item for a
// tuple of names) leaves the name to the enclosing scopes, as if the loop had no such name yet.
class LoopVariables {
public:
    LoopVariables(const Statement::LoopVar& target, Source source, Environment& scope)
        : source_(source), variables_(scope.variables()), hashes_(target.nameHashes()) {
        if (target.kind() == Statement::LoopVar::Kind::single) {
            names_ = std::span(&target.name(), 1);
        } else {
            tuple_ = true;
            names_ = std::span(target.names().begin(), target.names().end());
        }
        // Loops name one or two things, so their slots are kept here unless there are many.
        if (names_.size() <= shortSlots_.size()) {
            shortSlots_.fill(unbound);
            slots_ = std::span(shortSlots_.data(), names_.size());
        } else {
            longSlots_.assign(names_.size(), unbound);
            slots_ = longSlots_;
        }
    }
    LoopVariables(const LoopVariables&) = delete;
    LoopVariables& operator=(const LoopVariables&) = delete;

    // The binding of the loop's one name, once bound, unless that is `slot` too; else null.
    Value* singleBinding(std::size_t slot) {
        if (tuple_ || slots_[0] == unbound || slots_[0] == slot) {
            return nullptr;
        }
        return &variables_.at(slots_[0]);
    }

    void bind(const Value& item) {
        if (!tuple_) {
            assign(0, item);
        } else if (source_ == Source::string) {
            for (std::size_t j = 0; j < names_.size(); ++j) {
                assign(j, j == 0 ? item : Value::undefined());
            }
        } else if (item.isArray()) {
            // Object entries arrive as [key, value] pairs and unpack like arrays.
            const Value::Array& parts = item.asArray();
            // Each part is copied once, into its binding, rather than first into a temporary.
            static const Value undefined = Value::undefined();
            for (std::size_t j = 0; j < names_.size(); ++j) {
                assign(j, j < parts.size() ? parts[j] : undefined);
            }
        }
    }

private:
    static constexpr std::size_t unbound = static_cast<std::size_t>(-1);

    void assign(std::size_t j, const Value& value) {
        if (slots_[j] == unbound) {
            slots_[j] = hashes_.empty() ? variables_.slot(names_[j])
                                        : variables_.slotCanonical(names_[j], hashes_[j]);
        }
        variables_.at(slots_[j]) = value;
    }

    Source source_;
    Environment::Variables& variables_;
    std::span<const std::string> names_;
    const SharedArray<std::uint64_t>& hashes_;
    std::array<std::size_t, 4> shortSlots_;
    std::vector<std::size_t> longSlots_;
    std::span<std::size_t> slots_;
    bool tuple_ = false;
};

}  // namespace

void releaseSpareLoopItems() noexcept {
    spareLoopObject().changeUniqueObject([](Value::Object& object) {
        object.values()[7].setUndefined();  // previtem
        object.values()[8].setUndefined();  // nextitem
    });
}

Flow executeFor(const Statement::For& loop, const Scope& env, std::string& out) {
    const Value iterable = evaluateIterable(loop.iterable, env);
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
                owned.push_back(tuple ? Value(std::vector<Value>{Value(key), value}) : Value(key));
            }
            items = owned;
            break;
        }
        case Value::Kind::string:
            source = Source::string;
            checkCharacterCount(iterable.asString(), env->limits());
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
    Scope scope = Environment::makeChild(env);
    // The loop's names and `loop` itself.
    scope->variables().reserve((tuple ? loop.loopVar.names().size() : 1) + 1);
    LoopVariables loopVariables(loop.loopVar, source, *scope);
    if (loop.test) {
        // The loop's filter decides first, so that `loop` counts only the items it keeps.
        std::vector<Value> kept;
        for (const Value& item : items) {
            countStep(*env);
            loopVariables.bind(item);
            if (isTruthy(*loop.test, scope)) {
                kept.push_back(item);
            }
        }
        if (kept.empty()) {
            return run(loop.elseBody, env, out);
        }
        owned = std::move(kept);
        items = owned;
    }
    // Bound only now, so that the loop's filter saw an enclosing loop's `loop`.
    static const std::uint64_t loopHash = scopeNameHash("loop");
    const std::size_t loopSlot = scope->variables().slotCanonical("loop", loopHash);
    Value& spare = spareLoopObject();
    scope->variables().at(loopSlot) = std::exchange(spare, Value::undefined());
    LoopObject loopObject(scope->variables().at(loopSlot));
    for (std::size_t i = 0; i < items.size(); ++i) {
        countStep(*env);
        // Taken anew for every item: the body may bind names here, which moves the bindings.
        Value* const current = i > 0 ? loopVariables.singleBinding(loopSlot) : nullptr;
        if (current == nullptr) {
            loopVariables.bind(items[i]);
        }
        if (!loopObject.advance(scope->variables().at(loopSlot), items, i, current) &&
            current != nullptr) {
            loopVariables.bind(items[i]);
        }
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
    // Shared with the scope until the scope goes: the next loop finds it held only here.
    loopObject.giveUp(scope->variables().at(loopSlot), spare);
    Environment::recycle(std::move(scope));
    return Flow::normal;
}

}  // namespace interpreter

}  // namespace templates
