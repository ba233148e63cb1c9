#pragma once

// The one way JSON is read in this program. The reader hands every number over as its text, and
// one conversion (exact, correctly rounded) turns it into a value: the reader's own conversion
// reads outside its tables and shifts past the word size on inputs such as
// 0.0000000000000000000000000000e5, and every file and answer read here comes from elsewhere.

#include <rapidjson/document.h>
#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace vevidocore::json {

// A JSON number's value: a whole number spelt without fraction or exponent in the signed (or
// else the unsigned) 64-bit range is an integer, every other number a double (beyond its range an
// infinity or a signed zero). "NaN", "Infinity" and "Inf" (with a sign) are read as well, for the
// readers that let them through.
using Number = std::variant<std::int64_t, std::uint64_t, double>;

// None for text that is not a number.
std::optional<Number> convertNumber(std::string_view text);

// Forwards a reader's events to `Handler`, numbers as the conversion above gives them.
template <class Handler>
class NumberConverting {
public:
    explicit NumberConverting(Handler& handler) : handler_(handler) {}

    bool Null() { return handler_.Null(); }
    bool Bool(bool b) { return handler_.Bool(b); }
    bool Int(int i) { return handler_.Int(i); }
    bool Uint(unsigned u) { return handler_.Uint(u); }
    bool Int64(std::int64_t i) { return handler_.Int64(i); }
    bool Uint64(std::uint64_t u) { return handler_.Uint64(u); }
    bool Double(double d) { return handler_.Double(d); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        const std::optional<Number> number = convertNumber(std::string_view(text, length));
        if (!number) {
            return false;
        }
        if (const auto* i = std::get_if<std::int64_t>(&*number)) {
            return handler_.Int64(*i);
        }
        if (const auto* u = std::get_if<std::uint64_t>(&*number)) {
            return handler_.Uint64(*u);
        }
        return handler_.Double(std::get<double>(*number));
    }
    bool String(const char* text, rapidjson::SizeType length, bool copy) {
        return handler_.String(text, length, copy);
    }
    bool StartObject() { return handler_.StartObject(); }
    bool Key(const char* text, rapidjson::SizeType length, bool copy) {
        return handler_.Key(text, length, copy);
    }
    bool EndObject(rapidjson::SizeType members) { return handler_.EndObject(members); }
    bool StartArray() { return handler_.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) { return handler_.EndArray(elements); }

private:
    Handler& handler_;
};

// Parse flags that ask the reader to hand numbers over as text; full precision means nothing
// then and is dropped.
constexpr unsigned textNumberFlags(unsigned flags) {
    return (flags & ~static_cast<unsigned>(rapidjson::kParseFullPrecisionFlag)) |
           rapidjson::kParseNumbersAsStringsFlag;
}

template <unsigned Flags, class Stream, class Handler>
rapidjson::ParseResult parseStream(Stream& stream, Handler& handler) {
    NumberConverting<Handler> converting(handler);
    rapidjson::Reader reader;
    return reader.Parse<textNumberFlags(Flags)>(stream, converting);
}

// Reads `text` into `handler`'s events. `stoppedAt`, when given, receives the offset at which
// reading stopped (the reader takes a NUL byte for the end of its input).
template <unsigned Flags, class Handler>
rapidjson::ParseResult parse(std::string_view text, Handler& handler,
                             std::size_t* stoppedAt = nullptr) {
    rapidjson::MemoryStream stream(text.data(), text.size());
    const rapidjson::ParseResult result = parseStream<Flags>(stream, handler);
    if (stoppedAt != nullptr) {
        *stoppedAt = stream.Tell();
    }
    return result;
}

// Reads `text` into `document` (left null on failure) and returns how that went. A leading
// UTF-8 byte order mark is passed over.
template <unsigned Flags = rapidjson::kParseDefaultFlags>
rapidjson::ParseResult parse(rapidjson::Document& document, std::string_view text) {
    rapidjson::MemoryStream bytes(text.data(), text.size());
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> stream(bytes);
    rapidjson::ParseResult result;
    auto generate = [&](rapidjson::Document& handler) {
        result = parseStream<Flags>(stream, handler);
        return !result.IsError();
    };
    document.SetNull();
    document.Populate(generate);
    return result;
}

}  // namespace vevidocore::json
