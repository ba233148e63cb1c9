#include "TreePrinter.h"

#include <fmt/format.h>

namespace templates {

std::string printTokens(const std::vector<Token>& tokens) {
    std::string out;
    for (const Token& token : tokens) {
        if (!out.empty()) {
            out += ' ';
        }
        out += fmt::format("{}'{}'@{}", name(token.kind()), token.value(), token.position());
    }
    return out;
}

}  // namespace templates
