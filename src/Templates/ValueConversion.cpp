// Host values into template values.
#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <typeinfo>

#include "templates/TemplateError.h"
#include "templates/Unicode.h"
#include "templates/Value.h"

namespace templates {

namespace {

std::string qualifiedName(const std::type_info& type) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(type.name());
}

template <class I>
std::optional<Value> integer(const std::any& host) {
    const I* number = std::any_cast<I>(&host);
    if (!number) {
        return std::nullopt;
    }
    if constexpr (std::is_signed_v<I>) {
        return Value(static_cast<std::int64_t>(*number));
    } else {
        if (*number <= static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) {
            return Value(static_cast<std::int64_t>(*number));
        }
        return Value(static_cast<double>(*number));
    }
}

template <class... I>
std::optional<Value> anyInteger(const std::any& host) {
    std::optional<Value> result;
    ((result = result ? result : integer<I>(host)), ...);
    return result;
}

template <class Map>
std::optional<Value> textKeyedMap(const std::any& host) {
    const Map* map = std::any_cast<Map>(&host);
    if (!map) {
        return std::nullopt;
    }
    std::unordered_map<std::string, Value> converted;
    // Converted in ascending key order so that the first failure is the same whatever order the
    // host map walks in.
    std::vector<const typename Map::value_type*> entries;
    for (const auto& entry : *map) {
        entries.push_back(&entry);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) {
        return unicode::compare(a->first, b->first) < 0;
    });
    for (const auto* entry : entries) {
        converted.emplace(entry->first, Value::fromAny(entry->second));
    }
    return Value::object(converted);
}

}  // namespace

Value Value::fromAny(const std::any& host) {
    if (!host.has_value()) {
        return Value();
    }
    if (const Value* value = std::any_cast<Value>(&host)) {
        return *value;
    }
    if (const std::string* text = std::any_cast<std::string>(&host)) {
        return Value(*text);
    }
    if (const std::string_view* text = std::any_cast<std::string_view>(&host)) {
        return Value(*text);
    }
    if (const char* const* text = std::any_cast<const char*>(&host)) {
        return Value(*text);
    }
    if (auto number =
            anyInteger<std::int64_t, int, long, long long, short, signed char, unsigned char,
                       unsigned short, unsigned int, unsigned long, unsigned long long>(host)) {
        return *number;
    }
    if (const double* number = std::any_cast<double>(&host)) {
        return Value(*number);
    }
    if (const float* number = std::any_cast<float>(&host)) {
        return Value(static_cast<double>(*number));
    }
    if (const bool* truth = std::any_cast<bool>(&host)) {
        return Value(*truth);
    }
    if (const auto* items = std::any_cast<std::vector<std::any>>(&host)) {
        std::vector<Value> converted;
        converted.reserve(items->size());
        for (const std::any& item : *items) {
            converted.push_back(fromAny(item));
        }
        return Value(std::move(converted));
    }
    if (auto object = textKeyedMap<std::map<std::string, std::any>>(host)) {
        return *object;
    }
    if (auto object = textKeyedMap<std::unordered_map<std::string, std::any>>(host)) {
        return *object;
    }
    if (const Macro* macro = std::any_cast<Macro>(&host)) {
        return Value::macro(*macro);
    }
    if (const auto* optional = std::any_cast<std::optional<std::any>>(&host)) {
        return *optional ? fromAny(**optional) : Value();
    }
    throw TemplateError::runtime("Cannot convert value of type " + qualifiedName(host.type()) +
                                 " to template Value");
}

}  // namespace templates
