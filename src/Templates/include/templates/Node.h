#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "templates/Expression.h"
#include "templates/Hasher.h"
#include "templates/SharedArray.h"
#include "templates/Statement.h"
#include "templates/SyntaxBase.h"

namespace templates {

// One element of a parsed template: literal text, an output expression, a statement with its
// block, or a comment. Like Expression, a Node is one shared reference to an immutable box.
class Node : public SyntaxCases<Node> {
public:
    enum class Kind : std::uint8_t { text, expression, statement, comment };

    struct Text {
        std::string value;
    };
    struct Comment {
        std::string value;
    };
    using Payload = std::variant<Text, Expression, Statement, Comment>;

    static Node text(std::string value) { return Node(Payload(Text{std::move(value)})); }
    static Node expression(Expression expression) { return Node(Payload(std::move(expression))); }
    static Node statement(Statement statement) { return Node(Payload(std::move(statement))); }
    static Node comment(std::string value) { return Node(Payload(Comment{std::move(value)})); }

    const Payload& payload() const noexcept { return box_->payload; }
    Kind storedKind() const noexcept { return box_->kind; }
    // The macro definition this node holds, sharing the node's box: a macro value made from it
    // keeps the tree alive instead of copying the definition at every rendering.
    std::shared_ptr<const Statement::Macro> sharedMacro() const {
        return {box_, &std::get<Statement::Macro>(std::get<Statement>(box_->payload).payload())};
    }

    friend bool operator==(const Node& a, const Node& b);
    void hashInto(Hasher& hasher) const;

private:
    struct Box {
        Kind kind;  // first, beside the fields a case keeps first (see SyntaxCases)
        Payload payload;
    };
    explicit Node(Payload payload)
        : box_(std::make_shared<const Box>(
              Box{static_cast<Kind>(payload.index()), std::move(payload)})) {}

    std::shared_ptr<const Box> box_;
};

// Structural equality and hashing of node lists (a template's nodes, a block's body): the count,
// then the nodes in order; lists sharing one buffer are equal at once.
bool operator==(const NodeList& a, const NodeList& b);
void hashInto(Hasher& hasher, const NodeList& nodes);

}  // namespace templates

template <>
struct std::hash<templates::Node> {
    std::size_t operator()(const templates::Node& n) const { return n.hashValue(); }
};
