#include "templates/Filters.h"

#include "BuiltinSupport.h"
#include "templates/Environment.h"
#include "templates/JSON.h"
#include "templates/PropertyMembers.h"
#include "templates/TemplateError.h"

namespace templates {

const FilterTable& Filters::builtIn() {
    // Rows: filter name, then the filter.
    static const FilterTable table{
        {"upper", &Filters::upper},
        {"lower", &Filters::lower},
        {"length", &Filters::length},
        {"count", &Filters::length},
        {"join", &Filters::join},
        {"default", &Filters::default_},
        {"d", &Filters::default_},
        {"first", &Filters::first},
        {"last", &Filters::last},
        {"random", &Filters::random},
        {"reverse", &Filters::reverse},
        {"sort", &Filters::sort},
        {"groupby", &Filters::groupby},
        {"slice", &Filters::slice},
        {"map", &Filters::map},
        {"select", &Filters::select},
        {"reject", &Filters::reject},
        {"selectattr", &Filters::selectattr},
        {"rejectattr", &Filters::rejectattr},
        {"attr", &Filters::attr},
        {"dictsort", &Filters::dictsort},
        {"forceescape", &Filters::forceescape},
        {"safe", &Filters::safe},
        {"striptags", &Filters::striptags},
        {"format", &Filters::format},
        {"wordwrap", &Filters::wordwrap},
        {"filesizeformat", &Filters::filesizeformat},
        {"xmlattr", &Filters::xmlattr},
        {"string", &Filters::string},
        {"trim", &Filters::trim},
        {"escape", &Filters::escape},
        {"e", &Filters::escape},
        {"tojson", &Filters::tojson},
        {"abs", &Filters::abs},
        {"capitalize", &Filters::capitalize},
        {"center", &Filters::center},
        {"float", &Filters::float_},
        {"int", &Filters::int_},
        {"list", &Filters::list},
        {"max", &Filters::max},
        {"min", &Filters::min},
        {"round", &Filters::round},
        {"title", &Filters::title},
        {"wordcount", &Filters::wordcount},
        {"replace", &Filters::replace},
        {"urlencode", &Filters::urlencode},
        {"batch", &Filters::batch},
        {"sum", &Filters::sum},
        {"truncate", &Filters::truncate},
        {"unique", &Filters::unique},
        {"indent", &Filters::indent},
        {"items", &Filters::items},
        {"pprint", &Filters::pprint},
        {"urlize", &Filters::urlize},
    };
    return table;
}

Value Filters::resolveAttributeValue(const Value& value, const Value& attribute) {
    if (attribute.isInt()) {
        const std::int64_t index = attribute.asInt();
        if (value.isArray()) {
            const auto& items = value.asArray();
            return index >= 0 && static_cast<std::size_t>(index) < items.size()
                       ? items[static_cast<std::size_t>(index)]
                       : Value::undefined();
        }
        if (value.isObject()) {
            if (const Value* found = value.asObject().get(ObjectKey(index))) {
                return *found;
            }
            const Value* byText = findValue(value.asObject(), std::to_string(index));
            return byText ? *byText : Value::undefined();
        }
        return Value::undefined();
    }
    if (attribute.isString()) {
        return PropertyMembers::evaluate(value, attribute.asString());
    }
    return Value::undefined();
}

Value Filters::tojson(const Args& args, const KeywordValues& kwargs, const Scope& environment) {
    static const std::string parameters[] = {"indent", "ensure_ascii"};
    static const ArgumentDefaults defaults{{"indent", Value()}, {"ensure_ascii", Value()}};
    if (args.empty()) {
        return Value("null");
    }
    const BoundArguments bound = builtins::bindAfterValue(args, kwargs, parameters, defaults);
    const Environment::Policies& policies =
        environment ? environment->policies() : Environment::defaultPolicies();
    JSON::DumpsOptions options = policies.jsonDumpsOptions;
    const Value& indent = bound.at(0);
    if (indent.isInt()) {
        options.indent = indent.asInt();
    } else if (!indent.isNull() && !indent.isUndefined()) {
        throw TemplateError::runtime("tojson indent must be an integer or none");
    }
    const Value& ensureASCII = bound.at(1);
    if (!ensureASCII.isNull()) {
        options.ensureASCII = ensureASCII.isTruthy();
    }
    const std::size_t maximumLength =
        environment ? environment->limits().maximumTextLength : RenderLimits{}.maximumTextLength;
    return Value(policies.jsonSerializer.dumps(args[0], options, maximumLength));
}

}  // namespace templates
