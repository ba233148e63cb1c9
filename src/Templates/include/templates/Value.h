#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "orderedcollections/OrderedDictionary.h"
#include "templates/BuiltinFunction.h"
#include "templates/Hasher.h"
#include "templates/Macro.h"
#include "templates/ObjectKey.h"
#include "templates/SharedArray.h"

namespace templates {

// The one dynamic value of the template engine: every variable, expression result, argument and
// loop item. A value is small (scalars inline, everything else one shared reference to immutable
// storage), so copies are cheap and may be shared between threads; nothing changes a value in
// place.
//
// `null` is what the words none/null produce, `undefined` what a missing name, key, index or
// attribute produces; they are distinct.
class Value {
public:
    enum class Kind : std::uint8_t {
        boolean,
        int_,
        double_,
        string,
        array,
        object,
        function,
        macro,
        null,
        undefined,
    };

    using Array = SharedArray<Value>;
    using Object = ordered::OrderedDictionary<ObjectKey, Value>;

    Value() noexcept : storage_(NullTag{}) {}
    Value(std::nullptr_t) noexcept : storage_(NullTag{}) {}  // NOLINT: the null literal
    Value(bool b) noexcept : storage_(b) {}                  // NOLINT
    template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char>) Value(I n)
    noexcept : storage_(static_cast<std::int64_t>(n)) {}  // NOLINT
    Value(char c) : Value(std::string(1, c)) {}           // NOLINT: a one-letter text
    Value(double d) noexcept : storage_(d) {}             // NOLINT
    Value(std::string s) : storage_(std::make_shared<const std::string>(std::move(s))) {}  // NOLINT
    Value(std::string_view s) : Value(std::string(s)) {}                                   // NOLINT
    Value(const char* s) : Value(std::string(s)) {}                                        // NOLINT
    Value(Array items) : storage_(std::move(items)) {}                                     // NOLINT
    Value(std::vector<Value> items);                                                       // NOLINT
    Value(Object entries);                                                                 // NOLINT
    explicit Value(const ObjectKey& key);

    static Value null() noexcept { return Value(); }
    static Value undefined() noexcept { return Value(UndefinedTag{}); }
    static Value function(BuiltinFunction function);
    static Value macro(Macro macro);

    Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
    bool isBoolean() const noexcept { return kind() == Kind::boolean; }
    bool isInt() const noexcept { return kind() == Kind::int_; }
    bool isDouble() const noexcept { return kind() == Kind::double_; }
    bool isString() const noexcept { return kind() == Kind::string; }
    bool isArray() const noexcept { return kind() == Kind::array; }
    bool isObject() const noexcept { return kind() == Kind::object; }
    bool isFunction() const noexcept { return kind() == Kind::function; }
    bool isMacro() const noexcept { return kind() == Kind::macro; }
    bool isNull() const noexcept { return kind() == Kind::null; }
    bool isUndefined() const noexcept { return kind() == Kind::undefined; }
    bool isIterable() const noexcept { return isString() || isArray() || isObject(); }

    // Payload access; each throws std::bad_variant_access for another kind.
    bool asBool() const { return std::get<bool>(storage_); }
    std::int64_t asInt() const { return std::get<std::int64_t>(storage_); }
    double asDouble() const { return std::get<double>(storage_); }
    const std::string& asString() const { return *std::get<StringStorage>(storage_); }
    const Array& asArray() const { return std::get<Array>(storage_); }
    const Object& asObject() const { return *std::get<ObjectStorage>(storage_); }
    const BuiltinFunction& asFunction() const { return *std::get<FunctionStorage>(storage_); }
    const Macro& asMacro() const { return *std::get<MacroStorage>(storage_); }

    // The key an int or string value makes; no key for any other kind.
    std::optional<ObjectKey> asObjectKey() const;

    // Strict equality: same kind, then equal payloads (texts by canonical equivalence, doubles by
    // IEEE rules, arrays and objects position by position). A function equals nothing, itself
    // included, and so does any array or object holding one.
    friend bool operator==(const Value& a, const Value& b);

    // Consistent with strict equality; no kind discriminator is fed.
    void hashInto(Hasher& hasher) const;
    std::size_t hashValue() const;

private:
    struct NullTag {};
    struct UndefinedTag {};
    using StringStorage = std::shared_ptr<const std::string>;
    using ObjectStorage = std::shared_ptr<const Object>;
    using FunctionStorage = std::shared_ptr<const BuiltinFunction>;
    using MacroStorage = std::shared_ptr<const Macro>;
    using Storage = std::variant<bool, std::int64_t, double, StringStorage, Array, ObjectStorage,
                                 FunctionStorage, MacroStorage, NullTag, UndefinedTag>;

    explicit Value(UndefinedTag tag) noexcept : storage_(tag) {}

    Storage storage_;
};

}  // namespace templates

template <>
struct std::hash<templates::Value> {
    std::size_t operator()(const templates::Value& v) const { return v.hashValue(); }
};
