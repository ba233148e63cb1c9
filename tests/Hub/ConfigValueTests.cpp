#include <gtest/gtest.h>

#include "hub/ConfigValue.h"

namespace hub {
namespace {

TEST(ConfigValue, KindsConvert) {
    EXPECT_EQ(templateValue(Config(0.1f)), templates::Value(0.1));
    EXPECT_TRUE(templateValue(Config()).isNull());
    EXPECT_EQ(templateValue(Config(Config::Token{5, BinaryDistinctString("x")})),
              templates::Value::dictionaryLiteral({{"5", templates::Value("x")}}));
    const templates::Value value = templateValue(
        Config{{"a", Config::Array{Config(1), Config(true), Config("t")}}, {"b", Config()}});
    EXPECT_EQ(value.asObject().size(), 2u);
    EXPECT_EQ(*templates::findValue(value.asObject(), "a"),
              templates::Value(std::vector<templates::Value>{1, true, "t"}));
}

}  // namespace
}  // namespace hub
