#include "templates/JSON.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "templates/TemplateError.h"

namespace templates {
namespace {

Value sample() {
    return Value::dictionaryLiteral({{"a", Value(std::vector<Value>{1, 2.0, "x"})}});
}

JSON::DumpsOptions withIndent(std::int64_t indent) {
    JSON::DumpsOptions options;
    options.indent = indent;
    return options;
}

std::string errorOf(const Value& value, const JSON::DumpsOptions& options) {
    try {
        JSON::dumps(value, options);
    } catch (const TemplateError& error) {
        return error.message();
    }
    return "no error";
}

TEST(JSONTest, Layout) {
    EXPECT_EQ(JSON::dumps(sample(), {}), R"({"a": [1, 2.0, "x"]})");
    EXPECT_EQ(JSON::dumps(sample(), withIndent(2)),
              "{\n  \"a\": [\n    1,\n    2.0,\n    \"x\"\n  ]\n}");
    EXPECT_EQ(JSON::dumps(sample(), withIndent(0)), "{\n\"a\": [\n1,\n2.0,\n\"x\"\n]\n}");
    EXPECT_EQ(JSON::dumps(sample(), withIndent(-3)), JSON::dumps(sample(), withIndent(0)));
    EXPECT_EQ(JSON::dumps(Value(std::vector<Value>{}), withIndent(2)), "[]");
    EXPECT_EQ(JSON::dumps(Value(Value::Object{}), withIndent(2)), "{}");

    JSON::DumpsOptions separators;
    separators.separators = JSON::Separators{";", "="};
    EXPECT_EQ(JSON::dumps(sample(), separators), R"({"a"=[1;2.0;"x"]})");
    separators.indent = 1;
    EXPECT_EQ(JSON::dumps(sample(), separators), "{\n \"a\"=[\n  1;\n  2.0;\n  \"x\"\n ]\n}");
}

TEST(JSONTest, KeysAndSorting) {
    Value::Object both;
    both.updateValue(1, "int");
    both.updateValue("1", "text");
    EXPECT_EQ(JSON::dumps(Value(both), {}), R"({"1": "int", "1": "text"})");
    JSON::DumpsOptions sorted;
    sorted.sortKeys = true;
    EXPECT_EQ(errorOf(Value(both), sorted), "json.dumps cannot sort mixed integer and string keys");

    EXPECT_EQ(JSON::dumps(Value::dictionaryLiteral({{"b", 1}, {"a", 2}, {"B", 3}}), sorted),
              R"({"B": 3, "a": 2, "b": 1})");
    Value::Object ints;
    ints.updateValue(10, 1);
    ints.updateValue(7, 2);
    EXPECT_EQ(JSON::dumps(Value(ints), sorted), R"({"7": 2, "10": 1})");
}

TEST(JSONTest, Strings) {
    const struct {
        const char* text;
        const char* plain;
        const char* ascii;
    } cases[] = {
        {"\xC3\xA9", "\"\xC3\xA9\"", R"("\u00e9")"},
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\"", R"("\ud83d\ude00")"},
        {"\x7F", "\"\x7F\"", R"("\u007f")"},
        {"\x1B", R"("\u001b")", R"("\u001b")"},
        {"\t/\"\\\b\f\n\r", R"("\t/\"\\\b\f\n\r")", R"("\t/\"\\\b\f\n\r")"},
    };
    JSON::DumpsOptions ascii;
    ascii.ensureASCII = true;
    for (const auto& c : cases) {
        EXPECT_EQ(JSON::dumps(Value(c.text), {}), c.plain);
        EXPECT_EQ(JSON::dumps(Value(c.text), ascii), c.ascii);
    }
    EXPECT_EQ(JSON::dumps(Value(std::string(1, '\0')), {}), R"("\u0000")");
    EXPECT_EQ(JSON::htmlSafeDumps(Value("</script>&'"), {}),
              R"("\u003c/script\u003e\u0026\u0027")");
    EXPECT_EQ(JSON::Serializer::htmlSafe().dumps(Value("<"), {}), R"("\u003c")");
}

TEST(JSONTest, Numbers) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {1.0, "1.0"},        {100.0, "100.0"},
        {2.5, "2.5"},        {0.1, "0.1"},
        {0.0001, "0.0001"},  {0.00001, "1e-05"},
        {1.5e-7, "1.5e-07"}, {1e15, "1000000000000000.0"},
        {1e16, "1e+16"},     {1.2345e20, "1.2345e+20"},
        {1e100, "1e+100"},   {-2.5, "-2.5"},
        {-0.0, "-0.0"},      {std::nan(""), "NaN"},
        {inf, "Infinity"},   {-inf, "-Infinity"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JSON::pythonRepr(c.value), c.text);
        EXPECT_EQ(JSON::dumps(Value(c.value), {}), c.text);
    }
    EXPECT_EQ(JSON::dumps(Value(-12), {}), "-12");
    EXPECT_EQ(JSON::dumps(Value(), {}), "null");
    EXPECT_EQ(JSON::dumps(Value(false), {}), "false");
}

TEST(JSONTest, Failures) {
    const Value function =
        Value::function([](const std::vector<Value>&, const KeywordValues&,
                           const std::shared_ptr<Environment>&) { return Value(); });
    EXPECT_EQ(errorOf(Value(std::vector<Value>{1, Value::undefined()}), {}),
              "Object of type Undefined is not JSON serializable");
    EXPECT_EQ(errorOf(Value::dictionaryLiteral({{"f", function}}), {}),
              "Object of type function is not JSON serializable");
    EXPECT_EQ(errorOf(Value::macro(Macro{"m", {}, {}, {}}), {}),
              "Object of type macro is not JSON serializable");
    // An indent too wide for the text limit is refused rather than written.
    EXPECT_EQ(errorOf(sample(), withIndent(std::numeric_limits<std::int64_t>::max())),
              "JSON text would exceed the limit of 67108864 bytes");

    const auto custom =
        JSON::Serializer::custom([](const Value& value, const JSON::DumpsOptions& options) {
            if (value.isNull()) {
                throw TemplateError::runtime("custom refuses null");
            }
            return "custom:" + std::to_string(options.sortKeys);
        });
    JSON::DumpsOptions sorted;
    sorted.sortKeys = true;
    EXPECT_EQ(custom.dumps(Value(1), sorted), "custom:1");
    EXPECT_THROW(custom.dumps(Value(), sorted), TemplateError);
}

}  // namespace
}  // namespace templates
