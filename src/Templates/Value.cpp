#include "templates/Value.h"

#include <algorithm>
#include <bit>
#include <new>
#include <variant>

#include "LimitErrors.h"
#include "NumberText.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

std::uint16_t checkedDepth(std::size_t deepestMember) {
    if (deepestMember + 1 > Value::maximumDepth) {
        throw TemplateError::runtime("Values cannot nest more than " +
                                     std::to_string(Value::maximumDepth) + " levels deep");
    }
    return static_cast<std::uint16_t>(deepestMember + 1);
}

std::size_t deepest(std::span<const Value> values) {
    std::size_t depth = 0;
    for (const Value& value : values) {
        depth = std::max(depth, value.depth());
    }
    return depth;
}

void appendQuoted(std::string& out, const std::string& text) {
    out.push_back('\'');
    out.append(text);
    out.push_back('\'');
}

}  // namespace

Value::Value(std::string s) : kind_(Kind::string) {
    new (&string_) StringStorage(std::make_shared<const std::string>(std::move(s)));
}

Value::Value(Array items) : kind_(Kind::array) {
    const std::uint16_t depth = checkedDepth(deepest(std::span(items.begin(), items.end())));
    new (&array_) Array(std::move(items));
    depth_ = depth;
}

Value::Value(std::vector<Value> items) : Value(Array(std::move(items))) {}

std::uint16_t Value::depthAbove(std::size_t deepestMember) {
    return checkedDepth(deepestMember);
}

std::uint16_t Value::objectDepth(const Object& object) {
    return checkedDepth(deepest(object.values()));
}

Value::Value(Object entries) : kind_(Kind::object) {
    const std::uint16_t depth = objectDepth(entries);
    // Not a const object: changeUniqueObject() and changeObjectHeldWith() may change it in place.
    new (&object_) ObjectStorage(std::make_shared<Object>(std::move(entries)));
    depth_ = depth;
}

Value::Value(const ObjectKey& key)
    : Value(key.isString() ? Value(key.asString()) : Value(key.asInt())) {}

[[gnu::hot]] void Value::releaseReference() noexcept {
    switch (kind_) {
        case Kind::string:
            string_.~StringStorage();
            break;
        case Kind::array:
            array_.~Array();
            break;
        case Kind::object:
            object_.~ObjectStorage();
            break;
        case Kind::function:
            function_.~FunctionStorage();
            break;
        case Kind::macro:
            macro_.~MacroStorage();
            break;
        default:
            break;
    }
    kind_ = Kind::null;
    depth_ = 0;
}

void Value::wrongKind() {
    throw std::bad_variant_access();
}

const BuiltinFunction& Value::asFunction() const {
    if (!isFunction())
        wrongKind();
    return *function_;
}
const Macro& Value::asMacro() const {
    if (!isMacro())
        wrongKind();
    return *macro_;
}

Value Value::sharedText(std::shared_ptr<const std::string> text) {
    Value v;
    new (&v.string_) StringStorage(std::move(text));
    v.kind_ = Kind::string;
    return v;
}

Value Value::function(BuiltinFunction function) {
    Value v;
    // Not a const object: changeFunctionHeldWith() may change it in place.
    new (&v.function_) FunctionStorage(std::make_shared<BuiltinFunction>(std::move(function)));
    v.kind_ = Kind::function;
    return v;
}

Value Value::macro(Macro macro) {
    return Value::macro(std::make_shared<const Macro>(std::move(macro)));
}

Value Value::macro(std::shared_ptr<const Macro> macro) {
    Value v;
    new (&v.macro_) MacroStorage(std::move(macro));
    v.kind_ = Kind::macro;
    return v;
}

Value Value::object(const ordered::OrderedDictionary<std::string, Value>& entries) {
    Object object = Object::withMinimumCapacity(entries.size());
    for (const auto& [key, value] : entries) {
        object.updateValue(ObjectKey(key), value);
    }
    return Value(std::move(object));
}

Value Value::object(const std::unordered_map<std::string, Value>& entries) {
    std::vector<const std::pair<const std::string, Value>*> sorted;
    sorted.reserve(entries.size());
    for (const auto& entry : entries) {
        sorted.push_back(&entry);
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) {
        return unicode::compare(a->first, b->first) < 0;
    });
    Object object = Object::withMinimumCapacity(sorted.size());
    for (const auto* entry : sorted) {
        object.updateValue(ObjectKey(entry->first), entry->second);
    }
    return Value(std::move(object));
}

Value Value::dictionaryLiteral(std::initializer_list<std::pair<std::string, Value>> pairs) {
    Object object = Object::withMinimumCapacity(pairs.size());
    for (const auto& [key, value] : pairs) {
        object.updateValue(ObjectKey(key), value);
    }
    return Value(std::move(object));
}

std::optional<ObjectKey> Value::asObjectKey() const {
    if (isInt()) {
        return ObjectKey(int_);
    }
    if (isString()) {
        return ObjectKey(*string_);
    }
    return std::nullopt;
}

std::string Value::description() const {
    if (isString()) {
        return *string_;
    }
    std::string out;
    appendDescription(out);
    return out;
}

void Value::appendDescription(std::string& out) const {
    appendDescription(out, RenderLimits{}.maximumTextLength);
}

void Value::appendDescription(std::string& out, std::size_t maximumAdded) const {
    if (kind_ == Kind::string) {
        // The commonest by far, written without the walk below.
        appendText(out, *string_, maximumAdded);
        return;
    }
    const std::size_t end = out.size() + std::min(maximumAdded, out.max_size() - out.size());
    appendBounded(out, end, maximumAdded);
    if (out.size() > end) {
        checkTextLength(maximumAdded + 1, RenderLimits{.maximumTextLength = maximumAdded});
    }
}

void Value::appendBounded(std::string& out, std::size_t end, std::size_t limit) const {
    // Checked after every member: each adds at most one leaf beyond the bound.
    const auto check = [&] {
        if (out.size() > end) {
            checkTextLength(limit + 1, RenderLimits{.maximumTextLength = limit});
        }
    };
    switch (kind_) {
        case Kind::boolean:
            out.append(boolean_ ? "true" : "false");
            break;
        case Kind::int_:
            numbertext::appendInt(out, int_);
            break;
        case Kind::double_:
            numbertext::appendDouble(out, double_);
            break;
        case Kind::string:
            out.append(*string_);
            break;
        case Kind::array: {
            out.push_back('[');
            bool first = true;
            for (const Value& item : array_) {
                if (!first) {
                    out.append(", ");
                }
                first = false;
                if (item.isString()) {
                    appendQuoted(out, *item.string_);
                } else {
                    item.appendBounded(out, end, limit);
                }
                check();
            }
            out.push_back(']');
            break;
        }
        case Kind::object: {
            out.push_back('{');
            bool first = true;
            for (const auto& [key, value] : *object_) {
                if (!first) {
                    out.append(", ");
                }
                first = false;
                key.appendDescription(out);
                out.append(": ");
                if (value.isString()) {
                    appendQuoted(out, *value.string_);
                } else {
                    value.appendBounded(out, end, limit);
                }
                check();
            }
            out.push_back('}');
            break;
        }
        case Kind::function:
            out.append("[Function]");
            break;
        case Kind::macro:
            out.append("[Macro ");
            out.append(macro_->name);
            out.push_back(']');
            break;
        case Kind::null:
        case Kind::undefined:
            break;
    }
}

namespace {

// Strict and template equality differ only in how two numbers of different kinds meet.
template <bool numbersAcrossKinds>
bool equal(const Value& a, const Value& b) {
    using K = Value::Kind;
    if (a.kind() != b.kind()) {
        if constexpr (numbersAcrossKinds) {
            if (a.isNumber() && b.isNumber()) {
                return a.asNumber() == b.asNumber();
            }
        }
        return false;
    }
    switch (a.kind()) {
        case K::boolean:
            return a.asBool() == b.asBool();
        case K::int_:
            return a.asInt() == b.asInt();
        case K::double_:
            return a.asDouble() == b.asDouble();
        case K::string:
            return unicode::canonicallyEquivalent(a.asString(), b.asString());
        case K::array: {
            // No shortcut for shared storage: an array holding a function or NaN is not equal
            // to itself.
            const auto& x = a.asArray();
            const auto& y = b.asArray();
            if (x.size() != y.size()) {
                return false;
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!equal<numbersAcrossKinds>(x[i], y[i])) {
                    return false;
                }
            }
            return true;
        }
        case K::object: {
            const auto& x = a.asObject();
            const auto& y = b.asObject();
            if (x.size() != y.size()) {
                return false;
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!(x.keys()[i] == y.keys()[i])) {
                    return false;
                }
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!equal<numbersAcrossKinds>(x.values()[i], y.values()[i])) {
                    return false;
                }
            }
            return true;
        }
        case K::function:
            return false;
        case K::macro:
            return a.asMacro() == b.asMacro();
        case K::null:
        case K::undefined:
            return true;
    }
    return false;
}

}  // namespace

bool operator==(const Value& a, const Value& b) {
    return equal<false>(a, b);
}

bool Value::isEquivalent(const Value& other) const {
    return equal<true>(*this, other);
}

void Value::hashInto(Hasher& hasher) const {
    switch (kind_) {
        case Kind::boolean:
            hasher.combineByte(boolean_ ? 1 : 0);
            break;
        case Kind::int_:
            hasher.combineWord(static_cast<std::uint64_t>(int_));
            break;
        case Kind::double_:
            hasher.combineWord(double_ == 0.0 ? 0 : std::bit_cast<std::uint64_t>(double_));
            break;
        case Kind::string:
            unicode::combineText(hasher, *string_);
            break;
        case Kind::array:
            hasher.combineWord(array_.size());
            for (const Value& item : array_) {
                item.hashInto(hasher);
            }
            break;
        case Kind::object:
            hasher.combineWord(object_->size());
            for (const auto& [key, value] : *object_) {
                key.hashInto(hasher);
                value.hashInto(hasher);
            }
            break;
        case Kind::macro:
            macro_->hashInto(hasher);
            break;
        case Kind::function:
        case Kind::null:
        case Kind::undefined:
            hasher.combineWord(0);
            break;
    }
}

std::size_t Value::hashValue() const {
    Hasher hasher;
    hashInto(hasher);
    return static_cast<std::size_t>(hasher.finalize());
}

const Value* findValueByHash(const Value::Object& object, std::string_view key) {
    return object.get(ObjectKey(std::string(key)));
}

}  // namespace templates
