#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "templates/BuiltinFunction.h"
#include "templates/Value.h"

namespace templates {

// Default values of a built-in's optional parameters, by parameter name.
using ArgumentDefaults = std::unordered_map<std::string, Value>;

// The values a built-in's parameters are bound to: exactly one per declared parameter, in
// declaration order, also reachable by name.
class BoundArguments {
public:
    BoundArguments(std::span<const std::string> parameters, std::vector<Value> values)
        : parameters_(parameters), values_(std::move(values)) {}

    std::size_t size() const noexcept { return values_.size(); }
    const Value& at(std::size_t position) const { return values_.at(position); }
    // Throws std::out_of_range for a name that is not a parameter.
    const Value& operator[](std::string_view name) const;

private:
    std::span<const std::string> parameters_;
    std::vector<Value> values_;
};

// The one binder of every built-in filter, test, global function and method: positional values
// fill the parameters in order (extra ones are dropped), keyword values go by name, defaults fill
// the rest. Throws TemplateError (runtime):
//  "Argument 'x' passed both positionally and as keyword."
//  "Unexpected keyword argument 'x' for filter."
//  "Missing required argument 'x' for filter."
// whatever kind of built-in binds. `parameters` must outlive the result.
BoundArguments resolveCallArguments(std::span<const Value> args, const KeywordValues& kwargs,
                                    std::span<const std::string> parameters,
                                    const ArgumentDefaults& defaults);

}  // namespace templates
