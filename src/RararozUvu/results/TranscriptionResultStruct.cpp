#include "rararozuvu/results/TranscriptionResultStruct.h"

#include "RecordCoding.h"

namespace rararozuvu {

std::string TranscriptionResultStruct::toJson() const {
    json::Writer writer;
    writer.startObject();
    writer.field("text", text);
    writer.key("segments");
    json::write(writer, segments);
    writer.field("language", language);
    writer.key("timings");
    json::write(writer, timings);
    writer.optionalField("seekTime", seekTime);
    writer.endObject();
    return writer.text();
}

TranscriptionResultStruct TranscriptionResultStruct::fromJson(std::string_view text) {
    const rapidjson::Document document = json::parse(text);
    const json::ObjectReader o(document, "TranscriptionResultStruct");
    TranscriptionResultStruct result;
    result.text = json::readString(o.required("text"));
    result.segments = json::readSegments(o.required("segments"));
    result.language = json::readString(o.required("language"));
    result.timings = json::readTimings(o.required("timings"));
    if (const json::Value* value = o.optional("seekTime")) {
        result.seekTime = json::readFloat(*value);
    }
    return result;
}

}  // namespace rararozuvu
