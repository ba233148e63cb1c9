#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace templates::coding {

// The JSON document form the engine's types write themselves to and read themselves from:
// keyed objects, arrays and single values, with the coding path of every value (for example
// "statement._0.for._2[0]") so that a failure names where it happened.

// Reading a document failed: a value of another JSON type than wanted (typeMismatch, naming the
// type being read), a missing member (keyNotFound), null where a value is needed
// (valueNotFound), or contents that break a rule of the type (dataCorrupted).
class DecodingError : public std::exception {
public:
    enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

    DecodingError(Kind kind, std::string codingPath, std::string debugDescription,
                  std::string typeName = {});

    Kind kind() const noexcept { return kind_; }
    const std::string& codingPath() const noexcept { return codingPath_; }
    const std::string& debugDescription() const noexcept { return debugDescription_; }
    // The type a typeMismatch wanted; empty for the other kinds.
    const std::string& typeName() const noexcept { return typeName_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    Kind kind_;
    std::string codingPath_;
    std::string debugDescription_;
    std::string typeName_;
    std::string what_;
};

// Writing a value failed: the value has no form in the document (a non-finite number, a
// function, colliding keys).
class EncodingError : public std::exception {
public:
    EncodingError(std::string codingPath, std::string debugDescription);

    const std::string& codingPath() const noexcept { return codingPath_; }
    const std::string& debugDescription() const noexcept { return debugDescription_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string codingPath_;
    std::string debugDescription_;
    std::string what_;
};

// A streaming JSON writer that knows the coding path of what it writes.
class Writer {
public:
    Writer();
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void startObject();
    void endObject();
    void key(std::string_view name);
    void startArray();
    void endArray();

    void string(std::string_view text);
    void integer(std::int64_t value);
    // Throws EncodingError for infinities and NaN, which JSON cannot hold.
    void number(double value);
    void boolean(bool value);
    void null();

    std::string codingPath() const;
    // The document written so far.
    std::string text() const;

private:
    void beforeValue();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class Document;

// One value of a parsed document and its coding path. Cheap to copy; valid while its Document
// lives.
class Reader {
public:
    // Nesting deeper than this is refused as corrupted data: readers recurse per level.
    static constexpr int maximumDepth = 512;

    bool isNull() const;
    bool isObject() const;
    bool isArray() const;

    // Single values; a value of another type throws typeMismatch (valueNotFound for null).
    std::string string() const;
    // JSON numbers that are whole and within range also read as integers.
    std::int64_t integer() const;
    double number() const;
    bool boolean() const;

    // Throws typeMismatch naming `typeName` unless the value is an object.
    void expectObject(std::string_view typeName) const;
    // The member names of an object, in document order.
    std::vector<std::string> memberNames() const;
    // The member; missing throws keyNotFound.
    Reader member(std::string_view name) const;
    // Nothing when the member is missing or null.
    std::optional<Reader> optionalMember(std::string_view name) const;
    // The elements of an array; another type throws typeMismatch naming `typeName`.
    std::vector<Reader> elements(std::string_view typeName = "Array") const;

    const std::string& codingPath() const noexcept { return path_; }

private:
    friend class Document;
    Reader(const void* value, std::string path, int depth);
    [[noreturn]] void mismatch(std::string_view typeName) const;

    const void* value_;  // a rapidjson value, kept out of this header
    std::string path_;
    int depth_;
};

// A parsed JSON document. Text that is not JSON throws DecodingError (dataCorrupted).
class Document {
public:
    explicit Document(std::string_view json);
    ~Document();
    Document(Document&&) noexcept;
    Document& operator=(Document&&) noexcept;

    Reader root() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace templates::coding
