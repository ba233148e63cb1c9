// The template's binary operators on values: result kinds, coercions and messages.
#include <cmath>
#include <limits>

#include "LimitErrors.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"
#include "templates/Value.h"

namespace templates {

namespace {

[[noreturn]] void fail(std::string_view head, const Value& left, const Value& right) {
    std::string message(head);
    message.append(" (");
    left.appendDescription(message);
    message.append(" and ");
    right.appendDescription(message);
    message.push_back(')');
    throw TemplateError::runtime(std::move(message));
}

// Left text followed by the right operand's printed form (or the other way round).
Value joined(const Value& left, const Value& right, const RenderLimits& limits) {
    std::string text;
    if (left.isString() && right.isString()) {
        checkTextLength(left.asString().size() + right.asString().size(), limits);
        text.reserve(left.asString().size() + right.asString().size());
    }
    left.appendDescription(text, limits.maximumTextLength);
    right.appendDescription(text, limits.maximumTextLength);
    checkTextLength(text.size(), limits);
    return Value(std::move(text));
}

Value repeated(const std::string& text, std::int64_t count, const RenderLimits& limits) {
    if (count <= 0 || text.empty()) {
        return Value(std::string());
    }
    const auto times = static_cast<std::uint64_t>(count);
    if (times > limits.maximumTextLength / text.size()) {
        checkTextLength(limits.maximumTextLength + 1, limits);
    }
    std::string result;
    result.reserve(text.size() * times);
    for (std::uint64_t i = 0; i < times; ++i) {
        result.append(text);
    }
    return Value(std::move(result));
}

bool isZero(const Value& number) {
    return number.isInt() ? number.asInt() == 0 : number.asDouble() == 0.0;
}

// A double that came from an integer operation, as an int; fails when it has no int value.
std::int64_t toInt(double value, std::string_view operation, const Value& left,
                   const Value& right) {
    // 2^63 is exact as a double; every double below it and from -2^63 on converts.
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) {
        fail(std::string("Integer overflow in ").append(operation), left, right);
    }
    return static_cast<std::int64_t>(value);
}

std::int64_t exactPower(std::int64_t base, std::int64_t exponent, const Value& left,
                        const Value& right) {
    std::int64_t result = 1;
    std::int64_t factor = base;
    while (exponent > 0) {
        if (exponent & 1) {
            if (__builtin_mul_overflow(result, factor, &result)) {
                fail("Integer overflow in power", left, right);
            }
        }
        exponent >>= 1;
        if (exponent > 0 && __builtin_mul_overflow(factor, factor, &factor)) {
            // The factor is needed again only when it is squared into the result: 0, 1 and -1
            // never overflow, so an overflowing factor means an overflowing result.
            fail("Integer overflow in power", left, right);
        }
    }
    return result;
}

}  // namespace

Value Value::add(const Value& right, const RenderLimits& limits) const {
    if (isString()) {
        return joined(*this, right, limits);
    }
    if (isInt() && right.isInt()) {
        std::int64_t sum;
        if (__builtin_add_overflow(asInt(), right.asInt(), &sum)) {
            fail("Integer overflow in addition", *this, right);
        }
        return Value(sum);
    }
    if (isNumber() && right.isNumber()) {
        return Value(asNumber() + right.asNumber());
    }
    if (isArray() && right.isArray()) {
        const Array& a = asArray();
        const Array& b = right.asArray();
        if (a.size() + b.size() > limits.maximumArrayLength) {
            throw TemplateError::runtime("Array would exceed the limit of " +
                                         std::to_string(limits.maximumArrayLength) + " elements");
        }
        std::vector<Value> items;
        items.reserve(a.size() + b.size());
        items.insert(items.end(), a.begin(), a.end());
        items.insert(items.end(), b.begin(), b.end());
        return Value(std::move(items));
    }
    if (right.isString()) {
        return joined(*this, right, limits);
    }
    fail("Cannot add values of different types", *this, right);
}

Value Value::subtract(const Value& right) const {
    if (isInt() && right.isInt()) {
        std::int64_t difference;
        if (__builtin_sub_overflow(asInt(), right.asInt(), &difference)) {
            fail("Integer overflow in subtraction", *this, right);
        }
        return Value(difference);
    }
    if (isNumber() && right.isNumber()) {
        return Value(asNumber() - right.asNumber());
    }
    fail("Cannot subtract non-numeric values", *this, right);
}

Value Value::multiply(const Value& right, const RenderLimits& limits) const {
    if (isInt() && right.isInt()) {
        std::int64_t product;
        if (__builtin_mul_overflow(asInt(), right.asInt(), &product)) {
            fail("Integer overflow in multiplication", *this, right);
        }
        return Value(product);
    }
    if (isNumber() && right.isNumber()) {
        return Value(asNumber() * right.asNumber());
    }
    if (isString() && right.isInt()) {
        return repeated(asString(), right.asInt(), limits);
    }
    if (isInt() && right.isString()) {
        return repeated(right.asString(), asInt(), limits);
    }
    fail("Cannot multiply values of these types", *this, right);
}

Value Value::divide(const Value& right) const {
    if (!isNumber() || !right.isNumber()) {
        fail("Cannot divide non-numeric values", *this, right);
    }
    if (isZero(right)) {
        throw TemplateError::runtime("Division by zero");
    }
    return Value(asNumber() / right.asNumber());
}

Value Value::floorDivide(const Value& right) const {
    if (!isNumber() || !right.isNumber()) {
        fail("Cannot floor divide non-numeric values", *this, right);
    }
    if (isZero(right)) {
        throw TemplateError::runtime("Division by zero");
    }
    if (isInt() && right.isInt()) {
        if (asInt() == std::numeric_limits<std::int64_t>::min() && right.asInt() == -1) {
            fail("Integer overflow in floor division", *this, right);
        }
        return Value(asInt() / right.asInt());
    }
    return Value(toInt(std::floor(asNumber() / right.asNumber()), "floor division", *this, right));
}

Value Value::power(const Value& right) const {
    if (!isNumber() || !right.isNumber()) {
        fail("Cannot raise non-numeric values to a power", *this, right);
    }
    if (isInt() && right.isInt() && right.asInt() >= 0) {
        return Value(exactPower(asInt(), right.asInt(), *this, right));
    }
    return Value(std::pow(asNumber(), right.asNumber()));
}

Value Value::modulo(const Value& right) const {
    if (!isInt() || !right.isInt()) {
        fail("Modulo operation requires integers", *this, right);
    }
    if (right.asInt() == 0) {
        throw TemplateError::runtime("Modulo by zero");
    }
    if (right.asInt() == -1) {
        return Value(0);  // also for the smallest int, whose quotient by -1 does not fit
    }
    return Value(asInt() % right.asInt());
}

Value Value::concatenate(const Value& right, const RenderLimits& limits) const {
    if (!isString() && !right.isString()) {
        fail("Cannot concatenate values of different types", *this, right);
    }
    return joined(*this, right, limits);
}

bool Value::isContained(const Value& container) const {
    switch (container.kind()) {
        case Kind::array:
            for (const Value& item : container.asArray()) {
                if (item == *this) {
                    return true;
                }
            }
            return false;
        case Kind::string:
            return isString() && unicode::contains(container.asString(), asString());
        case Kind::object: {
            if (isString()) {
                // The usual test, "content" in message: no key is built to hash.
                return findValue(container.asObject(), asString()) != nullptr;
            }
            const std::optional<ObjectKey> key = asObjectKey();
            return key && container.asObject().contains(*key);
        }
        case Kind::null:
        case Kind::undefined:
            return false;
        default: {
            std::string message = "'in' operator requires iterable on right side (";
            container.appendDescription(message);
            message.push_back(')');
            throw TemplateError::runtime(std::move(message));
        }
    }
}

int Value::compare(const Value& right) const {
    if (isString() && right.isString()) {
        return unicode::compare(asString(), right.asString());
    }
    if (isInt() && right.isInt()) {
        return asInt() < right.asInt() ? -1 : (asInt() > right.asInt() ? 1 : 0);
    }
    if (isNumber() && right.isNumber()) {
        const double a = asNumber();
        const double b = right.asNumber();
        return a < b ? -1 : (a > b ? 1 : 0);  // NaN is neither, so it compares as 0
    }
    fail("Cannot compare values of different types", *this, right);
}

}  // namespace templates
