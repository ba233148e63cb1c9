#pragma once

#include <string>

#include "templates/Coding.h"
#include "templates/Expression.h"
#include "templates/Node.h"
#include "templates/Statement.h"
#include "templates/Token.h"

namespace templates {

// The JSON forms of the syntax tree and of tokens.
//
// Node, Expression, Statement, LoopVar and Token::Kind are externally tagged: an object with one
// member named after the case, holding an object of the payload ("_0", "_1", ... for unlabelled
// fields, the label otherwise; absent optionals left out; payload-free cases as {}). Operators
// are bare strings of their raw values; keyword arguments are objects; object literals and
// macro defaults are flat [key, value, ...] arrays. Reading ignores members it does not know and
// refuses an envelope without exactly one case member with typeMismatch "Invalid number of keys
// found, expected one.". A Token is {"kind": ..., "value": "...", "position": n}.
//
// Writing then reading gives back an equal value.

void encode(coding::Writer& writer, const Node& node);
void encode(coding::Writer& writer, const NodeList& nodes);
void encode(coding::Writer& writer, const Expression& expression);
void encode(coding::Writer& writer, const Statement& statement);
void encode(coding::Writer& writer, const Statement::LoopVar& loopVar);
void encode(coding::Writer& writer, Expression::UnaryOp op);
void encode(coding::Writer& writer, Expression::BinaryOp op);
void encode(coding::Writer& writer, const ObjectKey& key);
void encode(coding::Writer& writer, Token::Kind kind);
void encode(coding::Writer& writer, const Token& token);

Node decodeNode(const coding::Reader& reader);
NodeList decodeNodes(const coding::Reader& reader);
Expression decodeExpression(const coding::Reader& reader);
Statement decodeStatement(const coding::Reader& reader);
Statement::LoopVar decodeLoopVar(const coding::Reader& reader);
Expression::UnaryOp decodeUnaryOp(const coding::Reader& reader);
Expression::BinaryOp decodeBinaryOp(const coding::Reader& reader);
// An integer first, then a text; otherwise typeMismatch "ObjectKey must be a string or integer".
ObjectKey decodeObjectKey(const coding::Reader& reader);
Token::Kind decodeTokenKind(const coding::Reader& reader);
Token decodeToken(const coding::Reader& reader);

// The JSON text of anything `encode` writes.
template <class T>
std::string toJSON(const T& value) {
    coding::Writer writer;
    encode(writer, value);
    return writer.text();
}

}  // namespace templates
