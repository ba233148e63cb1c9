#include "hub/YYJSONParser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace hub {
namespace {

using Kind = Config::Kind;

Config parse(std::string_view json) {
    return YYJSONParser::parseToConfig(json);
}

TEST(YYJSONParser, ScalarsMapOntoTheirKinds) {
    const struct {
        const char* json;
        Config expected;
        Kind kind;
    } cases[] = {
        {"null", Config(), Kind::null},
        {"true", Config(true), Kind::boolean},
        {"false", Config(false), Kind::boolean},
        {"-1", Config(-1), Kind::integer},
        {"0", Config(0), Kind::integer},
        {"9223372036854775807", Config(INT64_MAX), Kind::integer},
        {"-9223372036854775808", Config(INT64_MIN), Kind::integer},
        {"9223372036854775808", Config(9223372036854775808.0f), Kind::floating},
        {"18446744073709551615", Config(18446744073709551615.0f), Kind::floating},
        {"-9223372036854775809", Config(-9223372036854775808.0f), Kind::floating},
        {"100000000000000000000000", Config(1e23f), Kind::floating},
        {"1.5", Config(1.5f), Kind::floating},
        {"3.0", Config(3.0f), Kind::floating},
        {"1e2", Config(100.0f), Kind::floating},
        {"\"text\"", Config("text"), Kind::string},
        {"  \"\"  ", Config(""), Kind::string},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const Config value = parse(c.json);
        EXPECT_EQ(value.kind(), c.kind);
        EXPECT_EQ(value, c.expected);
    }
}

TEST(YYJSONParser, NonFiniteNumbersBecomeFloatInfinitiesAndNaN) {
    EXPECT_EQ(parse("1e39").floating(), std::numeric_limits<float>::infinity());
    EXPECT_EQ(parse("-1e39").floating(), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(parse("Infinity").floating(), std::numeric_limits<float>::infinity());
    EXPECT_EQ(parse("-Infinity").floating(), -std::numeric_limits<float>::infinity());
    // Extreme exponents convert exactly, without reading past a table of powers.
    EXPECT_EQ(parse("2.1101011111110111012201E-332").floating(), 0.0f);
    EXPECT_EQ(parse("[1e-400]")[0].floating(), 0.0f);
    EXPECT_EQ(parse("0.1000000000000000055511151231257827021181583404541015625").floating(), 0.1f);
    const Config nan = parse("NaN");
    ASSERT_EQ(nan.kind(), Kind::floating);
    EXPECT_TRUE(std::isnan(*nan.floating()));
}

TEST(YYJSONParser, StringsKeepEveryByte) {
    // An escaped NUL is a character of the text, not its end, in values and keys alike.
    const Config value = parse(R"({"a\u0000b": "x\u0000y"})");
    const auto* d = value.dictionary();
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->size(), 1u);
    EXPECT_EQ(d->begin()->first.value(), std::u16string(u"a\0b", 3));
    EXPECT_EQ(d->begin()->second.binaryDistinctString()->value(), std::u16string(u"x\0y", 3));

    EXPECT_EQ(parse("\"caf\xC3\xA9 \\ud83d\\ude00\"").binaryDistinctString()->value(), u"café 😀");
}

TEST(YYJSONParser, ContainersConvertAtEveryDepthInOrder) {
    const Config value = parse(R"({"a": [1, [2, {"b": []}], {}], "c": {"d": null}})");
    const Config::Array* a = value["a"].array();
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->size(), 3u);
    EXPECT_EQ((*a)[0], Config(1));
    EXPECT_EQ(value["a"][1][0], Config(2));
    ASSERT_NE(value["a"][1][1]["b"].array(), nullptr);
    EXPECT_TRUE(value["a"][1][1]["b"].array()->empty());
    ASSERT_NE(value["a"][2].dictionary(), nullptr);
    EXPECT_TRUE(value["a"][2].dictionary()->empty());
    EXPECT_EQ(value["c"].dictionary()->size(), 1u);
    EXPECT_TRUE(value["c"]["d"].isNull());
    // Arrays stay arrays even when they look like [id, text] pairs.
    EXPECT_EQ(parse(R"([7, "x"])").kind(), Kind::array);
}

TEST(YYJSONParser, RepeatedKeyKeepsTheLastValue) {
    const Config value = parse(R"({"a": 1, "b": 0, "a": 2})");
    EXPECT_EQ(value.dictionary()->size(), 2u);
    EXPECT_EQ(value["a"].integer(), 2);
}

TEST(YYJSONParser, KeysDifferingOnlyInNormalisationStayDistinct) {
    const Config value = parse("{\"caf\xC3\xA9\": 1, \"cafe\xCC\x81\": 2}");
    EXPECT_EQ(value.dictionary()->size(), 2u);
    EXPECT_EQ(value[BinaryDistinctString(u"caf\u00e9")].integer(), 1);
    EXPECT_EQ(value[BinaryDistinctString(u"cafe\u0301")].integer(), 2);
}

TEST(YYJSONParser, EmptyInputFailsWithoutReading) {
    try {
        parse("");
        FAIL() << "no error";
    } catch (const YYJSONParser::ParseError& e) {
        EXPECT_EQ(e.errorCase(), YYJSONParser::ParseError::Case::readFailed);
        EXPECT_EQ(e.code(), 0u);
        EXPECT_EQ(e.position(), 0u);
        EXPECT_EQ(e.message(), "empty data");
        EXPECT_STREQ(e.what(), "yyjson read failed (code 0) at position 0: empty data");
    }
}

TEST(YYJSONParser, MalformedInputFailsWithCodeAndPosition) {
    const struct {
        std::string json;
        std::size_t position;
    } cases[] = {
        {"   ", 3},
        {"{\"a\": [1, 2", 11},
        {"// note\n{}", 0},
        {"[1, 2,]", 6},
        {"{\"a\": 1,}", 8},
        {"{} x", 3},
        {std::string("{}\0{}", 5), 2},  // a NUL byte does not end the input
        {"\"\xC3\x28\"", 1},            // invalid UTF-8
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        try {
            parse(c.json);
            ADD_FAILURE() << "no error";
        } catch (const YYJSONParser::ParseError& e) {
            EXPECT_EQ(e.errorCase(), YYJSONParser::ParseError::Case::readFailed);
            EXPECT_NE(e.code(), 0u);
            EXPECT_FALSE(e.message().empty());
            EXPECT_EQ(e.position(), c.position);
            const std::string prefix = "yyjson read failed (code " + std::to_string(e.code()) +
                                       ") at position " + std::to_string(c.position) + ": ";
            EXPECT_EQ(std::string(e.what()), prefix + e.message());
        }
    }
}

TEST(YYJSONParser, NestingBeyondTheLimitIsRejected) {
    const std::size_t limit = YYJSONParser::maxDepth;
    const auto nested = [](std::size_t depth) {
        return std::string(depth, '[') + std::string(depth, ']');
    };
    Config deepest = parse(nested(limit));
    for (std::size_t i = 1; i < limit; ++i) {
        deepest = deepest[0];
    }
    ASSERT_NE(deepest.array(), nullptr);
    EXPECT_TRUE(deepest.array()->empty());

    // Far deeper than any call stack would survive, were the walk recursive.
    for (std::size_t depth : {limit + 1, std::size_t{1} << 20}) {
        try {
            parse(nested(depth));
            ADD_FAILURE() << "no error at depth " << depth;
        } catch (const YYJSONParser::ParseError& e) {
            EXPECT_EQ(e.position(), limit);
            EXPECT_NE(std::string(e.what()).find("nesting deeper than 512 levels"),
                      std::string::npos);
        }
    }
}

TEST(YYJSONParser, NullDocumentDescription) {
    EXPECT_STREQ(YYJSONParser::ParseError::nullDocument().what(), "yyjson returned null document");
}

TEST(YYJSONParser, LoadsEverySharedJSONFile) {
    const char* env = std::getenv("QUILLORA_SHARED_DIR");
    const std::filesystem::path shared = env != nullptr ? env : QUILLORA_SHARED_DIR;
    std::size_t loaded = 0;
    for (const char* folder : {"data", "models"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(shared / folder)) {
            if (!entry.is_regular_file() || entry.path().extension() != ".json") {
                continue;
            }
            SCOPED_TRACE(entry.path().string());
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream bytes;
            bytes << in.rdbuf();
            EXPECT_NO_THROW(parse(bytes.str()));
            ++loaded;
        }
    }
    EXPECT_GT(loaded, 0u);
}

TEST(YYJSONParser, TokenizerFileReadsThroughLookups) {
    const char* env = std::getenv("QUILLORA_SHARED_DIR");
    const std::filesystem::path shared = env != nullptr ? env : QUILLORA_SHARED_DIR;
    std::ifstream in(shared / "data/tokenizers/gpt2/tokenizer.json", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const Config tokenizer = parse(bytes.str());
    EXPECT_EQ(tokenizer["model"]["type"].string(), "BPE");
    const Config::Dictionary* vocab = tokenizer["model"]["vocab"].dictionary();
    ASSERT_NE(vocab, nullptr);
    EXPECT_EQ(vocab->size(), 50257u);
    EXPECT_EQ(tokenizer["model"]["vocab"]["hello"].integer(), 31373);
}

}  // namespace
}  // namespace hub
