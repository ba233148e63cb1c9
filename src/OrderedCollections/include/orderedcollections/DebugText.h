#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace ordered {

// How an element shows in the text form of an ordered collection, the way a debugger shows it:
// texts quoted with their special characters escaped, numbers as plain decimals, booleans as
// true/false, an empty optional as nil. A type with a `description()` member (the ordered
// collections themselves) or an `operator<<` is shown through it. Specialise DebugText<T> to show
// a type differently.
template <class T>
struct DebugText;

template <class T>
void appendDebugText(std::string& out, const T& value) {
    DebugText<T>::append(out, value);
}

namespace detail {

inline void appendQuoted(std::string& out, std::string_view text) {
    static constexpr char hexDigits[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default: {
                const auto byte = static_cast<unsigned char>(c);
                if (byte < 0x20 || byte == 0x7F) {
                    out += "\\u{";
                    if (byte >= 0x10) {
                        out += hexDigits[byte >> 4];
                    }
                    out += hexDigits[byte & 0xF];
                    out += '}';
                } else {
                    out += c;
                }
            }
        }
    }
    out += '"';
}

template <class T>
void appendNumber(std::string& out, T value) {
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    out += text;
    // A floating value always shows that it is one: 1.0, not 1.
    if constexpr (std::is_floating_point_v<T>) {
        if (text.find_first_of(".enai") == std::string_view::npos) {
            out += ".0";
        }
    }
}

template <class T>
concept HasDescription = requires(const T& value) {
    { value.description() } -> std::convertible_to<std::string>;
};

template <class T>
concept Streamable = requires(std::ostream& stream, const T& value) {
    stream << value;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

}  // namespace detail

template <class T>
struct DebugText {
    static void append(std::string& out, const T& value) {
        if constexpr (std::same_as<T, bool>) {
            out += value ? "true" : "false";
        } else if constexpr (std::same_as<T, char>) {
            detail::appendQuoted(out, std::string_view(&value, 1));
        } else if constexpr (std::is_arithmetic_v<T>) {
            detail::appendNumber(out, value);
        } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
            detail::appendQuoted(out, std::string_view(value));
        } else if constexpr (detail::IsOptional<T>::value) {
            if (value) {
                out += "Optional(";
                appendDebugText(out, *value);
                out += ')';
            } else {
                out += "nil";
            }
        } else if constexpr (detail::HasDescription<T>) {
            out += value.description();
        } else {
            static_assert(detail::Streamable<T>,
                          "specialise ordered::DebugText for this type to describe it");
            std::ostringstream stream;
            stream << value;
            out += stream.str();
        }
    }
};

// "[a, b, c]" from the debug texts of a range's elements; "[]" when empty.
template <class Range>
std::string arrayDescription(const Range& elements) {
    std::string text = "[";
    bool first = true;
    for (const auto& element : elements) {
        if (!first) {
            text += ", ";
        }
        first = false;
        appendDebugText(text, element);
    }
    text += ']';
    return text;
}

// "[k1: v1, k2: v2]" from a range of key-value pairs; "[:]" when empty.
template <class Range>
std::string dictionaryDescription(const Range& pairs) {
    std::string text = "[";
    bool first = true;
    for (auto&& pair : pairs) {
        const auto& [key, value] = pair;
        if (!first) {
            text += ", ";
        }
        first = false;
        appendDebugText(text, key);
        text += ": ";
        appendDebugText(text, value);
    }
    text += first ? ":]" : "]";
    return text;
}

}  // namespace ordered
