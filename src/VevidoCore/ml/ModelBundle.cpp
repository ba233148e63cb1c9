#include "ml/ModelBundle.h"

#include <fmt/format.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <fstream>
#include <set>
#include <sstream>

#include "ml/ModelError.h"
#include "vevidocore/JSONReading.h"

namespace ml {

namespace {

using Json = rapidjson::Value;

class Reader {
public:
    explicit Reader(std::filesystem::path file) : file_(std::move(file)) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw ModelError(ModelError::Case::io, fmt::format("{}: {}", file_.string(), what));
    }

    const Json& member(const Json& object, const char* key, std::string_view where) const {
        const auto it = object.FindMember(key);
        if (it == object.MemberEnd())
            fail(fmt::format("{} has no \"{}\"", where, key));
        return it->value;
    }

    std::string string(const Json& object, const char* key, std::string_view where) const {
        const Json& v = member(object, key, where);
        if (!v.IsString())
            fail(fmt::format("\"{}\" of {} is not a text", key, where));
        return {v.GetString(), v.GetStringLength()};
    }

    HyperParameters::Value hyperParameter(const Json& v, std::string_view name) const {
        if (v.IsBool())
            return v.GetBool();
        if (v.IsInt64())
            return v.GetInt64();
        if (v.IsNumber())
            return v.GetDouble();
        if (v.IsString())
            return std::string(v.GetString(), v.GetStringLength());
        if (v.IsArray()) {
            if (v.Empty() || v[0].IsArray()) {
                HyperParameters::IntegerRows rows;
                for (const Json& row : v.GetArray())
                    rows.push_back(integers(row, name));
                return rows;
            }
            return integers(v, name);
        }
        fail(fmt::format("hyper-parameter \"{}\" has a value of an unsupported kind", name));
    }

    std::vector<std::int64_t> integers(const Json& v, std::string_view name) const {
        if (!v.IsArray())
            fail(fmt::format("\"{}\" is not a list of integers", name));
        std::vector<std::int64_t> out;
        for (const Json& x : v.GetArray()) {
            if (!x.IsInt64())
                fail(fmt::format("\"{}\" is not a list of integers", name));
            out.push_back(x.GetInt64());
        }
        return out;
    }

    std::vector<FeatureDescription> features(const Json& doc, const char* key) const {
        const Json& list = member(doc, key, "the description");
        if (!list.IsArray())
            fail(fmt::format("\"{}\" is not a list", key));
        std::vector<FeatureDescription> out;
        std::set<std::string> names;
        for (const Json& f : list.GetArray()) {
            if (!f.IsObject())
                fail(fmt::format("an entry of \"{}\" is not an object", key));
            FeatureDescription d;
            d.name = string(f, "name", fmt::format("an entry of \"{}\"", key));
            const std::string where = fmt::format("feature \"{}\"", d.name);
            if (!names.insert(d.name).second)
                fail(fmt::format("{} is declared twice", where));
            const std::string type = string(f, "type", where);
            const auto t = featureTypeNamed(type);
            if (!t)
                fail(fmt::format("{} has the unknown type \"{}\"", where, type));
            d.type = *t;
            if (const auto it = f.FindMember("optional"); it != f.MemberEnd()) {
                if (!it->value.IsBool())
                    fail(fmt::format("\"optional\" of {} is not a boolean", where));
                d.isOptional = it->value.GetBool();
            }
            if (d.type == FeatureType::multiArray) {
                MultiArrayConstraint c;
                const std::string dataType = string(f, "dataType", where);
                const auto dt = dataTypeNamed(dataType);
                if (!dt)
                    fail(fmt::format("{} has the unknown data type \"{}\"", where, dataType));
                c.dataType = *dt;
                c.shape = integers(member(f, "shape", where), where + " shape");
                if (c.shape.empty())
                    fail(fmt::format("{} has an empty shape", where));
                for (std::int64_t dim : c.shape) {
                    if (dim < 1) {
                        fail(fmt::format("{} has the shape {}; every dimension must be positive",
                                         where, shapeText(c.shape)));
                    }
                }
                d.multiArrayConstraint = std::move(c);
            }
            out.push_back(std::move(d));
        }
        return out;
    }

private:
    std::filesystem::path file_;
};

std::string readWholeFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw ModelError(ModelError::Case::io, fmt::format("{}: cannot be opened", file.string()));
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw ModelError(ModelError::Case::io, fmt::format("{}: cannot be read", file.string()));
    }
    return std::move(text).str();
}

template <class Writer>
void writeIntegers(Writer& w, const std::vector<std::int64_t>& values) {
    w.StartArray();
    for (std::int64_t v : values)
        w.Int64(v);
    w.EndArray();
}

template <class Writer>
void writeFeatures(Writer& w, const char* key, const std::vector<FeatureDescription>& features) {
    w.Key(key);
    w.StartArray();
    for (const FeatureDescription& f : features) {
        w.StartObject();
        w.Key("name");
        w.String(f.name.c_str(), static_cast<rapidjson::SizeType>(f.name.size()));
        w.Key("type");
        const std::string_view type = featureTypeName(f.type);
        w.String(type.data(), static_cast<rapidjson::SizeType>(type.size()));
        if (f.multiArrayConstraint) {
            w.Key("dataType");
            const std::string_view dt = dataTypeName(f.multiArrayConstraint->dataType);
            w.String(dt.data(), static_cast<rapidjson::SizeType>(dt.size()));
            w.Key("shape");
            writeIntegers(w, f.multiArrayConstraint->shape);
        }
        if (f.isOptional) {
            w.Key("optional");
            w.Bool(true);
        }
        w.EndObject();
    }
    w.EndArray();
}

}  // namespace

ModelBundle ModelBundle::read(const std::filesystem::path& folder) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        throw ModelError(ModelError::Case::io,
                         fmt::format("{}: no compiled model folder here", folder.string()));
    }
    const std::filesystem::path file = folder / descriptionFileName;
    const std::string text = readWholeFile(file);
    Reader r(file);

    rapidjson::Document doc;
    constexpr unsigned kFlags = rapidjson::kParseNanAndInfFlag |
                                rapidjson::kParseValidateEncodingFlag |
                                rapidjson::kParseIterativeFlag;
    const rapidjson::ParseResult parsed = vevidocore::json::parse<kFlags>(doc, text);
    if (parsed.IsError()) {
        r.fail(fmt::format("malformed JSON at offset {}: {}", parsed.Offset(),
                           rapidjson::GetParseError_En(parsed.Code())));
    }
    if (!doc.IsObject())
        r.fail("the description is not a JSON object");
    if (r.string(doc, "format", "the description") != format) {
        r.fail(fmt::format("\"format\" is not \"{}\"", format));
    }
    const Json& version = r.member(doc, "formatVersion", "the description");
    if (!version.IsInt() || version.GetInt() != formatVersion) {
        r.fail(fmt::format("only \"formatVersion\" {} can be read", formatVersion));
    }

    ModelBundle bundle;
    // Read through const iterators: rapidjson's mixed const/non-const comparisons are ambiguous
    // in C++20.
    const Json& root = doc;
    bundle.program = r.string(doc, "program", "the description");
    if (const auto it = root.FindMember("hyperParameters"); it != root.MemberEnd()) {
        if (!it->value.IsObject())
            r.fail("\"hyperParameters\" is not an object");
        for (const auto& m : it->value.GetObject()) {
            const std::string name(m.name.GetString(), m.name.GetStringLength());
            bundle.hyperParameters.set(name, r.hyperParameter(m.value, name));
        }
    }
    bundle.description.inputs = r.features(doc, "inputs");
    bundle.description.outputs = r.features(doc, "outputs");
    if (const auto it = root.FindMember("metadata"); it != root.MemberEnd()) {
        if (!it->value.IsObject())
            r.fail("\"metadata\" is not an object");
        for (const auto& m : it->value.GetObject()) {
            if (!m.value.IsString())
                r.fail("\"metadata\" holds a value that is not a text");
            bundle.description.metadata.emplace(
                std::string(m.name.GetString(), m.name.GetStringLength()),
                std::string(m.value.GetString(), m.value.GetStringLength()));
        }
    }
    if (doc.HasMember("weights")) {
        bundle.weights = r.string(doc, "weights", "the description");
        const std::filesystem::path name(*bundle.weights);
        if (bundle.weights->empty() || name.has_parent_path() || name == "." || name == "..") {
            r.fail(fmt::format("\"weights\" must name a file inside the folder, not \"{}\"",
                               *bundle.weights));
        }
    }
    return bundle;
}

void ModelBundle::write(const std::filesystem::path& folder) const {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
    w.SetIndent(' ', 2);
    w.SetFormatOptions(rapidjson::kFormatSingleLineArray);
    w.StartObject();
    w.Key("format");
    w.String(format);
    w.Key("formatVersion");
    w.Int(formatVersion);
    w.Key("program");
    w.String(program.c_str(), static_cast<rapidjson::SizeType>(program.size()));
    w.Key("hyperParameters");
    w.StartObject();
    for (const auto& [name, value] : hyperParameters.values()) {
        w.Key(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
        std::visit(
            [&w](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, bool>) {
                    w.Bool(v);
                } else if constexpr (std::is_same_v<T, std::int64_t>) {
                    w.Int64(v);
                } else if constexpr (std::is_same_v<T, double>) {
                    w.Double(v);
                } else if constexpr (std::is_same_v<T, std::string>) {
                    w.String(v.c_str(), static_cast<rapidjson::SizeType>(v.size()));
                } else if constexpr (std::is_same_v<T, HyperParameters::IntegerList>) {
                    writeIntegers(w, v);
                } else {
                    w.StartArray();
                    for (const auto& row : v)
                        writeIntegers(w, row);
                    w.EndArray();
                }
            },
            value);
    }
    w.EndObject();
    writeFeatures(w, "inputs", description.inputs);
    writeFeatures(w, "outputs", description.outputs);
    w.Key("metadata");
    w.StartObject();
    for (const auto& [key, value] : description.metadata) {
        w.Key(key.c_str(), static_cast<rapidjson::SizeType>(key.size()));
        w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    }
    w.EndObject();
    if (weights) {
        w.Key("weights");
        w.String(weights->c_str(), static_cast<rapidjson::SizeType>(weights->size()));
    }
    w.EndObject();

    // Written beside and renamed into place, so a failure never leaves half a description.
    const std::filesystem::path file = folder / descriptionFileName;
    const std::filesystem::path partial = folder / (std::string(descriptionFileName) + ".partial");
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(buffer.GetString(), static_cast<std::streamsize>(buffer.GetSize()));
        out.put('\n');
        if (!out.flush()) {
            throw ModelError(ModelError::Case::io,
                             fmt::format("{}: cannot be written", partial.string()));
        }
    }
    std::error_code ec;
    std::filesystem::rename(partial, file, ec);
    if (ec) {
        throw ModelError(ModelError::Case::io,
                         fmt::format("{}: cannot be written: {}", file.string(), ec.message()));
    }
}

}  // namespace ml
