#include "templates/PropertyMembers.h"

#include <algorithm>
#include <string>

#include "BuiltinSupport.h"
#include "LimitErrors.h"
#include "templates/CallArguments.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

using builtins::keyValue;

// A method value: binds the call's arguments against `parameters`, then runs `body` on the
// receiver's own copy (and the rendering's limits, for a body that builds text).
template <class Body>
Value method(const Value& receiver, std::span<const std::string> parameters,
             const ArgumentDefaults& defaults, Body body) {
    return Value::function([receiver, parameters, &defaults, body](
                               const std::vector<Value>& args, const KeywordValues& kwargs,
                               const std::shared_ptr<Environment>& env) -> Value {
        const BoundArguments bound = resolveCallArguments(args, kwargs, parameters, defaults);
        if constexpr (std::is_invocable_v<Body, const Value&, const BoundArguments&,
                                          const std::vector<Value>&, const RenderLimits&>) {
            return body(receiver, bound, args, builtins::limitsOf(env));
        } else {
            // Case mapping may grow a text by a small factor: the limit holds for the result.
            Value result = body(receiver, bound, args);
            if (result.isString()) {
                checkTextLength(result.asString().size(), builtins::limitsOf(env));
            }
            return result;
        }
    });
}

const ArgumentDefaults noDefaults;
const std::string noParameters[1] = {};
std::span<const std::string> none() {
    return std::span(noParameters, 0);
}

Value caseMethod(const Value& receiver, std::string (*mapping)(std::string_view)) {
    return method(receiver, none(), noDefaults,
                  [mapping](const Value& text, const BoundArguments&, const std::vector<Value>&) {
                      return Value(mapping(text.asString()));
                  });
}

Value stripMethod(const Value& receiver, const char* name, bool leading, bool trailing) {
    static const std::string parameters[] = {"chars"};
    static const ArgumentDefaults defaults{{"chars", Value()}};
    const std::string methodName(name);
    return Value::function([receiver, methodName, leading, trailing](
                               const std::vector<Value>& args, const KeywordValues& kwargs,
                               const std::shared_ptr<Environment>&) -> Value {
        if (args.size() > 1) {
            throw TemplateError::runtime(methodName + "() takes at most 1 argument (" +
                                         std::to_string(args.size()) + " given)");
        }
        const BoundArguments bound = resolveCallArguments(args, kwargs, parameters, defaults);
        const Value& chars = bound.at(0);
        const std::string_view text = receiver.asString();
        if (chars.isNull()) {
            return Value(std::string(
                unicode::trimmed(text, unicode::isSpaceOrLineBreak, leading, trailing)));
        }
        if (!chars.isString()) {
            throw TemplateError::runtime(methodName + "() chars argument must be a string or null");
        }
        std::u32string set;
        for (const auto& scalar : unicode::scalars(chars.asString())) {
            set.push_back(scalar.value);
        }
        return Value(std::string(unicode::trimmed(
            text, [&set](char32_t c) { return set.find(c) != std::u32string::npos; }, leading,
            trailing)));
    });
}

// Calls piece(start, length) for each piece of the text, in order.
template <class Piece>
void forEachPiece(std::string_view text, const Value& separator, const Value& maxsplit,
                  Piece piece) {
    if (!separator.isString()) {
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find(' ', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            if (end > start) {
                piece(start, end - start);
            }
            start = end + 1;
        }
        return;
    }
    const std::string& sep = separator.asString();
    const std::int64_t limit = maxsplit.isInt() && maxsplit.asInt() >= 0 ? maxsplit.asInt() : -1;
    std::size_t start = 0;
    std::int64_t steps = 0;
    while (limit < 0 || steps < limit) {
        const std::size_t found = text.find(sep, start);
        if (found == std::string::npos) {
            break;
        }
        piece(start, found - start);
        start = found + sep.size();
        ++steps;
    }
    piece(start, text.size() - start);
}

Value split(const Value& receiver, const BoundArguments& bound, const std::vector<Value>&,
            const RenderLimits& limits) {
    const std::string& text = receiver.asString();
    const Value& separator = bound.at(0);
    const Value& maxsplit = bound.at(1);
    if (separator.isString() && separator.asString().empty()) {
        return Value(std::vector<Value>{receiver});
    }
    // A text of no more bytes than the limit cannot give more pieces; a longer one is counted
    // before anything is built.
    if (text.size() >= limits.maximumArrayLength) {
        std::size_t count = 0;
        forEachPiece(text, separator, maxsplit, [&count](std::size_t, std::size_t) { ++count; });
        checkArrayLength(count, limits);
    }
    std::vector<Value> pieces;
    forEachPiece(text, separator, maxsplit, [&](std::size_t start, std::size_t length) {
        pieces.emplace_back(text.substr(start, length));
    });
    return Value(std::move(pieces));
}

Value replace(const Value& receiver, const BoundArguments& bound, const std::vector<Value>&,
              const RenderLimits& limits) {
    const Value& old = bound.at(0);
    const Value& replacement = bound.at(1);
    const Value& count = bound.at(2);
    if (!old.isString() || !replacement.isString()) {
        throw TemplateError::runtime("replace() requires 'old' and 'new' string arguments");
    }
    std::optional<std::int64_t> limit;
    if (count.isInt() && count.asInt() >= 0) {
        limit = count.asInt();
    }
    return Value(builtins::replaceOccurrences(receiver.asString(), old.asString(),
                                              replacement.asString(), limit,
                                              limits.maximumTextLength));
}

Value affix(const Value& receiver, const BoundArguments& bound, bool prefix) {
    const Value& candidate = bound.at(0);
    if (!candidate.isString()) {
        throw TemplateError::runtime(prefix ? "startswith() requires a string prefix"
                                            : "endswith() requires a string suffix");
    }
    const std::string& text = receiver.asString();
    const std::string& part = candidate.asString();
    if (part.empty()) {
        return Value(true);
    }
    if (unicode::isAscii(text) && unicode::isAscii(part)) {
        return Value(prefix ? text.starts_with(part) : text.ends_with(part));
    }
    const std::string whole = unicode::normalized(text);
    const std::string piece = unicode::normalized(part);
    return Value(prefix ? whole.starts_with(piece) : whole.ends_with(piece));
}

std::vector<Value> objectItems(const Value::Object& entries) {
    std::vector<Value> items;
    items.reserve(entries.size());
    for (const auto& entry : entries) {
        // Built in place: a list from braces would copy both values once more.
        std::vector<Value> pair;
        pair.reserve(2);
        pair.push_back(keyValue(entry.key));
        pair.push_back(entry.value);
        items.emplace_back(std::move(pair));
    }
    return items;
}

Value objectGet(const Value& receiver, const BoundArguments& bound, const std::vector<Value>&) {
    const Value& key = bound.at(0);
    const Value::Object& entries = receiver.asObject();
    if (const std::optional<ObjectKey> objectKey = key.asObjectKey()) {
        if (const Value* found = entries.get(*objectKey)) {
            return *found;
        }
    }
    return bound.at(1);
}

Value member(const PropertyMembers::MemberTable& table, const Value& receiver,
             std::string_view name) {
    // The tables are short and most names asked for are none of theirs (an object's keys): a
    // row of length-first comparisons costs less than hashing the name.
    for (const auto& [member, factory] : table) {
        if (member == name) {
            return factory(receiver);
        }
    }
    return Value::undefined();
}

}  // namespace

std::vector<Value> PropertyMembers::items(const Value::Object& entries) {
    return objectItems(entries);
}

const PropertyMembers::MemberTable& PropertyMembers::stringMembers() {
    static const std::string splitParameters[] = {"separator", "maxsplit"};
    static const ArgumentDefaults splitDefaults{{"separator", Value()}, {"maxsplit", Value(-1)}};
    static const std::string replaceParameters[] = {"old", "new", "count"};
    static const ArgumentDefaults replaceDefaults{{"count", Value(-1)}};
    static const std::string prefixParameters[] = {"prefix"};
    static const std::string suffixParameters[] = {"suffix"};
    // Rows: member name, then the factory that binds it to a receiver.
    static const MemberTable table{
        {"upper", [](const Value& s) { return caseMethod(s, unicode::uppercased); }},
        {"lower", [](const Value& s) { return caseMethod(s, unicode::lowercased); }},
        {"title", [](const Value& s) { return caseMethod(s, unicode::capitalizedWords); }},
        {"strip", [](const Value& s) { return stripMethod(s, "strip", true, true); }},
        {"lstrip", [](const Value& s) { return stripMethod(s, "lstrip", true, false); }},
        {"rstrip", [](const Value& s) { return stripMethod(s, "rstrip", false, true); }},
        {"split", [](const Value& s) { return method(s, splitParameters, splitDefaults, split); }},
        {"replace",
         [](const Value& s) { return method(s, replaceParameters, replaceDefaults, replace); }},
        {"startswith",
         [](const Value& s) {
             return method(s, prefixParameters, noDefaults,
                           [](const Value& r, const BoundArguments& b, const std::vector<Value>&) {
                               return affix(r, b, true);
                           });
         }},
        {"endswith",
         [](const Value& s) {
             return method(s, suffixParameters, noDefaults,
                           [](const Value& r, const BoundArguments& b, const std::vector<Value>&) {
                               return affix(r, b, false);
                           });
         }},
    };
    return table;
}

const PropertyMembers::MemberTable& PropertyMembers::objectMembers() {
    static const std::string getParameters[] = {"key", "default"};
    static const ArgumentDefaults getDefaults{{"default", Value()}};
    static const MemberTable table{
        {"items",
         [](const Value& o) {
             return method(o, none(), noDefaults,
                           [](const Value& r, const BoundArguments&, const std::vector<Value>&) {
                               return Value(objectItems(r.asObject()));
                           });
         }},
        {"get", [](const Value& o) { return method(o, getParameters, getDefaults, objectGet); }},
        {"keys",
         [](const Value& o) {
             return method(o, none(), noDefaults,
                           [](const Value& r, const BoundArguments&, const std::vector<Value>&) {
                               std::vector<Value> keys;
                               for (const auto& entry : r.asObject()) {
                                   keys.push_back(keyValue(entry.key));
                               }
                               return Value(std::move(keys));
                           });
         }},
        {"values",
         [](const Value& o) {
             return method(o, none(), noDefaults,
                           [](const Value& r, const BoundArguments&, const std::vector<Value>&) {
                               const auto values = r.asObject().values();
                               return Value(std::vector<Value>(values.begin(), values.end()));
                           });
         }},
    };
    return table;
}

Value PropertyMembers::evaluate(const Value& receiver, std::string_view name) {
    if (receiver.isString()) {
        return evaluateStringProperty(receiver, name);
    }
    if (receiver.isObject()) {
        return evaluateObjectProperty(receiver, name);
    }
    return Value::undefined();
}

Value PropertyMembers::evaluateStringProperty(const Value& text, std::string_view name) {
    return member(stringMembers(), text, name);
}

Value PropertyMembers::evaluateObjectProperty(const Value& object, std::string_view name) {
    Value method = member(objectMembers(), object, name);
    if (!method.isUndefined()) {
        return method;
    }
    const Value* value = findValue(object.asObject(), name);
    return value ? *value : Value::undefined();
}

}  // namespace templates
