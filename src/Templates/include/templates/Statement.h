#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "orderedcollections/OrderedDictionary.h"
#include "templates/Expression.h"
#include "templates/Hasher.h"
#include "templates/SharedArray.h"
#include "templates/SyntaxBase.h"
#include "templates/Unicode.h"

namespace templates {

class Node;
using NodeList = SharedArray<Node>;
using NameList = SharedArray<std::string>;
// Default values of a macro's parameters, keyed by parameter name in parameter order.
using MacroDefaults = ordered::OrderedDictionary<std::string, Expression, unicode::CanonicalHash,
                                                 unicode::CanonicalEqual>;

// A statement tag with its block. Statements are not boxed: each lives inside the box of its
// Node and reaches its sub-trees through shared references, so it is as cheap to copy as the
// handful of references it holds.
class Statement : public SyntaxCases<Statement> {
public:
    enum class Kind : std::uint8_t {
        program,
        set,
        if_,
        for_,
        macro,
        break_,
        continue_,
        call,
        filter,
        generation,
    };

    // The names a for loop binds: one name, or several unpacked from each item.
    class LoopVar : public SyntaxHash<LoopVar> {
    public:
        enum class Kind : std::uint8_t { single, tuple };

        static LoopVar single(std::string name) { return LoopVar(Payload(std::move(name))); }
        static LoopVar tuple(NameList names) { return LoopVar(Payload(std::move(names))); }

        Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
        const std::string& name() const { return std::get<std::string>(payload_); }
        const NameList& names() const { return std::get<NameList>(payload_); }
        // scopeNameHash() of each name in order, worked out with the tree; empty when a name is
        // not its own canonical form. Derived from the names, so equality and hashing leave it
        // out.
        const SharedArray<std::uint64_t>& nameHashes() const noexcept { return nameHashes_; }

        friend bool operator==(const LoopVar& a, const LoopVar& b);
        void hashInto(Hasher& hasher) const;

    private:
        using Payload = std::variant<std::string, NameList>;
        explicit LoopVar(Payload payload);
        Payload payload_;
        SharedArray<std::uint64_t> nameHashes_;
    };

    struct Program {
        NodeList body;
    };
    // The inline form has a value and an empty body; the block form has no value.
    struct Set {
        Expression target;
        std::optional<Expression> value;
        NodeList body;
    };
    // An elif arrives as an alternate holding exactly one node: the nested if statement.
    struct If {
        Expression test;
        NodeList body;
        NodeList alternate;
    };
    struct For {
        LoopVar loopVar;
        Expression iterable;
        NodeList body;
        NodeList elseBody;
        std::optional<Expression> test;
    };
    // Only parameters with a default have an entry in `defaults`. The runtime keeps this same
    // record as the payload of a `macro` value.
    struct Macro {
        std::string name;
        NameList parameters;
        MacroDefaults defaults;
        NodeList body;
        // The scope a call binds: the names in canonical form, in the order the call binds them
        // (the defaults', then those of the parameters without one), their scopeNameHash(), and
        // for each parameter its position among them, with `boundBefore` set where a default or
        // an earlier parameter binds the name already.
        struct CallLayout {
            static constexpr std::uint32_t boundBefore = 1U << 31;
            // The macro's own name in canonical form and its scopeNameHash(), which defining
            // the macro binds.
            std::string canonicalName;
            std::uint64_t nameHash = 0;
            std::vector<std::string> names;
            std::vector<std::uint64_t> hashes;
            std::vector<std::uint32_t> parameterSlots;
            // The names' bits, as a scope records them (see Environment::Variables::NameSet).
            std::uint64_t nameBits = 0;
            std::uint16_t kindTestNames = 0;

            static std::shared_ptr<const CallLayout> of(const Macro& macro);
        };
        // Worked out with the tree by make(); null in a record built without it. Derived from
        // the names, so equality and hashing leave it out.
        std::shared_ptr<const CallLayout> callLayout = {};

        static Macro make(std::string name, NameList parameters, MacroDefaults defaults,
                          NodeList body);

        // Names, parameters in order, defaults in order (names, then expressions), bodies.
        friend bool operator==(const Macro& a, const Macro& b);
        // The name; the parameter count and names; the default count, then each name and
        // expression; the body.
        void hashInto(Hasher& hasher) const;
    };
    struct Break {};
    struct Continue {};
    // `callerArgs` is absent without a parenthesis after the keyword, empty for "call()".
    struct Call {
        Expression callable;
        std::optional<ExpressionList> callerArgs;
        NodeList body;
    };
    struct Filter {
        Expression filterExpr;
        NodeList body;
    };
    struct Generation {
        NodeList body;
    };

    using Payload =
        std::variant<Program, Set, If, For, Macro, Break, Continue, Call, Filter, Generation>;

    static Statement program(NodeList body) { return Statement(Program{std::move(body)}); }
    static Statement set(Expression target, std::optional<Expression> value, NodeList body) {
        return Statement(Set{std::move(target), std::move(value), std::move(body)});
    }
    static Statement if_(Expression test, NodeList body, NodeList alternate) {
        return Statement(If{std::move(test), std::move(body), std::move(alternate)});
    }
    static Statement for_(LoopVar loopVar, Expression iterable, NodeList body, NodeList elseBody,
                          std::optional<Expression> test) {
        return Statement(For{std::move(loopVar), std::move(iterable), std::move(body),
                             std::move(elseBody), std::move(test)});
    }
    static Statement macro(std::string name, NameList parameters, MacroDefaults defaults,
                           NodeList body) {
        return Statement(Macro::make(std::move(name), std::move(parameters), std::move(defaults),
                                     std::move(body)));
    }
    static Statement break_() { return Statement(Break{}); }
    static Statement continue_() { return Statement(Continue{}); }
    static Statement call(Expression callable, std::optional<ExpressionList> callerArgs,
                          NodeList body) {
        return Statement(Call{std::move(callable), std::move(callerArgs), std::move(body)});
    }
    static Statement filter(Expression filterExpr, NodeList body) {
        return Statement(Filter{std::move(filterExpr), std::move(body)});
    }
    static Statement generation(NodeList body) { return Statement(Generation{std::move(body)}); }

    const Payload& payload() const noexcept { return payload_; }
    Kind storedKind() const noexcept { return kind_; }

    friend bool operator==(const Statement& a, const Statement& b);
    void hashInto(Hasher& hasher) const;

private:
    explicit Statement(Payload payload)
        : kind_(static_cast<Kind>(payload.index())), payload_(std::move(payload)) {}
    Kind kind_;  // first, beside the fields a case keeps first (see SyntaxCases)
    Payload payload_;
};

}  // namespace templates

template <>
struct std::hash<templates::Statement> {
    std::size_t operator()(const templates::Statement& s) const { return s.hashValue(); }
};
template <>
struct std::hash<templates::Statement::LoopVar> {
    std::size_t operator()(const templates::Statement::LoopVar& v) const { return v.hashValue(); }
};
