#include "templates/TemplateError.h"

namespace templates {

TemplateError::TemplateError(Case errorCase, std::string message)
    : case_(errorCase), message_(std::move(message)) {
    description_.reserve(prefix(case_).size() + message_.size());
    description_.append(prefix(case_));
    description_.append(message_);
}

std::string_view TemplateError::prefix(Case errorCase) noexcept {
    switch (errorCase) {
        case Case::lexer:
            return "Lexer error: ";
        case Case::parser:
            return "Parser error: ";
        case Case::runtime:
            return "Runtime error: ";
        case Case::syntax:
            return "Syntax error: ";
    }
    return {};
}

}  // namespace templates
