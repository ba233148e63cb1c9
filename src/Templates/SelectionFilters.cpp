#include "BuiltinSupport.h"
#include "templates/Environment.h"
#include "templates/Filters.h"
#include "templates/Interpreter.h"
#include "templates/PropertyMembers.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

using builtins::bindAfterValue;

// select and reject: keep the elements whose outcome equals `keep`.
Value selectElements(const Filters::Args& args, const KeywordValues& kwargs,
                     const Filters::Scope& env, bool keep) {
    static const std::string parameters[] = {"testname"};
    static const ArgumentDefaults defaults{{"testname", Value()}};
    if (args.empty() || !args.front().isArray()) {
        return Value(std::vector<Value>());
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const Value& test = bound.at(0);
    const std::span<const Value> testArguments = builtins::after(args, 2);
    std::vector<Value> out;
    for (const Value& item : args.front().asArray()) {
        bool outcome;
        if (test.isString()) {
            std::vector<Value> testArgs{item};
            testArgs.insert(testArgs.end(), testArguments.begin(), testArguments.end());
            outcome = Interpreter::evaluateTest(test.asString(), testArgs, env);
        } else {
            outcome = item.isTruthy();
        }
        if (outcome == keep) {
            out.push_back(item);
        }
    }
    return Value(std::move(out));
}

Value selectByAttribute(const Filters::Args& args, const KeywordValues& kwargs,
                        const Filters::Scope& env, bool keep, const char* message) {
    static const std::string parameters[] = {"attribute", "testname"};
    static const ArgumentDefaults defaults{{"testname", Value()}};
    if (args.empty() || !args.front().isArray()) {
        return Value(std::vector<Value>());
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    if (!bound.at(0).isString()) {
        throw TemplateError::runtime(message);
    }
    const std::string& attribute = bound.at(0).asString();
    const Value& test = bound.at(1);
    const std::span<const Value> testArguments = builtins::after(args, 3);
    std::vector<Value> out;
    for (const Value& item : args.front().asArray()) {
        const Value member = PropertyMembers::evaluate(item, attribute);
        bool outcome;
        if (test.isString()) {
            std::vector<Value> testArgs{member};
            testArgs.insert(testArgs.end(), testArguments.begin(), testArguments.end());
            outcome = Interpreter::evaluateTest(test.asString(), testArgs, env);
        } else {
            outcome = member.isTruthy();
        }
        if (outcome == keep) {
            out.push_back(item);
        }
    }
    return Value(std::move(out));
}

// The order of max and min: -1, 0 or 1, or nothing for a pair that has no order.
std::optional<int> rank(const Value& a, const Value& b, bool caseSensitive) {
    if (a.isString() && b.isString()) {
        return caseSensitive ? unicode::compare(a.asString(), b.asString())
                             : unicode::compare(unicode::lowercased(a.asString()),
                                                unicode::lowercased(b.asString()));
    }
    if (a.isNumber() && b.isNumber()) {
        return a.compare(b);
    }
    return std::nullopt;
}

Value extreme(const Filters::Args& args, const KeywordValues& kwargs, bool greatest) {
    static const std::string parameters[] = {"case_sensitive", "attribute"};
    static const ArgumentDefaults defaults{{"case_sensitive", Value(false)},
                                           {"attribute", Value()}};
    if (args.empty() || !args.front().isArray()) {
        return Value::undefined();
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const auto& items = args.front().asArray();
    if (items.empty()) {
        return Value::undefined();
    }
    const bool caseSensitive = bound.at(0).isTruthy();
    const Value& attribute = bound.at(1);
    std::size_t best = 0;
    for (std::size_t i = 1; i < items.size(); ++i) {
        if (attribute.isString()) {
            const Value bestMember = PropertyMembers::evaluate(items[best], attribute.asString());
            const Value member = PropertyMembers::evaluate(items[i], attribute.asString());
            const Value& left = greatest ? bestMember : member;
            const Value& right = greatest ? member : bestMember;
            const std::optional<int> order = rank(left, right, caseSensitive);
            if (!order) {
                throw TemplateError::runtime("Cannot compare values of different types (" +
                                             left.description() + " and " +
                                             right.description() + ")");
            }
            if (*order == -1) {
                best = i;
            }
            continue;
        }
        const std::optional<int> order = rank(items[i], items[best], caseSensitive);
        if (order && *order == (greatest ? 1 : -1)) {
            best = i;
        }
    }
    return items[best];
}

}  // namespace

Value Filters::map(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    static const std::string parameters[] = {"filterName", "attribute", "default"};
    static const ArgumentDefaults defaults{
        {"filterName", Value()}, {"attribute", Value()}, {"default", Value()}};
    if (args.empty() || !args.front().isArray()) {
        return Value(std::vector<Value>());
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    std::vector<Value> out;
    if (bound.at(0).isString()) {
        static const KeywordValues noKeywords;
        const std::string& name = bound.at(0).asString();
        for (const Value& item : args.front().asArray()) {
            out.push_back(Interpreter::applyFilter(name, {item}, noKeywords, env));
        }
        return Value(std::move(out));
    }
    const Value& attribute = bound.at(1);
    if (attribute.isNull()) {
        return Value(std::move(out));
    }
    for (const Value& item : args.front().asArray()) {
        Value member = resolveAttributeValue(item, attribute);
        out.push_back(member.isUndefined() ? bound.at(2) : std::move(member));
    }
    return Value(std::move(out));
}

Value Filters::select(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    return selectElements(args, kwargs, env, true);
}

Value Filters::reject(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    return selectElements(args, kwargs, env, false);
}

Value Filters::selectattr(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    return selectByAttribute(args, kwargs, env, true,
                             "selectattr filter requires attribute parameter");
}

Value Filters::rejectattr(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    return selectByAttribute(args, kwargs, env, false,
                             "rejectattr filter requires attribute parameter");
}

Value Filters::sum(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    static const std::string parameters[] = {"attribute", "start"};
    static const ArgumentDefaults defaults{{"attribute", Value()}, {"start", Value(0)}};
    if (args.empty() || !args.front().isArray()) {
        return Value(0);
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    std::vector<Value> values;
    for (const Value& item : args.front().asArray()) {
        values.push_back(bound.at(0).isString()
                             ? PropertyMembers::evaluate(item, bound.at(0).asString())
                             : item);
    }
    const RenderLimits limits = env ? env->limits() : RenderLimits{};
    Value total = bound.at(1);
    for (const Value& value : values) {
        total = total.add(value, limits);
    }
    return total;
}

Value Filters::max(const Args& args, const KeywordValues& kwargs, const Scope&) {
    return extreme(args, kwargs, true);
}

Value Filters::min(const Args& args, const KeywordValues& kwargs, const Scope&) {
    return extreme(args, kwargs, false);
}

}  // namespace templates
