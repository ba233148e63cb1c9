#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "BuiltinSupport.h"
#include "templates/Filters.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

using builtins::bindAfterValue;

const std::string noParameters[1];
const std::span<const std::string> none(noParameters, 0);

// An optional sign, then one or more digits of `base`, and nothing else.
std::optional<std::int64_t> readInteger(std::string_view text, int base) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Accumulated as a negative number so that the smallest int64 is reachable.
    std::int64_t value = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'z') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'Z') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        if (digit >= base || __builtin_mul_overflow(value, base, &value) ||
            __builtin_sub_overflow(value, digit, &value)) {
            return std::nullopt;
        }
    }
    if (!negative) {
        if (value == std::numeric_limits<std::int64_t>::min()) {
            return std::nullopt;
        }
        value = -value;
    }
    return value;
}

void pretty(const Value& value, std::size_t level, std::string& out) {
    const std::string pad(2 * level, ' ');
    if (value.isString()) {
        out += '"' + value.asString() + '"';
    } else if (value.isArray() && !value.asArray().empty()) {
        out += "[\n";
        bool firstItem = true;
        for (const Value& item : value.asArray()) {
            out += firstItem ? "" : ",\n";
            firstItem = false;
            out += pad + "  ";
            pretty(item, level + 1, out);
        }
        out += "\n" + pad + "]";
    } else if (value.isArray()) {
        out += "[]";
    } else if (value.isObject() && !value.asObject().empty()) {
        out += "{\n";
        bool firstItem = true;
        for (const auto& entry : value.asObject()) {
            out += firstItem ? "" : ",\n";
            firstItem = false;
            out += pad + "  \"" + entry.key.stringValue() + "\": ";
            pretty(entry.value, level + 1, out);
        }
        out += "\n" + pad + "}";
    } else if (value.isObject()) {
        out += "{}";
    } else {
        value.appendDescription(out);
    }
}

}  // namespace

Value Filters::abs(const Args& args, const KeywordValues& kwargs, const Scope&) {
    if (args.empty()) {
        return Value(0);
    }
    bindAfterValue(args, kwargs, none);
    const Value& value = args.front();
    if (value.isInt()) {
        if (value.asInt() == std::numeric_limits<std::int64_t>::min()) {
            throw TemplateError::runtime("Integer overflow in abs (" + value.description() + ")");
        }
        return Value(value.asInt() < 0 ? -value.asInt() : value.asInt());
    }
    if (value.isDouble()) {
        return Value(std::fabs(value.asDouble()));
    }
    throw TemplateError::runtime("abs filter requires number or integer");
}

Value Filters::float_(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"default"};
    static const ArgumentDefaults defaults{{"default", Value(0.0)}};
    if (args.empty()) {
        return Value(0.0);
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const Value& value = args.front();
    if (value.isNumber()) {
        return Value(value.asNumber());
    }
    if (value.isString()) {
        const std::string& text = value.asString();
        if (!text.empty() && !unicode::isSpaceOrLineBreak(static_cast<unsigned char>(text[0]))) {
            char* end = nullptr;
            errno = 0;
            const double parsed = std::strtod(text.c_str(), &end);
            if (end == text.c_str() + text.size()) {
                return Value(parsed);
            }
        }
    }
    return bound.at(0);
}

Value Filters::int_(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"default", "base"};
    static const ArgumentDefaults defaults{{"default", Value(0)}, {"base", Value(10)}};
    if (args.empty()) {
        return Value(0);
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const Value& value = args.front();
    const std::int64_t base = builtins::intOr(bound.at(1), 10);
    if (value.isInt()) {
        return value;
    }
    if (value.isDouble()) {
        const double d = std::trunc(value.asDouble());
        if (!std::isfinite(d) || d < -9.2e18 || d > 9.2e18) {
            return bound.at(0);
        }
        return Value(static_cast<std::int64_t>(d));
    }
    if (!value.isString()) {
        return bound.at(0);
    }
    const std::string_view text =
        unicode::trimmed(value.asString(), unicode::isSpaceOrLineBreak, true, true);
    if (text.size() >= 2 && text[0] == '0') {
        const char marker = static_cast<char>(text[1] | 0x20);
        const int prefixed = marker == 'b' ? 2 : marker == 'o' ? 8 : marker == 'x' ? 16 : 0;
        if (prefixed != 0) {
            const auto read = readInteger(text.substr(2), prefixed);
            return read ? Value(*read) : bound.at(0);
        }
    }
    std::optional<std::int64_t> read;
    if (base >= 2 && base <= 36 && base != 10) {
        read = readInteger(text, static_cast<int>(base));
    }
    if (!read) {
        read = readInteger(text, 10);
    }
    return read ? Value(*read) : bound.at(0);
}

Value Filters::round(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"precision", "method"};
    static const ArgumentDefaults defaults{{"precision", Value(0)}, {"method", Value("common")}};
    if (args.empty()) {
        return Value(0.0);
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    if (!args.front().isNumber()) {
        return args.front();
    }
    const double value = args.front().asNumber();
    const double factor = std::pow(10.0, static_cast<double>(builtins::intOr(bound.at(0), 0)));
    const std::string method = bound.at(1).isString() ? bound.at(1).asString() : "common";
    if (method == "common") {
        return Value(std::round(value * factor) / factor);
    }
    if (method == "ceil") {
        return Value(std::ceil(value * factor) / factor);
    }
    if (method == "floor") {
        return Value(std::floor(value * factor) / factor);
    }
    return Value(value);
}

Value Filters::pprint(const Args& args, const KeywordValues& kwargs, const Scope&) {
    if (args.empty()) {
        return Value("");
    }
    bindAfterValue(args, kwargs, none);
    std::string out;
    pretty(args.front(), 0, out);
    return Value(std::move(out));
}

}  // namespace templates
