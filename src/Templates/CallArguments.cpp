#include "templates/CallArguments.h"

#include <optional>
#include <stdexcept>

#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

[[noreturn]] void passedTwice(std::string_view name) {
    throw TemplateError::runtime("Argument '" + std::string(name) +
                                 "' passed both positionally and as keyword.");
}

}  // namespace

const Value& BoundArguments::operator[](std::string_view name) const {
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        if (parameters_[i] == name) {
            return values_[i];
        }
    }
    throw std::out_of_range("no parameter named " + std::string(name));
}

BoundArguments resolveCallArguments(std::span<const Value> args, const KeywordValues& kwargs,
                                    std::span<const std::string> parameters,
                                    const ArgumentDefaults& defaults) {
    std::vector<std::optional<Value>> bound(parameters.size());
    const std::size_t positional = std::min(args.size(), parameters.size());
    for (std::size_t i = 0; i < positional; ++i) {
        if (kwargs.count(parameters[i]) != 0) {
            passedTwice(parameters[i]);
        }
        bound[i] = args[i];
    }
    for (const auto& [name, value] : kwargs) {
        std::size_t i = 0;
        while (i < parameters.size() && !unicode::canonicallyEquivalent(parameters[i], name)) {
            ++i;
        }
        if (i == parameters.size()) {
            throw TemplateError::runtime("Unexpected keyword argument '" + name + "' for filter.");
        }
        if (bound[i]) {
            passedTwice(name);
        }
        bound[i] = value;
    }
    std::vector<Value> values;
    values.reserve(parameters.size());
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (bound[i]) {
            values.push_back(std::move(*bound[i]));
            continue;
        }
        const auto fallback = defaults.find(parameters[i]);
        if (fallback == defaults.end()) {
            throw TemplateError::runtime("Missing required argument '" + parameters[i] +
                                         "' for filter.");
        }
        values.push_back(fallback->second);
    }
    return BoundArguments(parameters, std::move(values));
}

}  // namespace templates
