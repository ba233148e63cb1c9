#include "templates/Token.h"

#include <array>

namespace templates {

Token::Token(Kind kind, std::string value, std::int64_t position)
    : kind_(kind), position_(position) {
    if (!value.empty()) {
        storage_ = std::make_shared<const std::string>(std::move(value));
        value_ = *storage_;
    }
}

std::string_view name(Token::Kind kind) noexcept {
    static constexpr std::array<std::string_view, Token::kindCount> names = {
        "text",
        "openExpression",
        "closeExpression",
        "openStatement",
        "closeStatement",
        "string",
        "number",
        "boolean",
        "null",
        "identifier",
        "openParen",
        "closeParen",
        "openBracket",
        "closeBracket",
        "openBrace",
        "closeBrace",
        "comma",
        "dot",
        "colon",
        "pipe",
        "equals",
        "plus",
        "minus",
        "multiply",
        "divide",
        "floorDivide",
        "power",
        "modulo",
        "concat",
        "equal",
        "notEqual",
        "less",
        "lessEqual",
        "greater",
        "greaterEqual",
        "and",
        "or",
        "not",
        "in",
        "notIn",
        "is",
        "if",
        "else",
        "elif",
        "endif",
        "for",
        "endfor",
        "set",
        "endset",
        "macro",
        "endmacro",
        "break",
        "continue",
        "call",
        "endcall",
        "filter",
        "endfilter",
        "generation",
        "endgeneration",
        "comment",
        "eof",
    };
    const auto index = static_cast<std::size_t>(kind);
    return index < names.size() ? names[index] : std::string_view{};
}

}  // namespace templates
