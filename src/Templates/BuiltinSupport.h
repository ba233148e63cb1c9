#pragma once

#include <span>
#include <string>
#include <vector>

#include "templates/CallArguments.h"
#include "templates/Environment.h"
#include "templates/Value.h"

// Small pieces shared by the built-in filters, tests, globals and methods.
namespace templates::builtins {

// The positional values after the first `skip` ones (a filter's own arguments after the filtered
// value).
inline std::span<const Value> after(const std::vector<Value>& args, std::size_t skip = 1) {
    return args.size() <= skip ? std::span<const Value>() : std::span(args).subspan(skip);
}

inline BoundArguments bindAfterValue(const std::vector<Value>& args, const KeywordValues& kwargs,
                                     std::span<const std::string> parameters,
                                     const ArgumentDefaults& defaults = {}) {
    return resolveCallArguments(after(args), kwargs, parameters, defaults);
}

// The printed form of the first positional value, empty when there is none.
inline std::string textOfValue(const std::vector<Value>& args) {
    return args.empty() ? std::string() : args.front().description();
}

inline Value keyValue(const ObjectKey& key) { return Value(key); }

// An int parameter, or the fallback for any other kind.
inline std::int64_t intOr(const Value& value, std::int64_t fallback) {
    return value.isInt() ? value.asInt() : fallback;
}

// The limits of the rendering `env` belongs to, or the defaults when there is none.
inline const RenderLimits& limitsOf(const std::shared_ptr<Environment>& env) {
    static const RenderLimits defaults;
    return env ? env->limits() : defaults;
}

// Every occurrence of `old` replaced by `replacement` in one left-to-right pass, at most `limit`
// of them when a limit is given. An empty `old` matches before every character and at the end.
// The result's length is worked out first: one longer than `maximumLength` fails with the text
// limit's error before anything is built.
std::string replaceOccurrences(std::string_view text, std::string_view old,
                               std::string_view replacement, std::optional<std::int64_t> limit,
                               std::size_t maximumLength);

}  // namespace templates::builtins
