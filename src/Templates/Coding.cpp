#include "templates/Coding.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <limits>
#include <utility>

namespace templates::coding {

namespace {

std::string describePath(const std::string& path) {
    return path.empty() ? "<root>" : path;
}

}  // namespace

DecodingError::DecodingError(Kind kind, std::string codingPath, std::string debugDescription,
                             std::string typeName)
    : kind_(kind),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)),
      typeName_(std::move(typeName)),
      what_(debugDescription_ + " (at " + describePath(codingPath_) + ")") {}

EncodingError::EncodingError(std::string codingPath, std::string debugDescription)
    : codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)),
      what_(debugDescription_ + " (at " + describePath(codingPath_) + ")") {}

// ---- Writer ----

struct Writer::Impl {
    struct Frame {
        bool array;
        std::size_t count = 0;
        std::string key;
    };
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer{buffer};
    std::vector<Frame> frames;
};

Writer::Writer() : impl_(std::make_unique<Impl>()) {}
Writer::~Writer() = default;

void Writer::beforeValue() {
    if (!impl_->frames.empty() && impl_->frames.back().array) {
        ++impl_->frames.back().count;
    }
}

void Writer::startObject() {
    beforeValue();
    impl_->writer.StartObject();
    impl_->frames.push_back({false});
}
void Writer::endObject() {
    impl_->writer.EndObject();
    impl_->frames.pop_back();
}
void Writer::key(std::string_view name) {
    impl_->frames.back().key = std::string(name);
    impl_->writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()), true);
}
void Writer::startArray() {
    beforeValue();
    impl_->writer.StartArray();
    impl_->frames.push_back({true});
}
void Writer::endArray() {
    impl_->writer.EndArray();
    impl_->frames.pop_back();
}

void Writer::string(std::string_view text) {
    beforeValue();
    impl_->writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
}
void Writer::integer(std::int64_t value) {
    beforeValue();
    impl_->writer.Int64(value);
}
void Writer::number(double value) {
    if (!std::isfinite(value)) {
        beforeValue();
        std::string path = codingPath();
        throw EncodingError(std::move(path), "Unable to encode Double." +
                                                 std::string(std::isnan(value) ? "nan" : "inf") +
                                                 " directly in JSON.");
    }
    beforeValue();
    impl_->writer.Double(value);
}
void Writer::boolean(bool value) {
    beforeValue();
    impl_->writer.Bool(value);
}
void Writer::null() {
    beforeValue();
    impl_->writer.Null();
}

std::string Writer::codingPath() const {
    std::string path;
    for (const Impl::Frame& frame : impl_->frames) {
        if (frame.array) {
            path += "[" + std::to_string(frame.count == 0 ? 0 : frame.count - 1) + "]";
        } else if (!frame.key.empty()) {
            if (!path.empty()) {
                path += '.';
            }
            path += frame.key;
        }
    }
    return path;
}

std::string Writer::text() const {
    return std::string(impl_->buffer.GetString(), impl_->buffer.GetSize());
}

// ---- Reader ----

namespace {

const rapidjson::Value& json(const void* value) {
    return *static_cast<const rapidjson::Value*>(value);
}

}  // namespace

Reader::Reader(const void* value, std::string path, int depth)
    : value_(value), path_(std::move(path)), depth_(depth) {
    if (depth_ > maximumDepth) {
        throw DecodingError(
            DecodingError::Kind::dataCorrupted, path_,
            "The document is nested more than " + std::to_string(maximumDepth) + " levels deep.");
    }
}

void Reader::mismatch(std::string_view typeName) const {
    if (isNull()) {
        throw DecodingError(DecodingError::Kind::valueNotFound, path_,
                            "Expected " + std::string(typeName) + " value but found null instead.",
                            std::string(typeName));
    }
    throw DecodingError(
        DecodingError::Kind::typeMismatch, path_,
        "Expected to decode " + std::string(typeName) + " but found another kind of value instead.",
        std::string(typeName));
}

bool Reader::isNull() const {
    return json(value_).IsNull();
}
bool Reader::isObject() const {
    return json(value_).IsObject();
}
bool Reader::isArray() const {
    return json(value_).IsArray();
}

std::string Reader::string() const {
    const auto& v = json(value_);
    if (!v.IsString()) {
        mismatch("String");
    }
    return std::string(v.GetString(), v.GetStringLength());
}

std::int64_t Reader::integer() const {
    const auto& v = json(value_);
    if (v.IsInt64()) {
        return v.GetInt64();
    }
    if (v.IsDouble()) {
        const double d = v.GetDouble();
        // 2^63 itself does not fit, hence the strict upper bound.
        if (d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            return static_cast<std::int64_t>(d);
        }
    }
    if (v.IsNumber()) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, path_,
                            "Number does not fit in Int64.");
    }
    mismatch("Int64");
}

double Reader::number() const {
    const auto& v = json(value_);
    if (!v.IsNumber()) {
        mismatch("Double");
    }
    return v.GetDouble();
}

bool Reader::boolean() const {
    const auto& v = json(value_);
    if (!v.IsBool()) {
        mismatch("Bool");
    }
    return v.GetBool();
}

void Reader::expectObject(std::string_view typeName) const {
    if (!isObject()) {
        mismatch(typeName);
    }
}

std::vector<std::string> Reader::memberNames() const {
    expectObject("Dictionary");
    std::vector<std::string> names;
    for (const auto& m : json(value_).GetObject()) {
        names.emplace_back(m.name.GetString(), m.name.GetStringLength());
    }
    return names;
}

namespace {

std::string childPath(const std::string& path, std::string_view name) {
    return path.empty() ? std::string(name) : path + "." + std::string(name);
}

}  // namespace

Reader Reader::member(std::string_view name) const {
    expectObject("Dictionary");
    const auto& object = json(value_);
    const auto found =
        object.FindMember(rapidjson::Value(rapidjson::StringRef(name.data(), name.size())));
    if (found == object.MemberEnd()) {
        throw DecodingError(DecodingError::Kind::keyNotFound, path_,
                            "No value associated with key \"" + std::string(name) + "\".");
    }
    return Reader(&found->value, childPath(path_, name), depth_ + 1);
}

std::optional<Reader> Reader::optionalMember(std::string_view name) const {
    expectObject("Dictionary");
    const auto& object = json(value_);
    const auto found =
        object.FindMember(rapidjson::Value(rapidjson::StringRef(name.data(), name.size())));
    if (found == object.MemberEnd() || found->value.IsNull()) {
        return std::nullopt;
    }
    return Reader(&found->value, childPath(path_, name), depth_ + 1);
}

std::vector<Reader> Reader::elements(std::string_view typeName) const {
    if (!isArray()) {
        mismatch(typeName);
    }
    std::vector<Reader> items;
    const auto array = json(value_).GetArray();
    items.reserve(array.Size());
    for (rapidjson::SizeType i = 0; i < array.Size(); ++i) {
        items.push_back(Reader(&array[i], path_ + "[" + std::to_string(i) + "]", depth_ + 1));
    }
    return items;
}

// ---- Document ----

struct Document::Impl {
    rapidjson::Document document;
};

Document::Document(std::string_view text) : impl_(std::make_unique<Impl>()) {
    // Iterative parsing: a hostile document cannot exhaust the stack however deep it nests.
    impl_->document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag>(
        text.data(), text.size());
    if (impl_->document.HasParseError()) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, "",
                            std::string("The given data was not valid JSON: ") +
                                rapidjson::GetParseError_En(impl_->document.GetParseError()) +
                                " at offset " + std::to_string(impl_->document.GetErrorOffset()) +
                                ".");
    }
}

Document::~Document() = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;

Reader Document::root() const {
    return Reader(static_cast<const rapidjson::Value*>(&impl_->document), "", 0);
}

}  // namespace templates::coding
