#pragma once

#include <any>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "orderedcollections/OrderedDictionary.h"
#include "templates/BuiltinFunction.h"
#include "templates/Hasher.h"
#include "templates/Macro.h"
#include "templates/ObjectKey.h"
#include "templates/PositionHint.h"
#include "templates/RenderLimits.h"
#include "templates/SharedArray.h"
#include "templates/Unicode.h"

namespace templates {

// The one dynamic value of the template engine: every variable, expression result, argument and
// loop item. A value is small (scalars inline, everything else one shared reference to immutable
// storage), so copies are cheap and may be shared between threads; nothing changes a value in
// place.
//
// `null` is what the words none/null produce, `undefined` what a missing name, key, index or
// attribute produces; they are distinct.
//
// Invariant: arrays and objects nest at most maximumDepth levels. Printing, comparing, hashing,
// serialising and releasing a value all recurse once per level, so a template that wraps a value
// in itself inside a loop is stopped when it builds the value instead of exhausting the stack
// later.
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

    static constexpr std::size_t maximumDepth = 512;

    Value() noexcept : kind_(Kind::null) {}
    Value(std::nullptr_t) noexcept : Value() {}                    // NOLINT: the null literal
    Value(bool b) noexcept : boolean_(b), kind_(Kind::boolean) {}  // NOLINT
    template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char>) Value(I n)
    noexcept : int_(static_cast<std::int64_t>(n)), kind_(Kind::int_) {}  // NOLINT
    Value(char c) : Value(std::string(1, c)) {}                     // NOLINT: a one-letter text
    Value(double d) noexcept : double_(d), kind_(Kind::double_) {}  // NOLINT
    Value(std::string s);                                           // NOLINT
    Value(std::string_view s) : Value(std::string(s)) {}            // NOLINT
    Value(const char* s) : Value(std::string(s)) {}                 // NOLINT
    // The two below throw TemplateError (runtime) when the result would nest deeper than
    // maximumDepth.
    Value(Array items);               // NOLINT
    Value(std::vector<Value> items);  // NOLINT
    Value(Object entries);            // NOLINT
    explicit Value(const ObjectKey& key);

    Value(const Value& other) noexcept : kind_(Kind::null) { copyFrom(other); }
    Value(Value&& other) noexcept : kind_(Kind::null) { moveFrom(other); }
    Value& operator=(const Value& other) noexcept {
        if (this != &other) {
            if (holdsReference()) {
                // Copy first: `other` may live inside the payload about to be released.
                Value copy(other);
                releaseReference();
                moveFrom(copy);
            } else {
                copyFrom(other);
            }
        }
        return *this;
    }
    Value& operator=(Value&& other) noexcept {
        if (this != &other) {
            if (holdsReference()) {
                Value taken(std::move(other));
                releaseReference();
                moveFrom(taken);
            } else {
                moveFrom(other);
            }
        }
        return *this;
    }
    ~Value() {
        if (holdsReference()) {
            releaseReference();
        }
    }

    static Value null() noexcept { return Value(); }
    static Value undefined() noexcept {
        Value v;
        v.kind_ = Kind::undefined;
        return v;
    }
    // A text held by someone else (a string literal of the syntax tree), shared instead of copied.
    static Value sharedText(std::shared_ptr<const std::string> text);
    static Value function(BuiltinFunction function);
    static Value macro(Macro macro);
    // A definition held by someone else (a macro statement of the syntax tree), shared.
    static Value macro(std::shared_ptr<const Macro> macro);

    // Objects with text keys. From an ordered dictionary the order is kept; from an unordered one
    // the entries go in ascending key order (Unicode scalar order of the canonical forms).
    static Value object(const ordered::OrderedDictionary<std::string, Value>& entries);
    static Value object(const std::unordered_map<std::string, Value>& entries);
    // Pairs stored in order under text keys: a repeated key keeps the position of its first
    // occurrence and the value of its last.
    static Value dictionaryLiteral(std::initializer_list<std::pair<std::string, Value>> pairs);

    // A host value: empty (null), a Value, a text (std::string, std::string_view, const char*),
    // an integer of any width (int when it fits 64 signed bits, else the nearest double), double,
    // float (widened exactly), bool, std::vector<std::any>, a text-keyed std::map or
    // std::unordered_map of std::any (entries in ascending key order), a Macro, or a
    // std::optional<std::any>. Anything else throws TemplateError (runtime) "Cannot convert value
    // of type <type> to template Value".
    static Value fromAny(const std::any& host);

    Kind kind() const noexcept { return kind_; }
    bool isBoolean() const noexcept { return kind_ == Kind::boolean; }
    bool isInt() const noexcept { return kind_ == Kind::int_; }
    bool isDouble() const noexcept { return kind_ == Kind::double_; }
    bool isString() const noexcept { return kind_ == Kind::string; }
    bool isArray() const noexcept { return kind_ == Kind::array; }
    bool isObject() const noexcept { return kind_ == Kind::object; }
    bool isFunction() const noexcept { return kind_ == Kind::function; }
    bool isMacro() const noexcept { return kind_ == Kind::macro; }
    bool isNull() const noexcept { return kind_ == Kind::null; }
    bool isUndefined() const noexcept { return kind_ == Kind::undefined; }
    bool isIterable() const noexcept { return isString() || isArray() || isObject(); }
    bool isNumber() const noexcept { return isInt() || isDouble(); }

    // Payload access; each throws std::bad_variant_access for another kind.
    bool asBool() const;
    std::int64_t asInt() const;
    double asDouble() const;
    const std::string& asString() const;
    const Array& asArray() const;
    const Object& asObject() const;
    const BuiltinFunction& asFunction() const;
    const Macro& asMacro() const;
    // An int as a double, a double as it is; throws std::bad_variant_access for other kinds.
    double asNumber() const;

    // The key an int or string value makes; no key for any other kind.
    std::optional<ObjectKey> asObjectKey() const;

    // For the holder of the only reference to an object: changes it in place, where no one else
    // can see the change, and returns true. Returns false, changing nothing, when the object is
    // shared or the value of another kind. A change must keep the object within maximumDepth.
    template <class Change>
    bool changeUniqueObject(Change&& change);
    // The same for an object or function held by this value and `holder` only: the holder keeps a
    // reference so that it can tell its payload from any other, and wants to see the change. The
    // change of an object returns the depth() of its deepest member afterwards.
    template <class Change>
    bool changeObjectHeldWith(Value& holder, Change&& change);
    template <class Change>
    bool changeFunctionHeldWith(const Value& holder, Change&& change);

    // Makes this value undefined, as assigning Value::undefined() would.
    void setUndefined() noexcept {
        if (holdsReference()) {
            releaseReference();
        }
        kind_ = Kind::undefined;
        depth_ = 0;
    }
    // Writes an int or a truth value over this value, as assigning Value(n) or Value(b) would,
    // in a few stores where this value holds no reference.
    void setScalar(std::int64_t n) noexcept {
        if (holdsReference()) {
            releaseReference();
        }
        int_ = n;
        kind_ = Kind::int_;
        depth_ = 0;
    }
    void setScalar(bool b) noexcept {
        if (holdsReference()) {
            releaseReference();
        }
        boolean_ = b;
        kind_ = Kind::boolean;
        depth_ = 0;
    }

    // Levels of arrays and objects: 0 for every other kind, 1 + the deepest member otherwise.
    std::size_t depth() const noexcept { return depth_; }

    // The printed form used by output tags, string conversion and messages: texts unquoted at the
    // top, quoted inside arrays and objects; null and undefined print as nothing.
    // A printed form can be far larger than the value (an array holding one long text many
    // times), so it is built within a bound on the bytes it adds: the limit given, or the
    // default text limit of a rendering. Past the bound it fails with the text limit's error.
    std::string description() const;
    void appendDescription(std::string& out) const;
    void appendDescription(std::string& out, std::size_t maximumAdded) const;

    bool isTruthy() const noexcept;

    // Strict equality: same kind, then equal payloads (texts by canonical equivalence, doubles by
    // IEEE rules, arrays and objects position by position). A function equals nothing, itself
    // included, and so does any array or object holding one.
    friend bool operator==(const Value& a, const Value& b);

    // The template's == : as strict equality, except that ints and doubles compare by number.
    bool isEquivalent(const Value& other) const;

    // Whether the two are one value: the same scalar, bit for bit, or the same shared storage.
    // Cheap and exact only in one direction: equal values held apart answer false.
    bool isSameHolding(const Value& other) const noexcept;

    // Consistent with strict equality; no kind discriminator is fed.
    void hashInto(Hasher& hasher) const;
    std::size_t hashValue() const;

    // The template's operators. The receiver is the left operand. Each throws TemplateError
    // (runtime) with the message of its rule; results that would not fit 64 signed bits, or that
    // exceed the text and array bounds of `limits`, fail rather than wrap or grow.
    Value add(const Value& right, const RenderLimits& limits = {}) const;
    Value subtract(const Value& right) const;
    Value multiply(const Value& right, const RenderLimits& limits = {}) const;
    Value divide(const Value& right) const;
    Value floorDivide(const Value& right) const;
    Value power(const Value& right) const;
    Value modulo(const Value& right) const;
    Value concatenate(const Value& right, const RenderLimits& limits = {}) const;
    // `in`: this value is the needle.
    bool isContained(const Value& container) const;
    // -1, 0 or 1 for strings (scalar order of the canonical forms) and numbers.
    int compare(const Value& right) const;

private:
    // Appends the printed form; fails once `out` grows past `end` (`limit` is the figure the
    // error names).
    void appendBounded(std::string& out, std::size_t end, std::size_t limit) const;
    using StringStorage = std::shared_ptr<const std::string>;
    using ObjectStorage = std::shared_ptr<const Object>;
    using FunctionStorage = std::shared_ptr<const BuiltinFunction>;
    using MacroStorage = std::shared_ptr<const Macro>;

    static std::uint16_t objectDepth(const Object& object);
    // The depth of an array or object whose deepest member is this deep; fails past maximumDepth.
    static std::uint16_t depthAbove(std::size_t deepestMember);
    bool holdsReference() const noexcept { return kind_ >= Kind::string && kind_ <= Kind::macro; }
    // Both below expect this value to hold no reference.
    void copyFrom(const Value& other) noexcept {
        if (other.holdsReference()) {
            copyReference(other);
            return;
        }
        copyScalar(other);
    }
    void moveFrom(Value& other) noexcept {
        if (other.holdsReference()) {
            moveReference(other);
            return;
        }
        copyScalar(other);
    }
    void copyScalar(const Value& other) noexcept {
        switch (other.kind_) {
            case Kind::boolean:
                boolean_ = other.boolean_;
                break;
            case Kind::int_:
                int_ = other.int_;
                break;
            case Kind::double_:
                double_ = other.double_;
                break;
            default:
                break;
        }
        kind_ = other.kind_;
        depth_ = 0;
    }
    void copyReference(const Value& other) noexcept {
        switch (other.kind_) {
            case Kind::string:
                new (&string_) StringStorage(other.string_);
                break;
            case Kind::array:
                new (&array_) Array(other.array_);
                break;
            case Kind::object:
                new (&object_) ObjectStorage(other.object_);
                break;
            case Kind::function:
                new (&function_) FunctionStorage(other.function_);
                break;
            case Kind::macro:
                new (&macro_) MacroStorage(other.macro_);
                break;
            default:
                break;
        }
        kind_ = other.kind_;
        depth_ = other.depth_;
    }
    // Inline, as copyReference(): values move on every return and binding, and a move touches no
    // reference count.
    // Leaves `other` null.
    void moveReference(Value& other) noexcept {
        switch (other.kind_) {
            case Kind::string:
                new (&string_) StringStorage(std::move(other.string_));
                other.string_.~StringStorage();
                break;
            case Kind::array:
                new (&array_) Array(std::move(other.array_));
                other.array_.~Array();
                break;
            case Kind::object:
                new (&object_) ObjectStorage(std::move(other.object_));
                other.object_.~ObjectStorage();
                break;
            case Kind::function:
                new (&function_) FunctionStorage(std::move(other.function_));
                other.function_.~FunctionStorage();
                break;
            case Kind::macro:
                new (&macro_) MacroStorage(std::move(other.macro_));
                other.macro_.~MacroStorage();
                break;
            default:
                break;
        }
        kind_ = other.kind_;
        depth_ = other.depth_;
        other.kind_ = Kind::null;
        other.depth_ = 0;
    }
    // Leaves the value null.
    void releaseReference() noexcept;
    [[noreturn]] static void wrongKind();

    union {
        bool boolean_;
        std::int64_t int_;
        double double_;
        StringStorage string_;
        Array array_;
        ObjectStorage object_;
        FunctionStorage function_;
        MacroStorage macro_;
    };
    Kind kind_;
    std::uint16_t depth_ = 0;
};

inline bool Value::isSameHolding(const Value& other) const noexcept {
    if (kind_ != other.kind_) {
        return false;
    }
    switch (kind_) {
        case Kind::boolean:
            return boolean_ == other.boolean_;
        case Kind::int_:
            return int_ == other.int_;
        case Kind::double_:
            return std::bit_cast<std::uint64_t>(double_) ==
                   std::bit_cast<std::uint64_t>(other.double_);
        case Kind::string:
            return string_ == other.string_;
        case Kind::array:
            return array_.sharesStorageWith(other.array_);
        case Kind::object:
            return object_ == other.object_;
        case Kind::function:
            return function_ == other.function_;
        case Kind::macro:
            return macro_ == other.macro_;
        default:
            return true;
    }
}

// The payload accessors are inline: the interpreter reads a payload on nearly every step.
inline bool Value::asBool() const {
    if (!isBoolean()) {
        wrongKind();
    }
    return boolean_;
}
inline std::int64_t Value::asInt() const {
    if (!isInt()) {
        wrongKind();
    }
    return int_;
}
inline double Value::asDouble() const {
    if (!isDouble()) {
        wrongKind();
    }
    return double_;
}
inline double Value::asNumber() const {
    if (isInt()) {
        return static_cast<double>(int_);
    }
    if (!isDouble()) {
        wrongKind();
    }
    return double_;
}
inline const std::string& Value::asString() const {
    if (!isString()) {
        wrongKind();
    }
    return *string_;
}
inline const Value::Array& Value::asArray() const {
    if (!isArray()) {
        wrongKind();
    }
    return array_;
}
inline const Value::Object& Value::asObject() const {
    if (!isObject()) {
        wrongKind();
    }
    return *object_;
}

// Inline: every condition of a template asks it.
inline bool Value::isTruthy() const noexcept {
    switch (kind_) {
        case Kind::boolean:
            return boolean_;
        case Kind::int_:
            return int_ != 0;
        case Kind::double_:
            return double_ != 0.0;  // NaN compares unequal, so it is true
        case Kind::string:
            return !string_->empty();
        case Kind::array:
            return !array_.empty();
        case Kind::object:
            return !object_->empty();
        case Kind::function:
        case Kind::macro:
            return true;
        case Kind::null:
        case Kind::undefined:
            return false;
    }
    return false;
}

template <class Change>
bool Value::changeUniqueObject(Change&& change) {
    if (kind_ != Kind::object || object_.use_count() != 1) {
        return false;
    }
    Object& object = const_cast<Object&>(*object_);
    change(object);
    depth_ = objectDepth(object);
    return true;
}

template <class Change>
bool Value::changeObjectHeldWith(Value& holder, Change&& change) {
    if (kind_ != Kind::object || holder.kind_ != Kind::object || object_ != holder.object_ ||
        object_.use_count() != 2) {
        return false;
    }
    Object& object = const_cast<Object&>(*object_);
    depth_ = depthAbove(change(object));
    holder.depth_ = depth_;
    return true;
}

template <class Change>
bool Value::changeFunctionHeldWith(const Value& holder, Change&& change) {
    if (kind_ != Kind::function || holder.kind_ != Kind::function ||
        function_ != holder.function_ || function_.use_count() != 2) {
        return false;
    }
    change(const_cast<BuiltinFunction&>(*function_));
    return true;
}

// findValue() for an object with too many keys to compare in a row: through its hash table.
const Value* findValueByHash(const Value::Object& object, std::string_view key);

// The value under the text key `key` of an object, or null when absent. Inline: every dotted
// access, text subscript and `in` on an object asks it, and the objects of templates are small,
// so their keys are compared in a row rather than a key built to hash.
inline const Value* findValue(const Value::Object& object, std::string_view key) {
    constexpr std::size_t rowLimit = 16;
    const std::size_t count = object.size();
    if (count > rowLimit) {
        return findValueByHash(object, key);
    }
    const ObjectKey* keys = object.keys().data();
    for (std::size_t i = 0; i < count; ++i) {
        if (keys[i].isString() && unicode::canonicallyEquivalent(keys[i].asString(), key)) {
            return &object.values()[i];
        }
    }
    return nullptr;
}

// The value under the text key `key` when it is where `hint` remembers it, else null: byte-equal
// keys are the one canonically equivalent key an object can have.
inline const Value* findValueAtHint(const Value::Object& object, std::string_view key,
                                    const PositionHint& hint) {
    const std::uint32_t position = hint.get();
    if (position < object.size()) {
        const ObjectKey& candidate = object.keys()[position];
        if (candidate.isString() && unicode::sameBytes(candidate.asString(), key)) {
            return &object.values()[position];
        }
    }
    return nullptr;
}

// findValue() that tries the position `hint` remembers first, and remembers where it found the
// key.
inline const Value* findValue(const Value::Object& object, std::string_view key,
                              const PositionHint& hint) {
    if (const Value* found = findValueAtHint(object, key, hint)) {
        return found;
    }
    const Value* found = findValue(object, key);
    if (found != nullptr) {
        hint.set(static_cast<std::uint32_t>(found - object.values().data()));
    }
    return found;
}

}  // namespace templates

template <>
struct std::hash<templates::Value> {
    std::size_t operator()(const templates::Value& v) const { return v.hashValue(); }
};
