#include "TreePrinter.h"

#include <fmt/format.h>

#include <algorithm>

namespace templates {

namespace {

std::string quoted(std::string_view text, char quote) {
    std::string out(1, quote);
    for (char c : text) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c == quote) {
                    out += '\\';
                }
                out += c;
        }
    }
    out += quote;
    return out;
}

std::string optional(const std::optional<Expression>& e) {
    return e ? print(*e) : "_";
}

std::string joined(const ExpressionList& list, std::string_view separator) {
    std::string out;
    for (const Expression& e : list) {
        if (!out.empty()) {
            out += separator;
        }
        out += print(e);
    }
    return out;
}

// Positional arguments, then keyword arguments sorted by name, each preceded by a blank.
std::string arguments(const ExpressionList& args, const KeywordArguments* keywords) {
    std::string out;
    for (const Expression& e : args) {
        out += ' ' + print(e);
    }
    if (keywords) {
        std::vector<std::pair<std::string, std::string>> sorted;
        for (const auto& [name, value] : *keywords) {
            sorted.emplace_back(name, print(value));
        }
        std::sort(sorted.begin(), sorted.end());
        for (const auto& [name, value] : sorted) {
            out += fmt::format(" {}={}", name, value);
        }
    }
    return out;
}

}  // namespace

std::string printTokens(const std::vector<Token>& tokens) {
    std::string out;
    for (const Token& token : tokens) {
        if (!out.empty()) {
            out += ' ';
        }
        out += fmt::format("{}'{}'@{}", name(token.kind()), token.value(), token.position());
    }
    return out;
}

std::string print(const Expression& expression) {
    using K = Expression::Kind;
    switch (expression.kind()) {
        case K::string:
            return quoted(expression.as<Expression::String>().value, '\'');
        case K::number:
            return fmt::format("n:{}", expression.as<Expression::Number>().value);
        case K::integer:
            return fmt::format("{}", expression.as<Expression::Integer>().value);
        case K::boolean:
            return expression.as<Expression::Boolean>().value ? "true" : "false";
        case K::null:
            return "none";
        case K::array:
            return "[" + joined(expression.as<Expression::Array>().items, ", ") + "]";
        case K::tuple: {
            const auto& items = expression.as<Expression::Tuple>().items;
            return "(" + joined(items, ", ") + (items.size() == 1 ? ",)" : ")");
        }
        case K::object: {
            std::string out;
            for (const auto& [key, value] : expression.as<Expression::Object>().entries) {
                if (!out.empty()) {
                    out += ", ";
                }
                out += key.isString() ? quoted(key.asString(), '\'') : std::to_string(key.asInt());
                out += ": " + print(value);
            }
            return "{" + out + "}";
        }
        case K::identifier:
            return expression.as<Expression::Identifier>().name;
        case K::unary: {
            const auto& x = expression.as<Expression::Unary>();
            return fmt::format("({} {})", Expression::rawValue(x.op), print(x.operand));
        }
        case K::binary: {
            const auto& x = expression.as<Expression::Binary>();
            return fmt::format("({} {} {})", Expression::rawValue(x.op), print(x.left),
                               print(x.right));
        }
        case K::ternary: {
            const auto& x = expression.as<Expression::Ternary>();
            return fmt::format("(if {} {}{})", print(x.value), print(x.test),
                               x.alternate ? " " + print(*x.alternate) : "");
        }
        case K::call: {
            const auto& x = expression.as<Expression::Call>();
            return fmt::format("(call {}{})", print(x.callee), arguments(x.args, &x.kwargs));
        }
        case K::member: {
            const auto& x = expression.as<Expression::Member>();
            return fmt::format("({} {} {})", x.computed ? "[]" : ".", print(x.object),
                               print(x.key));
        }
        case K::slice: {
            const auto& x = expression.as<Expression::Slice>();
            return fmt::format("(slice {} {} {} {})", print(x.object), optional(x.start),
                               optional(x.stop), optional(x.step));
        }
        case K::filter: {
            const auto& x = expression.as<Expression::Filter>();
            return fmt::format("(| {} {}{})", print(x.operand), x.name,
                               arguments(x.args, &x.kwargs));
        }
        case K::test: {
            const auto& x = expression.as<Expression::Test>();
            return fmt::format("(is {}{} {}{})", x.negated ? "not " : "", print(x.operand), x.name,
                               arguments(x.args, nullptr));
        }
    }
    return "?";
}

std::string print(const Statement& statement) {
    using K = Statement::Kind;
    switch (statement.kind()) {
        case K::program:
            return "(program " + print(statement.as<Statement::Program>().body) + ")";
        case K::set: {
            const auto& x = statement.as<Statement::Set>();
            if (x.value) {
                return fmt::format("(set {} {})", print(x.target), print(*x.value));
            }
            return fmt::format("(set {} {})", print(x.target), print(x.body));
        }
        case K::if_: {
            const auto& x = statement.as<Statement::If>();
            return fmt::format("(if {} {} {})", print(x.test), print(x.body), print(x.alternate));
        }
        case K::for_: {
            const auto& x = statement.as<Statement::For>();
            std::string names;
            if (x.loopVar.kind() == Statement::LoopVar::Kind::single) {
                names = x.loopVar.name();
            } else {
                for (const std::string& n : x.loopVar.names()) {
                    names += (names.empty() ? "(" : ", ") + n;
                }
                names += ")";
            }
            return fmt::format("(for {} {}{} {} {})", names, print(x.iterable),
                               x.test ? " if " + print(*x.test) : "", print(x.body),
                               print(x.elseBody));
        }
        case K::macro: {
            const auto& x = statement.as<Statement::Macro>();
            std::string parameters;
            for (const std::string& p : x.parameters) {
                if (!parameters.empty()) {
                    parameters += ' ';
                }
                parameters += p;
                if (const Expression* value = x.defaults.get(p)) {
                    parameters += "=" + print(*value);
                }
            }
            return fmt::format("(macro {} ({}) {})", x.name, parameters, print(x.body));
        }
        case K::break_:
            return "break";
        case K::continue_:
            return "continue";
        case K::call: {
            const auto& x = statement.as<Statement::Call>();
            return fmt::format("(callblock {} {} {})",
                               x.callerArgs ? "(" + joined(*x.callerArgs, ", ") + ")" : "_",
                               print(x.callable), print(x.body));
        }
        case K::filter: {
            const auto& x = statement.as<Statement::Filter>();
            return fmt::format("(filter {} {})", print(x.filterExpr), print(x.body));
        }
        case K::generation:
            return "(generation " + print(statement.as<Statement::Generation>().body) + ")";
    }
    return "?";
}

std::string print(const Node& node) {
    switch (node.kind()) {
        case Node::Kind::text:
            return quoted(node.as<Node::Text>().value, '"');
        case Node::Kind::expression:
            return "{{" + print(node.as<Expression>()) + "}}";
        case Node::Kind::statement:
            return "{%" + print(node.as<Statement>()) + "%}";
        case Node::Kind::comment:
            return "{#" + node.as<Node::Comment>().value + "#}";
    }
    return "?";
}

std::string print(const NodeList& nodes) {
    std::string out = "[";
    for (const Node& node : nodes) {
        if (out.size() > 1) {
            out += ' ';
        }
        out += print(node);
    }
    return out + "]";
}

}  // namespace templates
