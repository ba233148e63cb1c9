#pragma once

#include <exception>
#include <optional>
#include <string>

namespace templates {

// What `raise_exception` throws: the template's own refusal of its input, carrying the template's
// message when it gave a text. Deliberately not a TemplateError, so callers can tell a template
// that rejects a conversation from an engine failure.
class TemplateException : public std::exception {
public:
    explicit TemplateException(std::optional<std::string> message) : message_(std::move(message)) {}

    const std::optional<std::string>& message() const noexcept { return message_; }
    const char* what() const noexcept override {
        return message_ ? message_->c_str() : "Template raised an exception";
    }

private:
    std::optional<std::string> message_;
};

}  // namespace templates
