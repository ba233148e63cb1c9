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
#include <tuple>
#include <type_traits>
#include <vector>

namespace rararozuvu::json {

using Value = rapidjson::Value;

class Writer;
template <class T>
void writeValue(Writer& writer, const T& v);

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

    // Any value writeValue() below knows; an absent optional is left out.
    template <class T>
    void field(std::string_view name, const T& v) {
        key(name);
        writeValue(*this, v);
    }
    template <class T>
    void field(std::string_view name, const std::optional<T>& v) {
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

// How a value of a type the Writer and the read functions above do not know is written and read:
// specialised, with static write(Writer&, const T&) and read(const Value&), for the records and
// enumerations that have a form of their own.
template <class T>
struct Coding;

template <class T>
void writeValue(Writer& writer, const T& v) {
    if constexpr (requires { writer.value(v); }) {
        writer.value(v);
    } else {
        Coding<T>::write(writer, v);
    }
}

template <class T>
T readValue(const Value& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return readBool(value);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return readInt(value);
    } else if constexpr (std::is_same_v<T, float>) {
        return readFloat(value);
    } else if constexpr (std::is_same_v<T, double>) {
        return readDouble(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return readString(value);
    } else if constexpr (std::is_same_v<T, std::vector<std::int64_t>>) {
        return readInts(value);
    } else if constexpr (std::is_same_v<T, std::vector<float>>) {
        return readFloats(value);
    } else if constexpr (std::is_same_v<T, std::map<std::int64_t, float>>) {
        return readTokenLogProbs(value);
    } else if constexpr (std::is_same_v<T, std::vector<std::map<std::int64_t, float>>>) {
        return readTokenLogProbsList(value);
    } else {
        return Coding<T>::read(value);
    }
}

// One field of a record's JSON object: its key and the member it holds. A record's table of
// fields serves both writing and reading, so that the two cannot drift apart. An optional member
// is left out when absent and read as absent when missing or null; every other one is required.
template <class Record, class Member>
struct Field {
    std::string_view name;
    Member Record::*member;
};

template <class Record, class Member>
constexpr Field<Record, Member> field(std::string_view name, Member Record::*member) {
    return {name, member};
}

template <class T>
void readField(const ObjectReader& object, std::string_view name, T& out) {
    out = readValue<T>(object.required(name));
}

template <class T>
void readField(const ObjectReader& object, std::string_view name, std::optional<T>& out) {
    const Value* value = object.optional(name);
    out = value ? std::optional<T>(readValue<T>(*value)) : std::nullopt;
}

// The record as an object of its table's fields, in the table's order.
template <class Record, class... Fields>
void writeObject(Writer& writer, const Record& record, const std::tuple<Fields...>& fields) {
    writer.startObject();
    std::apply([&](const auto&... f) { (writer.field(f.name, record.*f.member), ...); }, fields);
    writer.endObject();
}

// The fields are read in the table's order, so the first failing one is the one reported.
// Throws DecodingError.
template <class Record, class... Fields>
Record readObject(const Value& value, std::string_view typeName,
                  const std::tuple<Fields...>& fields) {
    const ObjectReader object(value, typeName);
    Record record;
    std::apply([&](const auto&... f) { (readField(object, f.name, record.*f.member), ...); },
               fields);
    return record;
}

template <class Record, class... Fields>
std::string toJson(const Record& record, const std::tuple<Fields...>& fields) {
    Writer writer;
    writeObject(writer, record, fields);
    return writer.text();
}

template <class Record, class... Fields>
Record fromJson(std::string_view json, std::string_view typeName,
                const std::tuple<Fields...>& fields) {
    return readObject<Record>(parse(json), typeName, fields);
}

}  // namespace rararozuvu::json
