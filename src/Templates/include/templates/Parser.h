#pragma once

#include <cstddef>
#include <vector>

#include "templates/Node.h"
#include "templates/Token.h"

namespace templates {

// Builds the syntax tree of a template from the lexer's tokens by recursive descent. Stateless
// between calls; templates may be parsed on several threads at once.
class Parser {
public:
    Parser() = delete;

    // The template's nodes in source order. The token list ends with an `eof` token, as the
    // lexer's always does. Throws TemplateError (parser case) at the first malformed construct.
    static NodeList parse(const std::vector<Token>& tokens);

    // Templates come from downloaded files, and both the parser and everything that later walks
    // the tree recurse once per level: deeper nesting of blocks or expressions is refused. Real
    // chat templates nest a dozen levels at most; at this limit parsing needs well under 1 MiB
    // of stack.
    static constexpr std::size_t maximumNestingDepth = 128;
    // A flat chain (terms joined by an operator, filters applied one after another, elif
    // branches) is read in a loop and is not nesting, but the tree it builds is as deep as the
    // chain is long: the depth of the tree is bounded separately, higher.
    static constexpr std::size_t maximumTreeDepth = 1024;
};

}  // namespace templates
