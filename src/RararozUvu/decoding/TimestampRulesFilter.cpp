#include "rararozuvu/decoding/TimestampRulesFilter.h"

#include <algorithm>
#include <cmath>

#include "LogitsMath.h"

namespace rararozuvu {

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens specialTokens, std::int64_t sampleBegin,
                                           bool isModelMultilingual)
    : specialTokens(specialTokens),
      sampleBegin(sampleBegin),
      isModelMultilingual(isModelMultilingual) {}

std::optional<std::int64_t> TimestampRulesFilter::sampledStart(
    const std::vector<std::int64_t>& tokens) const {
    if (!isModelMultilingual)
        return sampleBegin;
    const std::size_t n = std::min<std::size_t>(3, tokens.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (tokens[i] == specialTokens.transcribeToken ||
            tokens[i] == specialTokens.translateToken) {
            return std::max(sampleBegin, static_cast<std::int64_t>(i) + 1);
        }
    }
    return std::nullopt;
}

ml::MultiArray TimestampRulesFilter::filterLogits(ml::MultiArray logits,
                                                  const std::vector<std::int64_t>& tokens) {
    const std::span<ml::Float16> scores = detail::halfScores(logits);
    const std::optional<std::int64_t> start = sampledStart(tokens);
    const auto count = static_cast<std::int64_t>(tokens.size());
    if (scores.empty() || !start || count < *start)
        return logits;

    const std::int64_t timeBegin = specialTokens.timeTokenBegin;
    const auto vocabulary = static_cast<std::int64_t>(scores.size());
    detail::suppress(scores, specialTokens.noTimestampsToken);

    if (count > *start) {
        const std::int64_t last = tokens.back();
        bool advance = true;
        if (count - *start == 1) {
            if (last >= timeBegin)
                detail::suppressRange(scores, timeBegin, vocabulary);
        } else if (last >= timeBegin) {
            const std::int64_t penultimate = tokens[static_cast<std::size_t>(count - 2)];
            if (penultimate >= timeBegin) {
                // A pair has just closed: text or the end must follow.
                detail::suppressRange(scores, timeBegin, vocabulary);
            } else {
                // Text then one timestamp: close the pair (or end the window).
                detail::suppressRange(scores, 0, specialTokens.endToken);
                advance = false;
            }
        }
        for (std::int64_t i = count - 1; i >= *start; --i) {
            const std::int64_t token = tokens[static_cast<std::size_t>(i)];
            if (token >= timeBegin) {
                detail::suppressRange(scores, timeBegin, advance ? token + 1 : token);
                break;
            }
        }
    }

    if (timestampMassDominates(logits))
        detail::suppressRange(scores, 0, timeBegin);
    return logits;
}

bool TimestampRulesFilter::timestampMassDominates(const ml::MultiArray& logits) {
    const std::span<const ml::Float16> scores = detail::halfScores(logits);
    const auto vocabulary = static_cast<std::int64_t>(scores.size());
    const std::int64_t p = std::clamp<std::int64_t>(specialTokens.timeTokenBegin, 0, vocabulary);
    if (p == vocabulary)
        return false;

    detail::widen(scores, scratch_);
    const std::span<const float> all(scratch_);
    const std::span<const float> text = all.first(static_cast<std::size_t>(p));
    const std::span<const float> timestamps = all.subspan(static_cast<std::size_t>(p));

    const float bestText = detail::maxValue(text);
    const float bestTimestamp = detail::maxValue(timestamps);
    const float best = std::max(bestText, bestTimestamp);
    if (!std::isfinite(bestTimestamp) || !std::isfinite(best))
        return false;

    // Both partial sums share the log-normaliser of the whole vocabulary.
    const double textSum = std::isfinite(bestText) ? detail::sumExp(text, bestText) : 0.0;
    const double timestampSum = detail::sumExp(timestamps, bestTimestamp);
    const double normaliser =
        best + std::log(textSum * std::exp(static_cast<double>(bestText) - best) +
                        timestampSum * std::exp(static_cast<double>(bestTimestamp) - best));
    const ml::Float16 timestampLogProb(
        static_cast<float>(bestTimestamp + std::log(timestampSum) - normaliser));
    const ml::Float16 textLogProb(static_cast<float>(bestText - normaliser));
    return static_cast<float>(textLogProb) < static_cast<float>(timestampLogProb);
}

}  // namespace rararozuvu
