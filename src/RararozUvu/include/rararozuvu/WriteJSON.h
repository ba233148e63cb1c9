#pragma once

#include <string>
#include <utility>

#include "rararozuvu/ResultWriting.h"

namespace rararozuvu {

// The result's JSON form (keys "text", "segments", "language", "timings", "seekTime"),
// pretty-printed. Files end in ".json".
class WriteJSON : public ResultWriting {
public:
    explicit WriteJSON(std::string outputDir) : outputDir_(std::move(outputDir)) {}

    const std::string& outputDir() const override { return outputDir_; }
    Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                              const Options& options = {}) override;

private:
    std::string outputDir_;
};

}  // namespace rararozuvu
