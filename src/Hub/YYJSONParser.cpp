#include "hub/YYJSONParser.h"

#include <fmt/core.h>
#include <rapidjson/error/en.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "JSONReading.h"
#include "vevidocore/JSONReading.h"

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

// Builds the Config tree straight from the reader's events. Open arrays and objects are frames on
// an explicit stack (never the call stack), so depth is bounded only by maxDepth. The pending
// elements and keys of all open containers share one value stack and one key stack, which grow to
// the largest container once and are reused by every later one; each finished container is built
// at its exact size from the top of those stacks.
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
        return add(Config(i), i >= 0 ? std::optional(static_cast<std::uint64_t>(i)) : std::nullopt);
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
    bool String(const char* s, rapidjson::SizeType length, bool) {
        // The length, not a terminating NUL, bounds the text: "\u0000" is a character like any.
        return add(Config(BinaryDistinctString(std::string_view(s, length))));
    }
    bool Key(const char* s, rapidjson::SizeType length, bool) {
        keys_.emplace_back(std::string_view(s, length));
        return true;
    }
    bool StartObject() { return open(); }
    bool StartArray() { return open(); }
    bool EndObject(rapidjson::SizeType) {
        const Frame frame = frames_.back();
        frames_.pop_back();
        Config::Dictionary dictionary;
        dictionary.reserve(values_.size() - frame.valueStart);
        for (std::size_t v = frame.valueStart, k = frame.keyStart; v < values_.size(); ++v, ++k) {
            // A repeated key keeps its last value.
            dictionary.insert_or_assign(std::move(keys_[k]), std::move(values_[v]));
        }
        keys_.resize(frame.keyStart);
        values_.resize(frame.valueStart);
        return add(Config(std::move(dictionary)));
    }
    bool EndArray(rapidjson::SizeType) {
        const Frame frame = frames_.back();
        frames_.pop_back();
        const auto first = values_.begin() + static_cast<std::ptrdiff_t>(frame.valueStart);
        Config result;
        if (dialect_ == JSONDialect::decoder && values_.end() - first == 2 && frame.firstUnsigned &&
            first[1].kind() == Config::Kind::string) {
            result = Config::Token{*frame.firstUnsigned, *first[1].binaryDistinctString()};
        } else {
            result = Config::Array(std::make_move_iterator(first),
                                   std::make_move_iterator(values_.end()));
        }
        values_.resize(frame.valueStart);
        return add(std::move(result));
    }

private:
    struct Frame {
        std::size_t valueStart;
        std::size_t keyStart;
        // The first element as an unsigned integer, when it is one (for token detection).
        std::optional<std::uint64_t> firstUnsigned;
    };

    bool open() {
        if (frames_.size() >= YYJSONParser::maxDepth) {
            depthExceeded_ = true;
            return false;
        }
        frames_.push_back({values_.size(), keys_.size(), std::nullopt});
        return true;
    }

    bool add(Config value, std::optional<std::uint64_t> unsignedValue = std::nullopt) {
        if (frames_.empty()) {
            root_ = std::move(value);
            return true;
        }
        if (values_.size() == frames_.back().valueStart) {
            frames_.back().firstUnsigned = unsignedValue;
        }
        values_.push_back(std::move(value));
        return true;
    }

    JSONDialect dialect_;
    std::vector<Frame> frames_;
    std::vector<Config> values_;
    std::vector<BinaryDistinctString> keys_;
    bool depthExceeded_ = false;
    Config root_;
};

template <unsigned Flags>
Config read(std::string_view bytes, JSONDialect dialect) {
    TreeBuilder builder(dialect);
    std::size_t stoppedAt = 0;
    const rapidjson::ParseResult result =
        vevidocore::json::parse<Flags>(bytes, builder, &stoppedAt);
    if (builder.depthExceeded()) {
        throw YYJSONParser::ParseError::readFailed(
            result.Code(), fmt::format("nesting deeper than {} levels", YYJSONParser::maxDepth),
            result.Offset());
    }
    if (result.IsError()) {
        throw YYJSONParser::ParseError::readFailed(
            result.Code(), rapidjson::GetParseError_En(result.Code()), result.Offset());
    }
    // The reader takes a NUL byte for the end of input; anything after one is still content
    // after the root value.
    if (stoppedAt != bytes.size()) {
        constexpr auto code = rapidjson::kParseErrorDocumentRootNotSingular;
        throw YYJSONParser::ParseError::readFailed(code, rapidjson::GetParseError_En(code),
                                                   stoppedAt);
    }
    return builder.takeRoot();
}

}  // namespace

Config readJSON(std::string_view bytes, JSONDialect dialect) {
    if (bytes.empty()) {
        throw YYJSONParser::ParseError::readFailed(0, "empty data", 0);
    }
    constexpr unsigned common =
        rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
    if (dialect == JSONDialect::loader) {
        return read<common | rapidjson::kParseNanAndInfFlag>(bytes, dialect);
    }
    return read<common>(bytes, dialect);
}

}  // namespace detail

}  // namespace hub
