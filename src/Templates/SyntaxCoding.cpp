#include "templates/SyntaxCoding.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "orderedcollections/DecodingError.h"

namespace templates {

using coding::DecodingError;
using coding::Reader;
using coding::Writer;

namespace {

constexpr std::array<std::string_view, 4> nodeCases = {"text", "expression", "statement",
                                                       "comment"};
constexpr std::array<std::string_view, 17> expressionCases = {
    "string", "number", "integer", "boolean", "null",   "array", "tuple",  "object", "identifier",
    "unary",  "binary", "ternary", "call",    "member", "slice", "filter", "test"};
constexpr std::array<std::string_view, 10> statementCases = {
    "program", "set", "if", "for", "macro", "break", "continue", "call", "filter", "generation"};
constexpr std::array<std::string_view, 2> loopVarCases = {"single", "tuple"};

// Opens the case object: {"<case>": {payload}} and, after the payload, closes both.
class Envelope {
public:
    Envelope(Writer& writer, std::string_view caseName) : writer_(writer) {
        writer_.startObject();
        writer_.key(caseName);
        writer_.startObject();
    }
    ~Envelope() noexcept(false) {
        // Nothing more is written after a failure, so an unbalanced writer is never read.
        if (std::uncaught_exceptions() == 0) {
            writer_.endObject();
            writer_.endObject();
        }
    }
    Envelope(const Envelope&) = delete;
    Envelope& operator=(const Envelope&) = delete;

private:
    Writer& writer_;
};

// The one recognised case member of an envelope and its payload object.
template <std::size_t N>
std::pair<std::size_t, Reader> openEnvelope(const Reader& reader, std::string_view typeName,
                                            const std::array<std::string_view, N>& cases) {
    reader.expectObject(typeName);
    std::optional<std::size_t> found;
    bool several = false;
    for (const std::string& name : reader.memberNames()) {
        const auto it = std::find(cases.begin(), cases.end(), name);
        if (it == cases.end()) {
            continue;
        }
        const auto index = static_cast<std::size_t>(it - cases.begin());
        if (found && *found != index) {
            several = true;
        }
        found = index;
    }
    if (!found || several) {
        throw DecodingError(DecodingError::Kind::typeMismatch, reader.codingPath(),
                            "Invalid number of keys found, expected one.", std::string(typeName));
    }
    Reader payload = reader.member(cases[*found]);
    payload.expectObject(typeName);
    return {*found, payload};
}

void encode(Writer& writer, const ExpressionList& items);
void encode(Writer& writer, const NameList& names);
void encode(Writer& writer, const KeywordArguments& kwargs);
void encode(Writer& writer, const ObjectEntries& entries);
void encode(Writer& writer, const MacroDefaults& defaults);

void field(Writer& writer, std::string_view name, const std::string& text) {
    writer.key(name);
    writer.string(text);
}

template <class T>
void field(Writer& writer, std::string_view name, const T& value) {
    writer.key(name);
    encode(writer, value);
}

template <class T>
void optionalField(Writer& writer, std::string_view name, const std::optional<T>& value) {
    if (value) {
        field(writer, name, *value);
    }
}

void encode(Writer& writer, const ExpressionList& items) {
    writer.startArray();
    for (const Expression& item : items) {
        encode(writer, item);
    }
    writer.endArray();
}

void encode(Writer& writer, const NameList& names) {
    writer.startArray();
    for (const std::string& name : names) {
        writer.string(name);
    }
    writer.endArray();
}

void encode(Writer& writer, const KeywordArguments& kwargs) {
    writer.startObject();
    for (const auto& [name, value] : kwargs) {
        field(writer, name, value);
    }
    writer.endObject();
}

// Flat [key, value, ...] arrays of ordered maps.
struct UnkeyedWriter {
    Writer& writer;
    void encode(const ObjectKey& key) { templates::encode(writer, key); }
    void encode(const std::string& text) { writer.string(text); }
    void encode(const Expression& expression) { templates::encode(writer, expression); }
};

template <class Dictionary>
void encodeOrderedMap(Writer& writer, const Dictionary& dictionary) {
    writer.startArray();
    UnkeyedWriter unkeyed{writer};
    dictionary.encode(unkeyed);
    writer.endArray();
}

void encode(Writer& writer, const ObjectEntries& entries) {
    encodeOrderedMap(writer, entries);
}
void encode(Writer& writer, const MacroDefaults& defaults) {
    encodeOrderedMap(writer, defaults);
}

ExpressionList decodeExpressions(const Reader& reader) {
    std::vector<Expression> items;
    for (const Reader& item : reader.elements()) {
        items.push_back(decodeExpression(item));
    }
    return ExpressionList(std::move(items));
}

NameList decodeNames(const Reader& reader) {
    std::vector<std::string> names;
    for (const Reader& item : reader.elements()) {
        names.push_back(item.string());
    }
    return NameList(std::move(names));
}

KeywordArguments decodeKeywordArguments(const Reader& reader) {
    KeywordArguments kwargs;
    for (const std::string& name : reader.memberNames()) {
        kwargs.emplace(name, decodeExpression(reader.member(name)));
    }
    return kwargs;
}

struct UnkeyedReader {
    std::vector<Reader> items;
    std::size_t position = 0;

    bool isAtEnd() const { return position == items.size(); }
    template <class T>
    T decode() {
        const Reader& item = items.at(position++);
        if constexpr (std::is_same_v<T, ObjectKey>) {
            return decodeObjectKey(item);
        } else if constexpr (std::is_same_v<T, std::string>) {
            return item.string();
        } else {
            return decodeExpression(item);
        }
    }
};

template <class Dictionary>
Dictionary decodeOrderedMap(const Reader& reader) {
    UnkeyedReader unkeyed{reader.elements()};
    try {
        return Dictionary::decode(unkeyed);
    } catch (const ordered::DecodingError& error) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, reader.codingPath(),
                            error.message());
    }
}

std::optional<Expression> optionalExpression(const Reader& payload, std::string_view name) {
    const auto member = payload.optionalMember(name);
    return member ? std::optional(decodeExpression(*member)) : std::nullopt;
}

}  // namespace

// ---- Operators and keys ----

void encode(Writer& writer, Expression::UnaryOp op) {
    writer.string(Expression::rawValue(op));
}
void encode(Writer& writer, Expression::BinaryOp op) {
    writer.string(Expression::rawValue(op));
}

Expression::UnaryOp decodeUnaryOp(const Reader& reader) {
    const std::string raw = reader.string();
    if (const auto op = Expression::unaryOp(raw)) {
        return *op;
    }
    throw DecodingError(DecodingError::Kind::dataCorrupted, reader.codingPath(),
                        "Cannot initialize UnaryOp from invalid String value " + raw);
}

Expression::BinaryOp decodeBinaryOp(const Reader& reader) {
    const std::string raw = reader.string();
    if (const auto op = Expression::binaryOp(raw)) {
        return *op;
    }
    throw DecodingError(DecodingError::Kind::dataCorrupted, reader.codingPath(),
                        "Cannot initialize BinaryOp from invalid String value " + raw);
}

void encode(Writer& writer, const ObjectKey& key) {
    if (key.isInt()) {
        writer.integer(key.asInt());
    } else {
        writer.string(key.asString());
    }
}

ObjectKey decodeObjectKey(const Reader& reader) {
    try {
        return ObjectKey(reader.integer());
    } catch (const DecodingError&) {
    }
    try {
        return ObjectKey(reader.string());
    } catch (const DecodingError&) {
    }
    throw DecodingError(DecodingError::Kind::typeMismatch, reader.codingPath(),
                        "ObjectKey must be a string or integer", "ObjectKey");
}

// ---- Expression ----

void encode(Writer& writer, const Expression& expression) {
    Envelope envelope(writer, expressionCases[static_cast<std::size_t>(expression.kind())]);
    std::visit(
        [&](const auto& p) {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, Expression::String>) {
                field(writer, "_0", p.value);
            } else if constexpr (std::is_same_v<P, Expression::Number>) {
                writer.key("_0");
                writer.number(p.value);
            } else if constexpr (std::is_same_v<P, Expression::Integer>) {
                writer.key("_0");
                writer.integer(p.value);
            } else if constexpr (std::is_same_v<P, Expression::Boolean>) {
                writer.key("_0");
                writer.boolean(p.value);
            } else if constexpr (std::is_same_v<P, Expression::Null>) {
            } else if constexpr (std::is_same_v<P, Expression::Array> ||
                                 std::is_same_v<P, Expression::Tuple>) {
                field(writer, "_0", p.items);
            } else if constexpr (std::is_same_v<P, Expression::Object>) {
                field(writer, "_0", p.entries);
            } else if constexpr (std::is_same_v<P, Expression::Identifier>) {
                field(writer, "_0", p.name);
            } else if constexpr (std::is_same_v<P, Expression::Unary>) {
                field(writer, "_0", p.op);
                field(writer, "_1", p.operand);
            } else if constexpr (std::is_same_v<P, Expression::Binary>) {
                field(writer, "_0", p.op);
                field(writer, "_1", p.left);
                field(writer, "_2", p.right);
            } else if constexpr (std::is_same_v<P, Expression::Ternary>) {
                field(writer, "_0", p.value);
                field(writer, "test", p.test);
                optionalField(writer, "alternate", p.alternate);
            } else if constexpr (std::is_same_v<P, Expression::Call>) {
                field(writer, "_0", p.callee);
                field(writer, "_1", p.args);
                field(writer, "_2", p.kwargs);
            } else if constexpr (std::is_same_v<P, Expression::Member>) {
                field(writer, "_0", p.object);
                field(writer, "_1", p.key);
                writer.key("computed");
                writer.boolean(p.computed);
            } else if constexpr (std::is_same_v<P, Expression::Slice>) {
                field(writer, "_0", p.object);
                optionalField(writer, "start", p.start);
                optionalField(writer, "stop", p.stop);
                optionalField(writer, "step", p.step);
            } else if constexpr (std::is_same_v<P, Expression::Filter>) {
                field(writer, "_0", p.operand);
                field(writer, "_1", p.name);
                field(writer, "_2", p.args);
                field(writer, "_3", p.kwargs);
            } else {
                static_assert(std::is_same_v<P, Expression::Test>);
                field(writer, "_0", p.operand);
                field(writer, "_1", p.name);
                field(writer, "_2", p.args);
                writer.key("negated");
                writer.boolean(p.negated);
            }
        },
        expression.payload());
}

Expression decodeExpression(const Reader& reader) {
    const auto [index, p] = openEnvelope(reader, "Expression", expressionCases);
    using K = Expression::Kind;
    switch (static_cast<K>(index)) {
        case K::string:
            return Expression::string(p.member("_0").string());
        case K::number:
            return Expression::number(p.member("_0").number());
        case K::integer:
            return Expression::integer(p.member("_0").integer());
        case K::boolean:
            return Expression::boolean(p.member("_0").boolean());
        case K::null:
            return Expression::null();
        case K::array:
            return Expression::array(decodeExpressions(p.member("_0")));
        case K::tuple:
            return Expression::tuple(decodeExpressions(p.member("_0")));
        case K::object:
            return Expression::object(decodeOrderedMap<ObjectEntries>(p.member("_0")));
        case K::identifier:
            return Expression::identifier(p.member("_0").string());
        case K::unary: {
            const auto op = decodeUnaryOp(p.member("_0"));
            return Expression::unary(op, decodeExpression(p.member("_1")));
        }
        case K::binary: {
            const auto op = decodeBinaryOp(p.member("_0"));
            Expression left = decodeExpression(p.member("_1"));
            return Expression::binary(op, std::move(left), decodeExpression(p.member("_2")));
        }
        case K::ternary: {
            Expression value = decodeExpression(p.member("_0"));
            Expression test = decodeExpression(p.member("test"));
            return Expression::ternary(std::move(value), std::move(test),
                                       optionalExpression(p, "alternate"));
        }
        case K::call: {
            Expression callee = decodeExpression(p.member("_0"));
            ExpressionList args = decodeExpressions(p.member("_1"));
            return Expression::call(std::move(callee), std::move(args),
                                    decodeKeywordArguments(p.member("_2")));
        }
        case K::member: {
            Expression object = decodeExpression(p.member("_0"));
            Expression key = decodeExpression(p.member("_1"));
            return Expression::member(std::move(object), std::move(key),
                                      p.member("computed").boolean());
        }
        case K::slice: {
            Expression object = decodeExpression(p.member("_0"));
            auto start = optionalExpression(p, "start");
            auto stop = optionalExpression(p, "stop");
            return Expression::slice(std::move(object), std::move(start), std::move(stop),
                                     optionalExpression(p, "step"));
        }
        case K::filter: {
            Expression operand = decodeExpression(p.member("_0"));
            std::string name = p.member("_1").string();
            ExpressionList args = decodeExpressions(p.member("_2"));
            return Expression::filter(std::move(operand), std::move(name), std::move(args),
                                      decodeKeywordArguments(p.member("_3")));
        }
        case K::test: {
            Expression operand = decodeExpression(p.member("_0"));
            std::string name = p.member("_1").string();
            ExpressionList args = decodeExpressions(p.member("_2"));
            return Expression::test(std::move(operand), std::move(name), std::move(args),
                                    p.member("negated").boolean());
        }
    }
    throw DecodingError(DecodingError::Kind::dataCorrupted, reader.codingPath(), "Unknown case");
}

// ---- Statement ----

void encode(Writer& writer, const Statement::LoopVar& loopVar) {
    Envelope envelope(writer, loopVarCases[static_cast<std::size_t>(loopVar.kind())]);
    if (loopVar.kind() == Statement::LoopVar::Kind::single) {
        field(writer, "_0", loopVar.name());
    } else {
        field(writer, "_0", loopVar.names());
    }
}

Statement::LoopVar decodeLoopVar(const Reader& reader) {
    const auto [index, p] = openEnvelope(reader, "Statement.LoopVar", loopVarCases);
    if (index == 0) {
        return Statement::LoopVar::single(p.member("_0").string());
    }
    return Statement::LoopVar::tuple(decodeNames(p.member("_0")));
}

void encode(Writer& writer, const Statement& statement) {
    Envelope envelope(writer, statementCases[static_cast<std::size_t>(statement.kind())]);
    std::visit(
        [&](const auto& p) {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, Statement::Program> ||
                          std::is_same_v<P, Statement::Generation>) {
                field(writer, "_0", p.body);
            } else if constexpr (std::is_same_v<P, Statement::Set>) {
                field(writer, "target", p.target);
                optionalField(writer, "value", p.value);
                field(writer, "body", p.body);
            } else if constexpr (std::is_same_v<P, Statement::If>) {
                field(writer, "_0", p.test);
                field(writer, "_1", p.body);
                field(writer, "_2", p.alternate);
            } else if constexpr (std::is_same_v<P, Statement::For>) {
                field(writer, "_0", p.loopVar);
                field(writer, "_1", p.iterable);
                field(writer, "_2", p.body);
                field(writer, "_3", p.elseBody);
                optionalField(writer, "test", p.test);
            } else if constexpr (std::is_same_v<P, Statement::Macro>) {
                field(writer, "_0", p.name);
                field(writer, "_1", p.parameters);
                field(writer, "_2", p.defaults);
                field(writer, "_3", p.body);
            } else if constexpr (std::is_same_v<P, Statement::Break> ||
                                 std::is_same_v<P, Statement::Continue>) {
            } else if constexpr (std::is_same_v<P, Statement::Call>) {
                field(writer, "callable", p.callable);
                optionalField(writer, "callerArgs", p.callerArgs);
                field(writer, "body", p.body);
            } else {
                static_assert(std::is_same_v<P, Statement::Filter>);
                field(writer, "filterExpr", p.filterExpr);
                field(writer, "body", p.body);
            }
        },
        statement.payload());
}

Statement decodeStatement(const Reader& reader) {
    const auto [index, p] = openEnvelope(reader, "Statement", statementCases);
    using K = Statement::Kind;
    switch (static_cast<K>(index)) {
        case K::program:
            return Statement::program(decodeNodes(p.member("_0")));
        case K::set: {
            Expression target = decodeExpression(p.member("target"));
            auto value = optionalExpression(p, "value");
            return Statement::set(std::move(target), std::move(value),
                                  decodeNodes(p.member("body")));
        }
        case K::if_: {
            Expression test = decodeExpression(p.member("_0"));
            NodeList body = decodeNodes(p.member("_1"));
            return Statement::if_(std::move(test), std::move(body), decodeNodes(p.member("_2")));
        }
        case K::for_: {
            auto loopVar = decodeLoopVar(p.member("_0"));
            Expression iterable = decodeExpression(p.member("_1"));
            NodeList body = decodeNodes(p.member("_2"));
            NodeList elseBody = decodeNodes(p.member("_3"));
            return Statement::for_(std::move(loopVar), std::move(iterable), std::move(body),
                                   std::move(elseBody), optionalExpression(p, "test"));
        }
        case K::macro: {
            std::string name = p.member("_0").string();
            NameList parameters = decodeNames(p.member("_1"));
            auto defaults = decodeOrderedMap<MacroDefaults>(p.member("_2"));
            return Statement::macro(std::move(name), std::move(parameters), std::move(defaults),
                                    decodeNodes(p.member("_3")));
        }
        case K::break_:
            return Statement::break_();
        case K::continue_:
            return Statement::continue_();
        case K::call: {
            Expression callable = decodeExpression(p.member("callable"));
            std::optional<ExpressionList> callerArgs;
            if (const auto member = p.optionalMember("callerArgs")) {
                callerArgs = decodeExpressions(*member);
            }
            return Statement::call(std::move(callable), std::move(callerArgs),
                                   decodeNodes(p.member("body")));
        }
        case K::filter: {
            Expression filterExpr = decodeExpression(p.member("filterExpr"));
            return Statement::filter(std::move(filterExpr), decodeNodes(p.member("body")));
        }
        case K::generation:
            return Statement::generation(decodeNodes(p.member("_0")));
    }
    throw DecodingError(DecodingError::Kind::dataCorrupted, reader.codingPath(), "Unknown case");
}

// ---- Node ----

void encode(Writer& writer, const Node& node) {
    Envelope envelope(writer, nodeCases[static_cast<std::size_t>(node.kind())]);
    switch (node.kind()) {
        case Node::Kind::text:
            field(writer, "_0", node.as<Node::Text>().value);
            break;
        case Node::Kind::expression:
            field(writer, "_0", node.as<Expression>());
            break;
        case Node::Kind::statement:
            field(writer, "_0", node.as<Statement>());
            break;
        case Node::Kind::comment:
            field(writer, "_0", node.as<Node::Comment>().value);
            break;
    }
}

void encode(Writer& writer, const NodeList& nodes) {
    writer.startArray();
    for (const Node& node : nodes) {
        encode(writer, node);
    }
    writer.endArray();
}

Node decodeNode(const Reader& reader) {
    const auto [index, p] = openEnvelope(reader, "Node", nodeCases);
    switch (static_cast<Node::Kind>(index)) {
        case Node::Kind::text:
            return Node::text(p.member("_0").string());
        case Node::Kind::expression:
            return Node::expression(decodeExpression(p.member("_0")));
        case Node::Kind::statement:
            return Node::statement(decodeStatement(p.member("_0")));
        case Node::Kind::comment:
            break;
    }
    return Node::comment(p.member("_0").string());
}

NodeList decodeNodes(const Reader& reader) {
    std::vector<Node> nodes;
    for (const Reader& item : reader.elements()) {
        nodes.push_back(decodeNode(item));
    }
    return NodeList(std::move(nodes));
}

// ---- Tokens ----

void encode(Writer& writer, Token::Kind kind) {
    Envelope envelope(writer, name(kind));
}

Token::Kind decodeTokenKind(const Reader& reader) {
    static const auto cases = [] {
        std::array<std::string_view, Token::kindCount> names{};
        for (std::size_t i = 0; i < names.size(); ++i) {
            names[i] = name(static_cast<Token::Kind>(i));
        }
        return names;
    }();
    return static_cast<Token::Kind>(openEnvelope(reader, "Token.Kind", cases).first);
}

void encode(Writer& writer, const Token& token) {
    writer.startObject();
    field(writer, "kind", token.kind());
    writer.key("value");
    writer.string(token.value());
    writer.key("position");
    writer.integer(token.position());
    writer.endObject();
}

Token decodeToken(const Reader& reader) {
    const Token::Kind kind = decodeTokenKind(reader.member("kind"));
    std::string value = reader.member("value").string();
    return Token(kind, std::move(value), reader.member("position").integer());
}

}  // namespace templates
