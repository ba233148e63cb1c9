#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "templates/Expression.h"
#include "templates/Hasher.h"
#include "templates/Node.h"
#include "templates/Statement.h"

namespace templates {
namespace {

using E = Expression;
using BinaryOp = Expression::BinaryOp;
using UnaryOp = Expression::UnaryOp;

const std::string precomposed = "caf\xC3\xA9";  // "café" with U+00E9
const std::string decomposed = "cafe\xCC\x81";  // "cafe" + U+0301

template <class T>
void expectEqualAndHashAlike(const T& a, const T& b) {
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.hashValue(), b.hashValue());
}

TEST(SyntaxTreeTest, EqualityIsStructural) {
    const E x = E::identifier("x");
    const struct {
        E a;
        E b;
        bool equal;
    } cases[] = {
        {E::integer(1), E::number(1.0), false},
        {E::string("1"), E::integer(1), false},
        {E::array({x}), E::tuple({x}), false},
        {E::array({x}), E::array({E::identifier("x")}), true},
        {E::array({x}), E::array({x, x}), false},
        {E::number(0.0), E::number(-0.0), true},
        {E::boolean(true), E::boolean(false), false},
        {E::ternary(x, x, std::nullopt), E::ternary(x, x, E::null()), false},
        {E::member(x, E::identifier("b"), false), E::member(x, E::identifier("b"), true), false},
        {E::member(x, E::identifier("b"), true), E::member(x, E::string("b"), true), false},
        {E::unary(UnaryOp::minus, x), E::unary(UnaryOp::plus, x), false},
        {E::binary(BinaryOp::add, x, E::integer(1)), E::binary(BinaryOp::add, x, E::integer(1)),
         true},
        {E::binary(BinaryOp::add, x, E::integer(1)), E::binary(BinaryOp::add, E::integer(1), x),
         false},
        {E::slice(x, std::nullopt, E::integer(1), std::nullopt),
         E::slice(x, E::integer(1), std::nullopt, std::nullopt), false},
        {E::test(x, "none", {}, true), E::test(x, "none", {}, false), false},
        {E::filter(x, "upper", {}, {}), E::filter(x, "lower", {}, {}), false},
        {E::identifier(precomposed), E::identifier(decomposed), true},
        {E::string(precomposed), E::identifier(precomposed), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.hashValue();
        if (c.equal) {
            EXPECT_EQ(c.a.hashValue(), c.b.hashValue());
        }
    }
}

TEST(SyntaxTreeTest, NaNAndSharedStorage) {
    const E nan = E::number(std::numeric_limits<double>::quiet_NaN());
    // A single expression has no identity shortcut...
    EXPECT_FALSE(nan == nan);
    // ...but lists that share their buffer are equal without a visit.
    const ExpressionList shared{nan};
    EXPECT_TRUE(E::tuple(shared) == E::tuple(shared));
    EXPECT_FALSE(E::tuple({nan}) == E::tuple({nan}));
}

TEST(SyntaxTreeTest, MapsOrderedAndUnordered) {
    const E one = E::integer(1), two = E::integer(2);
    ObjectEntries ab, ba;
    ab.updateValue("a", one);
    ab.updateValue(1, two);
    ba.updateValue(1, two);
    ba.updateValue("a", one);
    EXPECT_FALSE(E::object(ab) == E::object(ba));
    EXPECT_FALSE(E::object(ab) == E::object({}));
    expectEqualAndHashAlike(E::object(ab), E::object(ab));
    // The integer key 1 and the text key "1" are different keys.
    ObjectEntries textOne;
    textOne.updateValue("1", two);
    ObjectEntries intOne;
    intOne.updateValue(1, two);
    EXPECT_FALSE(E::object(textOne) == E::object(intOne));

    // Keyword arguments: the order of insertion (and of iteration) does not matter.
    KeywordArguments forward, backward;
    for (int i = 0; i < 20; ++i) {
        forward.emplace("k" + std::to_string(i), E::integer(i));
    }
    backward.rehash(97);
    for (int i = 19; i >= 0; --i) {
        backward.emplace("k" + std::to_string(i), E::integer(i));
    }
    expectEqualAndHashAlike(E::call(E::identifier("f"), {}, forward),
                            E::call(E::identifier("f"), {}, backward));
    backward.insert_or_assign("k3", E::integer(-3));
    EXPECT_FALSE(E::filter(one, "f", {}, forward) == E::filter(one, "f", {}, backward));
    // Keyword names compare by canonical equivalence too.
    expectEqualAndHashAlike(E::call(one, {}, {{precomposed, one}}),
                            E::call(one, {}, {{decomposed, one}}));

    MacroDefaults first, second;
    first.updateValue("a", one);
    first.updateValue("b", two);
    second.updateValue("b", two);
    second.updateValue("a", one);
    const NameList parameters{"a", "b"};
    EXPECT_FALSE(Statement::macro("m", parameters, first, {}) ==
                 Statement::macro("m", parameters, second, {}));
    expectEqualAndHashAlike(Statement::macro("m", parameters, first, {}),
                            Statement::macro("m", NameList{"a", "b"}, first, {}));
}

TEST(SyntaxTreeTest, StatementsAndNodes) {
    const E x = E::identifier("x");
    const NodeList body{Node::text("a")};
    EXPECT_FALSE(Statement::set(x, x, {}) == Statement::set(x, std::nullopt, {}));
    EXPECT_FALSE(Statement::LoopVar::single("x") == Statement::LoopVar::tuple(NameList{"x"}));
    expectEqualAndHashAlike(Statement::LoopVar::tuple(NameList{precomposed}),
                            Statement::LoopVar::tuple(NameList{decomposed}));
    EXPECT_FALSE(Statement::break_() == Statement::continue_());
    EXPECT_FALSE(Statement::call(x, std::nullopt, body) ==
                 Statement::call(x, ExpressionList{}, body));
    expectEqualAndHashAlike(
        Statement::for_(Statement::LoopVar::single("x"), x, body, {}, x),
        Statement::for_(Statement::LoopVar::single("x"), x, NodeList{Node::text("a")}, {}, x));
    EXPECT_FALSE(Statement::for_(Statement::LoopVar::single("x"), x, body, {}, x) ==
                 Statement::for_(Statement::LoopVar::single("x"), x, {}, body, x));
    EXPECT_FALSE(Node::text("a") == Node::comment("a"));
    expectEqualAndHashAlike(Node::text(precomposed), Node::text(decomposed));
    EXPECT_FALSE(Node::statement(Statement::program(body)) ==
                 Node::statement(Statement::generation(body)));
}

// The units each value feeds are a fixed contract, so other code can hash trees alongside.
TEST(SyntaxTreeTest, HashingFeedsTheDocumentedUnits) {
    constexpr std::uint64_t seed = 42;
    auto text = [](Hasher& h, std::string_view s) {
        h.combineBytes(s);
        h.combineByte(0xFF);
    };
    const E left = E::identifier("l");
    const E right = E::integer(7);

    Hasher integer(seed);
    integer.combineWord(2);
    integer.combineWord(5);
    EXPECT_EQ(E::integer(5).hashValue(seed), integer.finalize());

    Hasher null(seed);
    null.combineWord(4);
    EXPECT_EQ(E::null().hashValue(seed), null.finalize());

    Hasher binary(seed);
    binary.combineWord(10);
    text(binary, "+");
    binary.combineWord(8);
    text(binary, "l");
    binary.combineWord(2);
    binary.combineWord(7);
    EXPECT_EQ(E::binary(BinaryOp::add, left, right).hashValue(seed), binary.finalize());

    Hasher ternary(seed);
    ternary.combineWord(11);
    ternary.combineWord(8);
    text(ternary, "l");
    ternary.combineWord(2);
    ternary.combineWord(7);
    ternary.combineByte(0);
    EXPECT_EQ(E::ternary(left, right, std::nullopt).hashValue(seed), ternary.finalize());

    Hasher negativeZero(seed);
    negativeZero.combineWord(1);
    negativeZero.combineWord(0);
    EXPECT_EQ(E::number(-0.0).hashValue(seed), negativeZero.finalize());

    Hasher brk(seed);
    brk.combineWord(2);
    brk.combineWord(5);
    EXPECT_EQ(Node::statement(Statement::break_()).hashValue(seed), brk.finalize());
}

TEST(SyntaxTreeTest, OperatorRawValues) {
    EXPECT_EQ(Expression::allUnaryOps().size(), 4u);
    EXPECT_EQ(Expression::allBinaryOps().size(), 18u);
    for (const auto op : Expression::allBinaryOps()) {
        EXPECT_EQ(Expression::binaryOp(Expression::rawValue(op)), op);
    }
    for (const auto op : Expression::allUnaryOps()) {
        EXPECT_EQ(Expression::unaryOp(Expression::rawValue(op)), op);
    }
    EXPECT_EQ(Expression::binaryOp("not in"), BinaryOp::notIn);
    EXPECT_EQ(Expression::binaryOp("Not In"), std::nullopt);
    EXPECT_EQ(Expression::binaryOp("not  in"), std::nullopt);
    EXPECT_EQ(Expression::binaryOp(" +"), std::nullopt);
    EXPECT_EQ(Expression::binaryOp("-"), BinaryOp::subtract);
    EXPECT_EQ(Expression::unaryOp("-"), UnaryOp::minus);
    EXPECT_EQ(Expression::unaryOp("*"), UnaryOp::splat);
    EXPECT_EQ(Expression::rawValue(BinaryOp::and_), "and");
}

TEST(SyntaxTreeTest, CopiesShareSubtrees) {
    const E inner = E::array({E::integer(1), E::integer(2)});
    const E outer = E::unary(UnaryOp::not_, inner);
    const E copy = outer;
    EXPECT_EQ(&copy.as<E::Unary>().operand.as<E::Array>(), &inner.as<E::Array>());
    EXPECT_EQ(outer.depth(), 3u);
}

}  // namespace
}  // namespace templates
