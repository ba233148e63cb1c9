#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace templates {

// The one error type of the template engine. The case names the stage that failed; the message
// says what went wrong. The stage prefix belongs to the description only, so code that throws
// passes the bare message and code that shows the error to a person uses errorDescription().
class TemplateError : public std::exception {
public:
    enum class Case { lexer, parser, runtime, syntax };

    TemplateError(Case errorCase, std::string message);

    static TemplateError lexer(std::string message) { return {Case::lexer, std::move(message)}; }
    static TemplateError parser(std::string message) { return {Case::parser, std::move(message)}; }
    static TemplateError runtime(std::string message) {
        return {Case::runtime, std::move(message)};
    }
    // Nothing in the engine raises this case; it is offered to callers.
    static TemplateError syntax(std::string message) { return {Case::syntax, std::move(message)}; }

    Case errorCase() const noexcept { return case_; }
    const std::string& message() const noexcept { return message_; }

    // The stage's prefix immediately followed by the message, e.g. "Parser error: Unclosed for
    // loop". The prefix is never deduplicated against the message.
    const std::string& errorDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    static std::string_view prefix(Case errorCase) noexcept;

private:
    Case case_;
    std::string message_;
    std::string description_;
};

}  // namespace templates
