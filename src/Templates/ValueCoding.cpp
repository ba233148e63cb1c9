#include "templates/ValueCoding.h"

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace templates {

using coding::DecodingError;
using coding::EncodingError;
using coding::Reader;
using coding::Writer;

void encode(Writer& writer, const Value& value) {
    switch (value.kind()) {
        case Value::Kind::boolean:
            writer.boolean(value.asBool());
            return;
        case Value::Kind::int_:
            writer.integer(value.asInt());
            return;
        case Value::Kind::double_:
            writer.number(value.asDouble());
            return;
        case Value::Kind::string:
            writer.string(value.asString());
            return;
        case Value::Kind::array:
            writer.startArray();
            for (const Value& item : value.asArray()) {
                encode(writer, item);
            }
            writer.endArray();
            return;
        case Value::Kind::object: {
            const Value::Object& object = value.asObject();
            std::vector<std::size_t> order(object.size());
            for (std::size_t i = 0; i < order.size(); ++i) {
                order[i] = i;
            }
            const auto& keys = object.keys();
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                const ObjectKey& x = keys[a];
                const ObjectKey& y = keys[b];
                if (x.isInt() != y.isInt()) {
                    return x.isInt();
                }
                return x.isInt() ? x.asInt() < y.asInt() : x.asString() < y.asString();
            });
            writer.startObject();
            std::set<std::string> written;
            for (const std::size_t i : order) {
                std::string text = keys[i].stringValue();
                if (!written.insert(text).second) {
                    throw EncodingError(writer.codingPath(),
                                        "Cannot encode object with colliding keys that both "
                                        "serialize to \"" +
                                            text + "\"");
                }
                writer.key(text);
                encode(writer, object.values()[i]);
            }
            writer.endObject();
            return;
        }
        case Value::Kind::function:
            throw EncodingError(writer.codingPath(), "Cannot encode function values");
        case Value::Kind::macro:
            encode(writer, value.asMacro());
            return;
        case Value::Kind::null:
        case Value::Kind::undefined:
            writer.null();
            return;
    }
}

Value decodeValue(const Reader& reader) {
    if (reader.isNull()) {
        return Value::null();
    }
    // Each attempt's error is dropped in favour of the next one.
    try {
        return Value(reader.string());
    } catch (const DecodingError&) {
    }
    try {
        return Value(reader.integer());
    } catch (const DecodingError&) {
    }
    try {
        return Value(reader.number());
    } catch (const DecodingError&) {
    }
    try {
        return Value(reader.boolean());
    } catch (const DecodingError&) {
    }
    if (reader.isArray()) {
        std::vector<Value> items;
        for (const Reader& item : reader.elements()) {
            items.push_back(decodeValue(item));
        }
        return Value(std::move(items));
    }
    if (reader.isObject()) {
        std::vector<std::string> names = reader.memberNames();
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        ordered::OrderedDictionary<std::string, Value> entries;
        for (const std::string& name : names) {
            entries[name] = decodeValue(reader.member(name));
        }
        return Value::object(entries);
    }
    throw DecodingError(DecodingError::Kind::typeMismatch, reader.codingPath(),
                        "Cannot decode Value from any supported container type", "Value");
}

void encode(Writer& writer, const Macro& macro) {
    writer.startObject();
    writer.key("name");
    writer.string(macro.name);
    writer.key("parameters");
    writer.startArray();
    for (const std::string& parameter : macro.parameters) {
        writer.string(parameter);
    }
    writer.endArray();
    writer.key("defaults");
    writer.startObject();
    for (const auto& [name, expression] : macro.defaults) {
        writer.key(name);
        encode(writer, expression);
    }
    writer.endObject();
    writer.key("body");
    encode(writer, macro.body);
    writer.endObject();
}

Macro decodeMacro(const Reader& reader) {
    reader.expectObject("Macro");
    std::string name = reader.member("name").string();
    std::vector<std::string> parameters;
    for (const Reader& item : reader.member("parameters").elements()) {
        parameters.push_back(item.string());
    }
    const Reader defaultsReader = reader.member("defaults");
    std::vector<std::string> names = defaultsReader.memberNames();
    std::stable_sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    MacroDefaults defaults;
    for (const std::string& parameter : names) {
        defaults.updateValue(parameter, decodeExpression(defaultsReader.member(parameter)));
    }
    NodeList body = decodeNodes(reader.member("body"));
    return Macro::make(std::move(name), NameList(std::move(parameters)), std::move(defaults),
                       std::move(body));
}

}  // namespace templates
