#include "quillora/text/Transcriber.h"

#include <QStandardPaths>
#include <QtGlobal>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include "TextTrimming.h"
#include "tokenizers/Regex.h"
#include "vevidocore/CancellationError.h"
#include "vevidocore/Logging.h"

namespace quillora {

namespace fs = std::filesystem;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Application lines go to the Qt log, always as a value, never as the format.
void logLine(const std::string& line) {
    qInfo("%s", line.c_str());
}

tokenizers::Regex compiled(std::string_view pattern) {
    std::optional<tokenizers::Regex> regex = tokenizers::Regex::compile(pattern);
    if (!regex) {
        throw std::logic_error("bad built-in pattern " + std::string(pattern));
    }
    return *std::move(regex);
}

}  // namespace

Transcriber::TranscriberError::TranscriberError(Case c)
    : std::runtime_error("The speech model isn't loaded yet."), case_(c) {}

fs::path Transcriber::modelsDirectory() {
    const fs::path folder =
        fs::path(
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString()) /
        "Quillora" / "Models";
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    return folder;
}

rararozuvu::DecodingOptions Transcriber::decodingOptions() {
    return rararozuvu::DecodingOptions({
        .verbose = false,
        .task = rararozuvu::DecodingTask::transcribe,
        .language = std::nullopt,
        .temperature = 0.0f,
        .temperatureIncrementOnFallback = 0.2f,
        .temperatureFallbackCount = 5,
        .sampleLength = 224,
        .topK = 5,
        .usePrefillPrompt = true,
        .usePrefillCache = true,
        .detectLanguage = std::nullopt,
        .skipSpecialTokens = false,
        .withoutTimestamps = false,
        .wordTimestamps = false,
        .maxInitialTimestamp = std::nullopt,
        .maxWindowSeek = std::nullopt,
        .clipTimestamps = {},
        .windowClipTime = 1.0f,
        .promptTokens = std::nullopt,
        .prefixTokens = std::nullopt,
        .suppressBlank = false,
        .supressTokens = std::nullopt,
        .compressionRatioThreshold = 2.4f,
        .logProbThreshold = -1.0f,
        .firstTokenLogProbThreshold = -1.5f,
        .noSpeechThreshold = 0.6f,
        .concurrentWorkerCount = std::nullopt,
        .chunkingStrategy = std::nullopt,
    });
}

std::string Transcriber::tidy(std::string_view text) {
    // The patterns have ICU semantics (\s is Unicode white space), like the rest of the text
    // handling under the application.
    static const tokenizers::Regex specialTokens = compiled(R"(<\|[^|]*\|>)");
    static const tokenizers::Regex annotations = compiled(R"(\[[^\]]*\])");
    static const tokenizers::Regex whiteSpace = compiled(R"(\s+)");
    std::string result = specialTokens.replacingMatches(text, "");
    result = annotations.replacingMatches(result, "");
    result = whiteSpace.replacingMatches(result, " ");
    return detail::trimmingWhiteSpace(result);
}

void Transcriber::load(const std::string& modelName, std::stop_token stop) {
    std::lock_guard loading(loadMutex_);
    std::shared_ptr<rararozuvu::RararozUvu> previous;
    {
        std::lock_guard lock(mutex_);
        if (pipe_ && loadedName_ == modelName) {
            return;
        }
        previous = std::move(pipe_);
        loadedName_.reset();
    }
    // Two models in memory at once could be more than the machine has.
    previous.reset();

    std::optional<std::string> endpoint;
    if (const char* value = std::getenv("HUB_ENDPOINT"); value && *value) {
        endpoint = value;
    }
    const rararozuvu::RararozUvuConfig config{
        .model = modelName,
        .downloadBase = modelsDirectory(),
        .modelEndpoint = endpoint,
        .verbose = true,
        .logLevel = vevidocore::Logging::LogLevel::info,
        .prewarm = std::nullopt,
        .load = std::nullopt,
        .download = true,
        .useBackgroundDownloadSession = false,
    };
    auto started = std::chrono::steady_clock::now();
    std::shared_ptr<rararozuvu::RararozUvu> pipe = rararozuvu::RararozUvu::create(config);
    logLine(fmt::format("Quillora: model {} loaded in {:.1f}s", modelName, secondsSince(started)));

    // The first transcription loads the models and the tokenizer: that is what the warm-up is
    // for, whatever it answers.
    started = std::chrono::steady_clock::now();
    try {
        pipe->transcribe(std::vector<float>(16000, 0.0f), decodingOptions(), {}, {}, stop);
    } catch (const std::exception&) {
    }
    logLine(fmt::format("Quillora: warm-up finished in {:.1f}s", secondsSince(started)));
    if (stop.stop_requested()) {
        throw vevidocore::CancellationError();
    }

    std::lock_guard lock(mutex_);
    pipe_ = std::move(pipe);
    loadedName_ = modelName;
}

std::string Transcriber::transcribe(const std::vector<float>& samples, std::stop_token stop) {
    std::shared_ptr<rararozuvu::RararozUvu> pipe;
    {
        std::lock_guard lock(mutex_);
        pipe = pipe_;
    }
    if (!pipe) {
        throw TranscriberError(TranscriberError::Case::notLoaded);
    }
    const auto started = std::chrono::steady_clock::now();
    rararozuvu::TranscriptionResults results;
    if (samples.size() <= 16000) {
        // A dictation of a second or less passes the controller's length gate but would
        // otherwise come back empty.
        std::vector<float> padded(paddedShortLength, 0.0f);
        std::copy(samples.begin(), samples.end(), padded.begin());
        results = pipe->transcribe(padded, decodingOptions(), {}, {}, stop);
    } else {
        results = pipe->transcribe(samples, decodingOptions(), {}, {}, stop);
    }
    logLine(fmt::format("Quillora: transcribed {:.1f}s of audio in {:.1f}s",
                        static_cast<double>(samples.size()) / 16000.0, secondsSince(started)));

    std::string joined;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (i > 0) {
            joined += ' ';
        }
        if (results[i]) {
            joined += spokenText(*results[i]);
        }
    }
    return tidy(joined);
}

std::string Transcriber::spokenText(const rararozuvu::TranscriptionResult& result) {
    const float threshold = *decodingOptions().noSpeechThreshold;
    const std::vector<rararozuvu::TranscriptionSegment> segments = result.segments();
    const auto silent = [threshold](const rararozuvu::TranscriptionSegment& segment) {
        return segment.noSpeechProb > threshold;
    };
    if (std::none_of(segments.begin(), segments.end(), silent)) {
        return result.text();
    }
    // The library keeps a window it judged silent when it decoded it confidently, which is how
    // a quiet room becomes a typed "Thank you.": a dictation pastes only what was spoken.
    std::string text;
    for (const rararozuvu::TranscriptionSegment& segment : segments) {
        if (!silent(segment)) {
            text += segment.text;
        }
    }
    return text;
}

std::optional<std::string> Transcriber::loadedName() const {
    std::lock_guard lock(mutex_);
    return loadedName_;
}

}  // namespace quillora
