#include <random>

#include "BuiltinSupport.h"
#include "LimitErrors.h"
#include "templates/Filters.h"
#include "templates/PropertyMembers.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

using builtins::after;
using builtins::bindAfterValue;

const std::string noParameters[1];
const std::span<const std::string> none(noParameters, 0);

void bindNothing(const std::vector<Value>& args, const KeywordValues& kwargs) {
    bindAfterValue(args, kwargs, none);
}

std::size_t randomBelow(std::size_t bound) {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(generator);
}

std::vector<Value> characterValues(std::string_view text) {
    std::vector<Value> out;
    for (const std::string_view character : unicode::characters(text)) {
        out.emplace_back(character);
    }
    return out;
}

// The first or last character of a string or element of an array.
Value endOf(const std::vector<Value>& args, const KeywordValues& kwargs, bool front,
            const char* message) {
    if (args.empty()) {
        return Value::undefined();
    }
    bindNothing(args, kwargs);
    const Value& value = args.front();
    if (value.isString()) {
        const std::vector<std::size_t> cuts = unicode::graphemeBoundaries(value.asString());
        if (cuts.size() < 2) {
            return Value::undefined();
        }
        const std::size_t begin = front ? 0 : cuts[cuts.size() - 2];
        const std::size_t end = front ? cuts[1] : cuts.back();
        return Value(value.asString().substr(begin, end - begin));
    }
    if (value.isArray()) {
        const auto& items = value.asArray();
        if (items.empty()) {
            return Value::undefined();
        }
        return front ? items.front() : items.back();
    }
    throw TemplateError::runtime(message);
}

}  // namespace

Value Filters::length(const Args& args, const KeywordValues& kwargs, const Scope&) {
    bindNothing(args, kwargs);
    if (!args.empty()) {
        const Value& value = args.front();
        switch (value.kind()) {
            case Value::Kind::string:
                return Value(unicode::graphemeBoundaries(value.asString()).size() - 1);
            case Value::Kind::array:
                return Value(value.asArray().size());
            case Value::Kind::object:
                return Value(value.asObject().size());
            case Value::Kind::undefined:
                return Value(0);
            default:
                break;
        }
    }
    throw TemplateError::runtime("length filter requires string, array, or object");
}

Value Filters::join(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    static const std::string parameters[] = {"separator", "attribute"};
    static const ArgumentDefaults defaults{{"separator", Value("")}, {"attribute", Value()}};
    if (args.empty() || !args.front().isArray()) {
        throw TemplateError::runtime("join filter requires array");
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const std::string separator = bound.at(0).description();
    const Value& attribute = bound.at(1);
    const RenderLimits& limits = builtins::limitsOf(env);
    std::string out;
    bool firstItem = true;
    for (const Value& item : args.front().asArray()) {
        if (!firstItem) {
            out += separator;
        }
        firstItem = false;
        if (attribute.isNull()) {
            item.appendDescription(out, limits.maximumTextLength);
        } else {
            resolveAttributeValue(item, attribute).appendDescription(out, limits.maximumTextLength);
        }
        // Each piece is within the limit, so the text overshoots it by a separator and an item
        // at most.
        checkTextLength(out.size(), limits);
    }
    return Value(std::move(out));
}

Value Filters::default_(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"default_value", "boolean"};
    static const ArgumentDefaults defaults{{"boolean", Value(false)}};
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const Value value = args.empty() ? Value::undefined() : args.front();
    if (value.isUndefined() ||
        (bound.at(1).isTruthy() && value.isBoolean() && !value.asBool())) {
        return bound.at(0);
    }
    return value;
}

Value Filters::first(const Args& args, const KeywordValues& kwargs, const Scope&) {
    return endOf(args, kwargs, true, "first filter requires array or string");
}

Value Filters::last(const Args& args, const KeywordValues& kwargs, const Scope&) {
    return endOf(args, kwargs, false, "last filter requires array or string");
}

Value Filters::random(const Args& args, const KeywordValues& kwargs, const Scope&) {
    if (args.empty()) {
        return Value::undefined();
    }
    bindNothing(args, kwargs);
    const Value& value = args.front();
    if (value.isString()) {
        const std::vector<std::string_view> characters = unicode::characters(value.asString());
        return characters.empty() ? Value::undefined()
                                  : Value(characters[randomBelow(characters.size())]);
    }
    if (value.isArray()) {
        const auto& items = value.asArray();
        return items.empty() ? Value::undefined() : items[randomBelow(items.size())];
    }
    if (value.isObject()) {
        const auto& keys = value.asObject().keys();
        return keys.empty() ? Value::undefined() : Value(keys[randomBelow(keys.size())]);
    }
    return Value::undefined();
}

Value Filters::reverse(const Args& args, const KeywordValues& kwargs, const Scope&) {
    if (args.empty()) {
        return Value::undefined();
    }
    bindNothing(args, kwargs);
    const Value& value = args.front();
    if (value.isString()) {
        const std::vector<std::string_view> characters = unicode::characters(value.asString());
        std::string out;
        out.reserve(value.asString().size());
        for (auto it = characters.rbegin(); it != characters.rend(); ++it) {
            out.append(*it);
        }
        return Value(std::move(out));
    }
    if (value.isArray()) {
        std::vector<Value> items = value.asArray().toVector();
        std::reverse(items.begin(), items.end());
        return Value(std::move(items));
    }
    throw TemplateError::runtime("reverse filter requires array or string");
}

Value Filters::list(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    if (args.empty()) {
        return Value(std::vector<Value>());
    }
    bindNothing(args, kwargs);
    const Value& value = args.front();
    if (value.isArray()) {
        return value;
    }
    if (value.isObject()) {
        const auto values = value.asObject().values();
        return Value(std::vector<Value>(values.begin(), values.end()));
    }
    if (value.isString()) {
        checkCharacterCount(value.asString(), builtins::limitsOf(env));
        return Value(characterValues(value.asString()));
    }
    return Value(std::vector<Value>());
}

Value Filters::items(const Args& args, const KeywordValues& kwargs, const Scope&) {
    if (args.empty()) {
        return Value(std::vector<Value>());
    }
    bindNothing(args, kwargs);
    if (!args.front().isObject()) {
        return Value(std::vector<Value>());
    }
    return Value(PropertyMembers::items(args.front().asObject()));
}

Value Filters::attr(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"attribute"};
    if (args.empty()) {
        return Value::undefined();
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters);
    if (!bound.at(0).isString()) {
        throw TemplateError::runtime("attr filter requires attribute parameter");
    }
    return PropertyMembers::evaluate(args.front(), bound.at(0).asString());
}

Value Filters::slice(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"numSlices", "fillWith"};
    static const ArgumentDefaults defaults{{"fillWith", Value()}};
    if (args.empty() || !args.front().isArray()) {
        return Value(std::vector<Value>());
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const Value& count = bound.at(0);
    const auto& items = args.front().asArray();
    // More slices than the array could ever need are refused rather than allocated.
    if (!count.isInt() || count.asInt() < 1 ||
        static_cast<std::uint64_t>(count.asInt()) > items.size() + (1u << 20)) {
        throw TemplateError::runtime("slice filter requires positive integer numSlices parameter");
    }
    const auto k = static_cast<std::size_t>(count.asInt());
    const std::size_t rows = (items.size() + k - 1) / k;
    std::vector<std::vector<Value>> slices(k);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t p = r * k + j;
            slices[j].push_back(p < items.size() ? items[p] : bound.at(1));
        }
    }
    std::vector<Value> out;
    out.reserve(k);
    for (auto& slice : slices) {
        out.emplace_back(std::move(slice));
    }
    return Value(std::move(out));
}

Value Filters::batch(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"batchSize", "fillWith"};
    static const ArgumentDefaults defaults{{"fillWith", Value()}};
    if (args.empty() || !args.front().isArray()) {
        return Value(std::vector<Value>());
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const Value& size = bound.at(0);
    if (!size.isInt() || size.asInt() < 1 ||
        static_cast<std::uint64_t>(size.asInt()) > args.front().asArray().size() + (1u << 20)) {
        throw TemplateError::runtime("batch filter requires positive integer batchSize parameter");
    }
    const auto width = static_cast<std::uint64_t>(size.asInt());
    std::vector<Value> out;
    std::vector<Value> current;
    for (const Value& item : args.front().asArray()) {
        current.push_back(item);
        if (current.size() == width) {
            out.emplace_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) {
        current.resize(width, bound.at(1));
        out.emplace_back(std::move(current));
    }
    return Value(std::move(out));
}

}  // namespace templates
