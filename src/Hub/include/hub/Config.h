#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "hub/BinaryDistinctString.h"
#include "hub/Hasher.h"

namespace hub {

// Integer types a Config takes as an integer (character types and bool are not numbers here).
template <class T>
concept ConfigInteger = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                        !std::same_as<T, char8_t> && !std::same_as<T, char16_t> &&
                        !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>;

// A dynamic JSON value: the form in which every configuration and tokenizer file is read.
//
// Reading is forgiving: no lookup or accessor fails. A missing key, a wrong kind or an index out
// of range gives the null value or no value, a camelCase key finds its snake_case twin, and the
// typed accessors convert between kinds where noted. Values are immutable once built and copy
// cheaply: dictionaries and arrays are shared between copies.
//
// Equality is lenient across kinds (1, "1" and true are equal; so are 1 and 1.0) while hashing
// always mixes in the kind, so values of mixed kinds that compare equal may hash differently.
class Config {
public:
    // Keys compare by code units: precomposed and decomposed spellings are different keys.
    using Dictionary = std::unordered_map<BinaryDistinctString, Config>;
    using Array = std::vector<Config>;
    using Pairs = std::vector<std::pair<BinaryDistinctString, Config>>;

    struct Token {
        std::uint64_t id = 0;
        BinaryDistinctString text;
        friend bool operator==(const Token&, const Token&) = default;
    };

    enum class Kind : std::uint8_t {
        string,
        integer,
        boolean,
        floating,
        dictionary,
        array,
        token,
        null,
    };

    // The null value.
    Config() noexcept = default;

    // Scalars, arrays and dictionaries convert implicitly, so values can be written as literals:
    // Config{{"type", "BPE"}, {"dropout", Config()}, {"merges", Config::Array{"a b"}}}.

    Config(BinaryDistinctString s) : data_(std::move(s)) {}
    Config(std::string_view s) : data_(BinaryDistinctString(s)) {}
    Config(const char* s) : data_(BinaryDistinctString(s)) {}
    Config(const std::string& s) : data_(BinaryDistinctString(s)) {}
    Config(std::nullptr_t) = delete;  // would read as a null C string, not the null value
    // Integers beyond the signed 64-bit range are kept as floating values, as the loader does.
    template <ConfigInteger T>
    Config(T v) : data_(fromInteger(v)) {}
    Config(bool b) : data_(b) {}
    Config(float f) : data_(f) {}
    // Narrowed to the nearest float: configuration numbers are 32-bit.
    Config(double d) : data_(static_cast<float>(d)) {}
    Config(Array a);
    Config(Dictionary d);
    Config(Token t) : data_(std::move(t)) {}
    // A dictionary filled pair by pair; a key that comes again replaces the earlier value.
    Config(std::initializer_list<std::pair<BinaryDistinctString, Config>> pairs);
    explicit Config(const Pairs& pairs);
    // A dictionary from UTF-8 keys, each converted to its code units.
    explicit Config(const std::unordered_map<std::string, Config>& dictionary);

    Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }
    bool isNull() const noexcept { return kind() == Kind::null; }

    // On a dictionary: the value of `key`, else the value of uncamelCase(key), else null.
    // On any other kind: null.
    Config operator[](const BinaryDistinctString& key) const;
    // The same lookup, except that a receiver that is not a dictionary gives no value (a missing
    // key of a dictionary still gives null).
    std::optional<Config> member(const BinaryDistinctString& name) const;
    // On an array with 0 <= index < size: that element; otherwise null.
    Config operator[](std::int64_t index) const;

    // "modelType" -> "model_type": each upper-case letter becomes its lower-case form, preceded by
    // "_" unless it starts the key or follows another upper-case letter ("addBOSToken" ->
    // "add_bostoken").
    static BinaryDistinctString uncamelCase(const BinaryDistinctString& key);

    // Typed accessors. Without a fallback they give no value where the kind does not fit.

    // The text of a string, as UTF-8.
    std::optional<std::string> string() const;
    std::string string(std::string fallback) const;
    std::optional<BinaryDistinctString> binaryDistinctString() const;
    BinaryDistinctString binaryDistinctString(BinaryDistinctString fallback) const;
    // A boolean as is; an integer is true exactly when it is 1; a string, lower-cased, is true for
    // "true", "t", "1" and false for "false", "f", "0"; anything else gives no value.
    std::optional<bool> boolean() const;
    bool boolean(bool fallback) const { return boolean().value_or(fallback); }
    // Integers only: a floating value gives no value even when it is whole.
    std::optional<std::int64_t> integer() const;
    std::int64_t integer(std::int64_t fallback) const { return integer().value_or(fallback); }
    // A floating value as is; an integer converted to the nearest float.
    std::optional<float> floating() const;
    float floating(float fallback) const { return floating().value_or(fallback); }
    // The shared payload of a dictionary or array, or nullptr for any other kind. It lives as long
    // as any Config that shares it (this one, the value it was read from, or a copy).
    const Dictionary* dictionary() const noexcept;
    const Array* array() const noexcept;
    // A token as is; also an array of exactly [text, non-negative integer].
    std::optional<std::pair<std::uint64_t, std::string>> token() const;
    std::pair<std::uint64_t, std::string> token(
        std::pair<std::uint64_t, std::string> fallback) const;

    // Typed reads by target type: std::string, BinaryDistinctString, bool, std::int64_t, float,
    // Dictionary, Array and std::pair<std::uint64_t, std::string> as above, plus
    // - std::unordered_map<BinaryDistinctString, std::int64_t>: the integer entries of a
    //   dictionary, the others dropped;
    // - std::vector<std::string> and std::vector<BinaryDistinctString>: the string elements of an
    //   array in order, the others skipped;
    // - Token: the payload of a token value only (no reading of [text, id] arrays).
    template <class T>
    std::optional<T> get() const;
    template <class T>
    T get(T fallback) const {
        auto v = get<T>();
        return v ? std::move(*v) : std::move(fallback);
    }

    friend bool operator==(const Config& a, const Config& b);

    // Feeds the kind number, then the payload.
    void hash(Hasher& hasher) const;
    std::size_t hashValue() const;

    // Strings in double quotes, arrays and dictionaries in doubled brackets ("[[1, 2]]",
    // "{[key: 1]}"), tokens as "(id, text)", null as "null".
    std::string description() const;

    // The JSON form: scalars as themselves, dictionaries as objects, arrays as arrays, a token as
    // the two-element array [id, text]. A non-finite float has no JSON form and raises ConfigError.
    std::string encodedJSON() const;
    // Reads JSON as a generic decoder would: a number that is a whole value within the 64-bit range
    // is an integer, a two-element array [non-negative integer, text] is a token, and a number
    // without a 32-bit form is null. Malformed JSON raises YYJSONParser::ParseError.
    static Config decodedJSON(std::string_view json);

private:
    using Data = std::variant<BinaryDistinctString, std::int64_t, bool, float,
                              std::shared_ptr<const Dictionary>, std::shared_ptr<const Array>,
                              Token, std::monostate>;

    template <class T>
    static Data fromInteger(T v) {
        if constexpr (std::unsigned_integral<T> && sizeof(T) >= sizeof(std::int64_t)) {
            if (v > static_cast<T>(INT64_MAX)) {
                return static_cast<float>(v);
            }
        }
        return static_cast<std::int64_t>(v);
    }

    Data data_{std::monostate{}};
};

template <>
std::optional<std::string> Config::get<std::string>() const;
template <>
std::optional<BinaryDistinctString> Config::get<BinaryDistinctString>() const;
template <>
std::optional<bool> Config::get<bool>() const;
template <>
std::optional<std::int64_t> Config::get<std::int64_t>() const;
template <>
std::optional<float> Config::get<float>() const;
template <>
std::optional<Config::Dictionary> Config::get<Config::Dictionary>() const;
template <>
std::optional<Config::Array> Config::get<Config::Array>() const;
template <>
std::optional<std::pair<std::uint64_t, std::string>>
Config::get<std::pair<std::uint64_t, std::string>>() const;
template <>
std::optional<Config::Token> Config::get<Config::Token>() const;
template <>
std::optional<std::unordered_map<BinaryDistinctString, std::int64_t>>
Config::get<std::unordered_map<BinaryDistinctString, std::int64_t>>() const;
template <>
std::optional<std::vector<std::string>> Config::get<std::vector<std::string>>() const;
template <>
std::optional<std::vector<BinaryDistinctString>> Config::get<std::vector<BinaryDistinctString>>()
    const;

}  // namespace hub

template <>
struct std::hash<hub::Config> {
    std::size_t operator()(const hub::Config& c) const { return c.hashValue(); }
};
