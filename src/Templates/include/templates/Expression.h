#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "orderedcollections/OrderedDictionary.h"
#include "templates/Hasher.h"
#include "templates/ObjectKey.h"
#include "templates/PositionHint.h"
#include "templates/SharedArray.h"
#include "templates/SyntaxBase.h"
#include "templates/Unicode.h"

namespace templates {

class Expression;

// A name's hash, in the canonical form scopes store it: a scope compares it before the name's
// text, and one bit of it stands for the name in the scope's set of names (a scope whose set lacks
// the bit has no binding of the name, so a lookup passes it by). Never 0. The names of a tree that
// are their own canonical form carry their hash, worked out when the tree is built.
constexpr std::uint64_t scopeNameHash(std::string_view canonicalName) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : canonicalName) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    // The loop leaves the high bits of short names nearly alike, and a scope picks its bit from
    // them: mixed, every bit depends on every letter.
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    return hash | 1;
}

constexpr std::uint64_t scopeNameBit(std::uint64_t nameHash) noexcept {
    return std::uint64_t{1} << (nameHash >> 58);
}

using ExpressionList = SharedArray<Expression>;
// Keyword arguments of calls and filters: no order; names compare by canonical equivalence.
using KeywordArguments =
    std::unordered_map<std::string, Expression, unicode::CanonicalHash, unicode::CanonicalEqual>;
// Entries of an object literal in source order, keys unique.
using ObjectEntries = ordered::OrderedDictionary<ObjectKey, Expression>;

// An expression of the template language: an immutable tree whose every node is one shared,
// reference-counted box, so copying any sub-tree costs one reference. Equality and hashing are
// structural (see operator== and hashInto). Each box also records the depth of the tree below
// it, which lets the parser refuse trees too deep to walk recursively.
class Expression : public SyntaxCases<Expression> {
public:
    enum class Kind : std::uint8_t {
        string,
        number,
        integer,
        boolean,
        null,
        array,
        tuple,
        object,
        identifier,
        unary,
        binary,
        ternary,
        call,
        member,
        slice,
        filter,
        test,
    };

    enum class UnaryOp : std::uint8_t { not_, minus, plus, splat };
    enum class BinaryOp : std::uint8_t {
        add,
        subtract,
        multiply,
        divide,
        floorDivide,
        power,
        modulo,
        concat,
        equal,
        notEqual,
        less,
        lessEqual,
        greater,
        greaterEqual,
        and_,
        or_,
        in,
        notIn,
    };

    struct String;
    struct Number;
    struct Integer;
    struct Boolean;
    struct Null;
    struct Array;
    struct Tuple;
    struct Object;
    struct Identifier;
    struct Unary;
    struct Binary;
    struct Ternary;
    struct Call;
    struct Member;
    struct Slice;
    struct Filter;
    struct Test;
    using Payload =
        std::variant<String, Number, Integer, Boolean, Null, Array, Tuple, Object, Identifier,
                     Unary, Binary, Ternary, Call, Member, Slice, Filter, Test>;

    static Expression string(std::string value);
    static Expression number(double value);
    static Expression integer(std::int64_t value);
    static Expression boolean(bool value);
    static Expression null();
    static Expression array(ExpressionList items);
    static Expression tuple(ExpressionList items);
    static Expression object(ObjectEntries entries);
    static Expression identifier(std::string name);
    static Expression unary(UnaryOp op, Expression operand);
    static Expression binary(BinaryOp op, Expression left, Expression right);
    // `alternate` is absent when the conditional has no else part.
    static Expression ternary(Expression value, Expression test,
                              std::optional<Expression> alternate);
    static Expression call(Expression callee, ExpressionList args, KeywordArguments kwargs);
    // Dotted name: key is identifier(name), computed false. Dotted integer and subscript: computed
    // true.
    static Expression member(Expression object, Expression key, bool computed);
    static Expression slice(Expression object, std::optional<Expression> start,
                            std::optional<Expression> stop, std::optional<Expression> step);
    static Expression filter(Expression operand, std::string name, ExpressionList args,
                             KeywordArguments kwargs);
    static Expression test(Expression operand, std::string name, ExpressionList args, bool negated);

    // kind(), as() and getIf() read it (the cases are the structs below).
    const Payload& payload() const noexcept;
    Kind storedKind() const noexcept;

    // The text of a string literal as a shared reference into this expression's storage, so that
    // evaluating the literal copies nothing; throws std::bad_variant_access for another case.
    std::shared_ptr<const std::string> sharedString() const;

    // Levels of expressions from this one down to its deepest leaf; 1 for a leaf.
    std::size_t depth() const noexcept;

    // Whether evaluating this expression only reads variables and members and builds values:
    // it calls no function, macro, filter or test, so it changes no binding and no object, and
    // a value borrowed from a scope before it is evaluated is still there afterwards.
    bool onlyReads() const noexcept;

    // Structural: same case and pairwise equal payloads. A number holding NaN equals nothing,
    // itself included; lists and maps that share storage are equal without a visit.
    friend bool operator==(const Expression& a, const Expression& b);

    // Feeds the case index as a word, then the payload in order.
    void hashInto(Hasher& hasher) const;

    static std::string_view rawValue(UnaryOp op) noexcept;
    static std::string_view rawValue(BinaryOp op) noexcept;
    static std::optional<UnaryOp> unaryOp(std::string_view rawValue) noexcept;
    static std::optional<BinaryOp> binaryOp(std::string_view rawValue) noexcept;
    static const std::vector<UnaryOp>& allUnaryOps();
    static const std::vector<BinaryOp>& allBinaryOps();

private:
    struct Box;
    explicit Expression(std::shared_ptr<const Box> box) noexcept : box_(std::move(box)) {}
    static Expression make(Payload payload, std::size_t depth, bool onlyReads);

    std::shared_ptr<const Box> box_;
};

struct Expression::String {
    std::string value;
};
struct Expression::Number {
    double value;
};
struct Expression::Integer {
    std::int64_t value;
};
struct Expression::Boolean {
    bool value;
};
struct Expression::Null {};
struct Expression::Array {
    ExpressionList items;
};
struct Expression::Tuple {
    ExpressionList items;
};
struct Expression::Object {
    ObjectEntries entries;
};
struct Expression::Identifier {
    std::string name;
    // scopeNameHash(name) when the name is its own canonical form, else 0.
    std::uint64_t scopeHash = 0;
    // Where the name was last found in the chain of scopes (not part of the expression's value;
    // see Environment::findCanonical).
    PositionHint binding{};
};
struct Expression::Unary {
    UnaryOp op;
    Expression operand;
};
struct Expression::Binary {
    BinaryOp op;
    Expression left;
    Expression right;
};
struct Expression::Ternary {
    Expression value;
    Expression test;
    std::optional<Expression> alternate;
};
struct Expression::Call {
    Expression callee;
    ExpressionList args;
    KeywordArguments kwargs;
};
struct Expression::Member {
    Expression object;
    Expression key;
    bool computed;
    // Where the key was last found in an object (not part of the expression's value).
    PositionHint keyPosition{};
};
struct Expression::Slice {
    Expression object;
    std::optional<Expression> start;
    std::optional<Expression> stop;
    std::optional<Expression> step;
};
struct Expression::Filter {
    Expression operand;
    std::string name;
    ExpressionList args;
    KeywordArguments kwargs;
    std::uint64_t scopeHash = 0;  // as Identifier's
};
// The built-in tests that only ask a value's kind, in the order of Expression::Test::kindTest.
inline constexpr std::string_view kindTestNames[] = {
    "defined", "undefined", "none",  "string",   "number", "boolean", "iterable",
    "mapping", "integer",   "float", "sequence", "true",   "false",
};

struct Expression::Test {
    Expression operand;
    std::string name;
    ExpressionList args;
    bool negated;
    std::uint64_t scopeHash = 0;  // as Identifier's
    // 1 + the position of the name in kindTestNames, or 0 for any other test.
    std::uint8_t kindTest = 0;
};

struct Expression::Box {
    Box(Payload payload, std::size_t depth, bool onlyReads)
        : kind(static_cast<Kind>(payload.index())),
          onlyReads(onlyReads),
          depth(depth),
          payload(std::move(payload)) {}

    // First, beside the fields a case keeps first (see SyntaxCases).
    Kind kind;
    bool onlyReads;
    std::size_t depth;
    Payload payload;
};

inline const Expression::Payload& Expression::payload() const noexcept {
    return box_->payload;
}
inline Expression::Kind Expression::storedKind() const noexcept {
    return box_->kind;
}
inline std::size_t Expression::depth() const noexcept {
    return box_->depth;
}
inline bool Expression::onlyReads() const noexcept {
    return box_->onlyReads;
}
inline std::shared_ptr<const std::string> Expression::sharedString() const {
    return std::shared_ptr<const std::string>(box_, &std::get<String>(box_->payload).value);
}

}  // namespace templates

template <>
struct std::hash<templates::Expression> {
    std::size_t operator()(const templates::Expression& e) const { return e.hashValue(); }
};
