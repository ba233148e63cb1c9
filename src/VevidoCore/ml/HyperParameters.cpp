#include "ml/HyperParameters.h"

#include <fmt/format.h>

#include "ml/ModelError.h"

namespace ml {

const HyperParameters::Value* HyperParameters::find(std::string_view name) const {
    const auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
}

template <class T>
const T* HyperParameters::get(std::string_view name, std::string_view kind, bool required) const {
    const Value* v = find(name);
    if (v == nullptr && !required)
        return nullptr;
    const T* typed = v == nullptr ? nullptr : std::get_if<T>(v);
    if (typed == nullptr) {
        throw ModelError(ModelError::Case::io,
                         fmt::format("hyper-parameter \"{}\" is {}; expected {}", name,
                                     v == nullptr ? "missing" : "of another kind", kind));
    }
    return typed;
}

std::int64_t HyperParameters::integer(std::string_view name) const {
    return *get<std::int64_t>(name, "an integer", true);
}

double HyperParameters::number(std::string_view name) const {
    if (const Value* v = find(name)) {
        if (const auto* i = std::get_if<std::int64_t>(v))
            return static_cast<double>(*i);
    }
    return *get<double>(name, "a number", true);
}

const std::string& HyperParameters::text(std::string_view name) const {
    return *get<std::string>(name, "a text", true);
}

const HyperParameters::IntegerRows& HyperParameters::integerRows(std::string_view name) const {
    return *get<IntegerRows>(name, "a list of integer lists", true);
}

std::optional<std::int64_t> HyperParameters::optionalInteger(std::string_view name) const {
    const auto* v = get<std::int64_t>(name, "an integer", false);
    return v ? std::optional(*v) : std::nullopt;
}

std::optional<bool> HyperParameters::optionalBoolean(std::string_view name) const {
    const auto* v = get<bool>(name, "a boolean", false);
    return v ? std::optional(*v) : std::nullopt;
}

std::optional<HyperParameters::IntegerRows> HyperParameters::optionalIntegerRows(
    std::string_view name) const {
    const auto* v = get<IntegerRows>(name, "a list of integer lists", false);
    return v ? std::optional(*v) : std::nullopt;
}

}  // namespace ml
