#include "templates/Parser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TreePrinter.h"
#include "templates/Lexer.h"
#include "templates/TemplateError.h"

namespace templates {
namespace {

std::string parsed(std::string_view source) {
    return print(Parser::parse(Lexer::tokenize(source)));
}

// The tree of one output tag holding `source`.
std::string expr(std::string_view source) {
    const NodeList nodes = Parser::parse(Lexer::tokenize("{{ " + std::string(source) + " }}"));
    EXPECT_EQ(nodes.size(), 1u) << source;
    return nodes.empty() ? "" : print(nodes[0].as<Expression>());
}

std::string parserError(const std::vector<Token>& tokens) {
    try {
        Parser::parse(tokens);
    } catch (const TemplateError& e) {
        EXPECT_EQ(e.errorCase(), TemplateError::Case::parser);
        return e.errorDescription();
    }
    return "no error";
}

std::string parserError(std::string_view source) {
    return parserError(Lexer::tokenize(source));
}

struct Case {
    const char* source;
    const char* expected;
};

TEST(ParserTest, TemplateStructure) {
    const Case cases[] = {
        {"", "[]"},
        {"Hello {{ name }}!", "[\"Hello \" {{name}} \"!\"]"},
        {"a{# c #}b", "[\"a\" {# c #} \"b\"]"},
        {"{% if a %}A{% elif b %}B{% elif c %}C{% else %}D{% endif %}",
         "[{%(if a [\"A\"] [{%(if b [\"B\"] [{%(if c [\"C\"] [\"D\"])%}])%}])%}]"},
        {"{% if a %}{% if b %}x{% endif %}{% endif %}", "[{%(if a [{%(if b [\"x\"] [])%}] [])%}]"},
        {"{% for a, b in pairs %}{{ a }}{% endfor %}", "[{%(for (a, b) pairs [{{a}}] [])%}]"},
        {"{% for x in items if x %}{{ x }}{% else %}empty{% endfor %}",
         "[{%(for x items if x [{{x}}] [\"empty\"])%}]"},
        {"{% for x in a if b if c else d %}{% endfor %}", "[{%(for x a if (if b c d) [] [])%}]"},
        {"{% for if in x %}{% endfor %}", "[{%(for if x [] [])%}]"},
        {"{% set a, b = 1, 2 %}", "[{%(set (a, b) (1, 2))%}]"},
        {"{% set ns.x = y | f %}", "[{%(set (. ns x) (| y f))%}]"},
        {"{% set x %}abc{{ y }}{% endset %}", "[{%(set x [\"abc\" {{y}}])%}]"},
        {"{% macro m(a, b=1, c) %}{{ a }}{% endmacro %}", "[{%(macro m (a b=1 c) [{{a}}])%}]"},
        {"{% macro m() %}{% endmacro %}", "[{%(macro m () [])%}]"},
        // A repeated parameter stays repeated; its default is the later one.
        {"{% macro m(a=1, b, a=2) %}{% endmacro %}", "[{%(macro m (a=2 b a=2) [])%}]"},
        {"{% call m(1) %}x{% endcall %}", "[{%(callblock _ (call m 1) [\"x\"])%}]"},
        {"{% call() m(1) %}{% endcall %}", "[{%(callblock () (call m 1) [])%}]"},
        {"{% call(x, y=2) m() %}{% endcall %}", "[{%(callblock (x) (call m) [])%}]"},
        {"{% filter upper %}x{% endfilter %}", "[{%(filter upper [\"x\"])%}]"},
        {"{% filter truncate(5) | upper %}{% endfilter %}",
         "[{%(filter (| (call truncate 5) upper) [])%}]"},
        {"{% generation %}x{% endgeneration %}", "[{%(generation [\"x\"])%}]"},
        {"{% break %}{% continue %}", "[{%break%} {%continue%}]"},
        {"{%- if x -%}\n  a\n{%- endif %}", "[{%(if x [\"a\"] [])%}]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parsed(c.source), c.expected) << c.source;
    }
}

TEST(ParserTest, AdjacentTextMerges) {
    const std::vector<Token> tokens = {
        Token(Token::Kind::text, "a", 0),
        Token(Token::Kind::text, "b", 1),
        Token(Token::Kind::openStatement, "{%", 2),
        Token(Token::Kind::generation, "generation", 4),
        Token(Token::Kind::closeStatement, "%}", 14),
        Token(Token::Kind::text, "c", 16),
        Token(Token::Kind::text, "d", 17),
        Token(Token::Kind::openStatement, "{%", 18),
        Token(Token::Kind::endgeneration, "endgeneration", 20),
        Token(Token::Kind::closeStatement, "%}", 33),
        Token(Token::Kind::eof, "", 35),
    };
    EXPECT_EQ(print(Parser::parse(tokens)), "[\"ab\" {%(generation [\"cd\"])%}]");
    // The node loop stops at the first eof.
    EXPECT_EQ(print(Parser::parse({Token(Token::Kind::text, "a", 0), Token(Token::Kind::eof, "", 1),
                                   Token(Token::Kind::text, "b", 1)})),
              "[\"a\"]");
}

TEST(ParserTest, ExpressionPrecedenceAndForms) {
    const Case cases[] = {
        {"1 + 2 * 3", "(+ 1 (* 2 3))"},
        {"2 ** 3 ** 2", "(** (** 2 3) 2)"},
        {"-2 ** 2", "(** (- 2) 2)"},
        {"1 - - +1", "(- 1 (- (+ 1)))"},
        {"a // b % c / d", "(/ (% (// a b) c) d)"},
        // The pipe binds below "*" and above "~" and "+".
        {"a + b | upper", "(+ a (| b upper))"},
        {"a * b | abs", "(| (* a b) abs)"},
        {"\"x\" ~ y | upper", "(~ 'x' (| y upper))"},
        {"-x | abs", "(| (- x) abs)"},
        {"x | f(1, k=2) | g", "(| (| x f 1 k=2) g)"},
        {"x | if", "(| x if)"},
        {"a ~ b + c", "(+ (~ a b) c)"},
        {"\"a\" \"b\" \"c\"", "(~ (~ 'a' 'b') 'c')"},
        {"'Hello ' name", "(~ 'Hello ' name)"},
        {"a or b and c", "(or a (and b c))"},
        {"a and b or c", "(or (and a b) c)"},
        {"not a == b", "(not (== a b))"},
        {"not not x", "(not (not x))"},
        {"a not in b", "(not in a b)"},
        {"a in b != c", "(!= (in a b) c)"},
        {"a < b <= c", "(<= (< a b) c)"},
        {"x is odd == false", "(== (is x odd) false)"},
        {"x is not none", "(is not x none)"},
        {"x is None and x is True", "(and (is x None) (is x True))"},
        {"x is divisibleby 3", "(is x divisibleby 3)"},
        {"x is divisibleby(3)", "(is x divisibleby 3)"},
        {"x is sameas none", "(is x sameas none)"},
        {"x is f(a, k=1)", "(is x f a)"},
        {"x is string and y", "(and (is x string) y)"},
        {"x if y", "(if x y)"},
        {"a if b else c if d else e", "(if a b (if c d e))"},
        {"x.0", "([] x 0)"},
        {"x.0.1", "([] ([] x 0) 1)"},
        {"x.00", "([] x 0)"},
        {"x.0(1)[2]", "([] (call ([] x 0) 1) 2)"},
        {"x.if.items", "(. (. x if) items)"},
        {"x['a'][b]", "([] ([] x 'a') b)"},
        {"x[1:]", "(slice x 1 _ _)"},
        {"x[::2]", "(slice x _ _ 2)"},
        {"messages[::-1]", "(slice messages _ _ (- 1))"},
        {"x[a:b:c]", "(slice x a b c)"},
        {"f(a, b=1, c)", "(call f a c b=1)"},
        {"f(b=1, b=2)", "(call f b=2)"},
        {"f(*xs)", "(call f (* xs))"},
        {"*a.b", "(. (* a) b)"},
        {"f(a if b else c)", "(call f (if a b c))"},
        {"()", "()"},
        {"(a)", "a"},
        {"(a,)", "(a,)"},
        {"(a, b,)", "(a, b)"},
        {"[]", "[]"},
        {"[1, 'a', [2],]", "[1, 'a', [2]]"},
        {"{}", "{}"},
        {"{\"k\": 1, k: 2, 3: 4,}", "{'k': 2, 3: 4}"},
        {"{'a': {'b': 1}}", "{'a': {'b': 1}}"},
        {"if", "if"},
        {"1.5", "n:1.5"},
        {"1.", "n:1"},
        {"007", "7"},
        {"9223372036854775807", "9223372036854775807"},
        {"true False", "(~ true false)"},
        {"x.a.b | join(', ')", "(| (. (. x a) b) join ', ')"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(expr(c.source), c.expected) << c.source;
    }
}

TEST(ParserTest, StatementFailures) {
    const Case cases[] = {
        {"{% if a %}x", "Unclosed if statement"},
        {"{% for x in y %}x", "Unclosed for loop"},
        // An end tag of an outer block is no end tag for the inner one.
        {"{% if a %}{% for x in y %}{% endif %}", "Unknown statement: endif"},
        {"{% endif %}", "Unknown statement: endif"},
        {"{% include \"a\" %}", "Unknown statement: include"},
        {"{% %}", "Unknown statement: %}"},
        {"{%", "Unknown statement: "},
        {"{% if a ) %}", "Expected '%}' after if condition. Got ')' (closeParen) instead."},
        {"{% if a %}{% else x %}", "Expected '%}' after else. Got 'x' (identifier) instead."},
        {"{% if a %}{% else %}x", "Expected '{%' for endif. Got end of input instead."},
        {"{% if a %}{% endif x %}", "Expected '%}' after endif. Got 'x' (identifier) instead."},
        {"{% if a %}{% else %}{% endif x %}",
         "Expected '%}' after endif. Got 'x' (identifier) instead."},
        {"{% for (a, b) in x %}", "Expected identifier but found openParen."},
        {"{% for x, in y %}", "Expected 'in' in for loop. Got 'y' (identifier) instead."},
        {"{% for x in a if b else c %}",
         "Expected '%}' after for loop. Got 'else' (else) instead."},
        {"{% for x in y %}{% else %}", "Expected '{%' for endfor. Got end of input instead."},
        {"{% for x in y %}{% else y %}", "Expected '%}' after else. Got 'y' (identifier) instead."},
        {"{% for x in y %}{% endfor x %}",
         "Expected '%}' after endfor. Got 'x' (identifier) instead."},
        {"{% set x = 1 ) %}", "Expected '%}' after set statement. Got ')' (closeParen) instead."},
        {"{% set x ) %}", "Expected '%}' after set statement. Got ')' (closeParen) instead."},
        {"{% set x %}abc", "Expected '{%' for endset. Got end of input instead."},
        {"{% set x %}{% endset x %}", "Expected '%}' after endset. Got 'x' (identifier) instead."},
        {"{% macro m %}", "Expected '(' after macro name. Got '%}' (closeStatement) instead."},
        {"{% macro m(a b) %}",
         "Expected ')' after macro parameters. Got 'b' (identifier) instead."},
        {"{% macro m(a,) %}", "Expected identifier but found closeParen."},
        {"{% macro m() x %}",
         "Expected '%}' after macro definition. Got 'x' (identifier) instead."},
        {"{% macro m() %}", "Expected '{%' for endmacro. Got end of input instead."},
        {"{% macro m() %}{% endmacro x %}",
         "Expected '%}' after endmacro. Got 'x' (identifier) instead."},
        {"{% break x %}", "Expected '%}' after break. Got 'x' (identifier) instead."},
        {"{% continue x %}", "Expected '%}' after continue. Got 'x' (identifier) instead."},
        {"{% call(x %}", "Expected ')' after caller arguments. Got '%}' (closeStatement) instead."},
        {"{% call m() ) %}", "Expected '%}' after call statement. Got ')' (closeParen) instead."},
        {"{% call m() %}", "Expected '{%' for endcall. Got end of input instead."},
        {"{% call m() %}{% endcall x %}",
         "Expected '%}' after endcall. Got 'x' (identifier) instead."},
        {"{% filter upper ) %}",
         "Expected '%}' after filter statement. Got ')' (closeParen) instead."},
        {"{% filter upper %}", "Expected '{%' for endfilter. Got end of input instead."},
        {"{% filter upper %}{% endfilter x %}",
         "Expected '%}' after endfilter. Got 'x' (identifier) instead."},
        {"{% generation x %}",
         "Expected '%}' after generation statement. Got 'x' (identifier) instead."},
        {"{% generation %}", "Expected '{%' for endgeneration. Got end of input instead."},
        {"{% generation %}{% endgeneration x %}",
         "Expected '%}' after endgeneration. Got 'x' (identifier) instead."},
        {"{{ a ) }}", "Expected '}}' after expression. Got ')' (closeParen) instead."},
        {"{{ x %}", "Expected '}}' after expression. Got '%}' (closeStatement) instead."},
        {"{{ x", "Expected '}}' after expression. Got end of input instead."},
        {"{{ a, b }}", "Expected '}}' after expression. Got ',' (comma) instead."},
        {"{{ \"a\" none }}", "Expected '}}' after expression. Got 'none' (null) instead."},
        {"{{ a not b }}", "Expected '}}' after expression. Got 'not' (not) instead."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parserError(c.source), std::string("Parser error: ") + c.expected) << c.source;
    }
}

TEST(ParserTest, ExpressionFailures) {
    const Case cases[] = {
        {"f(a", "Expected ')' after arguments. Got '}}' (closeExpression) instead."},
        {"x | f(a", "Expected ')' after filter arguments. Got '}}' (closeExpression) instead."},
        {"x is f(a", "Expected ')' after test arguments. Got '}}' (closeExpression) instead."},
        {"x[1", "Expected ']' after index. Got '}}' (closeExpression) instead."},
        {"x[1:2", "Expected ']' after index. Got '}}' (closeExpression) instead."},
        {"(a", "Expected ')' after expression. Got '}}' (closeExpression) instead."},
        {"(a, b", "Expected ')' after tuple. Got '}}' (closeExpression) instead."},
        {"[1", "Expected ']' after array literal. Got '}}' (closeExpression) instead."},
        {"{'a' 1}", "Expected ':' after object key. Got '1' (number) instead."},
        {"{'a': 1 )", "Expected '}' after object literal. Got ')' (closeParen) instead."},
        {"x is in [1]", "Expected test name but found in."},
        {"x is not", "Expected test name but found closeExpression."},
        {"x.filter", "Expected identifier or integer after '.' but found filter."},
        {"x[]", "Invalid subscript"},
        {"x[::]", "Unexpected token for primary expression: closeBracket"},
        {"x.01", "Invalid integer '01' after '.'."},
        {"x. 1.5", "Invalid integer '1.5' after '.'."},
        {"x.0 y", "Unexpected identifier 'y' after '.0'."},
        {"x.0 'y'", "Unexpected string 'y' after '.0'."},
        {"x.0 {}", "Unexpected openBrace '{' after '.0'."},
        {"x.99999999999999999999", "Integer literal '99999999999999999999' is too large."},
        {"9223372036854775808", "Integer literal '9223372036854775808' is too large."},
        {"\xD9\xA3", "Invalid integer literal '\xD9\xA3'."},
        {"\xD9\xA3.\xD9\xA5", "Invalid number literal '\xD9\xA3.\xD9\xA5'."},
        {"{1.5: 0}", "Expected integer for numeric object key. Got '1.5' (number) instead."},
        {"{true: 1}",
         "Expected string literal, identifier, or integer for object key. Got 'true' (boolean) "
         "instead."},
        {"{if: 1}",
         "Expected string literal, identifier, or integer for object key. Got 'if' (if) "
         "instead."},
        {"{99999999999999999999: 1}", "Integer literal '99999999999999999999' is too large."},
        {"f(a,)", "Unexpected token for primary expression: closeParen"},
        {"x | 'a'", "Expected identifier but found string."},
        {"", "Unexpected token for primary expression: closeExpression"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parserError("{{ " + std::string(c.source) + " }}"),
                  std::string("Parser error: ") + c.expected)
            << c.source;
    }
    // Failures at the very end of the input, and token kinds no lexer output contains.
    const Case atEnd[] = {
        {"{{ x.", "Expected identifier or integer after '.' but found eof."},
        {"{{ x is", "Expected test name but found eof."},
        {"{{ {",
         "Expected string literal, identifier, or integer for object key. Got end of "
         "input instead."},
    };
    for (const auto& c : atEnd) {
        EXPECT_EQ(parserError(c.source), std::string("Parser error: ") + c.expected) << c.source;
    }
    EXPECT_EQ(
        parserError({Token(Token::Kind::closeExpression, "}}", 0), Token(Token::Kind::eof, "", 2)}),
        "Parser error: Unexpected token type: closeExpression");
    EXPECT_EQ(parserError({Token(Token::Kind::openExpression, "{{", 0),
                           Token(Token::Kind::notIn, "not in", 2), Token(Token::Kind::eof, "", 8)}),
              "Parser error: Unexpected token for primary expression: notIn");
    // A list without its eof behaves as if one followed.
    EXPECT_EQ(parserError({Token(Token::Kind::openExpression, "{{", 0),
                           Token(Token::Kind::identifier, "x", 2)}),
              "Parser error: Expected '}}' after expression. Got end of input instead.");
}

std::string repeated(std::string_view piece, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

TEST(ParserTest, NestingIsBounded) {
    const std::string tooDeep = "Parser error: Template nesting exceeds the limit of 128 levels.";
    // Up to the limit, even in the sanitizer build's larger stack frames.
    EXPECT_NO_THROW(Parser::parse(
        Lexer::tokenize("{{ " + repeated("[(", 63) + "x" + repeated(")]", 63) + " }}")));
    EXPECT_NO_THROW(
        Parser::parse(Lexer::tokenize(repeated("{% if x %}", 63) + "{{ " + repeated("(", 64) + "y" +
                                      repeated(")", 64) + " }}" + repeated("{% endif %}", 63))));
    // Flat chains are not nesting: they may run far past the nesting limit.
    const std::string flat[] = {
        "{{ x" + repeated(" + x", 128) + " }}",
        "{{ x" + repeated(" ~ x", 1000) + " }}",
        "{{ x" + repeated(" | f", 1000) + " }}",
        "{% if a %}" + repeated("{% elif b %}", 1000) + "{% endif %}",
        "{% if a %}" + repeated("{% elif b %}", 1000) + "{% else %}{% endif %}",
        // Real nesting inside each link of a chain stays within the limit.
        repeated("{% if x %}", 60) + "{{ " + repeated("[", 60) + "x" + repeated(" + x", 500) +
            repeated("]", 60) + " }}" + repeated("{% endif %}", 60),
    };
    for (const auto& source : flat) {
        EXPECT_NO_THROW(Parser::parse(Lexer::tokenize(source))) << source.substr(0, 40);
    }

    const std::string sources[] = {
        "{{ " + repeated("(", 200) + "x" + repeated(")", 200) + " }}",
        "{{ " + repeated("[", 5000) + " }}",
        "{{ " + repeated("{'a': ", 5000) + " }}",
        "{{ " + repeated("-", 5000) + "x }}",
        "{{ " + repeated("not ", 5000) + "x }}",
        "{{ " + repeated("* ", 5000) + "x }}",
        "{{ " + repeated("f(", 5000) + " }}",
        "{{ " + repeated("x if y else ", 5000) + "z }}",
        repeated("{% if x %}", 5000),
        repeated("{% for x in y %}", 5000),
    };
    for (const auto& source : sources) {
        EXPECT_EQ(parserError(source), tooDeep) << source.substr(0, 40);
    }

    // The trees flat chains build are bounded too, higher.
    const std::string tooLong =
        "Parser error: Template expression or elif chain exceeds the limit of 1024 levels.";
    const std::string chains[] = {
        "{{ x" + repeated(" + x", 5000) + " }}",
        "{{ x" + repeated(".a", 5000) + " }}",
        "{{ x" + repeated("[0]", 5000) + " }}",
        "{{ x" + repeated("()", 5000) + " }}",
        "{{ x" + repeated(" | f", 5000) + " }}",
        "{{ x" + repeated(" 'y'", 5000) + " }}",
        "{{ x" + repeated(" is y", 5000) + " }}",
        "{% if a %}" + repeated("{% elif b %}", 5000) + "{% endif %}",
        "{% if a %}" + repeated("{% elif b %}", 1000) + repeated("{% if x %}", 100),
        "{% if a %}" + repeated("{% elif b %}", 1000) + "{% else %}" + repeated("{% if x %}", 100),
    };
    for (const auto& source : chains) {
        EXPECT_EQ(parserError(source), tooLong) << source.substr(0, 40);
    }
}

TEST(ParserTest, EveryChatTemplateParses) {
    const std::filesystem::path folder =
        std::filesystem::path(QUILLORA_SHARED_DIR) / "data" / "chat-templates";
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".jinja") {
            continue;
        }
        std::ifstream file(entry.path(), std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        SCOPED_TRACE(entry.path().filename().string());
        NodeList first;
        ASSERT_NO_THROW(first = Parser::parse(Lexer::tokenize(text.str())));
        EXPECT_FALSE(first.empty());
        // Two parses build distinct but structurally equal trees.
        const NodeList second = Parser::parse(Lexer::tokenize(text.str()));
        EXPECT_FALSE(first.sharesStorageWith(second));
        EXPECT_TRUE(first == second);
        Hasher a(7), b(7);
        hashInto(a, first);
        hashInto(b, second);
        EXPECT_EQ(a.finalize(), b.finalize());
        ++count;
    }
    EXPECT_GE(count, 11);
}

}  // namespace
}  // namespace templates
