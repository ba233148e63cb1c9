#include "hub/Config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>

#include "hub/ConfigError.h"
#include "hub/YYJSONParser.h"

namespace hub {
namespace {

using Kind = Config::Kind;

const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

TEST(Config, ConstructorsPickTheirKind) {
    const struct {
        Config value;
        Kind kind;
    } cases[] = {
        {Config(), Kind::null},
        {Config("text"), Kind::string},
        {Config(std::string("text")), Kind::string},
        {Config(BinaryDistinctString(u"x")), Kind::string},
        {Config(7), Kind::integer},
        {Config(std::uint64_t{7}), Kind::integer},
        {Config(std::uint64_t{1} << 63), Kind::floating},  // past the signed range
        {Config(true), Kind::boolean},
        {Config(1.5f), Kind::floating},
        {Config(1.5), Kind::floating},
        {Config(Config::Array{1, "a"}), Kind::array},
        {Config(Config::Dictionary{}), Kind::dictionary},
        {Config{{"a", 1}}, Kind::dictionary},
        {Config(Config::Token{3, "t"}), Kind::token},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.description());
        EXPECT_EQ(c.value.kind(), c.kind);
        EXPECT_EQ(c.value.isNull(), c.kind == Kind::null);
    }
}

TEST(Config, PairsFillADictionaryLaterPairWinning) {
    const Config fromList{{"k", 1}, {"k", 2}, {"other", "x"}};
    EXPECT_EQ(fromList.dictionary()->size(), 2u);
    EXPECT_EQ(fromList["k"].integer(), 2);
    EXPECT_EQ(Config(Config::Pairs{{"k", 1}, {"k", 2}})["k"].integer(), 2);
    EXPECT_TRUE(Config(Config::Pairs{}).dictionary()->empty());
    EXPECT_EQ(Config(std::unordered_map<std::string, Config>{
                  {"caf\xC3\xA9", 1}})[BinaryDistinctString(u"caf\u00e9")]
                  .integer(),
              1);
}

TEST(Config, KeyLookupFallsBackToSnakeCaseAfterAnExactMiss) {
    const Config onlySnake{{"model_type", "bert"}};
    EXPECT_EQ(onlySnake["modelType"].string(), "bert");
    EXPECT_EQ(onlySnake["model_type"].string(), "bert");
    EXPECT_EQ(onlySnake.member("modelType"), Config("bert"));

    const Config both{{"modelType", "exact"}, {"model_type", "snake"}};
    EXPECT_EQ(both["modelType"].string(), "exact");

    EXPECT_TRUE(onlySnake["missing"].isNull());
    EXPECT_EQ(onlySnake.member("missing"), Config());

    // Keys compare by code units.
    const Config accented{{BinaryDistinctString(u"caf\u00e9"), 1}};
    EXPECT_EQ(accented[BinaryDistinctString(u"caf\u00e9")].integer(), 1);
    EXPECT_TRUE(accented[BinaryDistinctString(u"cafe\u0301")].isNull());

    // Other kinds have no keys.
    for (const Config& other : {Config(Config::Array{1}), Config("model_type"), Config()}) {
        SCOPED_TRACE(other.description());
        EXPECT_TRUE(other["model_type"].isNull());
        EXPECT_EQ(other.member("model_type"), std::nullopt);
    }
}

TEST(Config, UncamelCase) {
    const struct {
        BinaryDistinctString in, out;
    } cases[] = {
        {"modelType", "model_type"},
        {"tokenizerClass", "tokenizer_class"},
        {"ModelType", "model_type"},
        {"addBOSToken", "add_bostoken"},
        {"v2Model", "v2_model"},
        {"already_snake", "already_snake"},
        {"foo_Bar", "foo__bar"},
        {"", ""},
        {"caf\xC3\xA9\xC3\x89t\xC3\xA9", "caf\xC3\xA9_\xC3\xA9t\xC3\xA9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in.string());
        EXPECT_EQ(Config::uncamelCase(c.in), c.out);
    }
}

TEST(Config, IndexLookup) {
    const Config array(Config::Array{"a", "b", "c"});
    EXPECT_EQ(array[0].string(), "a");
    EXPECT_EQ(array[2].string(), "c");
    EXPECT_TRUE(array[3].isNull());
    EXPECT_TRUE(array[-1].isNull());
    EXPECT_TRUE((Config{{"0", 1}}[0].isNull()));
}

TEST(Config, LenientBoolean) {
    const struct {
        Config value;
        std::optional<bool> expected;
    } cases[] = {
        {true, true},     {false, false}, {"TRUE", true},
        {"T", true},      {"true", true}, {"1", true},
        {"False", false}, {"f", false},   {"0", false},
        {"yes", {}},      {"", {}},       {1, true},
        {0, false},       {2, false},     {-1, false},
        {1.0f, {}},       {Config(), {}}, {Config(Config::Array{true}), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.description());
        EXPECT_EQ(c.value.boolean(), c.expected);
        EXPECT_EQ(c.value.boolean(false), c.expected.value_or(false));
        EXPECT_EQ(c.value.boolean(true), c.expected.value_or(true));
    }
}

TEST(Config, NumericAccessorsConvertOneWayOnly) {
    EXPECT_EQ(Config(3).floating(), 3.0f);
    EXPECT_EQ(Config(3).integer(), 3);
    EXPECT_EQ(Config(3.0f).integer(), std::nullopt);
    EXPECT_EQ(Config(3.0f).integer(7), 7);
    EXPECT_EQ(Config("3").integer(), std::nullopt);
    EXPECT_EQ(Config("3").floating(), std::nullopt);
    EXPECT_EQ(Config(true).integer(), std::nullopt);
    EXPECT_EQ(Config(16777217).floating(), 16777216.0f);  // nearest float
    EXPECT_EQ(Config().floating(2.5f), 2.5f);
}

TEST(Config, TextAndContainerAccessors) {
    EXPECT_EQ(Config("x").string(), "x");
    EXPECT_EQ(Config(1).string(), std::nullopt);
    EXPECT_EQ(Config(1).string("d"), "d");
    EXPECT_EQ(Config(true).get<std::string>("d"), "d");
    EXPECT_EQ(Config(BinaryDistinctString(u"e\u0301")).binaryDistinctString(),
              BinaryDistinctString(u"e\u0301"));

    const Config array(Config::Array{"a", 1, "b", Config()});
    EXPECT_EQ(array.get<std::vector<std::string>>(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(array.get<std::vector<BinaryDistinctString>>(),
              (std::vector<BinaryDistinctString>{"a", "b"}));
    EXPECT_EQ(Config(Config::Array{}).get<std::vector<std::string>>(), std::vector<std::string>{});
    EXPECT_EQ(Config("a").get<std::vector<std::string>>(), std::nullopt);
    EXPECT_EQ(Config("a").get<std::vector<std::string>>({"d"}), std::vector<std::string>{"d"});
    EXPECT_EQ(array.array()->size(), 4u);
    EXPECT_EQ(array.dictionary(), nullptr);

    const Config mixed{{"n", 1}, {"s", "x"}, {"m", 2}};
    using IntMap = std::unordered_map<BinaryDistinctString, std::int64_t>;
    EXPECT_EQ(mixed.get<IntMap>(), (IntMap{{"n", 1}, {"m", 2}}));
    EXPECT_EQ(array.get<IntMap>(), std::nullopt);
    EXPECT_EQ(mixed.dictionary()->size(), 3u);
    EXPECT_EQ(mixed.array(), nullptr);
    EXPECT_EQ(mixed.get<Config::Dictionary>()->size(), 3u);
    EXPECT_EQ(Config().get<Config::Array>(Config::Array{1}).size(), 1u);
}

TEST(Config, LenientToken) {
    using Token = std::pair<std::uint64_t, std::string>;
    const struct {
        Config value;
        std::optional<Token> expected;
    } cases[] = {
        {Config(Config::Token{5, "hi"}), Token{5, "hi"}},
        {Config(Config::Array{"hi", 0}), Token{0, "hi"}},
        {Config(Config::Array{0, "hi"}), {}},
        {Config(Config::Array{"hi", 0, 1}), {}},
        {Config(Config::Array{"hi"}), {}},
        {Config(Config::Array{"hi", 1.0f}), {}},
        {Config(Config::Array{"hi", -1}), {}},
        {Config("hi"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.description());
        EXPECT_EQ(c.value.token(), c.expected);
        EXPECT_EQ(c.value.token(Token{9, "d"}), c.expected.value_or(Token{9, "d"}));
    }
    EXPECT_EQ(Config(Config::Array{"hi", 0}).get<Config::Token>(), std::nullopt);
}

TEST(Config, EqualityAcrossKinds) {
    const Config dictionary{{"a", 1}, {"b", Config::Array{"x"}}};
    const struct {
        Config lhs, rhs;
        bool equal;
    } cases[] = {
        {"1", true, true},
        {"t", true, true},
        {"0", false, true},
        {"yes", true, false},
        {"yes", false, false},
        {1, true, true},
        {2, false, true},
        {0, false, true},
        {1, 1.0f, true},
        {16777217, 16777216.0f, true},  // compared as floats
        {"1", 1, false},
        {1.0f, true, false},
        {0.0f, false, false},
        {"1", "1", true},
        {BinaryDistinctString(u"\u00e9"), BinaryDistinctString(u"e\u0301"), false},
        {1, 2, false},
        {nan, nan, false},
        {0.0f, -0.0f, true},
        {Config(), Config(), true},
        {Config(), 0, false},
        {Config(), "null", false},
        {dictionary, Config{{"b", Config::Array{"x"}}, {"a", 1}}, true},
        {dictionary, Config{{"a", 1}}, false},
        {dictionary, Config{{"a", 1}, {"c", Config::Array{"x"}}}, false},
        {dictionary, Config{{"a", true}, {"b", Config::Array{"x"}}}, true},  // values leniently
        {Config(Config::Array{1, 2}), Config(Config::Array{1, 2}), true},
        {Config(Config::Array{1, 2}), Config(Config::Array{2, 1}), false},
        {Config(Config::Array{1}), Config(Config::Array{1, 1}), false},
        {Config(Config::Token{1, "a"}), Config(Config::Token{1, "a"}), true},
        {Config(Config::Token{1, "a"}), Config(Config::Token{2, "a"}), false},
        {Config(Config::Token{1, "a"}), Config(Config::Array{"a", 1}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lhs.description() + " vs " + c.rhs.description());
        EXPECT_EQ(c.lhs == c.rhs, c.equal);
        EXPECT_EQ(c.rhs == c.lhs, c.equal);
    }
}

TEST(Config, EqualValuesOfOneKindHashAlike) {
    const struct {
        Config a, b;
    } equal[] = {
        {0.0f, -0.0f},
        {"text", "text"},
        {Config{{"a", 1}, {"b", 2}, {"c", 3}}, Config{{"c", 3}, {"a", 1}, {"b", 2}}},
        {Config(Config::Array{1, "x"}), Config(Config::Array{1, "x"})},
        {Config(Config::Token{1, "a"}), Config(Config::Token{1, "a"})},
    };
    for (const auto& c : equal) {
        SCOPED_TRACE(c.a.description());
        ASSERT_EQ(c.a, c.b);
        EXPECT_EQ(c.a.hashValue(), c.b.hashValue());
    }
    // The kind is part of the hash, and arrays hash their elements in order.
    const Config distinct[] = {
        Config(),
        Config(""),
        Config(0),
        Config(false),
        Config(0.0f),
        Config(Config::Dictionary{}),
        Config(Config::Array{}),
        Config(Config::Token{0, ""}),
        Config(Config::Array{1, 2}),
        Config(Config::Array{2, 1}),
        Config(Config::Array{Config(Config::Array{1}), 2}),
        Config(Config::Array{1, Config(Config::Array{2})}),
        Config(BinaryDistinctString(u"\u00e9")),
        Config(BinaryDistinctString(u"e\u0301")),
    };
    std::unordered_set<std::size_t> hashes;
    for (const Config& c : distinct) {
        hashes.insert(std::hash<Config>{}(c));
    }
    EXPECT_EQ(hashes.size(), std::size(distinct));
}

TEST(Config, Description) {
    const struct {
        Config value;
        const char* text;
    } cases[] = {
        {Config(), "null"},
        {"te\"xt", "\"te\"xt\""},
        {-42, "-42"},
        {true, "true"},
        {1.0f, "1.0"},
        {0.1f, "0.1"},
        {-2.5f, "-2.5"},
        {0.0001f, "0.0001"},
        {0.00001f, "1e-05"},
        {16777216.0f, "16777216.0"},
        {1e8f, "1e+08"},
        {123456789.0f, "1.2345679e+08"},
        {-0.0f, "-0.0"},
        {inf, "inf"},
        {-inf, "-inf"},
        {nan, "nan"},
        {Config(Config::Array{1}), "[[1]]"},
        {Config(Config::Array{}), "[[]]"},
        {Config(Config::Array{"a", Config(Config::Array{2})}), "[[\"a\", [[2]]]]"},
        {Config(Config::Dictionary{}), "{[:]}"},
        {Config{{"key", "v"}}, "{[key: \"v\"]}"},
        {Config(Config::Token{5, "hi"}), "(5, hi)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.description(), c.text);
    }
}

TEST(Config, ErrorsDescribeTheirCase) {
    const ConfigError mismatch = ConfigError::typeMismatch(Config(1), Config("x"));
    EXPECT_EQ(mismatch.errorCase(), ConfigError::Case::typeMismatch);
    EXPECT_EQ(mismatch.actual(), Config("x"));
    EXPECT_STREQ(mismatch.what(), "Type mismatch: expected 1, found \"x\"");
    const ConfigError conversion = ConfigError::typeConversionFailed("inf", "JSON number");
    EXPECT_EQ(conversion.errorCase(), ConfigError::Case::typeConversionFailed);
    EXPECT_STREQ(conversion.what(), "Cannot convert inf to JSON number");
}

TEST(ConfigCoding, DecodesAsAGenericDecoder) {
    const struct {
        const char* json;
        Config expected;
        Kind kind;
    } cases[] = {
        {"null", Config(), Kind::null},
        {"3", 3, Kind::integer},
        {"3.0", 3, Kind::integer},
        {"1e2", 100, Kind::integer},
        {"-0", 0, Kind::integer},
        {"3.5", 3.5f, Kind::floating},
        {"9223372036854775808", 9223372036854775808.0f, Kind::floating},
        {"1e39", Config(), Kind::null},  // no 32-bit float holds it
        {"true", true, Kind::boolean},
        {"\"x\"", "x", Kind::string},
        {"[7, \"x\"]", Config(Config::Token{7, "x"}), Kind::token},
        {"[18446744073709551615, \"x\"]", Config(Config::Token{UINT64_MAX, "x"}), Kind::token},
        {"[\"x\", 7]", Config(Config::Array{"x", 7}), Kind::array},
        {"[-7, \"x\"]", Config(Config::Array{-7, "x"}), Kind::array},
        {"[7, \"x\", 1]", Config(Config::Array{7, "x", 1}), Kind::array},
        {"[]", Config(Config::Array{}), Kind::array},
        {"{}", Config(Config::Dictionary{}), Kind::dictionary},
        {"{\"a\": [[1, \"b\"]]}", Config{{"a", Config::Array{Config::Token{1, "b"}}}},
         Kind::dictionary},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const Config value = Config::decodedJSON(c.json);
        EXPECT_EQ(value.kind(), c.kind);
        EXPECT_EQ(value, c.expected);
    }
    EXPECT_THROW(Config::decodedJSON("NaN"), YYJSONParser::ParseError);
    EXPECT_THROW(Config::decodedJSON("[1,"), YYJSONParser::ParseError);
}

TEST(ConfigCoding, EncodesAndRoundTrips) {
    EXPECT_EQ(Config(Config::Token{7, "x"}).encodedJSON(), "[7,\"x\"]");
    EXPECT_EQ(Config(Config::Array{1, 2.5f, true, Config(), "q\"\n"}).encodedJSON(),
              "[1,2.5,true,null,\"q\\\"\\n\"]");
    EXPECT_EQ((Config{{"a", 0.1f}}.encodedJSON()), "{\"a\":0.1}");

    const Config value{
        {"token", Config::Token{7, "x"}},
        {"nested", Config{{"list", Config::Array{1, "two", false, Config(), 1e-5f}}}},
        {BinaryDistinctString(u"e\u0301"), -3},
        {"text", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
    };
    EXPECT_EQ(Config::decodedJSON(value.encodedJSON()), value);
    EXPECT_EQ(Config::decodedJSON(value.encodedJSON())["token"].kind(), Kind::token);

    for (float f : {inf, -inf, nan}) {
        EXPECT_THROW(Config(Config::Array{f}).encodedJSON(), ConfigError);
    }
}

}  // namespace
}  // namespace hub
