// Construction, structural equality and structural hashing of Expression, Statement and Node.
#include <algorithm>
#include <array>
#include <bit>

#include "Operators.h"
#include "templates/Environment.h"
#include "templates/Expression.h"
#include "templates/Node.h"
#include "templates/Statement.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

std::uint64_t ownScopeHash(std::string_view name) {
    return unicode::isAscii(name) ? scopeNameHash(name) : 0;
}

// --- Equality helpers ------------------------------------------------------------------------

bool textEqual(const std::string& a, const std::string& b) {
    return unicode::canonicallyEquivalent(a, b);
}

template <class T, class Equal>
bool listsEqual(const SharedArray<T>& a, const SharedArray<T>& b, Equal equal) {
    if (a.sharesStorageWith(b)) {
        return true;
    }
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!equal(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

bool listsEqual(const ExpressionList& a, const ExpressionList& b) {
    return listsEqual(a, b, std::equal_to<Expression>());
}

bool listsEqual(const NameList& a, const NameList& b) {
    return listsEqual(a, b, textEqual);
}

template <class T>
bool optionalsEqual(const std::optional<T>& a, const std::optional<T>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a || *a == *b;
}

// Ordered maps compare their key lists in order first, then their value lists.
template <class Map, class KeyEqual>
bool orderedMapsEqual(const Map& a, const Map& b, KeyEqual keyEqual) {
    if (&a == &b) {
        return true;
    }
    if (a.size() != b.size()) {
        return false;
    }
    const auto& aKeys = a.keys();
    const auto& bKeys = b.keys();
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!keyEqual(aKeys[i], bKeys[i])) {
            return false;
        }
    }
    const auto aValues = a.values();
    const auto bValues = b.values();
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(aValues[i] == bValues[i])) {
            return false;
        }
    }
    return true;
}

bool keywordsEqual(const KeywordArguments& a, const KeywordArguments& b) {
    if (&a == &b) {
        return true;
    }
    if (a.size() != b.size()) {
        return false;
    }
    for (const auto& [name, value] : a) {
        const auto other = b.find(name);
        if (other == b.end() || !(other->second == value)) {
            return false;
        }
    }
    return true;
}

// --- Hashing helpers -------------------------------------------------------------------------

void feedText(Hasher& hasher, const std::string& text) {
    unicode::combineText(hasher, text);
}

void feedBool(Hasher& hasher, bool value) {
    hasher.combineByte(value ? 1 : 0);
}

void feedDouble(Hasher& hasher, double value) {
    // Both zeros are equal, so both feed the bits of +0.0.
    hasher.combineWord(value == 0.0 ? 0 : std::bit_cast<std::uint64_t>(value));
}

template <class T>
void feedOptional(Hasher& hasher, const std::optional<T>& value) {
    feedBool(hasher, value.has_value());
    if (value) {
        value->hashInto(hasher);
    }
}

void feedList(Hasher& hasher, const ExpressionList& list) {
    hasher.combineWord(list.size());
    for (const Expression& e : list) {
        e.hashInto(hasher);
    }
}

void feedList(Hasher& hasher, const NameList& list) {
    hasher.combineWord(list.size());
    for (const std::string& name : list) {
        feedText(hasher, name);
    }
}

void feedOptional(Hasher& hasher, const std::optional<ExpressionList>& list) {
    feedBool(hasher, list.has_value());
    if (list) {
        feedList(hasher, *list);
    }
}

void feedKey(Hasher& hasher, const ObjectKey& key) {
    key.hashInto(hasher);
}

void feedKey(Hasher& hasher, const std::string& key) {
    feedText(hasher, key);
}

template <class Map>
void feedOrderedMap(Hasher& hasher, const Map& map) {
    hasher.combineWord(map.size());
    for (const auto& [key, value] : map) {
        feedKey(hasher, key);
        value.hashInto(hasher);
    }
}

// Each entry is hashed on its own copy of the hasher and the results are combined by exclusive
// or, so the feed does not depend on the map's iteration order.
void feedKeywords(Hasher& hasher, const KeywordArguments& keywords) {
    std::uint64_t combined = 0;
    for (const auto& [name, value] : keywords) {
        Hasher entry = hasher;
        feedText(entry, name);
        value.hashInto(entry);
        combined ^= entry.finalize();
    }
    hasher.combineWord(combined);
}

// --- Depth -----------------------------------------------------------------------------------

std::size_t deepest(const ExpressionList& list) {
    std::size_t depth = 0;
    for (const Expression& e : list) {
        depth = std::max(depth, e.depth());
    }
    return depth;
}

std::size_t deepest(const std::optional<Expression>& e) {
    return e ? e->depth() : 0;
}

std::size_t deepest(const KeywordArguments& keywords) {
    std::size_t depth = 0;
    for (const auto& entry : keywords) {
        depth = std::max(depth, entry.second.depth());
    }
    return depth;
}

constexpr std::array<std::string_view, 4> unaryRawValues = {"not", "-", "+", "*"};

}  // namespace

// --- Expression ------------------------------------------------------------------------------

Expression Expression::make(Payload payload, std::size_t depth, bool onlyReads) {
    return Expression(std::make_shared<const Box>(Box{std::move(payload), depth, onlyReads}));
}

namespace {

bool allOnlyRead(const ExpressionList& list) {
    return std::all_of(list.begin(), list.end(), [](const Expression& e) { return e.onlyReads(); });
}

bool allOnlyRead(const std::optional<Expression>& e) {
    return !e || e->onlyReads();
}

}  // namespace

Expression Expression::string(std::string value) {
    return make(String{std::move(value)}, 1, true);
}
Expression Expression::number(double value) {
    return make(Number{value}, 1, true);
}
Expression Expression::integer(std::int64_t value) {
    return make(Integer{value}, 1, true);
}
Expression Expression::boolean(bool value) {
    return make(Boolean{value}, 1, true);
}
Expression Expression::null() {
    // Payload-free, so every null may share one box.
    static const Expression shared = make(Null{}, 1, true);
    return shared;
}
Expression Expression::array(ExpressionList items) {
    const std::size_t depth = 1 + deepest(items);
    const bool onlyReads = allOnlyRead(items);
    return make(Array{std::move(items)}, depth, onlyReads);
}
Expression Expression::tuple(ExpressionList items) {
    const std::size_t depth = 1 + deepest(items);
    const bool onlyReads = allOnlyRead(items);
    return make(Tuple{std::move(items)}, depth, onlyReads);
}
Expression Expression::object(ObjectEntries entries) {
    std::size_t depth = 0;
    bool onlyReads = true;
    for (const Expression& value : entries.values()) {
        depth = std::max(depth, value.depth());
        onlyReads = onlyReads && value.onlyReads();
    }
    return make(Object{std::move(entries)}, 1 + depth, onlyReads);
}
Expression Expression::identifier(std::string name) {
    const std::uint64_t bit = ownScopeHash(name);
    return make(Identifier{std::move(name), bit}, 1, true);
}
Expression Expression::unary(UnaryOp op, Expression operand) {
    const std::size_t depth = 1 + operand.depth();
    const bool onlyReads = operand.onlyReads();
    return make(Unary{op, std::move(operand)}, depth, onlyReads);
}
Expression Expression::binary(BinaryOp op, Expression left, Expression right) {
    const std::size_t depth = 1 + std::max(left.depth(), right.depth());
    const bool onlyReads = left.onlyReads() && right.onlyReads();
    return make(Binary{op, std::move(left), std::move(right)}, depth, onlyReads);
}
Expression Expression::ternary(Expression value, Expression test,
                               std::optional<Expression> alternate) {
    const std::size_t depth = 1 + std::max({value.depth(), test.depth(), deepest(alternate)});
    const bool onlyReads = value.onlyReads() && test.onlyReads() && allOnlyRead(alternate);
    return make(Ternary{std::move(value), std::move(test), std::move(alternate)}, depth, onlyReads);
}
Expression Expression::call(Expression callee, ExpressionList args, KeywordArguments kwargs) {
    const std::size_t depth = 1 + std::max({callee.depth(), deepest(args), deepest(kwargs)});
    return make(Call{std::move(callee), std::move(args), std::move(kwargs)}, depth, false);
}
Expression Expression::member(Expression object, Expression key, bool computed) {
    const std::size_t depth = 1 + std::max(object.depth(), key.depth());
    const bool onlyReads = object.onlyReads() && key.onlyReads();
    return make(Member{std::move(object), std::move(key), computed}, depth, onlyReads);
}
Expression Expression::slice(Expression object, std::optional<Expression> start,
                             std::optional<Expression> stop, std::optional<Expression> step) {
    const std::size_t depth =
        1 + std::max({object.depth(), deepest(start), deepest(stop), deepest(step)});
    const bool onlyReads =
        object.onlyReads() && allOnlyRead(start) && allOnlyRead(stop) && allOnlyRead(step);
    return make(Slice{std::move(object), std::move(start), std::move(stop), std::move(step)}, depth,
                onlyReads);
}
Expression Expression::filter(Expression operand, std::string name, ExpressionList args,
                              KeywordArguments kwargs) {
    const std::size_t depth = 1 + std::max({operand.depth(), deepest(args), deepest(kwargs)});
    const std::uint64_t bit = ownScopeHash(name);
    return make(
        Filter{std::move(operand), std::move(name), std::move(args), std::move(kwargs), bit}, depth,
        false);
}
Expression Expression::test(Expression operand, std::string name, ExpressionList args,
                            bool negated) {
    const std::size_t depth = 1 + std::max(operand.depth(), deepest(args));
    const std::uint64_t bit = ownScopeHash(name);
    std::uint8_t kindTest = 0;
    for (std::size_t i = 0; i < std::size(kindTestNames); ++i) {
        if (kindTestNames[i] == name) {
            kindTest = static_cast<std::uint8_t>(i + 1);
        }
    }
    return make(Test{std::move(operand), std::move(name), std::move(args), negated, bit, kindTest},
                depth, false);
}

bool operator==(const Expression& a, const Expression& b) {
    using K = Expression::Kind;
    if (a.kind() != b.kind()) {
        return false;
    }
    switch (a.kind()) {
        case K::string:
            return textEqual(a.as<Expression::String>().value, b.as<Expression::String>().value);
        case K::number:
            return a.as<Expression::Number>().value == b.as<Expression::Number>().value;
        case K::integer:
            return a.as<Expression::Integer>().value == b.as<Expression::Integer>().value;
        case K::boolean:
            return a.as<Expression::Boolean>().value == b.as<Expression::Boolean>().value;
        case K::null:
            return true;
        case K::array:
            return listsEqual(a.as<Expression::Array>().items, b.as<Expression::Array>().items);
        case K::tuple:
            return listsEqual(a.as<Expression::Tuple>().items, b.as<Expression::Tuple>().items);
        case K::object:
            return orderedMapsEqual(a.as<Expression::Object>().entries,
                                    b.as<Expression::Object>().entries, std::equal_to<ObjectKey>());
        case K::identifier:
            return textEqual(a.as<Expression::Identifier>().name,
                             b.as<Expression::Identifier>().name);
        case K::unary: {
            const auto& x = a.as<Expression::Unary>();
            const auto& y = b.as<Expression::Unary>();
            return x.op == y.op && x.operand == y.operand;
        }
        case K::binary: {
            const auto& x = a.as<Expression::Binary>();
            const auto& y = b.as<Expression::Binary>();
            return x.op == y.op && x.left == y.left && x.right == y.right;
        }
        case K::ternary: {
            const auto& x = a.as<Expression::Ternary>();
            const auto& y = b.as<Expression::Ternary>();
            return x.value == y.value && x.test == y.test &&
                   optionalsEqual(x.alternate, y.alternate);
        }
        case K::call: {
            const auto& x = a.as<Expression::Call>();
            const auto& y = b.as<Expression::Call>();
            return x.callee == y.callee && listsEqual(x.args, y.args) &&
                   keywordsEqual(x.kwargs, y.kwargs);
        }
        case K::member: {
            const auto& x = a.as<Expression::Member>();
            const auto& y = b.as<Expression::Member>();
            return x.object == y.object && x.key == y.key && x.computed == y.computed;
        }
        case K::slice: {
            const auto& x = a.as<Expression::Slice>();
            const auto& y = b.as<Expression::Slice>();
            return x.object == y.object && optionalsEqual(x.start, y.start) &&
                   optionalsEqual(x.stop, y.stop) && optionalsEqual(x.step, y.step);
        }
        case K::filter: {
            const auto& x = a.as<Expression::Filter>();
            const auto& y = b.as<Expression::Filter>();
            return x.operand == y.operand && textEqual(x.name, y.name) &&
                   listsEqual(x.args, y.args) && keywordsEqual(x.kwargs, y.kwargs);
        }
        case K::test: {
            const auto& x = a.as<Expression::Test>();
            const auto& y = b.as<Expression::Test>();
            return x.operand == y.operand && textEqual(x.name, y.name) &&
                   listsEqual(x.args, y.args) && x.negated == y.negated;
        }
    }
    return false;
}

void Expression::hashInto(Hasher& hasher) const {
    hasher.combineWord(static_cast<std::uint64_t>(kind()));
    switch (kind()) {
        case Kind::string:
            feedText(hasher, as<String>().value);
            break;
        case Kind::number:
            feedDouble(hasher, as<Number>().value);
            break;
        case Kind::integer:
            hasher.combineWord(static_cast<std::uint64_t>(as<Integer>().value));
            break;
        case Kind::boolean:
            feedBool(hasher, as<Boolean>().value);
            break;
        case Kind::null:
            break;
        case Kind::array:
            feedList(hasher, as<Array>().items);
            break;
        case Kind::tuple:
            feedList(hasher, as<Tuple>().items);
            break;
        case Kind::object:
            feedOrderedMap(hasher, as<Object>().entries);
            break;
        case Kind::identifier:
            feedText(hasher, as<Identifier>().name);
            break;
        case Kind::unary: {
            const auto& x = as<Unary>();
            unicode::combineText(hasher, rawValue(x.op));
            x.operand.hashInto(hasher);
            break;
        }
        case Kind::binary: {
            const auto& x = as<Binary>();
            unicode::combineText(hasher, rawValue(x.op));
            x.left.hashInto(hasher);
            x.right.hashInto(hasher);
            break;
        }
        case Kind::ternary: {
            const auto& x = as<Ternary>();
            x.value.hashInto(hasher);
            x.test.hashInto(hasher);
            feedOptional(hasher, x.alternate);
            break;
        }
        case Kind::call: {
            const auto& x = as<Call>();
            x.callee.hashInto(hasher);
            feedList(hasher, x.args);
            feedKeywords(hasher, x.kwargs);
            break;
        }
        case Kind::member: {
            const auto& x = as<Member>();
            x.object.hashInto(hasher);
            x.key.hashInto(hasher);
            feedBool(hasher, x.computed);
            break;
        }
        case Kind::slice: {
            const auto& x = as<Slice>();
            x.object.hashInto(hasher);
            feedOptional(hasher, x.start);
            feedOptional(hasher, x.stop);
            feedOptional(hasher, x.step);
            break;
        }
        case Kind::filter: {
            const auto& x = as<Filter>();
            x.operand.hashInto(hasher);
            feedText(hasher, x.name);
            feedList(hasher, x.args);
            feedKeywords(hasher, x.kwargs);
            break;
        }
        case Kind::test: {
            const auto& x = as<Test>();
            x.operand.hashInto(hasher);
            feedText(hasher, x.name);
            feedList(hasher, x.args);
            feedBool(hasher, x.negated);
            break;
        }
    }
}

std::string_view Expression::rawValue(UnaryOp op) noexcept {
    return unaryRawValues[static_cast<std::size_t>(op)];
}

std::string_view Expression::rawValue(BinaryOp op) noexcept {
    return binaryOperators[static_cast<std::size_t>(op)].text;
}

std::optional<Expression::UnaryOp> Expression::unaryOp(std::string_view raw) noexcept {
    for (std::size_t i = 0; i < unaryRawValues.size(); ++i) {
        if (unaryRawValues[i] == raw) {
            return static_cast<UnaryOp>(i);
        }
    }
    return std::nullopt;
}

std::optional<Expression::BinaryOp> Expression::binaryOp(std::string_view raw) noexcept {
    for (const BinaryOperator& row : binaryOperators) {
        if (row.text == raw) {
            return row.op;
        }
    }
    return std::nullopt;
}

const std::vector<Expression::UnaryOp>& Expression::allUnaryOps() {
    static const std::vector<UnaryOp> all = {UnaryOp::not_, UnaryOp::minus, UnaryOp::plus,
                                             UnaryOp::splat};
    return all;
}

const std::vector<Expression::BinaryOp>& Expression::allBinaryOps() {
    static const std::vector<BinaryOp> all = [] {
        std::vector<BinaryOp> ops;
        for (const BinaryOperator& row : binaryOperators) {
            ops.push_back(row.op);
        }
        return ops;
    }();
    return all;
}

// --- Statement -------------------------------------------------------------------------------

Statement::LoopVar::LoopVar(Payload payload) : payload_(std::move(payload)) {
    std::vector<std::uint64_t> hashes;
    if (kind() == Kind::single) {
        hashes.push_back(ownScopeHash(name()));
    } else {
        for (const std::string& each : names()) {
            hashes.push_back(ownScopeHash(each));
        }
    }
    if (std::find(hashes.begin(), hashes.end(), 0) == hashes.end()) {
        nameHashes_ = std::move(hashes);
    }
}

bool operator==(const Statement::LoopVar& a, const Statement::LoopVar& b) {
    if (a.kind() != b.kind()) {
        return false;
    }
    return a.kind() == Statement::LoopVar::Kind::single ? textEqual(a.name(), b.name())
                                                        : listsEqual(a.names(), b.names());
}

void Statement::LoopVar::hashInto(Hasher& hasher) const {
    hasher.combineWord(static_cast<std::uint64_t>(kind()));
    if (kind() == Kind::single) {
        feedText(hasher, name());
    } else {
        feedList(hasher, names());
    }
}

std::shared_ptr<const Statement::Macro::CallLayout> Statement::Macro::CallLayout::of(
    const Macro& macro) {
    const auto canonical = &Environment::Variables::canonicalName;
    // Canonical forms, so equal bytes are equal names. The defaults' names are unique already.
    auto layout = std::make_shared<CallLayout>();
    layout->canonicalName = canonical(macro.name);
    layout->nameHash = scopeNameHash(layout->canonicalName);
    std::vector<std::string>& names = layout->names;
    for (const std::string& name : macro.defaults.keys()) {
        names.push_back(canonical(name));
    }
    layout->parameterSlots.reserve(macro.parameters.size());
    for (const std::string& parameter : macro.parameters) {
        std::string name = canonical(parameter);
        const auto found = std::find(names.begin(), names.end(), name);
        if (found != names.end()) {
            layout->parameterSlots.push_back(static_cast<std::uint32_t>(found - names.begin()) |
                                             boundBefore);
        } else {
            layout->parameterSlots.push_back(static_cast<std::uint32_t>(names.size()));
            names.push_back(std::move(name));
        }
    }
    layout->hashes.reserve(names.size());
    for (const std::string& name : names) {
        layout->hashes.push_back(scopeNameHash(name));
    }
    const auto nameSet = Environment::Variables::nameSetOf(names, layout->hashes);
    layout->nameBits = nameSet.nameBits;
    layout->kindTestNames = nameSet.kindTestNames;
    return layout;
}

Statement::Macro Statement::Macro::make(std::string name, NameList parameters,
                                        MacroDefaults defaults, NodeList body) {
    Macro macro{std::move(name), std::move(parameters), std::move(defaults), std::move(body)};
    macro.callLayout = CallLayout::of(macro);
    return macro;
}

bool operator==(const Statement::Macro& a, const Statement::Macro& b) {
    return textEqual(a.name, b.name) && listsEqual(a.parameters, b.parameters) &&
           orderedMapsEqual(a.defaults, b.defaults, textEqual) && a.body == b.body;
}

void Statement::Macro::hashInto(Hasher& hasher) const {
    feedText(hasher, name);
    feedList(hasher, parameters);
    feedOrderedMap(hasher, defaults);
    templates::hashInto(hasher, body);
}

bool operator==(const Statement& a, const Statement& b) {
    using K = Statement::Kind;
    if (a.kind() != b.kind()) {
        return false;
    }
    switch (a.kind()) {
        case K::program:
            return a.as<Statement::Program>().body == b.as<Statement::Program>().body;
        case K::set: {
            const auto& x = a.as<Statement::Set>();
            const auto& y = b.as<Statement::Set>();
            return x.target == y.target && optionalsEqual(x.value, y.value) && x.body == y.body;
        }
        case K::if_: {
            const auto& x = a.as<Statement::If>();
            const auto& y = b.as<Statement::If>();
            return x.test == y.test && x.body == y.body && x.alternate == y.alternate;
        }
        case K::for_: {
            const auto& x = a.as<Statement::For>();
            const auto& y = b.as<Statement::For>();
            return x.loopVar == y.loopVar && x.iterable == y.iterable && x.body == y.body &&
                   x.elseBody == y.elseBody && optionalsEqual(x.test, y.test);
        }
        case K::macro:
            return a.as<Statement::Macro>() == b.as<Statement::Macro>();
        case K::break_:
        case K::continue_:
            return true;
        case K::call: {
            const auto& x = a.as<Statement::Call>();
            const auto& y = b.as<Statement::Call>();
            if (x.callerArgs.has_value() != y.callerArgs.has_value()) {
                return false;
            }
            return x.callable == y.callable &&
                   (!x.callerArgs || listsEqual(*x.callerArgs, *y.callerArgs)) && x.body == y.body;
        }
        case K::filter: {
            const auto& x = a.as<Statement::Filter>();
            const auto& y = b.as<Statement::Filter>();
            return x.filterExpr == y.filterExpr && x.body == y.body;
        }
        case K::generation:
            return a.as<Statement::Generation>().body == b.as<Statement::Generation>().body;
    }
    return false;
}

void Statement::hashInto(Hasher& hasher) const {
    hasher.combineWord(static_cast<std::uint64_t>(kind()));
    switch (kind()) {
        case Kind::program:
            templates::hashInto(hasher, as<Program>().body);
            break;
        case Kind::set: {
            const auto& x = as<Set>();
            x.target.hashInto(hasher);
            feedOptional(hasher, x.value);
            templates::hashInto(hasher, x.body);
            break;
        }
        case Kind::if_: {
            const auto& x = as<If>();
            x.test.hashInto(hasher);
            templates::hashInto(hasher, x.body);
            templates::hashInto(hasher, x.alternate);
            break;
        }
        case Kind::for_: {
            const auto& x = as<For>();
            x.loopVar.hashInto(hasher);
            x.iterable.hashInto(hasher);
            templates::hashInto(hasher, x.body);
            templates::hashInto(hasher, x.elseBody);
            feedOptional(hasher, x.test);
            break;
        }
        case Kind::macro:
            as<Macro>().hashInto(hasher);
            break;
        case Kind::break_:
        case Kind::continue_:
            break;
        case Kind::call: {
            const auto& x = as<Call>();
            x.callable.hashInto(hasher);
            feedOptional(hasher, x.callerArgs);
            templates::hashInto(hasher, x.body);
            break;
        }
        case Kind::filter: {
            const auto& x = as<Filter>();
            x.filterExpr.hashInto(hasher);
            templates::hashInto(hasher, x.body);
            break;
        }
        case Kind::generation:
            templates::hashInto(hasher, as<Generation>().body);
            break;
    }
}

// --- Node ------------------------------------------------------------------------------------

bool operator==(const Node& a, const Node& b) {
    using K = Node::Kind;
    if (a.kind() != b.kind()) {
        return false;
    }
    switch (a.kind()) {
        case K::text:
            return textEqual(a.as<Node::Text>().value, b.as<Node::Text>().value);
        case K::expression:
            return a.as<Expression>() == b.as<Expression>();
        case K::statement:
            return a.as<Statement>() == b.as<Statement>();
        case K::comment:
            return textEqual(a.as<Node::Comment>().value, b.as<Node::Comment>().value);
    }
    return false;
}

void Node::hashInto(Hasher& hasher) const {
    hasher.combineWord(static_cast<std::uint64_t>(kind()));
    switch (kind()) {
        case Kind::text:
            feedText(hasher, as<Text>().value);
            break;
        case Kind::expression:
            as<Expression>().hashInto(hasher);
            break;
        case Kind::statement:
            as<Statement>().hashInto(hasher);
            break;
        case Kind::comment:
            feedText(hasher, as<Comment>().value);
            break;
    }
}

bool operator==(const NodeList& a, const NodeList& b) {
    return listsEqual(a, b, std::equal_to<Node>());
}

void hashInto(Hasher& hasher, const NodeList& nodes) {
    hasher.combineWord(nodes.size());
    for (const Node& node : nodes) {
        node.hashInto(hasher);
    }
}

}  // namespace templates
