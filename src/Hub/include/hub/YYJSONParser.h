#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "hub/Config.h"

namespace hub {

// Reads the bytes of one JSON file into one Config. Besides standard JSON it accepts the literals
// for infinity and not-a-number; it rejects comments, trailing commas, content after the root
// value, invalid UTF-8 and nesting deeper than maxDepth levels.
//
// Mapping: integers within the signed 64-bit range become integers, every other number a 32-bit
// floating value (beyond the float range, an infinity); a key that occurs twice in one object
// keeps its last value; strings keep every byte, embedded NUL characters included.
class YYJSONParser {
public:
    YYJSONParser() = delete;

    class ParseError : public std::exception {
    public:
        enum class Case { readFailed, nullDocument };

        // `position` is the byte offset at which reading stopped.
        static ParseError readFailed(std::uint32_t code, std::string message,
                                     std::size_t position) {
            return ParseError(Case::readFailed, code, std::move(message), position);
        }
        static ParseError nullDocument() { return ParseError(Case::nullDocument, 0, {}, 0); }

        Case errorCase() const noexcept { return case_; }
        std::uint32_t code() const noexcept { return code_; }
        const std::string& message() const noexcept { return message_; }
        std::size_t position() const noexcept { return position_; }

        // "yyjson read failed (code <c>) at position <p>: <message>", or
        // "yyjson returned null document".
        const std::string& errorDescription() const noexcept { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

    private:
        ParseError(Case c, std::uint32_t code, std::string message, std::size_t position);

        Case case_;
        std::uint32_t code_;
        std::string message_;
        std::size_t position_;
        std::string description_;
    };

    // Arrays and objects nested deeper than this are rejected rather than risking the stack of
    // every later walk over the value.
    static constexpr std::size_t maxDepth = 512;

    static Config parseToConfig(std::string_view bytes);
};

}  // namespace hub
