// The JSON forms of the syntax tree, tokens, values and macro records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "templates/Lexer.h"
#include "templates/Parser.h"
#include "templates/SyntaxCoding.h"

namespace templates {
namespace {

using coding::DecodingError;
using coding::Document;
using coding::EncodingError;

std::filesystem::path chatTemplates() {
    const char* env = std::getenv("QUILLORA_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : QUILLORA_SHARED_DIR) / "data" /
           "chat-templates";
}

template <class Decode>
auto readBack(const std::string& json, Decode decode) {
    const Document document(json);
    return decode(document.root());
}

std::string tokensJSON(const std::vector<Token>& tokens) {
    coding::Writer writer;
    writer.startArray();
    for (const Token& token : tokens) {
        encode(writer, token);
    }
    writer.endArray();
    return writer.text();
}

TEST(SyntaxCodingTest, EveryStoredChatTemplateRoundTrips) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(chatTemplates())) {
        std::ifstream file(entry.path());
        std::stringstream text;
        text << file.rdbuf();
        const std::vector<Token> tokens = Lexer::tokenize(text.str());
        const NodeList tree = Parser::parse(tokens);

        const std::vector<Token> tokensBack =
            readBack(tokensJSON(tokens), [](const coding::Reader& r) {
                std::vector<Token> back;
                for (const auto& item : r.elements()) {
                    back.push_back(decodeToken(item));
                }
                return back;
            });
        ASSERT_EQ(tokensBack.size(), tokens.size()) << entry.path();
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            ASSERT_TRUE(tokensBack[i] == tokens[i]) << entry.path() << " token " << i;
            ASSERT_EQ(tokensBack[i].hashValue(), tokens[i].hashValue());
        }

        const std::string json = toJSON(tree);
        const NodeList treeBack = readBack(json, decodeNodes);
        EXPECT_TRUE(treeBack == tree) << entry.path();
        // Keyword arguments carry no order, so the text may differ; its size may not.
        EXPECT_EQ(toJSON(treeBack).size(), json.size()) << entry.path();
        ++count;
    }
    EXPECT_GE(count, 10u);
}

TEST(SyntaxCodingTest, WritesTheDocumentedForm) {
    const NodeList tree = Parser::parse(
        Lexer::tokenize("{% for message in messages %}{{ message.content | upper }}{% endfor %}"));
    EXPECT_EQ(toJSON(tree[0]),
              R"({"statement":{"_0":{"for":{"_0":{"single":{"_0":"message"}},)"
              R"("_1":{"identifier":{"_0":"messages"}},"_2":[{"expression":{"_0":{"filter":{)"
              R"("_0":{"member":{"_0":{"identifier":{"_0":"message"}},)"
              R"("_1":{"identifier":{"_0":"content"}},"computed":false}},)"
              R"("_1":"upper","_2":[],"_3":{}}}}}],"_3":[]}}}})");

    const Expression e1 = Expression::integer(1);
    ObjectEntries entries;
    entries.updateValue(ObjectKey(1), e1);
    entries.updateValue(ObjectKey("1"), Expression::null());
    const Expression object = Expression::object(entries);
    EXPECT_EQ(toJSON(object), R"({"object":{"_0":[1,{"integer":{"_0":1}},"1",{"null":{}}]}})");
    EXPECT_TRUE(readBack(toJSON(object), decodeExpression) == object);

    const auto ternary = [](std::optional<Expression> alternate) {
        return Expression::ternary(Expression::integer(1), Expression::boolean(true),
                                   std::move(alternate));
    };
    EXPECT_EQ(toJSON(ternary(std::nullopt)).find("alternate"), std::string::npos);
    EXPECT_FALSE(readBack(toJSON(ternary(Expression::null())), decodeExpression) ==
                 ternary(std::nullopt));
    EXPECT_EQ(toJSON(Statement::set(Expression::identifier("x"), std::nullopt, {})),
              R"({"set":{"target":{"identifier":{"_0":"x"}},"body":[]}})");
    EXPECT_EQ(toJSON(Statement::call(Expression::identifier("m"), std::nullopt, {})),
              R"({"call":{"callable":{"identifier":{"_0":"m"}},"body":[]}})");
    EXPECT_THROW(toJSON(Expression::number(NAN)), EncodingError);
}

TEST(SyntaxCodingTest, ReadsEnvelopesAndPayloads) {
    const Expression x = Expression::identifier("x");
    struct Case {
        const char* json;
        std::optional<Expression> expected;  // absent: the read fails
        std::optional<DecodingError::Kind> error;
        const char* message;
    };
    const Case cases[] = {
        {R"({"null":{}})", Expression::null()},
        {R"({"null":{"_0":1}})", Expression::null()},
        {R"({"null":{},"extra":1})", Expression::null()},
        {R"({"number":{"_0":3}})", Expression::number(3.0)},
        {R"({"integer":{"_0":3}})", Expression::integer(3)},
        {R"({"slice":{"_0":{"identifier":{"_0":"x"}}}})",
         Expression::slice(x, std::nullopt, std::nullopt, std::nullopt)},
        {R"({"ternary":{"_0":{"identifier":{"_0":"x"}},"test":{"identifier":{"_0":"x"}},)"
         R"("alternate":null}})",
         Expression::ternary(x, x, std::nullopt)},
        {R"({"unary":{"_0":"*","_1":{"identifier":{"_0":"x"}}}})",
         Expression::unary(Expression::UnaryOp::splat, x)},
        {R"({"binary":{"_0":"*","_1":{"identifier":{"_0":"x"}},"_2":{"identifier":{"_0":"x"}}}})",
         Expression::binary(Expression::BinaryOp::multiply, x, x)},
        {R"({"binary":{"_0":"not in","_1":{"identifier":{"_0":"x"}},)"
         R"("_2":{"identifier":{"_0":"x"}}}})",
         Expression::binary(Expression::BinaryOp::notIn, x, x)},
        {"{}", std::nullopt, DecodingError::Kind::typeMismatch,
         "Invalid number of keys found, expected one."},
        {R"({"null":{},"string":{"_0":"a"}})", std::nullopt, DecodingError::Kind::typeMismatch,
         "Invalid number of keys found, expected one."},
        {R"({"null":null})", std::nullopt, DecodingError::Kind::valueNotFound},
        {R"({"null":true})", std::nullopt, DecodingError::Kind::typeMismatch},
        {R"("null")", std::nullopt, DecodingError::Kind::typeMismatch},
        {R"({"string":{}})", std::nullopt, DecodingError::Kind::keyNotFound},
        {R"({"integer":{"_0":1.5}})", std::nullopt, DecodingError::Kind::dataCorrupted},
        {R"({"integer":{"_0":"1"}})", std::nullopt, DecodingError::Kind::typeMismatch},
        {R"({"binary":{"_0":"NOT IN","_1":{"null":{}},"_2":{"null":{}}}})", std::nullopt,
         DecodingError::Kind::dataCorrupted},
        {R"({"binary":{"_0":"not  in","_1":{"null":{}},"_2":{"null":{}}}})", std::nullopt,
         DecodingError::Kind::dataCorrupted},
        {R"({"object":{"_0":[true,{"null":{}}]}})", std::nullopt, DecodingError::Kind::typeMismatch,
         "ObjectKey must be a string or integer"},
        {R"({"object":{"_0":["a"]}})", std::nullopt, DecodingError::Kind::dataCorrupted,
         "Unkeyed container reached end before value in key-value pair"},
        {R"({"object":{"_0":["a",{"null":{}},"a",{"null":{}}]}})", std::nullopt,
         DecodingError::Kind::dataCorrupted, "Duplicate key at offset 2"},
        {"[1,", std::nullopt, DecodingError::Kind::dataCorrupted},
    };
    for (const Case& c : cases) {
        if (c.expected) {
            EXPECT_TRUE(readBack(c.json, decodeExpression) == *c.expected) << c.json;
            continue;
        }
        try {
            readBack(c.json, decodeExpression);
            ADD_FAILURE() << c.json << " was read";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), *c.error) << c.json << ": " << error.what();
            if (c.message != nullptr) {
                EXPECT_EQ(error.debugDescription(), c.message) << c.json;
            }
        }
    }
    EXPECT_EQ(readBack(R"({"break":{}})", decodeStatement).kind(), Statement::Kind::break_);
    EXPECT_EQ(readBack(R"({"continue":{}})", decodeStatement).kind(), Statement::Kind::continue_);

    // A hostile document nested far too deep is refused, not walked.
    std::string deep;
    for (int i = 0; i < 5000; ++i) {
        deep += R"({"unary":{"_0":"-","_1":)";
    }
    deep += R"({"null":{}})";
    for (int i = 0; i < 5000; ++i) {
        deep += "}}";
    }
    EXPECT_THROW(readBack(deep, decodeExpression), DecodingError);
}

TEST(TokenCodingTest, KindsTokensEqualityAndHashing) {
    ASSERT_EQ(Token::allKinds().size(), 61u);
    EXPECT_EQ(Token::allKinds().front(), Token::Kind::text);
    EXPECT_EQ(Token::allKinds().back(), Token::Kind::eof);
    for (const Token::Kind kind : Token::allKinds()) {
        EXPECT_EQ(readBack(toJSON(kind), decodeTokenKind), kind);
    }
    EXPECT_EQ(toJSON(Token::Kind::openExpression), R"({"openExpression":{}})");

    constexpr const char* wrongCount = "Invalid number of keys found, expected one.";
    struct Case {
        const char* json;
        std::optional<DecodingError::Kind> error;  // absent: reads as eof
        const char* message = nullptr;
    };
    const Case cases[] = {
        {R"({"eof":{}})"},
        {R"({"eof":{"x":1}})"},
        {R"({"eof":{},"extra":1})"},
        {"{}", DecodingError::Kind::typeMismatch, wrongCount},
        {R"({"eof":{},"text":{}})", DecodingError::Kind::typeMismatch, wrongCount},
        {R"({"Eof":{}})", DecodingError::Kind::typeMismatch, wrongCount},
        {R"({"eof":null})", DecodingError::Kind::valueNotFound},
        {R"({"eof":1})", DecodingError::Kind::typeMismatch},
        {R"("eof")", DecodingError::Kind::typeMismatch},
    };
    for (const Case& c : cases) {
        if (!c.error) {
            EXPECT_EQ(readBack(c.json, decodeTokenKind), Token::Kind::eof) << c.json;
            continue;
        }
        try {
            readBack(c.json, decodeTokenKind);
            ADD_FAILURE() << c.json;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), *c.error) << c.json;
            EXPECT_EQ(error.typeName(), "Token.Kind") << c.json;
            if (c.message != nullptr) {
                EXPECT_EQ(error.debugDescription(), c.message) << c.json;
            } else {
                EXPECT_NE(error.debugDescription(), wrongCount) << c.json;
            }
        }
    }

    const Token token(Token::Kind::string, "caf\u00e9", 4);
    const Token decomposed(Token::Kind::string, "cafe\u0301", 4);
    const auto source = std::make_shared<const std::string>("xx café");
    const Token sliced(Token::Kind::string, source, std::string_view(*source).substr(3), 4);
    EXPECT_TRUE(token == decomposed);
    EXPECT_EQ(token.hashValue(), decomposed.hashValue());
    EXPECT_TRUE(token == sliced);
    EXPECT_EQ(token.hashValue(), sliced.hashValue());
    EXPECT_FALSE(token == Token(Token::Kind::string, "caf\u00e9", 5));
    EXPECT_FALSE(token == Token(Token::Kind::identifier, "caf\u00e9", 4));
    const Token back = readBack(toJSON(sliced), decodeToken);
    EXPECT_TRUE(back == sliced);
    EXPECT_THROW(readBack(R"({"kind":{"eof":{}},"value":"x"})", decodeToken), DecodingError);
}

}  // namespace
}  // namespace templates
