#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "templates/Hasher.h"

namespace templates {

// The key of the engine's objects: a text or a signed 64-bit integer. The two kinds never meet:
// the integer key 1 and the text key "1" are different keys. Texts compare by canonical
// equivalence.
class ObjectKey {
public:
    enum class Kind : std::uint8_t { string, int_ };

    ObjectKey(std::string text) : payload_(std::move(text)) {}    // NOLINT: keys are values
    ObjectKey(const char* text) : payload_(std::string(text)) {}  // NOLINT
    template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char>) ObjectKey(I number)
        : payload_(static_cast<std::int64_t>(number)) {}  // NOLINT

    Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
    bool isString() const noexcept { return kind() == Kind::string; }
    bool isInt() const noexcept { return kind() == Kind::int_; }
    const std::string& asString() const { return std::get<std::string>(payload_); }
    std::int64_t asInt() const { return std::get<std::int64_t>(payload_); }

    // The kind as one word (0 for text, 1 for integer), then the text or the integer.
    void hashInto(Hasher& hasher) const;
    std::size_t hashValue() const;

    friend bool operator==(const ObjectKey& a, const ObjectKey& b);

    // Every int key sorts before every text key; ints by number, texts by the Unicode scalars of
    // their canonical forms. compare() gives -1, 0 or 1; with `caseInsensitive` two texts are
    // compared after full case folding.
    friend bool operator<(const ObjectKey& a, const ObjectKey& b) { return a.compare(b) < 0; }
    int compare(const ObjectKey& other, bool caseInsensitive = false) const;

    // A text key quoted ('a'), an int key in decimal (1).
    std::string description() const;
    void appendDescription(std::string& out) const;
    // As a coding key: the text, or the decimal digits of an int; the int of an int key only.
    std::string stringValue() const;
    std::optional<std::int64_t> intValue() const;

private:
    std::variant<std::string, std::int64_t> payload_;
};

}  // namespace templates

template <>
struct std::hash<templates::ObjectKey> {
    std::size_t operator()(const templates::ObjectKey& key) const { return key.hashValue(); }
};
