#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

namespace templates {

// What {% break %} and {% continue %} raise and the innermost running loop consumes. Within one
// block the interpreter passes the signal back as a return value; it travels as this exception
// only out of a macro or caller body, and out of a rendering whose template breaks outside any
// loop.
class ControlFlow : public std::exception {
public:
    enum class Case : std::uint8_t { break_, continue_ };

    explicit ControlFlow(Case flowCase) noexcept : case_(flowCase) {}
    static ControlFlow break_() noexcept { return ControlFlow(Case::break_); }
    static ControlFlow continue_() noexcept { return ControlFlow(Case::continue_); }

    Case flowCase() const noexcept { return case_; }
    const char* what() const noexcept override {
        return case_ == Case::break_ ? "break" : "continue";
    }

    friend bool operator==(const ControlFlow& a, const ControlFlow& b) noexcept {
        return a.case_ == b.case_;
    }
    std::size_t hashValue() const noexcept { return static_cast<std::size_t>(case_); }

private:
    Case case_;
};

}  // namespace templates

template <>
struct std::hash<templates::ControlFlow> {
    std::size_t operator()(const templates::ControlFlow& c) const noexcept { return c.hashValue(); }
};
