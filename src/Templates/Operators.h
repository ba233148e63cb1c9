// The binary operators of the language in one table: the text of each (as the lexer reads it and
// the tree's coding writes it) and the token the lexer makes of that text.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "templates/Expression.h"
#include "templates/Token.h"

namespace templates {

struct BinaryOperator {
    Expression::BinaryOp op;
    std::string_view text;
    Token::Kind token;
};

// In the order of BinaryOp.
inline constexpr std::array<BinaryOperator, 18> binaryOperators = {{
    {Expression::BinaryOp::add, "+", Token::Kind::plus},
    {Expression::BinaryOp::subtract, "-", Token::Kind::minus},
    {Expression::BinaryOp::multiply, "*", Token::Kind::multiply},
    {Expression::BinaryOp::divide, "/", Token::Kind::divide},
    {Expression::BinaryOp::floorDivide, "//", Token::Kind::floorDivide},
    {Expression::BinaryOp::power, "**", Token::Kind::power},
    {Expression::BinaryOp::modulo, "%", Token::Kind::modulo},
    {Expression::BinaryOp::concat, "~", Token::Kind::concat},
    {Expression::BinaryOp::equal, "==", Token::Kind::equal},
    {Expression::BinaryOp::notEqual, "!=", Token::Kind::notEqual},
    {Expression::BinaryOp::less, "<", Token::Kind::less},
    {Expression::BinaryOp::lessEqual, "<=", Token::Kind::lessEqual},
    {Expression::BinaryOp::greater, ">", Token::Kind::greater},
    {Expression::BinaryOp::greaterEqual, ">=", Token::Kind::greaterEqual},
    {Expression::BinaryOp::and_, "and", Token::Kind::and_},
    {Expression::BinaryOp::or_, "or", Token::Kind::or_},
    {Expression::BinaryOp::in, "in", Token::Kind::in},
    {Expression::BinaryOp::notIn, "not in", Token::Kind::notIn},
}};

constexpr bool inOperatorOrder() {
    for (std::size_t i = 0; i < binaryOperators.size(); ++i) {
        if (static_cast<std::size_t>(binaryOperators[i].op) != i) {
            return false;
        }
    }
    return true;
}
static_assert(inOperatorOrder());

// The operator a token stands for between two operands.
constexpr std::optional<Expression::BinaryOp> binaryOperator(Token::Kind token) noexcept {
    for (const BinaryOperator& row : binaryOperators) {
        if (row.token == token) {
            return row.op;
        }
    }
    return std::nullopt;
}

}  // namespace templates
