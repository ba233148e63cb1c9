#include "rararozuvu/decoding/SegmentSeeker.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "rararozuvu/results/WhisperError.h"
#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"
#include "vevidocore/Logging.h"
#include "vevidocore/Rounding.h"

namespace rararozuvu {

namespace {

// One timestamp step, and one encoder frame, in seconds.
constexpr float kSecondsPerStep = 0.02f;
constexpr std::array<std::string_view, 6> kSentenceEnds = {".",      "\u3002", "!",
                                                           "\uFF01", "?",      "\uFF1F"};

std::vector<std::int64_t> textTokensOf(const std::vector<std::int64_t>& tokens,
                                       std::int64_t specialTokenBegin) {
    std::vector<std::int64_t> text;
    text.reserve(tokens.size());
    for (std::int64_t t : tokens) {
        if (t < specialTokenBegin)
            text.push_back(t);
    }
    return text;
}

std::string segmentText(const std::vector<std::int64_t>& tokens, const DecodingOptions& options,
                        const WhisperTokenizer& tokenizer) {
    if (!options.skipSpecialTokens)
        return tokenizer.decode(tokens);
    return tokenizer.decode(textTokensOf(tokens, tokenizer.specialTokens().specialTokenBegin));
}

// Leading and trailing blanks (Unicode space separators and tabs) removed.
std::string_view trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        if (!tokenizers::unicode::isHorizontalSpace(tokenizers::utf8::decode(text, next)))
            break;
        begin = next;
    }
    std::size_t end = begin;
    for (std::size_t i = begin; i < text.size();) {
        const bool blank =
            tokenizers::unicode::isHorizontalSpace(tokenizers::utf8::decode(text, i));
        if (!blank)
            end = i;
    }
    return text.substr(begin, end - begin);
}

bool startsWithBlank(std::string_view text) {
    std::size_t i = 0;
    return !text.empty() &&
           tokenizers::unicode::isHorizontalSpace(tokenizers::utf8::decode(text, i));
}

bool contains(std::string_view set, std::string_view text) {
    return set.find(text) != std::string_view::npos;
}

void appendTokens(std::vector<std::int64_t>& to, const std::vector<std::int64_t>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

}  // namespace

std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>>
SegmentSeeker::findSeekPointAndSegments(const DecodingResult& result,
                                        const DecodingOptions& options,
                                        std::int64_t allSegmentsCount, std::int64_t currentSeek,
                                        std::int64_t segmentSize, std::int64_t sampleRate,
                                        std::int64_t timeToken, std::int64_t specialToken,
                                        const WhisperTokenizer& tokenizer) {
    // A window the model takes for silence is skipped, unless it was confidently decoded into
    // text. A decode without a text token is no evidence of speech however confident it is: a
    // silent window whose prompt ends in a timestamp is typically closed at once by a near-certain
    // end of text.
    if (options.noSpeechThreshold && result.noSpeechProb > *options.noSpeechThreshold) {
        const bool hasText =
            std::any_of(result.tokens.begin(), result.tokens.end(),
                        [specialToken](std::int64_t t) { return t < specialToken; });
        const bool confidentText =
            hasText && options.logProbThreshold && result.avgLogProb > *options.logProbThreshold;
        if (!confidentText)
            return {currentSeek + segmentSize, std::nullopt};
    }

    const std::vector<std::int64_t>& tokens = result.tokens;
    const std::size_t count = tokens.size();
    const auto isTimestamp = [&](std::size_t i) { return tokens[i] >= timeToken; };
    const bool threeOrMore = count >= 3;
    const bool singleTimestampEnding =
        threeOrMore && !isTimestamp(count - 3) && isTimestamp(count - 2) && !isTimestamp(count - 1);
    const bool noTimestampEnding = threeOrMore && !isTimestamp(count - 3) &&
                                   !isTimestamp(count - 2) && !isTimestamp(count - 1);

    std::vector<std::size_t> sliceEnds;
    for (std::size_t i = 1; i < count; ++i) {
        if (isTimestamp(i) && isTimestamp(i - 1))
            sliceEnds.push_back(i);
    }

    const float offset = static_cast<float>(currentSeek) / static_cast<float>(sampleRate);
    const auto segmentFrom = [&](std::int64_t id, float start, float end, std::size_t from,
                                 std::size_t to) {
        TranscriptionSegment segment;
        segment.id = id;
        segment.seek = currentSeek;
        segment.start = start;
        segment.end = end;
        segment.tokens.assign(tokens.begin() + static_cast<std::ptrdiff_t>(from),
                              tokens.begin() + static_cast<std::ptrdiff_t>(to));
        const std::size_t probsEnd = std::min(to, result.tokenLogProbs.size());
        if (from < probsEnd) {
            segment.tokenLogProbs.assign(
                result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(from),
                result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(probsEnd));
        }
        segment.text = segmentText(segment.tokens, options, tokenizer);
        segment.temperature = result.temperature;
        segment.avgLogprob = result.avgLogProb;
        segment.compressionRatio = result.compressionRatio;
        segment.noSpeechProb = result.noSpeechProb;
        return segment;
    };

    if (sliceEnds.empty()) {
        // The zero-time stamp says nothing about how long the window's speech lasts.
        std::optional<std::int64_t> lastStamp;
        for (std::int64_t t : tokens) {
            if (t > timeToken)
                lastStamp = t;
        }
        const float duration =
            lastStamp ? static_cast<float>(*lastStamp - timeToken) * kSecondsPerStep
                      : static_cast<float>(segmentSize) / static_cast<float>(sampleRate);
        return {currentSeek + segmentSize,
                std::vector{segmentFrom(allSegmentsCount, offset, offset + duration, 0, count)}};
    }

    if (singleTimestampEnding) {
        sliceEnds.push_back(count - 1);
    } else if (noTimestampEnding) {
        sliceEnds.push_back(count);
    }
    std::vector<TranscriptionSegment> segments;
    std::size_t previous = 0;
    for (std::size_t end : sliceEnds) {
        std::optional<std::int64_t> first;
        std::optional<std::int64_t> last;
        for (std::size_t i = previous; i < end; ++i) {
            if (!isTimestamp(i))
                continue;
            if (!first)
                first = tokens[i];
            last = tokens[i];
        }
        if (first) {
            const float start = offset + static_cast<float>(*first - timeToken) * kSecondsPerStep;
            const float stop = offset + static_cast<float>(*last - timeToken) * kSecondsPerStep;
            segments.push_back(
                segmentFrom(allSegmentsCount + static_cast<std::int64_t>(segments.size()), start,
                            stop, previous, end));
        }
        previous = end;
    }

    if (noTimestampEnding)
        return {currentSeek + segmentSize, std::move(segments)};
    const std::size_t lastEnd = sliceEnds.back();
    const std::int64_t stamp = tokens[singleTimestampEnding ? lastEnd - 1 : lastEnd];
    const auto advance = static_cast<std::int64_t>(
        static_cast<float>(stamp - timeToken) * kSecondsPerStep * static_cast<float>(sampleRate));
    return {currentSeek + advance, std::move(segments)};
}

std::optional<std::vector<TranscriptionSegment>> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments, const ml::MultiArray& alignmentWeights,
    const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t /*segmentSize*/,
    std::string_view prependPunctuations, std::string_view appendPunctuations,
    float lastSpeechTimestamp, const DecodingOptions& /*options*/,
    const TranscriptionTimings& timings) {
    std::vector<std::int64_t> wordTokenIds;
    std::vector<std::int64_t> rows;
    std::vector<float> logProbs;
    std::int64_t position = 0;
    for (const TranscriptionSegment& segment : segments) {
        for (std::size_t i = 0; i < segment.tokens.size(); ++i, ++position) {
            const std::int64_t token = segment.tokens[i];
            wordTokenIds.push_back(token);
            rows.push_back(position);
            // Kept parallel to the tokens: a missing entry counts as certain.
            float logProb = 0;
            if (i < segment.tokenLogProbs.size()) {
                const auto found = segment.tokenLogProbs[i].find(token);
                if (found != segment.tokenLogProbs[i].end())
                    logProb = found->second;
            }
            logProbs.push_back(logProb);
        }
    }

    const std::vector<std::int64_t>& shape = alignmentWeights.shape();
    if (shape.empty())
        throw WhisperError::segmentingFailed("Invalid shape in alignmentWeights");
    // Nothing was decoded in this window: there is nothing to time.
    if (wordTokenIds.empty())
        return segments;

    const std::int64_t columns = shape.back();
    const std::int64_t available = columns > 0 ? alignmentWeights.count() / columns : 0;
    ml::MultiArray filtered({static_cast<std::int64_t>(rows.size()), columns},
                            alignmentWeights.dataType());
    const std::size_t rowBytes =
        static_cast<std::size_t>(columns) * ml::byteWidth(alignmentWeights.dataType());
    const auto* source = static_cast<const std::byte*>(alignmentWeights.dataPointer());
    auto* target = static_cast<std::byte*>(filtered.dataPointer());
    for (std::size_t k = 0; k < rows.size(); ++k) {
        // A row the decoder never wrote stays zero.
        if (rows[k] >= available)
            continue;
        std::memcpy(target + k * rowBytes, source + static_cast<std::size_t>(rows[k]) * rowBytes,
                    rowBytes);
    }
    vevidocore::Logging::debug("Alignment weights shape: " + ml::shapeText(filtered.shape()));

    std::vector<WordTiming> alignment =
        findAlignment(wordTokenIds, filtered, logProbs, tokenizer, &timings);
    const auto [median, maximum] = calculateWordDurationConstraints(alignment);
    alignment = truncateLongWordsAtSentenceBoundaries(std::move(alignment), maximum);
    if (!alignment.empty()) {
        alignment = mergePunctuations(alignment, prependPunctuations, appendPunctuations);
    }
    return updateSegmentsWithWordTimings(segments, alignment, seek, lastSpeechTimestamp, median,
                                         maximum, tokenizer);
}

SegmentSeeker::AlignmentPath SegmentSeeker::dynamicTimeWarping(const ml::MultiArray& matrix) const {
    if (matrix.shape().size() != 2) {
        throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
    }
    const std::int64_t n = matrix.shape()[0];
    const std::int64_t m = matrix.shape()[1];
    if (n < 1 || m < 1)
        return {};
    const ml::MultiArray weights = matrix.dataType() == ml::MultiArrayDataType::float32
                                       ? matrix
                                       : matrix.converted(ml::MultiArrayDataType::float32);
    const float* w = weights.data<float>();

    const auto columns = static_cast<std::size_t>(m + 1);
    constexpr double infinity = std::numeric_limits<double>::infinity();
    // Two rows of costs suffice: each cell looks one row back.
    std::vector<double> above(columns, infinity);
    std::vector<double> current(columns, infinity);
    above[0] = 0;
    std::vector<std::vector<int>> trace(static_cast<std::size_t>(n + 1),
                                        std::vector<int>(columns, -1));
    std::fill(trace[0].begin() + 1, trace[0].end(), 2);
    for (std::int64_t i = 1; i <= n; ++i) {
        std::vector<int>& traceRow = trace[static_cast<std::size_t>(i)];
        traceRow[0] = 1;
        current[0] = infinity;
        const float* weightRow = w + (i - 1) * m;
        for (std::size_t j = 1; j < columns; ++j) {
            const double weight = weightRow[j - 1];
            const double c0 = above[j - 1] - weight;
            const double c1 = above[j] - weight;
            const double c2 = current[j - 1] - weight;
            if (c0 < c1 && c0 < c2) {
                current[j] = c0;
                traceRow[j] = 0;
            } else if (c0 <= c1) {
                current[j] = c2;
                traceRow[j] = 2;
            } else if (c1 < c2) {
                current[j] = c1;
                traceRow[j] = 1;
            } else {
                current[j] = c2;
                traceRow[j] = 2;
            }
        }
        std::swap(above, current);
    }
    return backtrace(trace);
}

SegmentSeeker::AlignmentPath SegmentSeeker::backtrace(
    const std::vector<std::vector<int>>& traceMatrix) const {
    AlignmentPath path;
    if (traceMatrix.empty() || traceMatrix[0].empty())
        return path;
    auto i = static_cast<std::int64_t>(traceMatrix.size()) - 1;
    auto j = static_cast<std::int64_t>(traceMatrix[0].size()) - 1;
    while (i > 0 || j > 0) {
        path.textIndices.push_back(i - 1);
        path.timeIndices.push_back(j - 1);
        const int move = traceMatrix[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
        const bool up = move == 1 || (move != 2 && i > 0);
        const bool back = move == 2 || (move != 1 && j > 0);
        // Moves other than 0, 1 and 2 (an unset cell, never left in a filled table) step back
        // diagonally as far as the edges allow; no move leaves the table.
        const bool moved = (up && i > 0) || (back && j > 0);
        if (up && i > 0)
            --i;
        if (back && j > 0)
            --j;
        if (!moved)
            break;
    }
    std::reverse(path.textIndices.begin(), path.textIndices.end());
    std::reverse(path.timeIndices.begin(), path.timeIndices.end());
    return path;
}

std::vector<WordTiming> SegmentSeeker::findAlignment(
    const std::vector<std::int64_t>& wordTokenIds, const ml::MultiArray& alignmentWeights,
    const std::vector<float>& tokenLogProbs, const WhisperTokenizer& tokenizer,
    const TranscriptionTimings* /*timings*/) const {
    const AlignmentPath path = dynamicTimeWarping(alignmentWeights);
    WordTokens split = tokenizer.splitToWordTokens(wordTokenIds);
    if (split.words.size() < 2)
        return {};

    std::vector<float> jumps;
    if (!path.textIndices.empty()) {
        std::int64_t remembered = path.textIndices[0];
        for (std::size_t p = 0; p < path.textIndices.size(); ++p) {
            if (path.textIndices[p] != remembered) {
                jumps.push_back(static_cast<float>(path.timeIndices[p]) * kSecondsPerStep);
                remembered = path.textIndices[p];
            }
        }
    }
    std::vector<float> starts{0.0f};
    starts.insert(starts.end(), jumps.begin(), jumps.end());
    std::vector<float> ends = jumps;
    const std::int64_t lastFrame = path.timeIndices.empty() ? 1500 : path.timeIndices.back();
    ends.push_back(static_cast<float>(lastFrame) * kSecondsPerStep);

    std::vector<WordTiming> words;
    std::size_t s = 0;
    for (std::size_t w = 0; w < split.words.size(); ++w) {
        std::vector<std::int64_t>& tokens = split.wordTokens[w];
        const std::size_t n = tokens.size();
        // The splitter gives every token to one word; a word beyond the path has no time.
        if (n == 0)
            continue;
        if (s + n > ends.size())
            break;
        float sum = 0;
        for (std::size_t k = s; k < s + n; ++k) {
            sum += k < tokenLogProbs.size() ? tokenLogProbs[k] : 0.0f;
        }
        words.push_back(WordTiming{std::move(split.words[w]), std::move(tokens), starts[s],
                                   ends[s + n - 1], std::exp(sum / static_cast<float>(n))});
        s += n;
    }
    return words;
}

std::pair<float, float> SegmentSeeker::calculateWordDurationConstraints(
    const std::vector<WordTiming>& alignment) const {
    std::vector<float> durations;
    for (const WordTiming& word : alignment) {
        const float d = word.end - word.start;
        if (d > 0)
            durations.push_back(d);
    }
    float median = 0;
    if (!durations.empty()) {
        std::stable_sort(durations.begin(), durations.end());
        median = std::min(durations[durations.size() / 2], 0.7f);
    }
    return {median, 2 * median};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(
    std::vector<WordTiming> alignment, float maxDuration) const {
    const auto isSentenceEnd = [](const std::string& text) {
        return std::find(kSentenceEnds.begin(), kSentenceEnds.end(), text) != kSentenceEnds.end();
    };
    for (std::size_t i = 1; i < alignment.size(); ++i) {
        WordTiming& word = alignment[i];
        if (word.end - word.start <= maxDuration)
            continue;
        if (isSentenceEnd(word.word)) {
            word.end = word.start + maxDuration;
        } else if (isSentenceEnd(alignment[i - 1].word)) {
            word.start = word.end - maxDuration;
        }
    }
    return alignment;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuations(const std::vector<WordTiming>& alignment,
                                                         std::string_view prepended,
                                                         std::string_view appended) const {
    if (alignment.empty())
        return {};

    // Opening marks (with a blank before them) gather up and join the next word, which keeps its
    // own timing. A trailing one has no word to join and stays.
    std::vector<WordTiming> opened;
    std::optional<WordTiming> pending;
    for (std::size_t i = 0; i < alignment.size(); ++i) {
        const WordTiming& word = alignment[i];
        const bool opening = startsWithBlank(word.word) && contains(prepended, trimmed(word.word));
        if (opening && i + 1 < alignment.size()) {
            if (pending) {
                pending->word += word.word;
                appendTokens(pending->tokens, word.tokens);
            } else {
                pending = word;
            }
            continue;
        }
        WordTiming joined = word;
        if (pending) {
            joined.word = pending->word + word.word;
            joined.tokens = std::move(pending->tokens);
            appendTokens(joined.tokens, word.tokens);
            pending.reset();
        }
        opened.push_back(std::move(joined));
    }

    // Closing marks join the word they follow, which keeps its timing; a word that has already
    // taken marks takes the next ones too ("hello" "?" "!" gives "hello?!").
    std::vector<WordTiming> closed;
    closed.reserve(opened.size());
    for (WordTiming& word : opened) {
        if (!closed.empty() && !closed.back().word.ends_with(' ') &&
            contains(appended, trimmed(word.word))) {
            closed.back().word += word.word;
            appendTokens(closed.back().tokens, word.tokens);
        } else {
            closed.push_back(std::move(word));
        }
    }

    // Punctuation left on its own is no word, but its tokens still belong to the window's text:
    // they go to the word before (or, at the start, after) so that every segment's token count
    // still adds up.
    std::vector<WordTiming> result;
    std::vector<std::int64_t> orphanTokens;
    for (WordTiming& word : closed) {
        const bool dropped =
            word.word.empty() || contains(appended, word.word) || contains(prepended, word.word);
        if (dropped) {
            appendTokens(result.empty() ? orphanTokens : result.back().tokens, word.tokens);
            continue;
        }
        if (!orphanTokens.empty()) {
            orphanTokens.insert(orphanTokens.end(), word.tokens.begin(), word.tokens.end());
            word.tokens = std::move(orphanTokens);
            orphanTokens.clear();
        }
        result.push_back(std::move(word));
    }
    return result;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    std::vector<TranscriptionSegment> segments, const std::vector<WordTiming>& mergedAlignment,
    std::int64_t seek, float lastSpeechTimestamp, float constrainedMedianDuration,
    float maxDuration, const WhisperTokenizer& tokenizer) const {
    using vevidocore::rounded;
    const std::int64_t specialBegin = tokenizer.specialTokens().specialTokenBegin;
    const float offset = static_cast<float>(seek) / 16000.0f;
    const float q = constrainedMedianDuration;
    const float mx = maxDuration;
    float lastSpeech = lastSpeechTimestamp;
    std::size_t g = 0;
    // Counted over the whole window, so a word whose tokens run past a segment's end cannot push
    // the next segment's words out of place.
    std::size_t covered = 0;
    std::size_t target = 0;
    std::optional<float> previousSegmentEnd;

    for (TranscriptionSegment& segment : segments) {
        target += static_cast<std::size_t>(
            std::count_if(segment.tokens.begin(), segment.tokens.end(),
                          [&](std::int64_t t) { return t < specialBegin; }));
        std::vector<WordTiming> words;
        while (g < mergedAlignment.size() && covered < target) {
            const WordTiming& entry = mergedAlignment[g++];
            std::vector<std::int64_t> textTokens = textTokensOf(entry.tokens, specialBegin);
            covered += textTokens.size();
            if (textTokens.empty())
                continue;
            std::string text = textTokens.size() != entry.tokens.size()
                                   ? tokenizer.decode(textTokens)
                                   : entry.word;
            float start = rounded(offset + entry.start, 2);
            const float end = rounded(offset + entry.end, 2);
            const std::optional<float> precedingEnd =
                words.empty() ? previousSegmentEnd : std::optional<float>(words.back().end);
            if (end - start < q * 0.25f && precedingEnd && start > *precedingEnd) {
                start = rounded(start - std::min(q * 0.5f, start - *precedingEnd), 2);
            }
            words.push_back(WordTiming{std::move(text), std::move(textTokens), start, end,
                                       rounded(entry.probability, 2)});
        }

        if (!words.empty()) {
            WordTiming& first = words.front();
            if (first.end - lastSpeech > q * 4 &&
                (first.end - first.start > mx ||
                 (words.size() >= 2 && words[1].end - first.start > 2 * mx))) {
                if (words.size() >= 2 && words[1].end - words[1].start > mx) {
                    const float boundary = std::max(words[1].end - mx, words[1].end * 0.5f);
                    first.end = boundary;
                    words[1].start = boundary;
                }
                first.start = std::max(first.end - mx, lastSpeech);
            }
            if (segment.start < first.end && first.start < segment.start - 0.5f) {
                first.start = std::max(0.0f, std::min(segment.start, first.end - q));
            } else {
                segment.start = first.start;
            }
            WordTiming& last = words.back();
            if (last.start < segment.end && segment.end + 0.5f < last.end) {
                last.end = std::max(segment.end, last.start + q);
            } else {
                segment.end = last.end;
            }
            lastSpeech = segment.end;
        }
        segment.words = std::move(words);
        previousSegmentEnd = segment.end;
    }
    return segments;
}

}  // namespace rararozuvu
