#include "rararozuvu/results/TranscriptionUtilities.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "rararozuvu/results/TextCleanup.h"

namespace rararozuvu {

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(
    const TranscriptionSegment& segment, float seekTime) {
    TranscriptionSegment moved = segment;
    moved.seek += static_cast<std::int64_t>(seekTime * 16000.0f);
    moved.start += seekTime;
    moved.end += seekTime;
    if (moved.words) {
        for (WordTiming& word : *moved.words) {
            word.start += seekTime;
            word.end += seekTime;
        }
    }
    return moved;
}

std::vector<std::string> TranscriptionUtilities::formatSegments(
    const std::vector<TranscriptionSegment>& segments, bool withTimestamps) {
    std::vector<std::string> lines;
    lines.reserve(segments.size());
    for (const TranscriptionSegment& segment : segments) {
        lines.push_back(withTimestamps ? fmt::format("[{:.2f} --> {:.2f}] {}", segment.start,
                                                     segment.end, segment.text)
                                       : segment.text);
    }
    return lines;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestCommonPrefix(
    const std::vector<WordTiming>& first, const std::vector<WordTiming>& second) {
    std::vector<WordTiming> prefix;
    for (std::size_t i = 0; i < first.size() && i < second.size(); ++i) {
        if (normalized(first[i].word) != normalized(second[i].word))
            break;
        prefix.push_back(second[i]);
    }
    return prefix;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestDifferentSuffix(
    const std::vector<WordTiming>& first, const std::vector<WordTiming>& second) {
    const std::size_t common = findLongestCommonPrefix(first, second).size();
    return {second.begin() + static_cast<std::ptrdiff_t>(common), second.end()};
}

namespace {

// The fields of a timing record by the rule that merges them across results.
constexpr double TranscriptionTimings::*kMinimumFields[] = {
    &TranscriptionTimings::pipelineStart,
    &TranscriptionTimings::firstTokenTime,
};
constexpr double TranscriptionTimings::*kMaximumFields[] = {
    &TranscriptionTimings::modelLoading,      &TranscriptionTimings::prewarmLoadTime,
    &TranscriptionTimings::encoderLoadTime,   &TranscriptionTimings::decoderLoadTime,
    &TranscriptionTimings::tokenizerLoadTime,
};
constexpr double TranscriptionTimings::*kSummedFields[] = {
    &TranscriptionTimings::inputAudioSeconds,
    &TranscriptionTimings::audioLoading,
    &TranscriptionTimings::audioProcessing,
    &TranscriptionTimings::logmels,
    &TranscriptionTimings::encoding,
    &TranscriptionTimings::prefill,
    &TranscriptionTimings::decodingInit,
    &TranscriptionTimings::decodingLoop,
    &TranscriptionTimings::decodingPredictions,
    &TranscriptionTimings::decodingFiltering,
    &TranscriptionTimings::decodingSampling,
    &TranscriptionTimings::decodingFallback,
    &TranscriptionTimings::decodingWindowing,
    &TranscriptionTimings::decodingKvCaching,
    &TranscriptionTimings::decodingWordTimestamps,
    &TranscriptionTimings::decodingNonPrediction,
    &TranscriptionTimings::totalAudioProcessingRuns,
    &TranscriptionTimings::totalLogmelRuns,
    &TranscriptionTimings::totalEncodingRuns,
    &TranscriptionTimings::totalDecodingLoops,
    &TranscriptionTimings::totalKVUpdateRuns,
    &TranscriptionTimings::totalTimestampAlignmentRuns,
    &TranscriptionTimings::totalDecodingFallbacks,
    &TranscriptionTimings::totalDecodingWindows,
};

TranscriptionTimings mergeTimings(const std::vector<TranscriptionTimings>& all) {
    TranscriptionTimings merged;
    // The specialisation times belong to a model load, not to any one result.
    merged.encoderSpecializationTime = 0;
    merged.decoderSpecializationTime = 0;
    for (auto field : kMinimumFields) {
        double value = all.empty() ? 0 : std::numeric_limits<double>::infinity();
        for (const TranscriptionTimings& t : all)
            value = std::min(value, t.*field);
        merged.*field = value;
    }
    for (auto field : kMaximumFields) {
        double value = 0;
        for (std::size_t i = 0; i < all.size(); ++i)
            value = i == 0 ? all[i].*field : std::max(value, all[i].*field);
        merged.*field = value;
    }
    for (auto field : kSummedFields) {
        double value = 0;
        for (const TranscriptionTimings& t : all)
            value += t.*field;
        merged.*field = value;
    }
    double summedPipeline = 0;
    double latestEnd = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        summedPipeline += all[i].fullPipeline;
        const double end = all[i].pipelineStart + all[i].fullPipeline;
        latestEnd = i == 0 ? end : std::max(latestEnd, end);
    }
    const double span = latestEnd - merged.pipelineStart;
    merged.fullPipeline = summedPipeline < span ? summedPipeline : span;
    return merged;
}

}  // namespace

std::shared_ptr<TranscriptionResult> TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords) {
    std::string text;
    if (confirmedWords) {
        for (const WordTiming& word : *confirmedWords)
            text += word.word;
    } else {
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (i > 0)
                text += ' ';
            if (results[i])
                text += results[i]->text();
        }
    }

    std::vector<TranscriptionSegment> segments;
    std::vector<TranscriptionTimings> timings;
    std::optional<std::string> language;
    std::int64_t present = 0;
    for (const auto& result : results) {
        if (!result)
            continue;
        std::vector<TranscriptionSegment> own = result->segments();
        for (std::size_t i = 0; i < own.size(); ++i) {
            own[i].id = present + static_cast<std::int64_t>(i);
            segments.push_back(std::move(own[i]));
        }
        timings.push_back(result->timings());
        if (!language)
            language = result->language();
        ++present;
    }
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments),
                                                 language.value_or("en"), mergeTimings(timings),
                                                 std::nullopt);
}

bool contains(const std::vector<TranscriptionSegment>& segments,
              const TranscriptionSegment& segment) {
    return std::any_of(segments.begin(), segments.end(),
                       [&](const TranscriptionSegment& s) { return s.start == segment.start; });
}

}  // namespace rararozuvu
