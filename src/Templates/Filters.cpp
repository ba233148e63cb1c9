#include "templates/Filters.h"

#include "templates/CallArguments.h"
#include "templates/Environment.h"
#include "templates/JSON.h"
#include "templates/TemplateError.h"

namespace templates {

namespace {

// The positional values a filter binds: those after the filtered value.
std::span<const Value> filterArguments(const std::vector<Value>& args) {
    return args.empty() ? std::span<const Value>() : std::span(args).subspan(1);
}

}  // namespace

const FilterTable& Filters::builtIn() {
    // Rows: filter name, then the filter.
    static const FilterTable table{
        {"tojson", &Filters::tojson},
    };
    return table;
}

Value Filters::tojson(const std::vector<Value>& args, const KeywordValues& kwargs,
                      const std::shared_ptr<Environment>& environment) {
    static const std::string parameters[] = {"indent", "ensure_ascii"};
    static const ArgumentDefaults defaults{{"indent", Value()}, {"ensure_ascii", Value()}};
    if (args.empty()) {
        return Value("null");
    }
    const BoundArguments bound =
        resolveCallArguments(filterArguments(args), kwargs, parameters, defaults);
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
