#include "rararozuvu/results/TranscriptionTimings.h"

#include <chrono>
#include <string_view>
#include <utility>

#include "RecordCoding.h"

namespace rararozuvu {

namespace {

using T = TranscriptionTimings;

// The JSON keys, which are also the field names, in declaration order.
constexpr std::pair<std::string_view, double T::*> fields[] = {
    {"pipelineStart", &T::pipelineStart},
    {"firstTokenTime", &T::firstTokenTime},
    {"inputAudioSeconds", &T::inputAudioSeconds},
    {"modelLoading", &T::modelLoading},
    {"prewarmLoadTime", &T::prewarmLoadTime},
    {"encoderLoadTime", &T::encoderLoadTime},
    {"decoderLoadTime", &T::decoderLoadTime},
    {"encoderSpecializationTime", &T::encoderSpecializationTime},
    {"decoderSpecializationTime", &T::decoderSpecializationTime},
    {"tokenizerLoadTime", &T::tokenizerLoadTime},
    {"audioLoading", &T::audioLoading},
    {"audioProcessing", &T::audioProcessing},
    {"logmels", &T::logmels},
    {"encoding", &T::encoding},
    {"prefill", &T::prefill},
    {"decodingInit", &T::decodingInit},
    {"decodingLoop", &T::decodingLoop},
    {"decodingPredictions", &T::decodingPredictions},
    {"decodingFiltering", &T::decodingFiltering},
    {"decodingSampling", &T::decodingSampling},
    {"decodingFallback", &T::decodingFallback},
    {"decodingWindowing", &T::decodingWindowing},
    {"decodingKvCaching", &T::decodingKvCaching},
    {"decodingWordTimestamps", &T::decodingWordTimestamps},
    {"decodingNonPrediction", &T::decodingNonPrediction},
    {"totalAudioProcessingRuns", &T::totalAudioProcessingRuns},
    {"totalLogmelRuns", &T::totalLogmelRuns},
    {"totalEncodingRuns", &T::totalEncodingRuns},
    {"totalDecodingLoops", &T::totalDecodingLoops},
    {"totalKVUpdateRuns", &T::totalKVUpdateRuns},
    {"totalTimestampAlignmentRuns", &T::totalTimestampAlignmentRuns},
    {"totalDecodingFallbacks", &T::totalDecodingFallbacks},
    {"totalDecodingWindows", &T::totalDecodingWindows},
    {"fullPipeline", &T::fullPipeline},
};
static_assert(std::size(fields) == 34);

}  // namespace

double TranscriptionTimings::absoluteTime() {
    using namespace std::chrono;
    constexpr double referenceDateOffset = 978307200.0;  // 2001-01-01T00:00:00Z in Unix time
    struct Origin {
        steady_clock::time_point steady = steady_clock::now();
        double absolute =
            duration<double>(system_clock::now().time_since_epoch()).count() - referenceDateOffset;
    };
    static const Origin origin;
    return origin.absolute + duration<double>(steady_clock::now() - origin.steady).count();
}

std::string TranscriptionTimings::toJson() const {
    return json::encoded(*this);
}

TranscriptionTimings TranscriptionTimings::fromJson(std::string_view text) {
    return json::readTimings(json::parse(text));
}

void json::write(Writer& writer, const TranscriptionTimings& timings) {
    writer.startObject();
    for (const auto& [name, field] : fields) {
        writer.field(name, timings.*field);
    }
    writer.endObject();
}

TranscriptionTimings json::readTimings(const Value& value) {
    const ObjectReader object(value, "TranscriptionTimings");
    TranscriptionTimings timings;
    for (const auto& [name, field] : fields) {
        timings.*field = readDouble(object.required(name));
    }
    return timings;
}

}  // namespace rararozuvu
