#include "templates/Lexer.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <random>

#include "TreePrinter.h"
#include "templates/TemplateError.h"

namespace templates {
namespace {

std::string lex(std::string_view source) {
    return printTokens(Lexer::tokenize(source));
}

std::string lexerError(std::string_view source) {
    try {
        Lexer::tokenize(source);
    } catch (const TemplateError& e) {
        EXPECT_EQ(e.errorCase(), TemplateError::Case::lexer);
        return e.errorDescription();
    }
    return "no error";
}

struct GoldenCase {
    const char* source;
    const char* tokens;
};

TEST(LexerTest, GoldenTokenLists) {
    const GoldenCase cases[] = {
        {"", "eof''@0"},
        {"Hello {{ name }}!",
         "text'Hello '@0 openExpression'{{'@6 identifier'name'@9 closeExpression'}}'@14 "
         "text'!'@16 eof''@17"},
        {"{{x}}", "openExpression'{{'@0 identifier'x'@2 closeExpression'}}'@3 eof''@5"},
        // Outside tags braces are plain text.
        {"a}}b", "text'a}}b'@0 eof''@4"},
        {"{ x }", "text'{ x }'@0 eof''@5"},
        {"abc{", "text'abc{'@0 eof''@4"},
        {"a%}b", "text'a%}b'@0 eof''@4"},
        // "}}" closes the tag only at brace depth 0, in either direction.
        {"{{ {'a': {'b': 1}} }}",
         "openExpression'{{'@0 openBrace'{'@3 string'a'@4 colon':'@7 openBrace'{'@9 "
         "string'b'@10 colon':'@13 number'1'@15 closeBrace'}'@16 closeBrace'}'@17 "
         "closeExpression'}}'@19 eof''@21"},
        {"{{ } }}", "openExpression'{{'@0 closeBrace'}'@3 closeBrace'}'@5 closeBrace'}'@6 eof''@7"},
        {"{{ x %}", "openExpression'{{'@0 identifier'x'@3 closeStatement'%}'@5 eof''@7"},
        // A tag that never closes is the parser's business.
        {"{{ x", "openExpression'{{'@0 identifier'x'@3 eof''@4"},
        {"{{ a//b**c=d==e|f~g!=h<=i>=j<k>l%m }}",
         "openExpression'{{'@0 identifier'a'@3 floorDivide'//'@4 identifier'b'@6 power'**'@7 "
         "identifier'c'@9 equals'='@10 identifier'd'@11 equal'=='@12 identifier'e'@14 "
         "pipe'|'@15 identifier'f'@16 concat'~'@17 identifier'g'@18 notEqual'!='@19 "
         "identifier'h'@21 lessEqual'<='@22 identifier'i'@24 greaterEqual'>='@25 "
         "identifier'j'@27 less'<'@28 identifier'k'@29 greater'>'@30 identifier'l'@31 "
         "modulo'%'@32 identifier'm'@33 closeExpression'}}'@35 eof''@37"},
        {"{{ -1 + +2 * 3 / 4 }}",
         "openExpression'{{'@0 minus'-'@3 number'1'@4 plus'+'@6 plus'+'@8 number'2'@9 "
         "multiply'*'@11 number'3'@13 divide'/'@15 number'4'@17 closeExpression'}}'@19 eof''@21"},
        // A number after "." takes no fraction, so attribute chains stay apart.
        {"{{ x.0.1 }}",
         "openExpression'{{'@0 identifier'x'@3 dot'.'@4 number'0'@5 dot'.'@6 number'1'@7 "
         "closeExpression'}}'@9 eof''@11"},
        {"{{ 1.2.3 }}",
         "openExpression'{{'@0 number'1.2'@3 dot'.'@6 number'3'@7 closeExpression'}}'@9 "
         "eof''@11"},
        {"{{ 1. 1e5 }}",
         "openExpression'{{'@0 number'1.'@3 number'1'@6 identifier'e5'@7 "
         "closeExpression'}}'@10 eof''@12"},
        {"{% if x not in y %}",
         "openStatement'{%'@0 if'if'@3 identifier'x'@6 not'not'@8 in'in'@12 identifier'y'@15 "
         "closeStatement'%}'@17 eof''@19"},
        {"{{ True none None TRUE Null _x9 }}",
         "openExpression'{{'@0 boolean'True'@3 null'none'@8 null'None'@13 identifier'TRUE'@18 "
         "identifier'Null'@23 identifier'_x9'@28 closeExpression'}}'@32 eof''@34"},
        // Comments open in both modes and keep their body; "#" alone belongs to the body.
        {"a{# x # y #}b", "text'a'@0 comment' x # y '@1 text'b'@12 eof''@13"},
        {"{##}", "comment''@0 eof''@4"},
        {"{{ a {# c #} b }}",
         "openExpression'{{'@0 identifier'a'@3 comment' c '@5 identifier'b'@13 "
         "closeExpression'}}'@15 eof''@17"},
        // Inside a string literal tag markers are plain content.
        {"{{ 'a}}b{%c' }}",
         "openExpression'{{'@0 string'a}}b{%c'@3 closeExpression'}}'@13 eof''@15"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lex(c.source), c.tokens) << c.source;
    }
}

TEST(LexerTest, StringEscapes) {
    const struct {
        const char* source;
        const char* value;
    } cases[] = {
        {R"({{ 'a\nb' }})", "a\nb"},    {R"({{ "\t\r\b\f\v" }})", "\t\r\b\f\v"},
        {R"({{ '\\\'\"' }})", "\\'\""}, {R"({{ '\q' }})", "q"},
        {R"({{ "it's" }})", "it's"},    {"{{ 'two\nlines' }}", "two\nlines"},
    };
    for (const auto& c : cases) {
        const auto tokens = Lexer::tokenize(c.source);
        ASSERT_EQ(tokens.size(), 4u) << c.source;
        EXPECT_EQ(tokens[1].kind(), Token::Kind::string);
        EXPECT_EQ(tokens[1].value(), c.value) << c.source;
        EXPECT_EQ(tokens[1].position(), 3);
    }
}

TEST(LexerTest, Failures) {
    const struct {
        const char* source;
        const char* description;
    } cases[] = {
        {"{{ 'abc }}", "Lexer error: Unclosed string at position 3"},
        {R"({{ "abc\)", "Lexer error: Unclosed string at position 3"},
        {"ab{# x", "Lexer error: Unclosed comment at position 2"},
        {"{#}", "Lexer error: Unclosed comment at position 0"},
        {"{#", "Lexer error: Unclosed comment at position 0"},
        {"{{ @ }}", "Lexer error: Unexpected character '@' at position 3"},
        {"{{ a ! b }}", "Lexer error: Unexpected character '!' at position 5"},
        {"{% x ? %}", "Lexer error: Unexpected character '?' at position 5"},
        {R"({{ \n }})", "Lexer error: Unexpected character '\\' at position 3"},
        // The reported character is a whole grapheme cluster.
        {"{{ $\xCC\x81 }}", "Lexer error: Unexpected character '$\xCC\x81' at position 3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lexerError(c.source), c.description) << c.source;
    }
}

TEST(LexerTest, PositionsCountGraphemeClusters) {
    // "e" + combining acute is one character; so is CR LF.
    EXPECT_EQ(lex("e\xCC\x81\r\n{{ x }}"),
              "text'e\xCC\x81\r\n'@0 openExpression'{{'@2 identifier'x'@5 "
              "closeExpression'}}'@7 eof''@9");
    // A brace carrying a combining mark is not a brace.
    EXPECT_EQ(lex("{\xCC\x81{ x }}"), "text'{\xCC\x81{ x }}'@0 eof''@7");
    // Letters and digits of any script; a fraction character is a number character.
    EXPECT_EQ(lex("{{ \xC3\xA9t\xC3\xA9 \xD9\xA3 \xC2\xBD }}"),
              "openExpression'{{'@0 identifier'\xC3\xA9t\xC3\xA9'@3 number'\xD9\xA3'@7 "
              "number'\xC2\xBD'@9 closeExpression'}}'@11 eof''@13");
    // A no-break space separates tokens inside a tag.
    EXPECT_EQ(lex("{{\xC2\xA0x}}"),
              "openExpression'{{'@0 identifier'x'@3 closeExpression'}}'@4 eof''@6");
}

TEST(LexerTest, IllFormedUtf8IsRepaired) {
    EXPECT_EQ(lex("a\xFF{{ 'b\xC3' }}"),
              "text'a\xEF\xBF\xBD'@0 openExpression'{{'@2 string'b\xEF\xBF\xBD'@5 "
              "closeExpression'}}'@10 eof''@12");
}

TEST(LexerTest, WhitespaceControl) {
    const struct {
        const char* source;
        const char* rewritten;
    } cases[] = {
        {"a  {%- if x -%}  b", "a{% if x %}b"},
        {"a \n{{- x -}}\n b", "a{{ x }}b"},
        {"a\t{#- c -#} b", "a{# c #}b"},
        {"{  {%- x %}", "{ {% x %}"},
        {"{\n{{- x }}", "{ {{ x }}"},
        {"{{%- x %}", "{{%- x %}"},
        {"{%- x %}", "{% x %}"},
        {"{{- x }}", "{{ x }}"},
        // Whitespace before an opening marker at the very start goes entirely.
        {"  {%- x %}", "{% x %}"},
        {" \n {{- x }}", "{{ x }}"},
        {" {#- c #}", "{# c #}"},
        // The rewrites act inside string literals too.
        {"{{ '-}}  ' }}", "{{ '}}' }}"},
        // CR LF is one whitespace character.
        {"x -%}\r\n\r\ny", "x %}y"},
        {"x\r\n{%- y %}", "x{% y %}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Lexer::preprocess(c.source), c.rewritten) << c.source;
    }
    // Positions refer to the rewritten text.
    EXPECT_EQ(lex("a  {%- x %}"),
              "text'a'@0 openStatement'{%'@1 identifier'x'@4 closeStatement'%}'@6 eof''@8");
}

// Reference: the twelve rewrites as ICU regular expressions, applied one after another (with
// each start-anchored rewrite ahead of its neighbour that keeps one character).
std::string referenceRewrite(const std::string& text) {
    static const std::pair<const char*, const char*> steps[] = {
        {"-%\\}\\s*", "%}"},        {"-\\}\\}\\s*", "}}"},  {"-#\\}\\s*", "#}"},
        {"\\{\\s+\\{%-", "{ {%"},   {"^\\s*\\{%-", "{%"},   {"([^\\{])\\s*\\{%-", "$1{%"},
        {"\\{\\s+\\{\\{-", "{ {{"}, {"^\\s*\\{\\{-", "{{"}, {"([^\\{])\\s*\\{\\{-", "$1{{"},
        {"\\{\\s+\\{#-", "{ {#"},   {"^\\s*\\{#-", "{#"},   {"([^\\{])\\s*\\{#-", "$1{#"},
    };
    icu::UnicodeString current = icu::UnicodeString::fromUTF8(text);
    for (const auto& [pattern, replacement] : steps) {
        UErrorCode status = U_ZERO_ERROR;
        icu::RegexMatcher matcher(icu::UnicodeString::fromUTF8(pattern), 0, status);
        matcher.reset(current);
        current = matcher.replaceAll(icu::UnicodeString::fromUTF8(replacement), status);
        EXPECT_TRUE(U_SUCCESS(status)) << pattern;
    }
    std::string out;
    current.toUTF8String(out);
    return out;
}

TEST(LexerTest, RewritesMatchRegularExpressionReference) {
    // Characters where code points and grapheme clusters coincide, so ICU's code-point regular
    // expressions are a faithful reference.
    const std::vector<std::string> alphabet = {" ", " ", "\t", "\n", "{", "{",       "%",
                                               "#", "}", "-",  "-",  "a", "\xC3\xA9"};
    std::mt19937 random(20240611);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int length = std::uniform_int_distribution<int>(0, 24)(random);
        for (int i = 0; i < length; ++i) {
            text += alphabet[std::uniform_int_distribution<std::size_t>(
                0, alphabet.size() - 1)(random)];
        }
        ASSERT_EQ(Lexer::preprocess(text), referenceRewrite(text)) << "input: '" << text << "'";
    }
}

}  // namespace
}  // namespace templates
