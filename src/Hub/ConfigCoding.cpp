#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>

#include "FloatText.h"
#include "JSONReading.h"
#include "hub/Config.h"
#include "hub/ConfigError.h"

namespace hub {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void writeText(Writer& writer, const BinaryDistinctString& text) {
    const std::string utf8 = text.string();
    writer.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
}

void encode(const Config& config, Writer& writer) {
    switch (config.kind()) {
        case Config::Kind::string:
            writeText(writer, *config.binaryDistinctString());
            break;
        case Config::Kind::integer:
            writer.Int64(*config.integer());
            break;
        case Config::Kind::boolean:
            writer.Bool(*config.boolean());
            break;
        case Config::Kind::floating: {
            const float f = *config.floating();
            if (!std::isfinite(f)) {
                throw ConfigError::typeConversionFailed(detail::floatDescription(f), "JSON number");
            }
            const std::string text = detail::floatDescription(f);
            writer.RawValue(text.data(), text.size(), rapidjson::kNumberType);
            break;
        }
        case Config::Kind::dictionary:
            writer.StartObject();
            for (const auto& [key, value] : *config.dictionary()) {
                const std::string utf8 = key.string();
                writer.Key(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
                encode(value, writer);
            }
            writer.EndObject();
            break;
        case Config::Kind::array:
            writer.StartArray();
            for (const Config& element : *config.array()) {
                encode(element, writer);
            }
            writer.EndArray();
            break;
        case Config::Kind::token: {
            const auto token = config.get<Config::Token>();
            writer.StartArray();
            writer.Uint64(token->id);
            writeText(writer, token->text);
            writer.EndArray();
            break;
        }
        case Config::Kind::null:
            writer.Null();
            break;
    }
}

}  // namespace

std::string Config::encodedJSON() const {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    encode(*this, writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

Config Config::decodedJSON(std::string_view json) {
    return detail::readJSON(json, detail::JSONDialect::decoder);
}

}  // namespace hub
