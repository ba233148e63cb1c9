#pragma once

#include <string>
#include <vector>

#include "templates/Expression.h"
#include "templates/Node.h"
#include "templates/Statement.h"
#include "templates/Token.h"

namespace templates {

// Compact one-line forms for golden comparisons.
//  tokens:      kind'value'@position, separated by blanks
//  expressions: literals as written ('text', 5, n:1.5, true, none, [a, b], (a, b), {'k': 1});
//               names bare; operators prefix: (+ a b), (not x), (* xs) for a splat;
//               (if value test [alternate]); (call f args... k=v); (. x name) for a dotted
//               name, ([] x key) for computed access; (slice x start stop step) with _ for an
//               absent bound; (| x name args... k=v); (is x name args...), (is not ...)
//  nodes:       "text", {#comment#}, {{expression}}, {%statement%}; a node list as [a b]
std::string printTokens(const std::vector<Token>& tokens);
std::string print(const Expression& expression);
std::string print(const Statement& statement);
std::string print(const Node& node);
std::string print(const NodeList& nodes);

}  // namespace templates
