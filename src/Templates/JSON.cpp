#include "templates/JSON.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "NumberText.h"
#include "templates/TemplateError.h"

namespace templates {

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

void appendEscape(std::string& out, std::uint32_t codeUnit) {
    out.append("\\u");
    for (int shift = 12; shift >= 0; shift -= 4) {
        out.push_back(hexDigits[(codeUnit >> shift) & 0xF]);
    }
}

// The bytes a JSON string holds as they are: printable ASCII other than the quote and the
// backslash.
constexpr auto plainBytes = [] {
    std::array<bool, 256> plain{};
    for (int byte = 0x20; byte < 0x7F; ++byte) {
        plain[static_cast<std::size_t>(byte)] = byte != '"' && byte != '\\';
    }
    return plain;
}();

[[noreturn]] void tooLong(std::size_t maximumLength) {
    throw TemplateError::runtime("JSON text would exceed the limit of " +
                                 std::to_string(maximumLength) + " bytes");
}

// One dump: the options with the separators settled, and the text written so far.
class Writer {
public:
    Writer(const JSON::DumpsOptions& options, std::size_t maximumLength)
        : options_(options), maximumLength_(maximumLength) {
        if (options.separators) {
            itemSeparator_ = options.separators->item;
            keySeparator_ = options.separators->key;
        } else {
            itemSeparator_ = options.indent ? "," : ", ";
            keySeparator_ = ": ";
        }
    }

    std::string take() { return std::move(output_); }

    void write(const Value& value, std::size_t depth) {
        switch (value.kind()) {
            case Value::Kind::boolean:
                output_.append(value.asBool() ? "true" : "false");
                break;
            case Value::Kind::int_:
                numbertext::appendInt(output_, value.asInt());
                break;
            case Value::Kind::double_:
                numbertext::appendJSONDouble(output_, value.asDouble());
                break;
            case Value::Kind::string:
                writeString(value.asString());
                break;
            case Value::Kind::null:
                output_.append("null");
                break;
            case Value::Kind::array:
                writeArray(value.asArray(), depth);
                break;
            case Value::Kind::object:
                writeObject(value.asObject(), depth);
                break;
            case Value::Kind::undefined:
                throw TemplateError::runtime("Object of type Undefined is not JSON serializable");
            case Value::Kind::function:
                throw TemplateError::runtime("Object of type function is not JSON serializable");
            case Value::Kind::macro:
                throw TemplateError::runtime("Object of type macro is not JSON serializable");
        }
        checkLength();
    }

    void writeString(std::string_view text) {
        output_.push_back('"');
        const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
        const auto length = static_cast<std::int32_t>(text.size());
        std::int32_t i = 0;
        while (i < length) {
            const std::uint8_t byte = s[i];
            if (plainBytes[byte]) {
                // Runs of plain ASCII are copied whole.
                std::int32_t end = i + 1;
                while (end < length && plainBytes[s[end]]) {
                    ++end;
                }
                output_.append(
                    text.substr(static_cast<std::size_t>(i), static_cast<std::size_t>(end - i)));
                i = end;
                continue;
            }
            const std::int32_t start = i;
            UChar32 scalar;
            U8_NEXT(s, i, length, scalar);
            if (scalar < 0) {
                scalar = 0xFFFD;
            }
            writeScalar(
                static_cast<std::uint32_t>(scalar),
                text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
        }
        output_.push_back('"');
    }

private:
    void writeScalar(std::uint32_t scalar, std::string_view encoded) {
        switch (scalar) {
            case '"':
                output_.append("\\\"");
                return;
            case '\\':
                output_.append("\\\\");
                return;
            case 0x08:
                output_.append("\\b");
                return;
            case 0x09:
                output_.append("\\t");
                return;
            case 0x0A:
                output_.append("\\n");
                return;
            case 0x0C:
                output_.append("\\f");
                return;
            case 0x0D:
                output_.append("\\r");
                return;
            default:
                break;
        }
        if (scalar < 0x20) {
            appendEscape(output_, scalar);
        } else if (scalar >= 0x7F && options_.ensureASCII) {
            if (scalar > 0xFFFF) {
                const std::uint32_t offset = scalar - 0x10000;
                appendEscape(output_, 0xD800 + (offset >> 10));
                appendEscape(output_, 0xDC00 + (offset & 0x3FF));
            } else {
                appendEscape(output_, scalar);
            }
        } else if (scalar == 0xFFFD && encoded != "\xEF\xBF\xBD") {
            output_.append("\xEF\xBF\xBD");  // an ill-formed sequence, replaced
        } else {
            output_.append(encoded);
        }
    }

    void newline(std::size_t level) {
        if (!options_.indent) {
            return;
        }
        const auto width = static_cast<std::size_t>(std::max<std::int64_t>(*options_.indent, 0));
        if (width != 0 &&
            level > (maximumLength_ - std::min(maximumLength_, output_.size())) / width) {
            tooLong(maximumLength_);
        }
        output_.push_back('\n');
        output_.append(width * level, ' ');
    }

    void writeArray(const Value::Array& items, std::size_t depth) {
        if (items.empty()) {
            output_.append("[]");
            return;
        }
        output_.push_back('[');
        bool first = true;
        for (const Value& item : items) {
            if (!first) {
                output_.append(itemSeparator_);
            }
            first = false;
            newline(depth + 1);
            write(item, depth + 1);
        }
        newline(depth);
        output_.push_back(']');
    }

    void writeObject(const Value::Object& object, std::size_t depth) {
        if (object.empty()) {
            output_.append("{}");
            return;
        }
        output_.push_back('{');
        const auto writeEntry = [&](std::size_t i, bool first) {
            if (!first) {
                output_.append(itemSeparator_);
            }
            newline(depth + 1);
            const ObjectKey& key = object.keys()[i];
            if (key.isString()) {
                writeString(key.asString());
            } else {
                output_.push_back('"');
                numbertext::appendInt(output_, key.asInt());
                output_.push_back('"');
            }
            output_.append(keySeparator_);
            write(object.values()[i], depth + 1);
        };
        if (options_.sortKeys) {
            std::vector<std::size_t> order(object.size());
            for (std::size_t i = 0; i < order.size(); ++i) {
                order[i] = i;
            }
            sortKeys(object, order);
            for (std::size_t k = 0; k < order.size(); ++k) {
                writeEntry(order[k], k == 0);
            }
        } else {
            // Stored order: no order table to build.
            for (std::size_t i = 0; i < object.size(); ++i) {
                writeEntry(i, i == 0);
            }
        }
        newline(depth);
        output_.push_back('}');
    }

    static void sortKeys(const Value::Object& object, std::vector<std::size_t>& order) {
        const auto& keys = object.keys();
        const bool anyInt =
            std::any_of(keys.begin(), keys.end(), [](const ObjectKey& key) { return key.isInt(); });
        const bool anyString = std::any_of(keys.begin(), keys.end(),
                                           [](const ObjectKey& key) { return key.isString(); });
        if (anyInt && anyString) {
            throw TemplateError::runtime("json.dumps cannot sort mixed integer and string keys");
        }
        // Texts by their scalars as written, which UTF-8 byte order is; no normalisation.
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return anyInt ? keys[a].asInt() < keys[b].asInt()
                          : keys[a].asString() < keys[b].asString();
        });
    }

    void checkLength() const {
        if (output_.size() > maximumLength_) {
            tooLong(maximumLength_);
        }
    }

    const JSON::DumpsOptions& options_;
    std::size_t maximumLength_;
    std::string itemSeparator_;
    std::string keySeparator_;
    std::string output_;
};

}  // namespace

JSON::Serializer JSON::Serializer::custom(CustomFunction function) {
    return Serializer(Kind::custom, std::move(function));
}

std::string JSON::Serializer::dumps(const Value& value, const DumpsOptions& options,
                                    std::size_t maximumLength) const {
    switch (kind_) {
        case Kind::custom:
            return custom_(value, options);
        case Kind::htmlSafe:
            return JSON::htmlSafeDumps(value, options, maximumLength);
        case Kind::standard:
            break;
    }
    return JSON::dumps(value, options, maximumLength);
}

std::string JSON::dumps(const Value& value, const DumpsOptions& options,
                        std::size_t maximumLength) {
    Writer writer(options, maximumLength);
    writer.write(value, 0);
    return writer.take();
}

std::string JSON::htmlSafeDumps(const Value& value, const DumpsOptions& options,
                                std::size_t maximumLength) {
    const std::string text = dumps(value, options, maximumLength);
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '<':
                out.append("\\u003c");
                break;
            case '>':
                out.append("\\u003e");
                break;
            case '&':
                out.append("\\u0026");
                break;
            case '\'':
                out.append("\\u0027");
                break;
            default:
                out.push_back(c);
        }
    }
    if (out.size() > maximumLength) {
        tooLong(maximumLength);
    }
    return out;
}

std::string JSON::pythonRepr(double value) {
    std::string out;
    numbertext::appendJSONDouble(out, value);
    return out;
}

}  // namespace templates
