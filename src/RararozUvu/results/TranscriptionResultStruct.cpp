#include "rararozuvu/results/TranscriptionResultStruct.h"

#include "RecordCoding.h"

namespace rararozuvu {

namespace {

constexpr std::tuple kFields{
    json::field("text", &TranscriptionResultStruct::text),
    json::field("segments", &TranscriptionResultStruct::segments),
    json::field("language", &TranscriptionResultStruct::language),
    json::field("timings", &TranscriptionResultStruct::timings),
    json::field("seekTime", &TranscriptionResultStruct::seekTime),
};

}  // namespace

std::string TranscriptionResultStruct::toJson() const {
    return json::toJson(*this, kFields);
}

TranscriptionResultStruct TranscriptionResultStruct::fromJson(std::string_view text) {
    return json::fromJson<TranscriptionResultStruct>(text, "TranscriptionResultStruct", kFields);
}

}  // namespace rararozuvu
