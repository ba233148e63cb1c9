#include "rararozuvu/results/DecodingOptions.h"

#include "JSONCoding.h"
#include "rararozuvu/results/DecodingError.h"

namespace rararozuvu {

namespace {

constexpr std::string_view transcribeKey = "transcribe";
constexpr std::string_view translateKey = "translate";

DecodingTask readTask(const json::Value& value) {
    const json::ObjectReader object(value, "DecodingTask");
    const bool transcribe = object.contains(transcribeKey);
    const bool translate = object.contains(translateKey);
    if (transcribe == translate) {
        throw DecodingError(DecodingError::Kind::typeMismatch,
                            "Invalid number of keys found, expected one.");
    }
    // The case's payload object is empty; only its kind is checked.
    json::ObjectReader(object.object()[transcribe ? "transcribe" : "translate"],
                       "a keyed container");
    return transcribe ? DecodingTask::transcribe : DecodingTask::translate;
}

void writeTask(json::Writer& writer, DecodingTask task) {
    writer.startObject();
    writer.key(description(task));
    writer.startObject();
    writer.endObject();
    writer.endObject();
}

ChunkingStrategy readChunkingStrategy(const json::Value& value) {
    const std::string raw = json::readString(value);
    if (const auto strategy = chunkingStrategyFromRawValue(raw)) {
        return *strategy;
    }
    throw DecodingError(DecodingError::Kind::dataCorrupted,
                        "Cannot initialize ChunkingStrategy from invalid String value " + raw);
}

template <class T, class Read>
std::optional<T> optionalField(const json::ObjectReader& object, std::string_view key, Read read) {
    if (const json::Value* value = object.optional(key)) {
        return read(*value);
    }
    return std::nullopt;
}

}  // namespace

std::string_view description(DecodingTask task) {
    return task == DecodingTask::translate ? translateKey : transcribeKey;
}

std::string toJson(DecodingTask task) {
    json::Writer writer;
    writeTask(writer, task);
    return writer.text();
}

DecodingTask decodingTaskFromJson(std::string_view text) {
    return readTask(json::parse(text));
}

std::string_view rawValue(ChunkingStrategy strategy) {
    return strategy == ChunkingStrategy::vad ? "vad" : "none";
}

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view raw) {
    for (ChunkingStrategy strategy : allChunkingStrategies) {
        if (rawValue(strategy) == raw) {
            return strategy;
        }
    }
    return std::nullopt;
}

DecodingOptions::DecodingOptions(Parameters p)
    : verbose(p.verbose),
      task(p.task),
      language(std::move(p.language)),
      temperature(p.temperature),
      temperatureIncrementOnFallback(p.temperatureIncrementOnFallback),
      temperatureFallbackCount(p.temperatureFallbackCount),
      sampleLength(p.sampleLength),
      topK(p.topK),
      usePrefillPrompt(p.usePrefillPrompt),
      usePrefillCache(p.usePrefillCache),
      detectLanguage(p.detectLanguage.value_or(!p.usePrefillPrompt)),
      skipSpecialTokens(p.skipSpecialTokens),
      withoutTimestamps(p.withoutTimestamps),
      wordTimestamps(p.wordTimestamps),
      maxInitialTimestamp(p.maxInitialTimestamp),
      maxWindowSeek(p.maxWindowSeek),
      clipTimestamps(std::move(p.clipTimestamps)),
      windowClipTime(p.windowClipTime),
      promptTokens(std::move(p.promptTokens)),
      prefixTokens(std::move(p.prefixTokens)),
      suppressBlank(p.suppressBlank),
      supressTokens(std::move(p.supressTokens).value_or(std::vector<std::int64_t>{})),
      compressionRatioThreshold(p.compressionRatioThreshold),
      logProbThreshold(p.logProbThreshold),
      firstTokenLogProbThreshold(p.firstTokenLogProbThreshold),
      noSpeechThreshold(p.noSpeechThreshold),
      concurrentWorkerCount(p.concurrentWorkerCount.value_or(16)),
      chunkingStrategy(p.chunkingStrategy) {}

std::string DecodingOptions::toJson() const {
    json::Writer w;
    w.startObject();
    w.field("verbose", verbose);
    w.key("task");
    writeTask(w, task);
    w.optionalField("language", language);
    w.field("temperature", temperature);
    w.field("temperatureIncrementOnFallback", temperatureIncrementOnFallback);
    w.field("temperatureFallbackCount", temperatureFallbackCount);
    w.field("sampleLength", sampleLength);
    w.field("topK", topK);
    w.field("usePrefillPrompt", usePrefillPrompt);
    w.field("usePrefillCache", usePrefillCache);
    w.field("detectLanguage", detectLanguage);
    w.field("skipSpecialTokens", skipSpecialTokens);
    w.field("withoutTimestamps", withoutTimestamps);
    w.field("wordTimestamps", wordTimestamps);
    w.optionalField("maxInitialTimestamp", maxInitialTimestamp);
    w.optionalField("maxWindowSeek", maxWindowSeek);
    w.field("clipTimestamps", clipTimestamps);
    w.field("windowClipTime", windowClipTime);
    w.optionalField("promptTokens", promptTokens);
    w.optionalField("prefixTokens", prefixTokens);
    w.field("suppressBlank", suppressBlank);
    w.field("supressTokens", supressTokens);
    w.optionalField("compressionRatioThreshold", compressionRatioThreshold);
    w.optionalField("logProbThreshold", logProbThreshold);
    w.optionalField("firstTokenLogProbThreshold", firstTokenLogProbThreshold);
    w.optionalField("noSpeechThreshold", noSpeechThreshold);
    w.field("concurrentWorkerCount", concurrentWorkerCount);
    if (chunkingStrategy) {
        w.field("chunkingStrategy", rawValue(*chunkingStrategy));
    }
    w.endObject();
    return w.text();
}

DecodingOptions DecodingOptions::fromJson(std::string_view text) {
    const rapidjson::Document document = json::parse(text);
    const json::ObjectReader o(document, "DecodingOptions");
    // Fields are read in declaration order, so the first failing field is the one reported.
    DecodingOptions options;
    options.verbose = json::readBool(o.required("verbose"));
    options.task = readTask(o.required("task"));
    options.language = optionalField<std::string>(o, "language", json::readString);
    options.temperature = json::readFloat(o.required("temperature"));
    options.temperatureIncrementOnFallback =
        json::readFloat(o.required("temperatureIncrementOnFallback"));
    options.temperatureFallbackCount = json::readInt(o.required("temperatureFallbackCount"));
    options.sampleLength = json::readInt(o.required("sampleLength"));
    options.topK = json::readInt(o.required("topK"));
    options.usePrefillPrompt = json::readBool(o.required("usePrefillPrompt"));
    options.usePrefillCache = json::readBool(o.required("usePrefillCache"));
    options.detectLanguage = json::readBool(o.required("detectLanguage"));
    options.skipSpecialTokens = json::readBool(o.required("skipSpecialTokens"));
    options.withoutTimestamps = json::readBool(o.required("withoutTimestamps"));
    options.wordTimestamps = json::readBool(o.required("wordTimestamps"));
    options.maxInitialTimestamp = optionalField<float>(o, "maxInitialTimestamp", json::readFloat);
    options.maxWindowSeek = optionalField<std::int64_t>(o, "maxWindowSeek", json::readInt);
    options.clipTimestamps = json::readFloats(o.required("clipTimestamps"));
    options.windowClipTime = json::readFloat(o.required("windowClipTime"));
    options.promptTokens =
        optionalField<std::vector<std::int64_t>>(o, "promptTokens", json::readInts);
    options.prefixTokens =
        optionalField<std::vector<std::int64_t>>(o, "prefixTokens", json::readInts);
    options.suppressBlank = json::readBool(o.required("suppressBlank"));
    options.supressTokens = json::readInts(o.required("supressTokens"));
    options.compressionRatioThreshold =
        optionalField<float>(o, "compressionRatioThreshold", json::readFloat);
    options.logProbThreshold = optionalField<float>(o, "logProbThreshold", json::readFloat);
    options.firstTokenLogProbThreshold =
        optionalField<float>(o, "firstTokenLogProbThreshold", json::readFloat);
    options.noSpeechThreshold = optionalField<float>(o, "noSpeechThreshold", json::readFloat);
    options.concurrentWorkerCount = json::readInt(o.required("concurrentWorkerCount"));
    options.chunkingStrategy =
        optionalField<ChunkingStrategy>(o, "chunkingStrategy", readChunkingStrategy);
    return options;
}

}  // namespace rararozuvu
