#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "templates/RenderLimits.h"
#include "templates/Value.h"

namespace templates {

// JSON text of template values as `tojson` writes it: ", " and ": " separators by default,
// optional indentation and key sorting, escapes for quotes, backslashes and control characters,
// optional escapes for everything from U+007F, ints in decimal, doubles in shortest round-trip
// form with the bare words NaN and Infinity, and an HTML-safe variant.
class JSON {
public:
    JSON() = delete;

    struct Separators {
        std::string item;
        std::string key;
        friend bool operator==(const Separators&, const Separators&) = default;
    };

    struct DumpsOptions {
        // Escape every character from U+007F on, as UTF-16 code units.
        bool ensureASCII = false;
        // Entries of objects sorted by key instead of in insertion order.
        bool sortKeys = false;
        // Absent: one line. Present: a line break and this many blanks per level (negative
        // counts as 0).
        std::optional<std::int64_t> indent;
        // Absent: ", " (or "," with an indent) between items and ": " after keys.
        std::optional<Separators> separators;
        friend bool operator==(const DumpsOptions&, const DumpsOptions&) = default;
    };

    // Which writer `tojson` uses.
    class Serializer {
    public:
        enum class Kind : std::uint8_t { custom, standard, htmlSafe };
        // Must be safe to call from any thread; may throw, and its error passes through as is.
        using CustomFunction = std::function<std::string(const Value&, const DumpsOptions&)>;

        static Serializer custom(CustomFunction function);
        static Serializer standard() { return Serializer(Kind::standard, nullptr); }
        static Serializer htmlSafe() { return Serializer(Kind::htmlSafe, nullptr); }

        Kind kind() const noexcept { return kind_; }
        const CustomFunction& customFunction() const noexcept { return custom_; }

        // standard runs dumps, htmlSafe htmlSafeDumps, custom its function.
        std::string dumps(const Value& value, const DumpsOptions& options,
                          std::size_t maximumLength = RenderLimits{}.maximumTextLength) const;

    private:
        Serializer(Kind kind, CustomFunction custom) : kind_(kind), custom_(std::move(custom)) {}
        Kind kind_;
        CustomFunction custom_;
    };

    // Throws TemplateError (runtime) for undefined, function and macro values anywhere in the
    // value ("Object of type Undefined is not JSON serializable" and the like), for an object
    // mixing int and text keys under sortKeys, and when the text would grow past
    // `maximumLength` bytes (a huge indent, for one).
    static std::string dumps(const Value& value, const DumpsOptions& options,
                             std::size_t maximumLength = RenderLimits{}.maximumTextLength);
    // dumps, then <, >, & and ' replaced by their \u escapes.
    static std::string htmlSafeDumps(const Value& value, const DumpsOptions& options,
                                     std::size_t maximumLength = RenderLimits{}.maximumTextLength);

    // How a double is written: "NaN", "Infinity", "-0.0", "1e-05", "1000000000000000.0",
    // "1e+16".
    static std::string pythonRepr(double value);
};

}  // namespace templates
