#include "templates/Environment.h"
#include "templates/Globals.h"

#include <gtest/gtest.h>

#include "templates/CallArguments.h"
#include "templates/TemplateError.h"

namespace templates {
namespace {

TEST(EnvironmentTest, LookupWalksTowardsTheRoot) {
    Environment::Variables initial;
    initial.set("x", 1);
    initial.set("n", Value());
    const auto root = Environment::make(nullptr, initial);
    const auto child = Environment::make(root);
    EXPECT_TRUE(root->isRoot());
    EXPECT_EQ(child->variables().size(), 0u);
    EXPECT_EQ((*child)["x"], Value(1));
    EXPECT_TRUE((*child)["n"].isNull());
    EXPECT_TRUE((*child)["missing"].isUndefined());
    EXPECT_EQ(child->find("missing"), nullptr);

    child->set("x", 2);
    EXPECT_EQ((*child)["x"], Value(2));
    EXPECT_EQ((*root)["x"], Value(1));

    // Names compare by canonical equivalence.
    child->set("caf\xC3\xA9", "composed");
    EXPECT_EQ((*child)["cafe\xCC\x81"], Value("composed"));
}

TEST(EnvironmentTest, SetInChainWritesWhereTheNameLives) {
    const auto root = Environment::make();
    root->set("g", "root");
    const auto parent = Environment::make(root);
    const auto child = Environment::make(parent);
    child->setInChain("g", "changed");
    EXPECT_EQ((*root)["g"], Value("changed"));
    EXPECT_EQ(parent->variables().size(), 0u);
    EXPECT_EQ(child->variables().size(), 0u);

    child->setInChain("fresh", 1);
    // The root also holds the global functions.
    EXPECT_EQ(root->variables().size(), Globals::builtIn().size() + 2u);
    EXPECT_EQ((*parent)["fresh"], Value(1));
    EXPECT_EQ(child->variables().size(), 0u);
}

TEST(EnvironmentTest, ManyVariablesStayFindable) {
    const auto root = Environment::make();
    for (int i = 0; i < 100; ++i) {
        root->set("v" + std::to_string(i), i);
    }
    root->set("v7", -7);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ((*root)["v" + std::to_string(i)], Value(i == 7 ? -7 : i));
    }
    EXPECT_TRUE((*root)["v100"].isUndefined());
    EXPECT_EQ(root->variables().size(), Globals::builtIn().size() + 100u);
}

TEST(EnvironmentTest, Policies) {
    const auto root = Environment::make();
    const Environment::Policies& defaults = root->policies();
    EXPECT_EQ(defaults.jsonSerializer.kind(), JSON::Serializer::Kind::standard);
    EXPECT_FALSE(defaults.jsonDumpsOptions.ensureASCII);
    EXPECT_FALSE(defaults.jsonDumpsOptions.sortKeys);
    EXPECT_FALSE(defaults.jsonDumpsOptions.indent);
    EXPECT_FALSE(defaults.jsonDumpsOptions.separators);

    Environment::Policies custom;
    custom.jsonDumpsOptions.indent = 4;
    root->setPolicies(custom);
    const auto child = Environment::make(root);
    EXPECT_EQ(child->policies().jsonDumpsOptions.indent, 4);
    child->ownPolicies().jsonDumpsOptions.sortKeys = true;
    EXPECT_TRUE(child->policies().jsonDumpsOptions.sortKeys);
    EXPECT_EQ(child->policies().jsonDumpsOptions.indent, 4);
    EXPECT_FALSE(root->policies().jsonDumpsOptions.sortKeys);

    const Environment::Policies& classic = Environment::Policies::classic();
    EXPECT_EQ(classic.jsonSerializer.kind(), JSON::Serializer::Kind::htmlSafe);
    EXPECT_TRUE(classic.jsonDumpsOptions.ensureASCII);
    EXPECT_TRUE(classic.jsonDumpsOptions.sortKeys);
}

TEST(EnvironmentTest, DeepChainsReleaseWithoutRecursion) {
    auto scope = Environment::make();
    const std::weak_ptr<Environment> root = scope;
    for (int i = 0; i < 200'000; ++i) {
        scope = Environment::make(scope);
    }
    scope.reset();
    EXPECT_TRUE(root.expired());
}

TEST(CallArgumentsTest, Binding) {
    const std::string parameters[] = {"a", "b"};
    const ArgumentDefaults defaults{{"b", 2}};
    const auto bind = [&](std::vector<Value> args, KeywordValues kwargs) {
        const BoundArguments bound = resolveCallArguments(args, kwargs, parameters, defaults);
        return std::vector<Value>{bound["a"], bound["b"]};
    };
    const auto failure = [&](std::vector<Value> args, KeywordValues kwargs) -> std::string {
        try {
            bind(std::move(args), std::move(kwargs));
        } catch (const TemplateError& error) {
            return error.message();
        }
        return "bound";
    };
    EXPECT_EQ(bind({1}, {}), (std::vector<Value>{1, 2}));
    EXPECT_EQ(bind({1, 3, 4}, {}), (std::vector<Value>{1, 3}));
    EXPECT_EQ(bind({}, {{"b", 5}, {"a", 6}}), (std::vector<Value>{6, 5}));
    EXPECT_EQ(failure({5}, {{"a", 1}}), "Argument 'a' passed both positionally and as keyword.");
    EXPECT_EQ(failure({}, {{"c", 1}}), "Unexpected keyword argument 'c' for filter.");
    EXPECT_EQ(failure({}, {}), "Missing required argument 'a' for filter.");
    EXPECT_EQ(failure({}, {{"B", 1}, {"a", 1}}), "Unexpected keyword argument 'B' for filter.");

    const BoundArguments none = resolveCallArguments(std::vector<Value>{1, 2}, {}, {}, {});
    EXPECT_EQ(none.size(), 0u);
    EXPECT_THROW(resolveCallArguments({}, {{"x", 1}}, {}, {}), TemplateError);
}

}  // namespace
}  // namespace templates
