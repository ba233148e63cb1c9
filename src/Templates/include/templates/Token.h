#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "templates/Hasher.h"
#include "templates/SyntaxBase.h"

namespace templates {

// One lexical unit of a template. Its text is a view into storage the token shares: the whole
// preprocessed source for most tokens (so lexing copies no text), a string of its own for string
// literals and comments. A token is therefore self-contained and may outlive the lexer's input.
class Token : public SyntaxHash<Token> {
public:
    // The case index is the in-memory tag; names that are C++ keywords carry a trailing
    // underscore, and name() gives every case's proper name, which parser messages show.
    enum class Kind : std::uint8_t {
        text,
        openExpression,
        closeExpression,
        openStatement,
        closeStatement,
        string,
        number,
        boolean,
        null,
        identifier,
        openParen,
        closeParen,
        openBracket,
        closeBracket,
        openBrace,
        closeBrace,
        comma,
        dot,
        colon,
        pipe,
        equals,
        plus,
        minus,
        multiply,
        divide,
        floorDivide,
        power,
        modulo,
        concat,
        equal,
        notEqual,
        less,
        lessEqual,
        greater,
        greaterEqual,
        and_,
        or_,
        not_,
        in,
        notIn,
        is,
        if_,
        else_,
        elif,
        endif,
        for_,
        endfor,
        set,
        endset,
        macro,
        endmacro,
        break_,
        continue_,
        call,
        endcall,
        filter,
        endfilter,
        generation,
        endgeneration,
        comment,
        eof,
    };
    static constexpr int kindCount = 61;

    // Builds a token that owns its text.
    Token(Kind kind, std::string value, std::int64_t position);
    // Builds a token whose text is a slice of shared storage; `value` must lie inside *storage.
    Token(Kind kind, std::shared_ptr<const std::string> storage, std::string_view value,
          std::int64_t position) noexcept
        : kind_(kind), storage_(std::move(storage)), value_(value), position_(position) {}

    Kind kind() const noexcept { return kind_; }
    std::string_view value() const noexcept { return value_; }
    // Characters from the start of the preprocessed source to the token's first character.
    std::int64_t position() const noexcept { return position_; }

    // Every kind in declaration order, text first and eof last.
    static const std::array<Kind, kindCount>& allKinds() noexcept;

    // Same kind, canonically equivalent value texts (wherever they are stored) and the same
    // position.
    friend bool operator==(const Token& a, const Token& b);
    // The kind's index as a word, the value as text (consistent with ==), the position.
    void hashInto(Hasher& hasher) const;

private:
    Kind kind_;
    std::shared_ptr<const std::string> storage_;
    std::string_view value_;
    std::int64_t position_;
};

std::string_view name(Token::Kind kind) noexcept;

}  // namespace templates

template <>
struct std::hash<templates::Token> {
    std::size_t operator()(const templates::Token& token) const { return token.hashValue(); }
};
