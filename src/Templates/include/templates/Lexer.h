#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "templates/Token.h"

namespace templates {

// Turns template source into tokens. Stateless: every operation is a pure function of its
// argument and may run on any thread.
class Lexer {
public:
    Lexer() = delete;

    // The tokens of the source in order, ending with exactly one `eof` token. Throws
    // TemplateError (lexer case) for an unclosed comment or string or a character that cannot
    // start a token inside a tag. Positions count characters (grapheme clusters) of the
    // preprocessed text.
    static std::vector<Token> tokenize(std::string_view source);

    // The whitespace-control rewrites applied before scanning: a "-" inside a closing marker
    // removes the marker's "-" and all whitespace after it, a "-" inside an opening marker the
    // "-" and the whitespace before it. Ill-formed UTF-8 is repaired first.
    static std::string preprocess(std::string_view source);
};

}  // namespace templates
