#include "rararozuvu/results/TranscriptionResult.h"

#include <fmt/format.h>

#include <cmath>

#include "RecordCoding.h"
#include "vevidocore/Logging.h"

namespace rararozuvu {

namespace {

using vevidocore::Logging;

// printf-style fixed notation; an undefined value reads "nan" whatever its sign bit.
std::string fixed(double value, int places) {
    if (std::isnan(value)) {
        return "nan";
    }
    return fmt::format("{:.{}f}", value, places);
}

std::string timingReport(const TranscriptionTimings& t,
                         const std::vector<TranscriptionSegment>& segments) {
    const double full = std::max(t.decodingLoop, t.fullPipeline) * 1000;
    const auto stage = [full](double time, double runs) {
        return Logging::formatTimeWithPercentage(time, runs, full);
    };
    std::int64_t totalTokens = 0;
    for (const TranscriptionSegment& segment : segments) {
        totalTokens += static_cast<std::int64_t>(segment.tokens.size());
    }
    const double realTimeFactor = t.fullPipeline / t.inputAudioSeconds;
    std::string report;
    report += "---- Transcription Timings ----\nAudio Load:          " + stage(t.audioLoading, 1);
    report += "\nAudio Processing:    " + stage(t.audioProcessing, t.totalAudioProcessingRuns);
    report += "\nMels:                " + stage(t.logmels, t.totalLogmelRuns);
    report += "\nEncoding:            " + stage(t.encoding, t.totalEncodingRuns);
    report += "\nMatrices Init:       " + stage(t.decodingInit, 1);
    report += "\nPrefill:             " + stage(t.prefill, 1);
    report += "\nDecoding:            " + stage(t.decodingPredictions, t.totalDecodingLoops);
    report += "\nNon-inference:       " + stage(t.decodingNonPrediction, t.totalDecodingLoops);
    report += "\n- Logit Filtering:   " + stage(t.decodingFiltering, t.totalDecodingLoops);
    report += "\n- Sampling:          " + stage(t.decodingSampling, t.totalDecodingLoops);
    report += "\n- Kv Caching:        " + stage(t.decodingKvCaching, t.totalKVUpdateRuns);
    report +=
        "\n- Word Timestamps:   " + stage(t.decodingWordTimestamps, t.totalTimestampAlignmentRuns);
    report += "\n- Windowing:         " +
              stage(t.decodingWindowing - t.decodingWordTimestamps, t.totalDecodingWindows);
    report += "\nFallbacks:           " + stage(t.decodingFallback, t.totalDecodingFallbacks);
    report += "\nDecoding Full Loop:  " + stage(t.decodingLoop, t.totalDecodingLoops);
    report += "\n-------------------------------\nModel Load Time:               " +
              fixed(t.modelLoading, 2);
    report += " seconds\n- Prewarm:                     " + fixed(t.prewarmLoadTime, 2);
    report += " seconds\n- Encoder:                     " + fixed(t.encoderLoadTime, 2);
    report += " seconds\n- Decoder:                     " + fixed(t.decoderLoadTime, 2);
    report += " seconds\n- Tokenizer:                   " + fixed(t.tokenizerLoadTime, 2);
    report += " seconds\nInference Duration (Global):   " + fixed(t.fullPipeline, 2);
    report += " seconds\n- Decoding Loop (Avg/window):  " +
              fixed(t.decodingLoop / t.totalAudioProcessingRuns, 2);
    report += " seconds\n- Audio Windows:               " + fixed(t.totalAudioProcessingRuns, 2);
    report += "\nTime to first token:           " + fixed(t.firstTokenTime - t.pipelineStart, 2);
    report += " seconds\nTotal Tokens:                  " + std::to_string(totalTokens);
    report += "\nTokens per Second:             " + fixed(t.totalDecodingLoops / t.fullPipeline, 2);
    report += " tok/s\nReal Time Factor:              " + fixed(realTimeFactor, 3);
    report += "\nSpeed Factor:                  " + fixed(1 / realTimeFactor, 3);
    report += "\nFallbacks:                     " +
              vevidocore::detail::renderFloatingPoint(t.totalDecodingFallbacks);
    return report;
}

}  // namespace

TranscriptionResult::TranscriptionResult(std::string text,
                                         std::vector<TranscriptionSegment> segments,
                                         std::string language, TranscriptionTimings timings,
                                         std::optional<float> seekTime)
    : text_(std::move(text)),
      segments_(std::move(segments)),
      language_(std::move(language)),
      timings_(timings),
      seekTime_(seekTime) {}

void TranscriptionResult::logSegments() const {
    const std::vector<TranscriptionSegment> all = segments();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const TranscriptionSegment& s = all[i];
        Logging::debug(fmt::format("[Segment {}] [{} --> {}] {}", i, fixed(s.start, 2),
                                   fixed(s.end, 2), s.text));
    }
}

void TranscriptionResult::logTimings() const {
    // One copy of each field, so the lines of one report agree with each other.
    Logging::info(timingReport(timings(), segments()));
}

std::string TranscriptionResult::toJson() const {
    json::Writer writer;
    writer.startObject();
    writer.key("text");
    text_.withValue([&](const std::string& text) { writer.value(text); });
    writer.key("segments");
    segments_.withValue(
        [&](const std::vector<TranscriptionSegment>& segments) { json::write(writer, segments); });
    writer.key("language");
    language_.withValue([&](const std::string& language) { writer.value(language); });
    writer.key("timings");
    timings_.withValue([&](const TranscriptionTimings& timings) { json::write(writer, timings); });
    writer.key("seekTime");
    seekTime_.withValue([&](const std::optional<float>& seekTime) {
        if (seekTime) {
            writer.value(*seekTime);
        } else {
            writer.null();
        }
    });
    writer.endObject();
    return writer.text();
}

std::shared_ptr<TranscriptionResult> TranscriptionResult::fromJson(std::string_view text) {
    const rapidjson::Document document = json::parse(text);
    const json::ObjectReader o(document, "TranscriptionResult");
    std::string resultText = json::readString(o.required("text"));
    std::vector<TranscriptionSegment> segments = json::readSegments(o.required("segments"));
    std::string language = json::readString(o.required("language"));
    const TranscriptionTimings timings = json::readTimings(o.required("timings"));
    // The key must be there, though its value may be null.
    if (!o.contains("seekTime")) {
        o.required("seekTime");
    }
    std::optional<float> seekTime;
    if (const json::Value* value = o.optional("seekTime")) {
        seekTime = json::readFloat(*value);
    }
    return std::make_shared<TranscriptionResult>(std::move(resultText), std::move(segments),
                                                 std::move(language), timings, seekTime);
}

std::vector<WordTiming> TranscriptionResult::allWords() const {
    std::vector<WordTiming> words;
    for (const TranscriptionSegment& segment : segments()) {
        if (segment.words) {
            words.insert(words.end(), segment.words->begin(), segment.words->end());
        }
    }
    return words;
}

}  // namespace rararozuvu
