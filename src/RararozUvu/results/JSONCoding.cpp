#include "JSONCoding.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "rararozuvu/results/DecodingError.h"
#include "rararozuvu/results/EncodingError.h"
#include "vevidocore/JSONReading.h"

namespace rararozuvu::json {

namespace {

using Kind = DecodingError::Kind;

template <class T>
std::string nonFiniteMessage(T v, const char* typeName) {
    const char* name = std::isnan(v) ? "nan" : (v > 0 ? "infinity" : "-infinity");
    return std::string("Unable to encode ") + typeName + "." + name + " directly in JSON.";
}

DecodingError mismatch(std::string_view typeName) {
    return DecodingError(Kind::typeMismatch, "Expected to decode " + std::string(typeName) +
                                                 " but found another kind of value.");
}

DecodingError nullFound(std::string_view typeName) {
    return DecodingError(Kind::valueNotFound,
                         "Expected " + std::string(typeName) + " value but found null instead.");
}

// The value itself when it is of the kind `is` tests for: null and every other kind fail.
const Value& expectKind(const Value& value, std::string_view typeName, bool (Value::*is)() const) {
    if (value.IsNull()) {
        throw nullFound(typeName);
    }
    if (!(value.*is)()) {
        throw mismatch(typeName);
    }
    return value;
}

}  // namespace

void Writer::key(std::string_view name) {
    writer_.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
}

void Writer::number(const char* text, std::size_t length) {
    writer_.RawValue(text, length, rapidjson::kNumberType);
}

void Writer::value(float f) {
    if (!std::isfinite(f)) {
        throw EncodingError(EncodingError::Kind::invalidValue, nonFiniteMessage(f, "Float"));
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, f);
    number(text, static_cast<std::size_t>(result.ptr - text));
}

void Writer::value(double d) {
    if (!std::isfinite(d)) {
        throw EncodingError(EncodingError::Kind::invalidValue, nonFiniteMessage(d, "Double"));
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, d);
    number(text, static_cast<std::size_t>(result.ptr - text));
}

void Writer::value(std::string_view text) {
    writer_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void Writer::value(const std::vector<std::int64_t>& list) {
    startArray();
    for (std::int64_t i : list) {
        value(i);
    }
    endArray();
}

void Writer::value(const std::vector<float>& list) {
    startArray();
    for (float f : list) {
        value(f);
    }
    endArray();
}

void Writer::value(const std::map<std::int64_t, float>& map) {
    startObject();
    for (const auto& [id, logProb] : map) {
        key(std::to_string(id));
        value(logProb);
    }
    endObject();
}

void Writer::value(const std::vector<std::map<std::int64_t, float>>& maps) {
    startArray();
    for (const auto& map : maps) {
        value(map);
    }
    endArray();
}

rapidjson::Document parse(std::string_view json) {
    rapidjson::Document document;
    if (vevidocore::json::parse<rapidjson::kParseNanAndInfFlag |
                                rapidjson::kParseValidateEncodingFlag |
                                rapidjson::kParseIterativeFlag>(document, json)
            .IsError()) {
        throw DecodingError(Kind::dataCorrupted, "The given data was not valid JSON.");
    }
    return document;
}

ObjectReader::ObjectReader(const Value& value, std::string_view typeName)
    : value_(expectKind(value, typeName, &Value::IsObject)) {}

const Value& ObjectReader::required(std::string_view key) const {
    const auto member =
        value_.FindMember(Value(key.data(), static_cast<rapidjson::SizeType>(key.size())));
    if (member == value_.MemberEnd()) {
        throw DecodingError(Kind::keyNotFound,
                            "No value associated with key \"" + std::string(key) + "\".");
    }
    if (member->value.IsNull()) {
        throw DecodingError(Kind::valueNotFound, "Expected a value for key \"" + std::string(key) +
                                                     "\" but found null instead.");
    }
    return member->value;
}

const Value* ObjectReader::optional(std::string_view key) const {
    const auto member =
        value_.FindMember(Value(key.data(), static_cast<rapidjson::SizeType>(key.size())));
    if (member == value_.MemberEnd() || member->value.IsNull()) {
        return nullptr;
    }
    return &member->value;
}

bool ObjectReader::contains(std::string_view key) const {
    return value_.HasMember(Value(key.data(), static_cast<rapidjson::SizeType>(key.size())));
}

bool readBool(const Value& value) {
    return expectKind(value, "Bool", &Value::IsBool).GetBool();
}

std::int64_t readInt(const Value& value) {
    if (value.IsNull()) {
        throw nullFound("Int");
    }
    if (value.IsInt64()) {
        return value.GetInt64();
    }
    // A whole number written with a fraction ("5.0") is still that integer.
    if (value.IsDouble()) {
        const double d = value.GetDouble();
        if (d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            return static_cast<std::int64_t>(d);
        }
    }
    throw mismatch("Int");
}

float readFloat(const Value& value) {
    const double d = expectKind(value, "Float", &Value::IsNumber).GetDouble();
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        throw DecodingError(Kind::dataCorrupted, "Parsed JSON number <" + std::to_string(d) +
                                                     "> does not fit in Float.");
    }
    return static_cast<float>(d);
}

double readDouble(const Value& value) {
    return expectKind(value, "Double", &Value::IsNumber).GetDouble();
}

std::string readString(const Value& value) {
    expectKind(value, "String", &Value::IsString);
    return std::string(value.GetString(), value.GetStringLength());
}

void expectArray(const Value& value, std::string_view typeName) {
    expectKind(value, "Array<" + std::string(typeName) + ">", &Value::IsArray);
}

std::vector<std::int64_t> readInts(const Value& value) {
    return readArray(value, "Int", readInt);
}

std::vector<float> readFloats(const Value& value) {
    return readArray(value, "Float", readFloat);
}

std::vector<std::string> readStrings(const Value& value) {
    return readArray(value, "String", readString);
}

std::map<std::int64_t, float> readTokenLogProbs(const Value& value) {
    expectKind(value, "Dictionary<Int, Float>", &Value::IsObject);
    std::map<std::int64_t, float> map;
    for (const auto& member : value.GetObject()) {
        const std::string_view key(member.name.GetString(), member.name.GetStringLength());
        std::int64_t id = 0;
        const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), id);
        if (error != std::errc() || end != key.data() + key.size() || key.empty()) {
            throw DecodingError(Kind::typeMismatch,
                                "Expected Int key but found \"" + std::string(key) + "\" instead.");
        }
        map[id] = readFloat(member.value);
    }
    return map;
}

std::vector<std::map<std::int64_t, float>> readTokenLogProbsList(const Value& value) {
    return readArray(value, "Dictionary<Int, Float>", readTokenLogProbs);
}

}  // namespace rararozuvu::json
