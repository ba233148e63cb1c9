#include "templates/Value.h"

#include <bit>

#include "templates/Unicode.h"

namespace templates {

Value::Value(std::vector<Value> items) : storage_(Array(std::move(items))) {}

Value::Value(Object entries) : storage_(std::make_shared<const Object>(std::move(entries))) {}

Value::Value(const ObjectKey& key)
    : Value(key.isString() ? Value(key.asString()) : Value(key.asInt())) {}

Value Value::function(BuiltinFunction function) {
    Value v;
    v.storage_ = std::make_shared<const BuiltinFunction>(std::move(function));
    return v;
}

Value Value::macro(Macro macro) {
    Value v;
    v.storage_ = std::make_shared<const Macro>(std::move(macro));
    return v;
}

std::optional<ObjectKey> Value::asObjectKey() const {
    if (isInt()) {
        return ObjectKey(asInt());
    }
    if (isString()) {
        return ObjectKey(asString());
    }
    return std::nullopt;
}

bool operator==(const Value& a, const Value& b) {
    using K = Value::Kind;
    if (a.kind() != b.kind()) {
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
                if (!(x[i] == y[i])) {
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
                if (!(x.values()[i] == y.values()[i])) {
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

void Value::hashInto(Hasher& hasher) const {
    switch (kind()) {
        case Kind::boolean:
            hasher.combineByte(asBool() ? 1 : 0);
            break;
        case Kind::int_:
            hasher.combineWord(static_cast<std::uint64_t>(asInt()));
            break;
        case Kind::double_:
            hasher.combineWord(asDouble() == 0.0 ? 0 : std::bit_cast<std::uint64_t>(asDouble()));
            break;
        case Kind::string:
            unicode::combineText(hasher, asString());
            break;
        case Kind::array:
            hasher.combineWord(asArray().size());
            for (const Value& item : asArray()) {
                item.hashInto(hasher);
            }
            break;
        case Kind::object:
            hasher.combineWord(asObject().size());
            for (const auto& [key, value] : asObject()) {
                key.hashInto(hasher);
                value.hashInto(hasher);
            }
            break;
        case Kind::macro:
            asMacro().hashInto(hasher);
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

}  // namespace templates
