#pragma once

// The model trained on synthetic speech, its recordings, their transcripts and the exact tokens
// of plain arg-max decoding that came with it.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "DecodingFixtures.h"
#include "hub/YYJSONParser.h"

namespace rararozuvu::testing {

inline const std::filesystem::path kSynthCheckpoint = kShared / "models/tiny-en-synth";
inline const std::filesystem::path kSynthAudio = kShared / "data/audio-synth";

inline std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The checkpoint converted by the library's converter, once per test program.
inline const std::filesystem::path& synthModelFolder() {
    static const TempFolder folder;
    static const std::filesystem::path converted = [] {
        const std::filesystem::path path = folder.file("tiny-en-synth");
        ml::WhisperConverter::convert(kSynthCheckpoint, path);
        return path;
    }();
    return converted;
}

// One recording's line of the reference file.
struct GreedyReference {
    std::string file;
    std::vector<std::int64_t> timestampTokens;  // prompt <|startoftranscript|> <|0.00|>
    std::vector<std::int64_t> plainTokens;      // prompt <|startoftranscript|> <|notimestamps|>
    std::string timestampText;
    float noSpeechProb = 0;
};

inline std::vector<std::int64_t> tokensOf(const hub::Config& list) {
    std::vector<std::int64_t> tokens;
    for (const hub::Config& token : *list.array())
        tokens.push_back(*token.integer());
    return tokens;
}

inline const std::vector<GreedyReference>& greedyReferences() {
    static const std::vector<GreedyReference> references = [] {
        std::vector<GreedyReference> lines;
        std::istringstream in(fileText(kShared / "data/reference/tiny-en-synth-greedy.jsonl"));
        for (std::string line; std::getline(in, line);) {
            if (line.empty())
                continue;
            const hub::Config record = hub::YYJSONParser::parseToConfig(line);
            lines.push_back({*record["file"].string(), tokensOf(record["timestamps"]["tokens"]),
                             tokensOf(record["notimestamps"]["tokens"]),
                             *record["timestamps"]["text"].string(),
                             *record["noSpeechProb"].floating()});
        }
        return lines;
    }();
    return references;
}

// What was said in each recording, by file name.
inline std::map<std::string, std::string> spokenTexts() {
    std::map<std::string, std::string> texts;
    const hub::Config records =
        hub::YYJSONParser::parseToConfig(fileText(kSynthAudio / "transcripts.json"));
    for (const hub::Config& record : *records.array())
        texts[*record["file"].string()] = *record["text"].string();
    return texts;
}

}  // namespace rararozuvu::testing
