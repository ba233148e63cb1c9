#include "templates/Parser.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "Operators.h"
#include "templates/Expression.h"
#include "templates/Statement.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

using Kind = Token::Kind;
using UnaryOp = Expression::UnaryOp;
using BinaryOp = Expression::BinaryOp;

// Kinds that may stand where a name is expected; a keyword used so names itself.
bool allowedAsIdentifier(Kind kind) {
    switch (kind) {
        case Kind::identifier:
        case Kind::if_:
        case Kind::for_:
        case Kind::in:
        case Kind::and_:
        case Kind::or_:
        case Kind::not_:
        case Kind::is:
        case Kind::else_:
        case Kind::set:
        case Kind::break_:
        case Kind::continue_:
            return true;
        default:
            return false;
    }
}

// Kinds that start an operand and so continue an implicit concatenation.
bool primaryExpressionStarter(Kind kind) {
    switch (kind) {
        case Kind::string:
        case Kind::identifier:
        case Kind::number:
        case Kind::boolean:
        case Kind::openParen:
        case Kind::openBracket:
        case Kind::openBrace:
            return true;
        default:
            return false;
    }
}

bool invalidAfterIntegerAttribute(Kind kind) {
    return primaryExpressionStarter(kind) && kind != Kind::openParen && kind != Kind::openBracket;
}

std::optional<BinaryOp> comparisonOperator(Kind kind) {
    switch (kind) {
        case Kind::equal:
        case Kind::notEqual:
        case Kind::less:
        case Kind::lessEqual:
        case Kind::greater:
        case Kind::greaterEqual:
        case Kind::in:
            return binaryOperator(kind);
        default:
            return std::nullopt;
    }
}

std::optional<BinaryOp> multiplicativeOperator(Kind kind) {
    switch (kind) {
        case Kind::multiply:
        case Kind::divide:
        case Kind::floorDivide:
        case Kind::modulo:
            return binaryOperator(kind);
        default:
            return std::nullopt;
    }
}

[[noreturn]] void fail(std::string message) {
    throw TemplateError::parser(std::move(message));
}

std::int64_t parseIntegerLiteral(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && end == text.data() + text.size()) {
        return value;
    }
    const bool allDigits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c >= '0' && c <= '9';
    });
    if (allDigits) {
        fail(fmt::format("Integer literal '{}' is too large.", text));
    }
    fail(fmt::format("Invalid integer literal '{}'.", text));
}

double parseNumberLiteral(std::string_view text) {
    // Number tokens hold no sign and no exponent, only digits and one "."; digits of other
    // scripts do not convert.
    const bool plain = std::all_of(text.begin(), text.end(),
                                   [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    double value = 0;
    if (plain) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value,
                                                  std::chars_format::fixed);
        if (end == text.data() + text.size()) {
            if (error == std::errc()) {
                return value;
            }
            if (error == std::errc::result_out_of_range) {
                // Too many digits before the point overflow to infinity; nothing else can leave
                // the range.
                const bool nonzero = std::any_of(text.begin(), text.begin() + text.find('.'),
                                                 [](char c) { return c != '0'; });
                return nonzero ? std::numeric_limits<double>::infinity() : 0.0;
            }
        }
    }
    fail(fmt::format("Invalid number literal '{}'.", text));
}

// "0" and "00" are plain indices; "01" is refused. Characters, not bytes: a "0" carrying a
// combining mark is not a "0".
bool hasLeadingZero(std::string_view text) {
    const auto bounds = unicode::graphemeBoundaries(text);
    auto character = [&](std::size_t i) {
        return text.substr(bounds[i], bounds[i + 1] - bounds[i]);
    };
    const std::size_t count = bounds.size() - 1;
    if (count == 0 || character(0) != "0") {
        return false;
    }
    for (std::size_t i = 1; i < count; ++i) {
        if (character(i) != "0") {
            return true;
        }
    }
    return false;
}

struct Arguments {
    std::vector<Expression> positional;
    KeywordArguments keywords;
};

class TokenParser {
public:
    explicit TokenParser(const std::vector<Token>& tokens) : tokens_(tokens) {}

    NodeList parseTemplate() {
        std::vector<Node> nodes;
        nodes.reserve(tokens_.size() / 3);
        while (current_ < tokens_.size() && !check(Kind::eof)) {
            append(nodes, parseNode());
        }
        return NodeList(std::move(nodes));
    }

private:
    // --- Cursor -------------------------------------------------------------------------------

    // Past the end of the list the current token is an implicit, empty `eof`.
    const Token& current() const {
        static const Token end(Kind::eof, std::string(), 0);
        return current_ < tokens_.size() ? tokens_[current_] : end;
    }
    bool check(Kind kind) const { return current().kind() == kind; }
    std::optional<Kind> nextKind() const {
        if (current_ + 1 < tokens_.size()) {
            return tokens_[current_ + 1].kind();
        }
        return std::nullopt;
    }
    void advance() { ++current_; }

    static std::string describe(const Token& token) {
        if (token.kind() == Kind::eof) {
            return "end of input";
        }
        return fmt::format("'{}' ({})", token.value(), name(token.kind()));
    }

    const Token& consume(Kind kind, std::string_view message) {
        if (current_ < tokens_.size() && !check(Kind::eof) && check(kind)) {
            return tokens_[current_++];
        }
        fail(fmt::format("{} Got {} instead.", message, describe(current())));
    }

    std::string consumeIdentifier() {
        if (!allowedAsIdentifier(current().kind())) {
            fail(fmt::format("Expected identifier but found {}.", name(current().kind())));
        }
        std::string text(current().value());
        advance();
        return text;
    }

    // Every recursive cycle of the grammar passes through one of these.
    class NestingGuard {
    public:
        explicit NestingGuard(TokenParser& parser) : parser_(parser) {
            if (parser_.nesting_ >= Parser::maximumNestingDepth) {
                tooDeep();
            }
            parser_.enterTreeLevel();
            ++parser_.nesting_;
        }
        ~NestingGuard() {
            --parser_.nesting_;
            --parser_.statementDepth_;
        }
        NestingGuard(const NestingGuard&) = delete;
        NestingGuard& operator=(const NestingGuard&) = delete;

    private:
        TokenParser& parser_;
    };

    [[noreturn]] static void tooDeep() {
        fail(fmt::format("Template nesting exceeds the limit of {} levels.",
                         Parser::maximumNestingDepth));
    }

    [[noreturn]] static void treeTooDeep() {
        fail(fmt::format("Template expression or elif chain exceeds the limit of {} levels.",
                         Parser::maximumTreeDepth));
    }

    // One more level of the statement tree (a nested block or a link of an elif chain).
    void enterTreeLevel() {
        if (statementDepth_ >= Parser::maximumTreeDepth) {
            treeTooDeep();
        }
        ++statementDepth_;
    }

    // Operator, filter and access chains are parsed in loops and build trees as deep as they
    // are long; the depth each expression records keeps those within the tree bound.
    static Expression checked(Expression expression) {
        if (expression.depth() > Parser::maximumTreeDepth) {
            treeTooDeep();
        }
        return expression;
    }

    // --- Nodes --------------------------------------------------------------------------------

    // Adjacent text merges into one node.
    static void append(std::vector<Node>& nodes, Node node) {
        if (node.kind() == Node::Kind::text && !nodes.empty() &&
            nodes.back().kind() == Node::Kind::text) {
            nodes.back() =
                Node::text(nodes.back().as<Node::Text>().value + node.as<Node::Text>().value);
            return;
        }
        nodes.push_back(std::move(node));
    }

    Node parseNode() {
        const Token& token = current();
        switch (token.kind()) {
            case Kind::text:
                advance();
                return Node::text(std::string(token.value()));
            case Kind::comment:
                advance();
                return Node::comment(std::string(token.value()));
            case Kind::openExpression: {
                advance();
                Expression expression = parseTernary();
                consume(Kind::closeExpression, "Expected '}}' after expression.");
                return Node::expression(std::move(expression));
            }
            case Kind::openStatement:
                advance();
                return Node::statement(parseStatement());
            default:
                fail(fmt::format("Unexpected token type: {}", name(token.kind())));
        }
    }

    NodeList parseNodesUntil(std::initializer_list<Kind> endKinds) {
        std::vector<Node> nodes;
        while (current_ < tokens_.size()) {
            if (check(Kind::openStatement)) {
                const auto next = nextKind();
                if (next && std::find(endKinds.begin(), endKinds.end(), *next) != endKinds.end()) {
                    break;
                }
            }
            if (check(Kind::eof)) {
                break;
            }
            append(nodes, parseNode());
        }
        return NodeList(std::move(nodes));
    }

    // "{%" keyword "%}" closing a block whose body stopped at that keyword (or at the end).
    void consumeEndTag(Kind keyword, std::string_view openMessage, std::string_view closeMessage) {
        consume(Kind::openStatement, openMessage);
        consume(keyword, fmt::format("Expected '{}'.", name(keyword)));
        consume(Kind::closeStatement, closeMessage);
    }

    // --- Statements ---------------------------------------------------------------------------

    Statement parseStatement() {
        NestingGuard guard(*this);
        const Token& keyword = current();
        switch (keyword.kind()) {
            case Kind::if_:
                advance();
                return parseIf();
            case Kind::for_:
                advance();
                return parseFor();
            case Kind::set:
                advance();
                return parseSet();
            case Kind::macro:
                advance();
                return parseMacro();
            case Kind::break_:
                advance();
                consume(Kind::closeStatement, "Expected '%}' after break.");
                return Statement::break_();
            case Kind::continue_:
                advance();
                consume(Kind::closeStatement, "Expected '%}' after continue.");
                return Statement::continue_();
            case Kind::call:
                advance();
                return parseCallBlock();
            case Kind::filter:
                advance();
                return parseFilterBlock();
            case Kind::generation:
                advance();
                return parseGeneration();
            default:
                fail(fmt::format("Unknown statement: {}", keyword.value()));
        }
    }

    // Each elif becomes an if in the alternate of the branch before it. The chain is read in a
    // loop: it is not nesting, though every link is a level of the tree.
    Statement parseIf() {
        struct Branch {
            Expression test;
            NodeList body;
        };
        std::vector<Branch> branches;
        NodeList alternate;
        const std::size_t depthBefore = statementDepth_;
        while (true) {
            Expression test = parseTernary();
            consume(Kind::closeStatement, "Expected '%}' after if condition.");
            NodeList body = parseNodesUntil({Kind::elif, Kind::else_, Kind::endif});
            branches.push_back({std::move(test), std::move(body)});
            if (!check(Kind::openStatement)) {
                fail("Unclosed if statement");
            }
            advance();
            if (!check(Kind::elif)) {
                break;
            }
            advance();
            enterTreeLevel();
        }
        if (check(Kind::else_)) {
            advance();
            consume(Kind::closeStatement, "Expected '%}' after else.");
            alternate = parseNodesUntil({Kind::endif});  // below the last link of the chain
            consumeEndTag(Kind::endif, "Expected '{%' for endif.", "Expected '%}' after endif.");
        } else {
            advance();  // endif
            consume(Kind::closeStatement, "Expected '%}' after endif.");
        }
        statementDepth_ = depthBefore;
        while (branches.size() > 1) {
            Branch& last = branches.back();
            std::vector<Node> link;
            link.push_back(Node::statement(
                Statement::if_(std::move(last.test), std::move(last.body), std::move(alternate))));
            alternate = NodeList(std::move(link));
            branches.pop_back();
        }
        return Statement::if_(std::move(branches.front().test), std::move(branches.front().body),
                              std::move(alternate));
    }

    Statement parseFor() {
        std::vector<std::string> names{consumeIdentifier()};
        while (check(Kind::comma)) {
            advance();
            names.push_back(consumeIdentifier());
        }
        auto loopVar = names.size() == 1 ? Statement::LoopVar::single(std::move(names.front()))
                                         : Statement::LoopVar::tuple(std::move(names));
        consume(Kind::in, "Expected 'in' in for loop.");
        // The or-level leaves a following "if" to the loop's filter.
        Expression iterable = parseOr();
        std::optional<Expression> test;
        if (check(Kind::if_)) {
            advance();
            test = parseTernary();
        }
        consume(Kind::closeStatement, "Expected '%}' after for loop.");
        NodeList body = parseNodesUntil({Kind::else_, Kind::endfor});
        if (!check(Kind::openStatement)) {
            fail("Unclosed for loop");
        }
        advance();
        NodeList elseBody;
        if (check(Kind::else_)) {
            advance();
            consume(Kind::closeStatement, "Expected '%}' after else.");
            elseBody = parseNodesUntil({Kind::endfor});
            consumeEndTag(Kind::endfor, "Expected '{%' for endfor.", "Expected '%}' after endfor.");
        } else {
            advance();  // endfor
            consume(Kind::closeStatement, "Expected '%}' after endfor.");
        }
        return Statement::for_(std::move(loopVar), std::move(iterable), std::move(body),
                               std::move(elseBody), std::move(test));
    }

    Statement parseSet() {
        Expression target = parseExpressionSequence();
        if (check(Kind::equals)) {
            advance();
            Expression value = parseExpressionSequence();
            consume(Kind::closeStatement, "Expected '%}' after set statement.");
            return Statement::set(std::move(target), std::move(value), {});
        }
        consume(Kind::closeStatement, "Expected '%}' after set statement.");
        NodeList body = parseNodesUntil({Kind::endset});
        consumeEndTag(Kind::endset, "Expected '{%' for endset.", "Expected '%}' after endset.");
        // The block form is the one without a value.
        const std::optional<Expression> noValue;
        return Statement::set(std::move(target), noValue, std::move(body));
    }

    Statement parseMacro() {
        std::string macroName = consumeIdentifier();
        consume(Kind::openParen, "Expected '(' after macro name.");
        std::vector<std::string> parameters;
        MacroDefaults defaults;
        if (!check(Kind::closeParen)) {
            while (true) {
                std::string parameter = consumeIdentifier();
                parameters.push_back(parameter);
                if (check(Kind::equals)) {
                    advance();
                    defaults.updateValue(std::move(parameter), parseTernary());
                }
                if (!check(Kind::comma)) {
                    break;
                }
                advance();
            }
        }
        consume(Kind::closeParen, "Expected ')' after macro parameters.");
        consume(Kind::closeStatement, "Expected '%}' after macro definition.");
        NodeList body = parseNodesUntil({Kind::endmacro});
        consumeEndTag(Kind::endmacro, "Expected '{%' for endmacro.",
                      "Expected '%}' after endmacro.");
        return Statement::macro(std::move(macroName), std::move(parameters), std::move(defaults),
                                std::move(body));
    }

    Statement parseCallBlock() {
        std::optional<ExpressionList> callerArgs;
        if (check(Kind::openParen)) {
            advance();
            // Keyword entries are read and dropped.
            callerArgs = ExpressionList(parseArguments().positional);
            consume(Kind::closeParen, "Expected ')' after caller arguments.");
        }
        Expression callable = parseTernary();
        consume(Kind::closeStatement, "Expected '%}' after call statement.");
        NodeList body = parseNodesUntil({Kind::endcall});
        consumeEndTag(Kind::endcall, "Expected '{%' for endcall.", "Expected '%}' after endcall.");
        return Statement::call(std::move(callable), std::move(callerArgs), std::move(body));
    }

    Statement parseFilterBlock() {
        Expression filterExpr = parseTernary();
        consume(Kind::closeStatement, "Expected '%}' after filter statement.");
        NodeList body = parseNodesUntil({Kind::endfilter});
        consumeEndTag(Kind::endfilter, "Expected '{%' for endfilter.",
                      "Expected '%}' after endfilter.");
        return Statement::filter(std::move(filterExpr), std::move(body));
    }

    Statement parseGeneration() {
        consume(Kind::closeStatement, "Expected '%}' after generation statement.");
        NodeList body = parseNodesUntil({Kind::endgeneration});
        consumeEndTag(Kind::endgeneration, "Expected '{%' for endgeneration.",
                      "Expected '%}' after endgeneration.");
        return Statement::generation(std::move(body));
    }

    // --- Expressions, loosest to tightest -----------------------------------------------------

    Expression parseExpressionSequence() {
        Expression first = parseTernary();
        if (!check(Kind::comma)) {
            return first;
        }
        std::vector<Expression> items{std::move(first)};
        while (check(Kind::comma)) {
            advance();
            items.push_back(parseTernary());
        }
        return checked(Expression::tuple(std::move(items)));
    }

    Expression parseTernary() {
        NestingGuard guard(*this);
        Expression value = parseOr();
        if (!check(Kind::if_)) {
            return value;
        }
        advance();
        Expression test = parseOr();
        std::optional<Expression> alternate;
        if (check(Kind::else_)) {
            advance();
            alternate = parseTernary();
        }
        return checked(
            Expression::ternary(std::move(value), std::move(test), std::move(alternate)));
    }

    Expression parseOr() {
        Expression left = parseAnd();
        while (check(Kind::or_)) {
            advance();
            left = checked(Expression::binary(BinaryOp::or_, std::move(left), parseAnd()));
        }
        return left;
    }

    Expression parseAnd() {
        Expression left = parseNot();
        while (check(Kind::and_)) {
            advance();
            left = checked(Expression::binary(BinaryOp::and_, std::move(left), parseNot()));
        }
        return left;
    }

    Expression parseNot() {
        if (!check(Kind::not_)) {
            return parseComparison();
        }
        advance();
        NestingGuard guard(*this);
        return checked(Expression::unary(UnaryOp::not_, parseNot()));
    }

    Expression parseComparison() {
        Expression left = parseTerm();
        while (true) {
            if (const auto op = comparisonOperator(current().kind())) {
                advance();
                left = checked(Expression::binary(*op, std::move(left), parseTerm()));
            } else if (check(Kind::not_) && nextKind() == Kind::in) {
                advance();
                advance();
                left = checked(Expression::binary(BinaryOp::notIn, std::move(left), parseTerm()));
            } else if (check(Kind::is)) {
                advance();
                left = checked(parseTest(std::move(left)));
            } else {
                return left;
            }
        }
    }

    // After "is": an optional "not", the test's name, then its arguments.
    Expression parseTest(Expression operand) {
        bool negated = false;
        if (check(Kind::not_)) {
            advance();
            negated = true;
        }
        std::string testName;
        switch (current().kind()) {
            case Kind::identifier:
                testName = consumeIdentifier();
                break;
            case Kind::boolean:
            case Kind::null:
                // "is none", "is True": the word as written names the test.
                testName = std::string(current().value());
                advance();
                break;
            default:
                fail(fmt::format("Expected test name but found {}.", name(current().kind())));
        }
        std::vector<Expression> args;
        if (check(Kind::openParen)) {
            advance();
            args = parseArguments().positional;
            consume(Kind::closeParen, "Expected ')' after test arguments.");
        } else {
            switch (current().kind()) {
                case Kind::string:
                case Kind::number:
                case Kind::boolean:
                case Kind::null:
                case Kind::identifier:
                    args.push_back(parseConcat());
                    break;
                default:
                    break;
            }
        }
        return Expression::test(std::move(operand), std::move(testName), std::move(args), negated);
    }

    Expression parseTerm() {
        Expression left = parseConcat();
        while (check(Kind::plus) || check(Kind::minus)) {
            const BinaryOp op = *binaryOperator(current().kind());
            advance();
            left = checked(Expression::binary(op, std::move(left), parseConcat()));
        }
        return left;
    }

    Expression parseConcat() {
        Expression left = parseFilter();
        while (true) {
            if (check(Kind::concat)) {
                advance();
            } else if (!primaryExpressionStarter(current().kind())) {
                return left;
            }
            // Otherwise an operand right after an operand: implicit concatenation.
            left = checked(Expression::binary(BinaryOp::concat, std::move(left), parseFilter()));
        }
    }

    Expression parseFilter() {
        Expression operand = parseFactor();
        while (check(Kind::pipe)) {
            advance();
            std::string filterName = consumeIdentifier();
            Arguments args;
            if (check(Kind::openParen)) {
                advance();
                args = parseArguments();
                consume(Kind::closeParen, "Expected ')' after filter arguments.");
            }
            operand =
                checked(Expression::filter(std::move(operand), std::move(filterName),
                                           std::move(args.positional), std::move(args.keywords)));
        }
        return operand;
    }

    Expression parseFactor() {
        Expression left = parseExponent();
        while (const auto op = multiplicativeOperator(current().kind())) {
            advance();
            left = checked(Expression::binary(*op, std::move(left), parseExponent()));
        }
        return left;
    }

    Expression parseExponent() {
        Expression left = parseUnary();
        while (check(Kind::power)) {
            advance();
            left = checked(Expression::binary(BinaryOp::power, std::move(left), parseUnary()));
        }
        return left;
    }

    Expression parseUnary() {
        if (!check(Kind::plus) && !check(Kind::minus)) {
            return parseAccess();
        }
        const UnaryOp op = check(Kind::plus) ? UnaryOp::plus : UnaryOp::minus;
        advance();
        NestingGuard guard(*this);
        return checked(Expression::unary(op, parseUnary()));
    }

    Expression parseAccess() {
        Expression expr = parsePrimary();
        while (true) {
            if (check(Kind::openParen)) {
                advance();
                Arguments args = parseArguments();
                consume(Kind::closeParen, "Expected ')' after arguments.");
                expr = checked(Expression::call(std::move(expr), std::move(args.positional),
                                                std::move(args.keywords)));
            } else if (check(Kind::dot)) {
                advance();
                expr = checked(parseAttribute(std::move(expr)));
            } else if (check(Kind::openBracket)) {
                advance();
                expr = checked(parseSubscript(std::move(expr)));
            } else {
                return expr;
            }
        }
    }

    // After ".": an integer index or a name.
    Expression parseAttribute(Expression object) {
        if (check(Kind::number)) {
            const std::int64_t index = consumeIntegerAttribute();
            return Expression::member(std::move(object), Expression::integer(index), true);
        }
        if (allowedAsIdentifier(current().kind())) {
            return Expression::member(std::move(object),
                                      Expression::identifier(consumeIdentifier()), false);
        }
        fail(fmt::format("Expected identifier or integer after '.' but found {}.",
                         name(current().kind())));
    }

    // After "[": an index, or a slice when a colon follows the (optional) start.
    Expression parseSubscript(Expression object) {
        auto bound = [this]() -> std::optional<Expression> {
            if (check(Kind::closeBracket) || check(Kind::colon)) {
                return std::nullopt;
            }
            return parseTernary();
        };
        std::optional<Expression> start = bound();
        Expression result = [&] {
            if (check(Kind::colon)) {
                advance();
                std::optional<Expression> stop = bound();
                std::optional<Expression> step;
                if (check(Kind::colon)) {
                    advance();
                    step = parseTernary();
                }
                return Expression::slice(std::move(object), std::move(start), std::move(stop),
                                         std::move(step));
            }
            if (!start) {
                fail("Invalid subscript");
            }
            return Expression::member(std::move(object), std::move(*start), true);
        }();
        consume(Kind::closeBracket, "Expected ']' after index.");
        return result;
    }

    std::int64_t consumeIntegerAttribute() {
        const std::string_view text = current().value();
        advance();
        if (text.find('.') != std::string_view::npos || hasLeadingZero(text)) {
            fail(fmt::format("Invalid integer '{}' after '.'.", text));
        }
        const std::int64_t value = parseIntegerLiteral(text);
        if (current_ < tokens_.size() && !check(Kind::eof) &&
            invalidAfterIntegerAttribute(current().kind())) {
            fail(fmt::format("Unexpected {} '{}' after '.{}'.", name(current().kind()),
                             current().value(), text));
        }
        return value;
    }

    Arguments parseArguments() {
        Arguments args;
        if (check(Kind::closeParen)) {
            return args;
        }
        while (true) {
            if (check(Kind::identifier) && nextKind() == Kind::equals) {
                std::string keyword(current().value());
                advance();
                advance();
                args.keywords.insert_or_assign(std::move(keyword), parseTernary());
            } else {
                args.positional.push_back(parseTernary());
            }
            if (!check(Kind::comma)) {
                return args;
            }
            advance();
        }
    }

    Expression parsePrimary() {
        const Token& token = current();
        switch (token.kind()) {
            case Kind::string:
                advance();
                return Expression::string(std::string(token.value()));
            case Kind::number:
                advance();
                if (token.value().find('.') != std::string_view::npos) {
                    return Expression::number(parseNumberLiteral(token.value()));
                }
                return Expression::integer(parseIntegerLiteral(token.value()));
            case Kind::boolean:
                advance();
                return Expression::boolean(token.value() == "true" || token.value() == "True");
            case Kind::null:
                advance();
                return Expression::null();
            case Kind::identifier:
            case Kind::and_:
            case Kind::or_:
            case Kind::not_:
            case Kind::in:
            case Kind::is:
            case Kind::if_:
            case Kind::else_:
            case Kind::for_:
            case Kind::set:
            case Kind::break_:
            case Kind::continue_:
                advance();
                return Expression::identifier(std::string(token.value()));
            case Kind::multiply: {
                advance();
                NestingGuard guard(*this);
                return checked(Expression::unary(UnaryOp::splat, parsePrimary()));
            }
            case Kind::openParen:
                advance();
                return parseGroupOrTuple();
            case Kind::openBracket:
                advance();
                return parseArrayLiteral();
            case Kind::openBrace:
                advance();
                return parseObjectLiteral();
            default:
                fail(
                    fmt::format("Unexpected token for primary expression: {}", name(token.kind())));
        }
    }

    Expression parseGroupOrTuple() {
        if (check(Kind::closeParen)) {
            advance();
            return Expression::tuple({});
        }
        Expression first = parseTernary();
        if (!check(Kind::comma)) {
            consume(Kind::closeParen, "Expected ')' after expression.");
            return first;
        }
        std::vector<Expression> items{std::move(first)};
        while (true) {
            advance();  // the comma
            if (check(Kind::closeParen)) {
                break;
            }
            items.push_back(parseTernary());
            if (!check(Kind::comma)) {
                break;
            }
        }
        consume(Kind::closeParen, "Expected ')' after tuple.");
        return checked(Expression::tuple(std::move(items)));
    }

    Expression parseArrayLiteral() {
        std::vector<Expression> items;
        if (!check(Kind::closeBracket)) {
            items.push_back(parseTernary());
            while (check(Kind::comma)) {
                advance();
                if (check(Kind::closeBracket)) {
                    break;
                }
                items.push_back(parseTernary());
            }
        }
        consume(Kind::closeBracket, "Expected ']' after array literal.");
        return checked(Expression::array(std::move(items)));
    }

    Expression parseObjectLiteral() {
        ObjectEntries entries;
        if (!check(Kind::closeBrace)) {
            while (true) {
                ObjectKey key = parseObjectKey();
                consume(Kind::colon, "Expected ':' after object key.");
                // A repeated key keeps its first place and takes the later value.
                entries.updateValue(std::move(key), parseTernary());
                if (!check(Kind::comma)) {
                    break;
                }
                advance();
                if (check(Kind::closeBrace)) {
                    break;
                }
            }
        }
        consume(Kind::closeBrace, "Expected '}' after object literal.");
        return checked(Expression::object(std::move(entries)));
    }

    // A bare name is a text key, not a variable.
    ObjectKey parseObjectKey() {
        const Token& token = current();
        switch (token.kind()) {
            case Kind::string:
            case Kind::identifier:
                advance();
                return ObjectKey(std::string(token.value()));
            case Kind::number:
                if (token.value().find('.') != std::string_view::npos) {
                    fail(fmt::format("Expected integer for numeric object key. Got {} instead.",
                                     describe(token)));
                }
                advance();
                return ObjectKey(parseIntegerLiteral(token.value()));
            default:
                fail(fmt::format(
                    "Expected string literal, identifier, or integer for object key. Got {} "
                    "instead.",
                    describe(token)));
        }
    }

    const std::vector<Token>& tokens_;
    std::size_t current_ = 0;
    std::size_t nesting_ = 0;
    // Levels of the tree open at the current token: real nesting, and the links of the elif
    // chains it lies in.
    std::size_t statementDepth_ = 0;
};

}  // namespace

NodeList Parser::parse(const std::vector<Token>& tokens) {
    return TokenParser(tokens).parseTemplate();
}

}  // namespace templates
