#pragma once

// Reading and writing the JSON forms of the speech records. Private to the module.
//
// Writing: keys in declaration order, numbers in their shortest exact form (a Float as a 32-bit
// value, so 0.2 stays "0.2"). Reading: every failure is a DecodingError of the usual kinds, naming
// the key or the expected type.

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rararozuvu::json {

using Value = rapidjson::Value;

class Writer {
public:
    Writer() : writer_(buffer_) {}

    void startObject() { writer_.StartObject(); }
    void endObject() { writer_.EndObject(); }
    void startArray() { writer_.StartArray(); }
    void endArray() { writer_.EndArray(); }
    void key(std::string_view name);

    void value(bool b) { writer_.Bool(b); }
    void value(std::int64_t i) { writer_.Int64(i); }
    // Throws EncodingError for infinities and NaN.
    void value(float f);
    void value(double d);
    void value(std::string_view text);
    // Without this a literal would be written as a Boolean.
    void value(const char* text) { value(std::string_view(text)); }
    void null() { writer_.Null(); }

    void value(const std::vector<std::int64_t>& list);
    void value(const std::vector<float>& list);
    // Token id to value, the ids as decimal keys.
    void value(const std::map<std::int64_t, float>& map);
    void value(const std::vector<std::map<std::int64_t, float>>& maps);

    template <class T>
    void field(std::string_view name, const T& v) {
        key(name);
        value(v);
    }
    // Left out when absent.
    template <class T>
    void optionalField(std::string_view name, const std::optional<T>& v) {
        if (v) {
            field(name, *v);
        }
    }

    std::string text() const { return std::string(buffer_.GetString(), buffer_.GetSize()); }

private:
    void number(const char* text, std::size_t length);

    rapidjson::StringBuffer buffer_;
    rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// Throws DecodingError (dataCorrupted) for text that is not JSON.
rapidjson::Document parse(std::string_view json);

// An object being read; `typeName` names the record in messages.
class ObjectReader {
public:
    // Throws DecodingError (typeMismatch) when the value is not an object.
    ObjectReader(const Value& value, std::string_view typeName);

    // Throws DecodingError: keyNotFound when missing, valueNotFound when null.
    const Value& required(std::string_view key) const;
    // Nothing when missing or null.
    const Value* optional(std::string_view key) const;
    bool contains(std::string_view key) const;
    const Value& object() const { return value_; }

private:
    const Value& value_;
};

bool readBool(const Value& value);
std::int64_t readInt(const Value& value);
float readFloat(const Value& value);
double readDouble(const Value& value);
std::string readString(const Value& value);
std::vector<std::int64_t> readInts(const Value& value);
std::vector<float> readFloats(const Value& value);
std::vector<std::string> readStrings(const Value& value);
std::map<std::int64_t, float> readTokenLogProbs(const Value& value);
std::vector<std::map<std::int64_t, float>> readTokenLogProbsList(const Value& value);

// Throws DecodingError (typeMismatch) when the value is not an array of `typeName` elements.
void expectArray(const Value& value, std::string_view typeName);

// Each element of an array read by `element`.
template <class Read>
auto readArray(const Value& value, std::string_view typeName, Read element) {
    expectArray(value, typeName);
    std::vector<decltype(element(value))> list;
    list.reserve(value.Size());
    for (const Value& item : value.GetArray()) {
        list.push_back(element(item));
    }
    return list;
}

}  // namespace rararozuvu::json
