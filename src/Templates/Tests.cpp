#include "templates/Tests.h"

#include <cmath>
#include <string>

#include "templates/CallArguments.h"
#include "templates/Filters.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"
#include "templates/Value.h"

namespace templates {

namespace {

const ArgumentDefaults noDefaults;

template <class Predicate>
BuiltinTest unary(Predicate predicate) {
    return [predicate](const std::vector<Value>& args, const KeywordValues& kwargs,
                       const std::shared_ptr<Environment>&) {
        static const std::string parameters[] = {"value"};
        const BoundArguments bound = resolveCallArguments(args, kwargs, parameters, noDefaults);
        return predicate(bound.at(0));
    };
}

template <class Predicate>
BuiltinTest binary(Predicate predicate, const std::string (&parameters)[2]) {
    return [predicate, &parameters](const std::vector<Value>& args, const KeywordValues& kwargs,
                                    const std::shared_ptr<Environment>&) {
        const BoundArguments bound = resolveCallArguments(args, kwargs, parameters, noDefaults);
        return predicate(bound.at(0), bound.at(1));
    };
}

const std::string pair[2] = {"a", "b"};
const std::string divisible[2] = {"value", "divisor"};
const std::string membership[2] = {"value", "container"};

bool isEven(const Value& v) {
    if (v.isInt()) {
        return (v.asInt() & 1) == 0;
    }
    if (v.isDouble() && std::isfinite(v.asDouble())) {
        const double d = v.asDouble();
        return std::fma(std::trunc(d * 0.5), -2.0, d) == 0.0;
    }
    return false;
}

bool isOdd(const Value& v) {
    if (v.isInt()) {
        return (v.asInt() & 1) == 1;
    }
    if (v.isDouble() && std::isfinite(v.asDouble())) {
        const double d = v.asDouble();
        return d - std::trunc(d) == 0.0 && std::fma(std::trunc(d * 0.5), -2.0, d) != 0.0;
    }
    return false;
}

bool isDivisible(const Value& value, const Value& divisor) {
    if (value.isInt() && divisor.isInt()) {
        if (divisor.asInt() == 0) {
            return false;
        }
        if (divisor.asInt() == -1) {
            return true;
        }
        return value.asInt() % divisor.asInt() == 0;
    }
    if (value.isNumber() && divisor.isNumber()) {
        if (divisor.asNumber() == 0.0) {
            return false;
        }
        return std::fmod(value.asNumber(), divisor.asNumber()) == 0.0;
    }
    return false;
}

// Ordering tests yield false for kinds that cannot be ordered.
template <class Accept>
auto ordering(Accept accept) {
    return [accept](const Value& a, const Value& b) {
        try {
            return accept(a.compare(b));
        } catch (const TemplateError&) {
            return false;
        }
    };
}

bool isIn(const Value& value, const Value& container) {
    if (container.isString()) {
        return value.isString() && unicode::contains(container.asString(), value.asString());
    }
    if (container.isObject()) {
        const std::optional<ObjectKey> key = value.asObjectKey();
        return key && container.asObject().contains(*key);
    }
    if (container.isArray()) {
        // Template equality: a list of mixed kinds is searched, not refused.
        for (const Value& element : container.asArray()) {
            if (element.isEquivalent(value)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

const TestTable& Tests::builtIn() {
    static const BuiltinTest eq = binary(
        [](const Value& a, const Value& b) { return a.isEquivalent(b); }, pair);
    static const BuiltinTest ne = binary(
        [](const Value& a, const Value& b) { return !a.isEquivalent(b); }, pair);
    static const BuiltinTest gt = binary(ordering([](int c) { return c > 0; }), pair);
    static const BuiltinTest ge = binary(ordering([](int c) { return c >= 0; }), pair);
    static const BuiltinTest lt = binary(ordering([](int c) { return c < 0; }), pair);
    static const BuiltinTest le = binary(ordering([](int c) { return c <= 0; }), pair);
    // Rows: test name, then the test.
    static const TestTable table{
        {"defined", unary([](const Value& v) { return !v.isUndefined(); })},
        {"undefined", unary([](const Value& v) { return v.isUndefined(); })},
        {"none", unary([](const Value& v) { return v.isNull(); })},
        {"string", unary([](const Value& v) { return v.isString(); })},
        {"number", unary([](const Value& v) { return v.isNumber(); })},
        {"boolean", unary([](const Value& v) { return v.isBoolean(); })},
        {"iterable", unary([](const Value& v) { return v.isIterable(); })},
        {"even", unary(isEven)},
        {"odd", unary(isOdd)},
        {"divisibleby", binary(isDivisible, divisible)},
        {"mapping", unary([](const Value& v) { return v.isObject(); })},
        {"callable", unary([](const Value& v) { return v.isFunction() || v.isMacro(); })},
        {"integer", unary([](const Value& v) { return v.isInt(); })},
        {"true", unary([](const Value& v) { return v.isBoolean() && v.asBool(); })},
        {"false", unary([](const Value& v) { return v.isBoolean() && !v.asBool(); })},
        {"lower",
         unary([](const Value& v) {
             return v.isString() && unicode::lowercased(v.asString()) == v.asString();
         })},
        {"upper",
         unary([](const Value& v) {
             return v.isString() && unicode::uppercased(v.asString()) == v.asString();
         })},
        {"float", unary([](const Value& v) { return v.isDouble(); })},
        {"sequence", unary([](const Value& v) { return v.isString() || v.isArray(); })},
        {"escaped", unary([](const Value&) { return false; })},
        {"filter",
         unary([](const Value& v) {
             return v.isString() && Filters::builtIn().count(v.asString()) != 0;
         })},
        {"test",
         unary([](const Value& v) {
             return v.isString() && Tests::builtIn().count(v.asString()) != 0;
         })},
        {"sameas", binary(&Tests::sameas, pair)},
        {"in", binary(isIn, membership)},
        {"eq", eq},
        {"==", eq},
        {"equalto", eq},
        {"ne", ne},
        {"!=", ne},
        {"gt", gt},
        {">", gt},
        {"greaterthan", gt},
        {"ge", ge},
        {">=", ge},
        {"lt", lt},
        {"<", lt},
        {"lessthan", lt},
        {"le", le},
        {"<=", le},
    };
    return table;
}

bool Tests::sameas(const Value& a, const Value& b) {
    // Booleans and none have no order, yet each is the same as itself.
    if ((a.isBoolean() && b.isBoolean()) || (a.isNull() && b.isNull())) {
        return a == b;
    }
    if (a.isBoolean() || b.isBoolean() || a.isNull() || b.isNull()) {
        return false;
    }
    return a.compare(b) == 0;
}

}  // namespace templates
