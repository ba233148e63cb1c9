#include "templates/Value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <cmath>
#include <limits>
#include <map>
#include <optional>

#include "templates/TemplateError.h"

namespace templates {
namespace {

const std::string precomposed = "caf\xC3\xA9";
const std::string decomposed = "cafe\xCC\x81";

TEST(ObjectKeyTest, KindsNeverMeet) {
    EXPECT_FALSE(ObjectKey("1") == ObjectKey(1));
    EXPECT_TRUE(ObjectKey(1) == ObjectKey(std::int64_t{1}));
    EXPECT_TRUE(ObjectKey(precomposed) == ObjectKey(decomposed));
    EXPECT_EQ(ObjectKey(precomposed).hashValue(), ObjectKey(decomposed).hashValue());
    EXPECT_TRUE(ObjectKey("a").isString());
    EXPECT_EQ(ObjectKey(-4).asInt(), -4);

    Hasher intKey(3), textKey(3), fed(3);
    ObjectKey(1).hashInto(intKey);
    fed.combineWord(1);
    fed.combineWord(1);
    EXPECT_EQ(intKey.finalize(), fed.finalize());
    ObjectKey("a").hashInto(textKey);
    Hasher fedText(3);
    fedText.combineWord(0);
    fedText.combineBytes("a");
    fedText.combineByte(0xFF);
    EXPECT_EQ(textKey.finalize(), fedText.finalize());
}

TEST(ValueTest, KindsAndPayloads) {
    EXPECT_TRUE(Value().isNull());
    EXPECT_TRUE(Value(nullptr).isNull());
    EXPECT_TRUE(Value::undefined().isUndefined());
    EXPECT_EQ(Value(true).kind(), Value::Kind::boolean);
    EXPECT_EQ(Value(3).asInt(), 3);
    EXPECT_EQ(Value(2.5).asDouble(), 2.5);
    EXPECT_EQ(Value("x").asString(), "x");
    EXPECT_EQ(Value('y').asString(), "y");
    EXPECT_EQ(Value(std::vector<Value>{1, "a"}).asArray().size(), 2u);
    EXPECT_TRUE(Value(Value::Object{}).isIterable());
    EXPECT_FALSE(Value(1).isIterable());
    EXPECT_TRUE(Value(ObjectKey(5)).isInt());
    EXPECT_EQ(Value("k").asObjectKey(), ObjectKey("k"));
    EXPECT_EQ(Value(1.0).asObjectKey(), std::nullopt);
    EXPECT_THROW(Value(1).asString(), std::bad_variant_access);

    // Small, with text, arrays and objects shared between copies.
    EXPECT_LE(sizeof(Value), 24u);
    const Value text(std::string(1000, 'x'));
    const Value copy = text;
    EXPECT_EQ(&copy.asString(), &text.asString());
}

TEST(ValueTest, StrictEquality) {
    const Value function =
        Value::function([](const std::vector<Value>&, const KeywordValues&,
                           const std::shared_ptr<Environment>&) { return Value(); });
    const Value nan(std::numeric_limits<double>::quiet_NaN());
    Value::Object ab, ba;
    ab.updateValue("a", Value(1));
    ab.updateValue("b", Value(2));
    ba.updateValue("b", Value(2));
    ba.updateValue("a", Value(1));
    const struct {
        Value a;
        Value b;
        bool equal;
    } cases[] = {
        {Value(1), Value(1.0), false},
        {Value(true), Value(1), false},
        {Value(0.0), Value(-0.0), true},
        {nan, nan, false},
        {Value(precomposed), Value(decomposed), true},
        {Value(std::vector<Value>{1, "a"}), Value(std::vector<Value>{1, "a"}), true},
        {Value(std::vector<Value>{1}), Value(std::vector<Value>{1.0}), false},
        {Value(ab), Value(ab), true},
        {Value(ab), Value(ba), false},
        {function, function, false},
        {Value(std::vector<Value>{function}), Value(std::vector<Value>{function}), false},
        {Value(), Value(), true},
        {Value(), Value::undefined(), false},
        {Value::undefined(), Value::undefined(), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal);
        if (c.equal) {
            EXPECT_EQ(c.a.hashValue(), c.b.hashValue());
        }
    }
    // An array holding a function is not equal even to itself.
    const Value holder(std::vector<Value>{function});
    EXPECT_FALSE(holder == holder);
}

TEST(ValueTest, MacrosCompareByTheirRecord) {
    MacroDefaults defaults;
    defaults.updateValue("b", Expression::integer(1));
    const Macro m{"m", NameList{"a", "b"}, defaults, NodeList{Node::text("x")}};
    Macro same = m;
    same.body = NodeList{Node::text("x")};
    Macro other = m;
    other.name = "n";
    EXPECT_TRUE(Value::macro(m) == Value::macro(same));
    EXPECT_EQ(Value::macro(m).hashValue(), Value::macro(same).hashValue());
    EXPECT_FALSE(Value::macro(m) == Value::macro(other));
    EXPECT_EQ(Value::macro(m).asMacro().name, "m");
}

Value array(std::vector<Value> items) {
    return Value(std::move(items));
}

TEST(ValueTest, Description) {
    const double inf = std::numeric_limits<double>::infinity();
    Value::Object mixedKeys;
    mixedKeys.updateValue(1, "one");
    mixedKeys.updateValue("k", array({"v"}));
    const struct {
        Value value;
        const char* text;
    } cases[] = {
        {Value(true), "true"},
        {Value(-3), "-3"},
        {Value(1.0), "1.0"},
        {Value(-0.0), "-0.0"},
        {Value(0.0), "0.0"},
        {Value(std::nan("")), "nan"},
        {Value(inf), "inf"},
        {Value(-inf), "-inf"},
        {Value(1e20), "1e+20"},
        {Value(0.00001), "1e-05"},
        {Value(1.5e300), "1.5e+300"},
        {Value(5e-324), "5e-324"},
        {Value(0.0001), "0.0001"},
        {Value(0.1), "0.1"},
        {Value(123.25), "123.25"},
        {Value(-2.5), "-2.5"},
        {Value(9007199254740992.0), "9007199254740992.0"},
        {Value(18014398509481984.0), "18014398509481984.0"},  // 2^54 itself stays fixed
        {Value(36028797018963968.0), "3.602879701896397e+16"},
        {Value("plain"), "plain"},
        {Value(), ""},
        {Value::undefined(), ""},
        {array({}), "[]"},
        {Value(Value::Object{}), "{}"},
        {array({"x", array({"y"}), 2.5}), "['x', ['y'], 2.5]"},
        {array({"it's"}), "['it's']"},
        {array({Value(), true}), "[, true]"},
        {Value(mixedKeys), "{1: 'one', 'k': ['v']}"},
        {Value::dictionaryLiteral({{"a", "b"}}), "{'a': 'b'}"},
        {array({Value::dictionaryLiteral({{"a", "b"}})}), "[{'a': 'b'}]"},
        {Value::function([](const std::vector<Value>&, const KeywordValues&,
                            const std::shared_ptr<Environment>&) { return Value(); }),
         "[Function]"},
        {Value::macro(Macro{"greet", {}, {}, {}}), "[Macro greet]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.description(), c.text);
    }
}

TEST(ValueTest, Truthiness) {
    const struct {
        Value value;
        bool truthy;
    } cases[] = {
        {Value(""), false},
        {Value(" "), true},
        {array({}), false},
        {array({Value()}), true},
        {Value(Value::Object{}), false},
        {Value::dictionaryLiteral({{"a", 1}}), true},
        {Value(0), false},
        {Value(-1), true},
        {Value(0.0), false},
        {Value(-0.0), false},
        {Value(std::nan("")), true},
        {Value(false), false},
        {Value(), false},
        {Value::undefined(), false},
        {Value::macro(Macro{"m", {}, {}, {}}), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.isTruthy(), c.truthy) << c.value.description();
    }
}

TEST(ValueTest, TemplateEqualityComparesNumbersAcrossKinds) {
    const struct {
        Value a;
        Value b;
        bool equivalent;
    } cases[] = {
        {Value(1), Value(1.0), true},
        {Value(true), Value(1), false},
        {Value(true), Value(1.0), false},
        {array({1, "a"}), array({1.0, "a"}), true},
        {Value::dictionaryLiteral({{"a", 1}}), Value::dictionaryLiteral({{"a", 1.0}}), true},
        {Value::dictionaryLiteral({{"a", 1}, {"b", 2}}),
         Value::dictionaryLiteral({{"b", 2}, {"a", 1}}), false},
        {Value(), Value::undefined(), false},
        {Value(precomposed), Value(decomposed), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a.isEquivalent(c.b), c.equivalent) << c.a.description();
        EXPECT_EQ(c.b.isEquivalent(c.a), c.equivalent) << c.b.description();
    }
    EXPECT_FALSE(Value(1) == Value(1.0));
}

TEST(ValueTest, Builders) {
    // A repeated key keeps its first position and its last value.
    const Value literal = Value::dictionaryLiteral({{"a", 1}, {"b", 2}, {"a", 3}});
    EXPECT_EQ(literal.description(), "{'a': 3, 'b': 2}");

    // From an unordered dictionary: ascending scalar order, capitals first.
    const std::unordered_map<std::string, Value> unordered{{"b", 1}, {"a", 2}, {"C", 3}};
    EXPECT_EQ(Value::object(unordered).description(), "{'C': 3, 'a': 2, 'b': 1}");

    ordered::OrderedDictionary<std::string, Value> kept;
    kept.updateValue("z", 1);
    kept.updateValue("y", 2);
    EXPECT_EQ(Value::object(kept).description(), "{'z': 1, 'y': 2}");
    ASSERT_NE(findValue(Value::object(kept).asObject(), "y"), nullptr);
    EXPECT_EQ(findValue(Value::object(kept).asObject(), "y")->asInt(), 2);
}

TEST(ObjectKeyTest, OrderingAndText) {
    std::vector<ObjectKey> keys{"b", 2, "a", -1};
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<ObjectKey>{-1, 2, "a", "b"}));
    EXPECT_LT(ObjectKey("B"), ObjectKey("a"));
    EXPECT_EQ(ObjectKey(precomposed).compare(ObjectKey(decomposed)), 0);
    EXPECT_EQ(ObjectKey("B").compare(ObjectKey("a"), true), 1);
    EXPECT_EQ(ObjectKey("A").compare(ObjectKey("a"), true), 0);

    EXPECT_EQ(ObjectKey("k").description(), "'k'");
    EXPECT_EQ(ObjectKey(7).description(), "7");
    EXPECT_EQ(ObjectKey(7).stringValue(), "7");
    EXPECT_EQ(ObjectKey(7).intValue(), 7);
    EXPECT_EQ(ObjectKey("7").intValue(), std::nullopt);
}

TEST(ValueTest, FromHostValues) {
    const std::vector<std::any> list{std::string("t"), std::int32_t{7}, true,
                                     std::optional<std::any>()};
    EXPECT_EQ(Value::fromAny(list), array({"t", 7, true, Value()}));
    EXPECT_TRUE(Value::fromAny(std::any()).isNull());
    EXPECT_EQ(Value::fromAny(std::optional<std::any>(5)), Value(5));
    EXPECT_EQ(Value::fromAny(0.1f).asDouble(), 0.10000000149011612);
    EXPECT_EQ(Value::fromAny(std::numeric_limits<std::uint64_t>::max()),
              Value(18446744073709551616.0));
    EXPECT_EQ(Value::fromAny(std::uint64_t{5}), Value(5));

    const std::unordered_map<std::string, std::any> map{{"b", 1}, {"a", std::string("x")}};
    EXPECT_EQ(Value::fromAny(map).description(), "{'a': 'x', 'b': 1}");
    EXPECT_EQ(Value::fromAny(std::map<std::string, std::any>{{"k", list}}).asObject().size(), 1u);

    struct Date {};
    try {
        Value::fromAny(std::vector<std::any>{1, Date{}});
        FAIL() << "converted a host type it does not know";
    } catch (const TemplateError& error) {
        EXPECT_TRUE(error.message().starts_with("Cannot convert value of type ")) << error.what();
        EXPECT_TRUE(error.message().ends_with("Date to template Value")) << error.what();
    }
}

TEST(ValueTest, NestingIsBounded) {
    Value nested = array({});
    for (std::size_t level = 1; level < Value::maximumDepth; ++level) {
        nested = array({nested});
    }
    EXPECT_EQ(nested.depth(), Value::maximumDepth);
    EXPECT_THROW(array({nested}), TemplateError);
    Value::Object holder;
    holder.updateValue("deep", nested);
    EXPECT_THROW(Value(std::move(holder)), TemplateError);
    EXPECT_FALSE(nested == nested.asArray()[0]);
}

}  // namespace
}  // namespace templates
