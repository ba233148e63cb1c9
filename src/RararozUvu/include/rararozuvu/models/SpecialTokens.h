#pragma once

#include <cstdint>

namespace rararozuvu {

// The ids of Whisper's control tokens in one vocabulary.
struct SpecialTokens {
    // "<|endoftext|>"
    std::int64_t endToken = 0;
    // "<|en|>"
    std::int64_t englishToken = 0;
    // "<|nospeech|>" ("<|nocaptions|>" in the English-only vocabularies)
    std::int64_t noSpeechToken = 0;
    // "<|notimestamps|>"
    std::int64_t noTimestampsToken = 0;
    // The first id of the special range: every id at or above it is a special or timestamp
    // token, every id below it text. The end-of-text token's id.
    std::int64_t specialTokenBegin = 0;
    // "<|startofprev|>"
    std::int64_t startOfPreviousToken = 0;
    // "<|startoftranscript|>"
    std::int64_t startOfTranscriptToken = 0;
    // "<|0.00|>": every id at or above it is a timestamp.
    std::int64_t timeTokenBegin = 0;
    // "<|transcribe|>"
    std::int64_t transcribeToken = 0;
    // "<|translate|>"
    std::int64_t translateToken = 0;
    // The blank (" ").
    std::int64_t whitespaceToken = 0;
};

}  // namespace rararozuvu
