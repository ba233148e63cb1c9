#include "hub/YYJSONParser.h"

#include <fmt/core.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "JSONReading.h"
#include "TextEncoding.h"

namespace hub {

YYJSONParser::ParseError::ParseError(Case c, std::uint32_t code, std::string message,
                                     std::size_t position)
    : case_(c), code_(code), message_(std::move(message)), position_(position) {
    description_ = case_ == Case::readFailed
                       ? fmt::format("yyjson read failed (code {}) at position {}: {}", code_,
                                     position_, message_)
                       : "yyjson returned null document";
}

Config YYJSONParser::parseToConfig(std::string_view bytes) {
    return detail::readJSON(bytes, detail::JSONDialect::loader);
}

namespace detail {

namespace {

// Builds the Config tree straight from the reader's events. Open arrays and objects live on an
// explicit stack (never the call stack), so depth is bounded only by maxDepth. Frames are reused
// across siblings so their buffers keep their capacity; finished containers are built at their
// exact size.
class TreeBuilder {
public:
    explicit TreeBuilder(JSONDialect dialect) : dialect_(dialect) {}

    bool depthExceeded() const { return depthExceeded_; }
    Config takeRoot() { return std::move(root_); }

    bool Null() { return add(Config()); }
    bool Bool(bool b) { return add(Config(b)); }
    bool Int(int i) { return Int64(i); }
    bool Uint(unsigned u) { return Int64(u); }
    bool Int64(std::int64_t i) {
        return add(Config(i), i >= 0 ? std::optional<std::uint64_t>(i) : std::nullopt);
    }
    bool Uint64(std::uint64_t u) {
        // Past the signed range only a float can hold the value.
        return add(u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                       ? Config(static_cast<std::int64_t>(u))
                       : Config(static_cast<float>(u)),
                   u);
    }
    bool Double(double d) {
        if (dialect_ == JSONDialect::loader) {
            return add(Config(static_cast<float>(d)));
        }
        // A decoder reads whole numbers as integers however they are spelt (1e2, 3.0) and
        // refuses a float for a number the float range cannot hold.
        constexpr double twoTo63 = 9223372036854775808.0;
        constexpr double twoTo64 = 18446744073709551616.0;
        const bool whole = std::trunc(d) == d;
        std::optional<std::uint64_t> unsignedValue;
        if (whole && d >= 0 && d < twoTo64) {
            unsignedValue = static_cast<std::uint64_t>(d);
        }
        if (whole && d >= -twoTo63 && d < twoTo63) {
            return add(Config(static_cast<std::int64_t>(d)), unsignedValue);
        }
        if (std::fabs(d) <= std::numeric_limits<float>::max()) {
            return add(Config(static_cast<float>(d)), unsignedValue);
        }
        return add(Config(), unsignedValue);
    }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // not requested
    bool String(const char* s, rapidjson::SizeType length, bool) {
        // The length, not a terminating NUL, bounds the text: "\u0000" is a character like any.
        return add(Config(BinaryDistinctString(std::string_view(s, length))));
    }
    bool Key(const char* s, rapidjson::SizeType length, bool) {
        stack_[depth_ - 1].keys.emplace_back(std::string_view(s, length));
        return true;
    }
    bool StartObject() { return open(); }
    bool StartArray() { return open(); }
    bool EndObject(rapidjson::SizeType) {
        Frame& frame = stack_[--depth_];
        Config::Dictionary dictionary;
        dictionary.reserve(frame.values.size());
        for (std::size_t i = 0; i < frame.values.size(); ++i) {
            // A repeated key keeps its last value.
            dictionary.insert_or_assign(std::move(frame.keys[i]), std::move(frame.values[i]));
        }
        frame.keys.clear();
        frame.values.clear();
        return add(Config(std::move(dictionary)));
    }
    bool EndArray(rapidjson::SizeType) {
        Frame& frame = stack_[--depth_];
        Config result;
        if (dialect_ == JSONDialect::decoder && frame.values.size() == 2 &&
            frame.firstUnsigned && frame.values[1].kind() == Config::Kind::string) {
            result = Config::Token{*frame.firstUnsigned, *frame.values[1].binaryDistinctString()};
        } else {
            result = Config::Array(std::make_move_iterator(frame.values.begin()),
                                   std::make_move_iterator(frame.values.end()));
        }
        frame.values.clear();
        return add(std::move(result));
    }

private:
    struct Frame {
        std::vector<BinaryDistinctString> keys;
        std::vector<Config> values;
        // The first element as an unsigned integer, when it is one (for token detection).
        std::optional<std::uint64_t> firstUnsigned;
    };

    bool open() {
        if (depth_ >= YYJSONParser::maxDepth) {
            depthExceeded_ = true;
            return false;
        }
        if (depth_ == stack_.size()) {
            stack_.emplace_back();
        }
        stack_[depth_].firstUnsigned.reset();
        ++depth_;
        return true;
    }

    bool add(Config value, std::optional<std::uint64_t> unsignedValue = std::nullopt) {
        if (depth_ == 0) {
            root_ = std::move(value);
            return true;
        }
        Frame& frame = stack_[depth_ - 1];
        if (frame.values.empty()) {
            frame.firstUnsigned = unsignedValue;
        }
        frame.values.push_back(std::move(value));
        return true;
    }

    JSONDialect dialect_;
    std::vector<Frame> stack_;
    std::size_t depth_ = 0;
    bool depthExceeded_ = false;
    Config root_;
};

template <unsigned Flags>
Config read(std::string_view bytes, JSONDialect dialect) {
    rapidjson::MemoryStream stream(bytes.data(), bytes.size());
    rapidjson::Reader reader;
    TreeBuilder builder(dialect);
    const rapidjson::ParseResult result = reader.Parse<Flags>(stream, builder);
    if (builder.depthExceeded()) {
        throw YYJSONParser::ParseError::readFailed(
            result.Code(),
            fmt::format("nesting deeper than {} levels", YYJSONParser::maxDepth),
            result.Offset());
    }
    if (result.IsError()) {
        throw YYJSONParser::ParseError::readFailed(
            result.Code(), rapidjson::GetParseError_En(result.Code()), result.Offset());
    }
    // The reader takes a NUL byte for the end of input; anything after one is still content
    // after the root value.
    if (stream.Tell() != bytes.size()) {
        constexpr auto code = rapidjson::kParseErrorDocumentRootNotSingular;
        throw YYJSONParser::ParseError::readFailed(code, rapidjson::GetParseError_En(code),
                                                   stream.Tell());
    }
    return builder.takeRoot();
}

}  // namespace

Config readJSON(std::string_view bytes, JSONDialect dialect) {
    if (bytes.empty()) {
        throw YYJSONParser::ParseError::readFailed(0, "empty data", 0);
    }
    constexpr unsigned common = rapidjson::kParseFullPrecisionFlag |
                                rapidjson::kParseValidateEncodingFlag |
                                rapidjson::kParseIterativeFlag;
    if (dialect == JSONDialect::loader) {
        return read<common | rapidjson::kParseNanAndInfFlag>(bytes, dialect);
    }
    return read<common>(bytes, dialect);
}

}  // namespace detail

}  // namespace hub
