// The keyed coding of template values and macro records.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "templates/Lexer.h"
#include "templates/Parser.h"
#include "templates/ValueCoding.h"

namespace templates {
namespace {

using coding::DecodingError;
using coding::Document;
using coding::EncodingError;

template <class Decode>
auto readBack(const std::string& json, Decode decode) {
    const Document document(json);
    return decode(document.root());
}

TEST(ValueCodingTest, RoundTripsEveryKind) {
    const Macro macro =
        Parser::parse(Lexer::tokenize("{% macro m(a, b=1) %}{{ a }}{% endmacro %}"))[0]
            .as<Statement>()
            .as<Statement::Macro>();
    struct Case {
        Value value;
        Value expected;
    };
    const Case cases[] = {
        {Value(true), Value(true)},
        {Value(-7), Value(-7)},
        {Value(1.5), Value(1.5)},
        {Value("text"), Value("text")},
        {Value::null(), Value::null()},
        {Value::undefined(), Value::null()},
        {Value(std::vector<Value>{1, "a", nullptr}), Value(std::vector<Value>{1, "a", nullptr})},
        {Value::dictionaryLiteral({{"b", 1}, {"a", Value(std::vector<Value>{2.5})}}),
         Value::dictionaryLiteral({{"a", Value(std::vector<Value>{2.5})}, {"b", 1}})},
    };
    for (const Case& c : cases) {
        const Value back = readBack(toJSON(c.value), decodeValue);
        EXPECT_EQ(back.description(), c.expected.description()) << toJSON(c.value);
        EXPECT_EQ(back.kind(), c.expected.kind()) << toJSON(c.value);
    }

    Value::Object intKeys;
    intKeys.updateValue(ObjectKey(10), Value(1));
    intKeys.updateValue(ObjectKey("a"), Value(2));
    intKeys.updateValue(ObjectKey(2), Value(3));
    EXPECT_EQ(toJSON(Value(intKeys)), R"({"2":3,"10":1,"a":2})");
    Value::Object colliding;
    colliding.updateValue(ObjectKey(1), Value(1));
    colliding.updateValue(ObjectKey("1"), Value(2));
    try {
        toJSON(Value(colliding));
        ADD_FAILURE() << "colliding keys were written";
    } catch (const EncodingError& error) {
        EXPECT_EQ(error.debugDescription(),
                  "Cannot encode object with colliding keys that both serialize to \"1\"");
    }

    // A macro value is written as its record; reading gives the record's plain object.
    const Value macroValue = readBack(toJSON(Value::macro(macro)), decodeValue);
    ASSERT_TRUE(macroValue.isObject());
    EXPECT_EQ(macroValue.asObject().keys()[0].asString(), "body");

    EXPECT_EQ(readBack("1", decodeValue).kind(), Value::Kind::int_);
    EXPECT_EQ(readBack("1.5", decodeValue).kind(), Value::Kind::double_);
    EXPECT_EQ(readBack("true", decodeValue).kind(), Value::Kind::boolean);
    EXPECT_EQ(readBack("18446744073709551615", decodeValue).kind(), Value::Kind::double_);
}

TEST(ValueCodingTest, MacroRecords) {
    const auto macro = [](const char* source) {
        return Parser::parse(Lexer::tokenize(source))[0].as<Statement>().as<Statement::Macro>();
    };
    const Macro ba = macro("{% macro m(x, b=1, a=2) %}{{ x }}{% endmacro %}");
    const Macro ab = macro("{% macro m(x, a=2, b=1) %}{{ x }}{% endmacro %}");
    EXPECT_TRUE(ba == macro("{% macro m(x, b=1, a=2) %}{{ x }}{% endmacro %}"));
    EXPECT_FALSE(ba == ab);

    const Macro back = readBack(toJSON(ba), decodeMacro);
    EXPECT_EQ(back.name, "m");
    EXPECT_TRUE(std::equal(back.parameters.begin(), back.parameters.end(), ba.parameters.begin(),
                           ba.parameters.end()));
    EXPECT_TRUE(back.defaults == ab.defaults);
    EXPECT_EQ(back.defaults.keys()[0], "a");
    EXPECT_TRUE(back.body == ba.body);
    const Macro again = readBack(toJSON(back), decodeMacro);
    EXPECT_TRUE(again == back);
    Hasher h1, h2;
    again.hashInto(h1);
    back.hashInto(h2);
    EXPECT_EQ(h1.finalize(), h2.finalize());
    EXPECT_THROW(readBack(R"({"name":"m","parameters":[],"defaults":{}})", decodeMacro),
                 DecodingError);

    const Value function = Value::function(BuiltinFunction{});
    EXPECT_THROW(toJSON(function), EncodingError);
}

}  // namespace
}  // namespace templates
