#pragma once

#include <string>
#include <utility>

#include "rararozuvu/ResultWriting.h"

namespace rararozuvu {

// WebVTT subtitles: the header "WEBVTT", then one cue per word of a segment that has words,
// else one per segment; the texts as stored. Files end in ".vtt".
class WriteVTT : public ResultWriting {
public:
    explicit WriteVTT(std::string outputDir) : outputDir_(std::move(outputDir)) {}

    const std::string& outputDir() const override { return outputDir_; }
    Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                              const Options& options = {}) override;

private:
    std::string outputDir_;
};

}  // namespace rararozuvu
