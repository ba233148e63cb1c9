#include "templates/Value.h"

#include <gtest/gtest.h>

#include <limits>

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

}  // namespace
}  // namespace templates
