#include <cstdlib>

#include "FloatText.h"
#include "hub/ConfigValue.h"

namespace hub {

namespace {

double widenedByText(float f) {
    const std::string text = detail::floatDescription(f);
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() ? parsed : static_cast<double>(f);
}

}  // namespace

templates::Value templateValue(const Config& config) {
    switch (config.kind()) {
        case Config::Kind::string:
            return templates::Value(*config.string());
        case Config::Kind::integer:
            return templates::Value(*config.integer());
        case Config::Kind::boolean:
            return templates::Value(*config.boolean());
        case Config::Kind::floating:
            return templates::Value(widenedByText(*config.floating()));
        case Config::Kind::dictionary: {
            ordered::OrderedDictionary<std::string, templates::Value> entries;
            for (const auto& [key, value] : *config.dictionary()) {
                entries[key.string()] = templateValue(value);
            }
            return templates::Value::object(entries);
        }
        case Config::Kind::array: {
            std::vector<templates::Value> items;
            items.reserve(config.array()->size());
            for (const Config& item : *config.array()) {
                items.push_back(templateValue(item));
            }
            return templates::Value(std::move(items));
        }
        case Config::Kind::token: {
            const auto token = *config.get<Config::Token>();
            return templates::Value::dictionaryLiteral(
                {{std::to_string(token.id), templates::Value(token.text.string())}});
        }
        case Config::Kind::null:
            break;
    }
    return templates::Value();
}

}  // namespace hub
