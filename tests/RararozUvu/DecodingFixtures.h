#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "AudioFixtures.h"
#include "ml/Float16.h"
#include "ml/MultiArray.h"
#include "ml/whisper/WhisperConverter.h"
#include "rararozuvu/models/WhisperTokenizerWrapper.h"
#include "rararozuvu/results/WhisperError.h"
#include "tokenizers/AutoTokenizer.h"

namespace rararozuvu::testing {

inline const std::filesystem::path kShared = QUILLORA_SHARED_DIR;
inline const std::filesystem::path kTinyCheckpoint = kShared / "models/tiny-en-random";

// The tiny random-weight checkpoint converted by the library's converter, once per test program.
inline const std::filesystem::path& tinyModelFolder() {
    static const TempFolder folder;
    static const std::filesystem::path converted = [] {
        const std::filesystem::path path = folder.file("tiny-en-random");
        ml::WhisperConverter::convert(kTinyCheckpoint, path);
        return path;
    }();
    return converted;
}

// The English-only Whisper tokenizer of the tiny checkpoint, loaded once per test program.
inline std::shared_ptr<const WhisperTokenizer> tinyTokenizer() {
    static const std::shared_ptr<const WhisperTokenizer> tokenizer =
        std::make_shared<WhisperTokenizerWrapper>(
            std::shared_ptr<const tokenizers::Tokenizer>(
                tokenizers::AutoTokenizer::from(kTinyCheckpoint, true)),
            kTinyCheckpoint);
    return tokenizer;
}

// Logits [1, 1, n] holding the given scores.
inline ml::MultiArray logitsOf(const std::vector<float>& scores) {
    ml::MultiArray logits({1, 1, static_cast<std::int64_t>(scores.size())},
                          ml::MultiArrayDataType::float16);
    for (std::size_t i = 0; i < scores.size(); ++i) {
        logits.data<ml::Float16>()[i] = ml::Float16(scores[i]);
    }
    return logits;
}

// Which ids of the logits hold negative infinity.
inline std::vector<bool> suppressedIds(const ml::MultiArray& logits) {
    std::vector<bool> out;
    for (std::int64_t i = 0; i < logits.count(); ++i)
        out.push_back(logits.data<ml::Float16>()[i].bits == 0xFC00);
    return out;
}

template <class F>
void expectWhisperError(F&& f, WhisperError::Case c, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no error; expected " << message;
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.errorCase(), c);
        EXPECT_EQ(e.message(), message);
    }
}

}  // namespace rararozuvu::testing
